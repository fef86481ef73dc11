#pragma once
// SEC EDGAR: ticker -> CIK, submissions, filing index and documents, XBRL company
// facts. User-Agent names the product and TESSARO_SEC_CONTACT; at most 10 requests
// per second. TESSARO_SEC_BASE_URL redirects www.sec.gov/data.sec.gov (tests).
#include <optional>
#include <string>

#include "core/json.hpp"

namespace tessaro::sec {

std::optional<std::string> cik_for(const std::string& ticker);   // ten digits, zero-padded
json get_submissions(const std::string& ticker);                  // recent + older pages merged
json get_filing_index(const std::string& ticker, const std::string& accession_no);
std::string get_document(const std::string& ticker, const std::string& accession_no,
                         const std::string& document);
json get_company_facts(const std::string& ticker);

}  // namespace tessaro::sec
