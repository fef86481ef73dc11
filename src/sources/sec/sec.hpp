#pragma once
// SEC EDGAR: ticker -> CIK, submissions, filing index and documents, XBRL company
// facts. User-Agent names the product and TESSARO_SEC_CONTACT; at most 9 requests
// per second. TESSARO_SEC_BASE_URL redirects www.sec.gov/data.sec.gov (tests).
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/json.hpp"

namespace tessaro::sec {

std::optional<std::string> cik_for(const std::string& ticker);   // ten digits, zero-padded
json get_submissions(const std::string& ticker);                  // recent + older pages merged
json get_filing_index(const std::string& ticker, const std::string& accession_no);
std::string get_document(const std::string& ticker, const std::string& accession_no,
                         const std::string& document);
json get_company_facts(const std::string& ticker);

// ---- errors ------------------------------------------------------------------
// Any SEC request that did not give a usable answer: transport failures (the
// message starts with their class name), throttling (429, or 403 with the SEC's
// rate/undeclared-traffic page), other statuses, unreadable bodies.
class SecFetchError : public Error {
 public:
  SecFetchError(const std::string& what, long status = 0, bool throttled = false)
      : Error(what), status_(status), throttled_(throttled) {}
  const char* class_name() const override { return "SecFetchError"; }
  long status() const { return status_; }
  bool throttled() const { return throttled_; }   // retry later, not "not found"

 private:
  long status_;
  bool throttled_;
};
// TESSARO_SEC_CONTACT is not set: nothing was sent (EDGAR refuses undeclared clients).
class SecContactMissing : public SecFetchError {
 public:
  SecContactMissing() : SecFetchError("TESSARO_SEC_CONTACT 미설정 - SEC 요청을 보내지 않음") {}
  const char* class_name() const override { return "SecContactMissing"; }
};
// 404 from EDGAR: the CIK, file or XBRL concept does not exist there.
class SecNotFound : public SecFetchError {
 public:
  explicit SecNotFound(const std::string& what) : SecFetchError(what, 404, false) {}
  const char* class_name() const override { return "SecNotFound"; }
};

// ---- request pacing ----------------------------------------------------------
// SEC fair access allows 10 requests a second in total; we keep a margin under it.
inline constexpr double MAX_REQUESTS_PER_SECOND = 9.0;

// Spaces request starts at least 1/rate apart, and never lets more than floor(rate)
// starts fall within any one second (even spacing alone puts rate+1 starts on the
// two ends of a closed one-second window).
class RateGate {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateGate(double per_second)
      : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / per_second))),
        per_window_(per_second >= 1.0 ? size_t(per_second) : 1) {}
  // The moment the caller may start, given it asks at `now`; reserves that slot.
  Clock::time_point reserve(Clock::time_point now);

 private:
  std::mutex m_;
  Clock::duration interval_;
  size_t per_window_;
  std::deque<Clock::time_point> recent_;   // the last per_window_ starts
  Clock::time_point next_{};
};

// "Tessaro tessaro-mcp/<version> <contact>"; throws SecContactMissing when
// TESSARO_SEC_CONTACT is not set (EDGAR refuses undeclared clients).
std::string user_agent();
bool contact_configured();
// What the user has to change when the failure is one of configuration (no contact,
// or a 403: EDGAR took us for an undeclared or over-limit client): the cause and the
// setting in the MCP host's env block. "" for any other failure (retrying may help).
std::string setup_advice(const SecFetchError& e);
// The whole reply of an SEC tool asked while no contact is set; nullopt when one is.
std::optional<std::string> contact_missing_reply();
// Throttle page of www.sec.gov ("Request Rate Threshold Exceeded", "declare your traffic", ...).
bool looks_like_throttle_page(const std::string& body);

// ---- issuers -----------------------------------------------------------------
// {cik (10 digits), cik_int, name, primary_ticker, issuer_tickers[]}; null when the
// ticker is not in the SEC list. Tickers are matched case-insensitively with "." and
// "-" as the same class separator (BRK.B = BRK-B). The list is cached for a day under
// the home directory. Throws SecFetchError when the list cannot be fetched.
json resolve_issuer(const std::string& ticker);
// Same rule on a given company_tickers.json body (no network).
json resolve_issuer_in(const json& company_tickers, const std::string& ticker);

// ---- submissions ---------------------------------------------------------------
// {cik, name, sic, sic_description, tickers, fiscal_year_end, rows[], pages[]}.
// rows (newest first): accession_no, filing_date, report_date, acceptance_time (New
// York wall clock, "YYYY-MM-DDTHH:MM:SS"), form, items[], primary_document,
// description, size, is_xbrl, url (primary document, "" when none).
// pages: {name, filing_from, filing_to, filing_count}.
json submissions(const std::string& cik);
// Rows of one older page file ("CIK##########-submissions-001.json").
json submissions_page(const std::string& cik, const std::string& page_name);
// Parsers behind the two (no network). Throw SecFetchError on inconsistent arrays.
json parse_submissions(const json& body);
json parse_filing_arrays(const json& arrays, const std::string& cik);

std::string accession_digits(const std::string& accession_no);   // dashes removed
std::string filing_folder_url(const std::string& cik, const std::string& accession_no);

// ---- filing documents ----------------------------------------------------------
// Documents of one filing folder: [{name, type, size (int or null), last_modified, url}].
json fetch_filing_index(const std::string& cik, const std::string& accession_no);
json parse_filing_index(const json& body, const std::string& folder_url);
// Plain text of a document (HTML/inline XBRL stripped, entities decoded).
std::string fetch_filing_text(const std::string& url);
std::string html_to_text(const std::string& html);

inline constexpr int FIND_MAX_MATCHES = 5;
// Code-point offsets of every case-insensitive occurrence of keyword.
std::vector<size_t> find_all_matches(const std::string& text, const std::string& keyword);
// One snippet (about `radius` code points either side) per offset.
std::vector<std::string> match_snippets(const std::string& text, const std::vector<size_t>& offsets,
                                        size_t keyword_len, size_t radius = 160);

// Clause excerpts by category: {categories: [{category, count, excerpts[]}],
// unconfirmed: [category...]} in a fixed category order.
json extract_dilution_facts(const std::string& text);
json extract_contract_facts(const std::string& text);

// ---- XBRL ----------------------------------------------------------------------
// One concept asked tag by tag (companyconcept API), each tag's outcome kept apart:
// a tag that failed is named even when another tag answered, since the failed one
// may hold the later (or the only current) value. Every tag request is recorded in
// the call's ledger as "sec.concept:<Tag>".
struct ConceptLookup {
  // The latest fact among the tags that answered: {value, end, start?, unit, tag,
  // taxonomy, filed, form, accn, fy, fp}; null when none has one. Among tags with
  // facts the latest period end wins (ties: the earlier tag).
  json fact;
  std::vector<std::pair<std::string, std::string>> failed_tags;   // tag, short reason
  bool complete() const { return failed_tags.empty(); }
  // "Tag: reason; Tag: reason" ("" when every tag answered).
  std::string failure_text() const;
};
ConceptLookup concept_lookup(const std::string& cik, const std::vector<std::string>& tags,
                             const std::string& taxonomy = "us-gaap");
// The latest fact when every tag answered; null when no tag exists for the company
// (404) or none has a fact. Any failed tag throws SecFetchError naming it, also when
// another tag answered (that answer cannot be called the latest).
json get_concept_latest(const std::string& cik, const std::vector<std::string>& tags,
                        const std::string& taxonomy = "us-gaap");
// The latest fact of one concept body ({units: {UNIT: [fact...]}}): latest `end`,
// then latest `filed`; null when there is none.
json latest_fact(const json& concept_body);

}  // namespace tessaro::sec
