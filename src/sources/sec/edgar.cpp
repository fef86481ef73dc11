// Issuers, submissions and filing folders of SEC EDGAR.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "core/files.hpp"
#include "core/format.hpp"
#include "sources/contracts.hpp"
#include "sources/sec/client.hpp"
#include "sources/sec/sec.hpp"

namespace tessaro::sec {

// EDGAR answers read here (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kTickersShape = contracts::declare(
    {"sec.tickers", "SEC 티커 목록", false,
     {{"0", contracts::Kind::Object}, {"0.cik_str", contracts::Kind::Number}, {"0.ticker", contracts::Kind::String}, {"0.title", contracts::Kind::String}}});
static const contracts::Contract& kSubmissionsShape = contracts::declare(
    {"sec.submissions", "SEC submissions", false,
     {{"cik", contracts::Kind::Any},
      {"name", contracts::Kind::String, false},
      {"filings.recent", contracts::Kind::Object},
      {"filings.recent.accessionNumber", contracts::Kind::Array},
      {"filings.recent.form", contracts::Kind::Array},
      {"filings.recent.filingDate", contracts::Kind::Array},
      {"filings.recent.primaryDocument", contracts::Kind::Array, false},
      {"filings.recent.reportDate", contracts::Kind::Array, false}}});
[[maybe_unused]] static const contracts::Contract& kCompanyFactsShape = contracts::declare(
    {"sec.companyfacts", "SEC companyfacts", false,
     {{"cik", contracts::Kind::Any},
      {"entityName", contracts::Kind::String},
      {"facts", contracts::Kind::Object},
      {"facts.us-gaap", contracts::Kind::Object},
      {"facts.dei", contracts::Kind::Object, false}}});

namespace {

// Class separators differ between sources: BRK.B, BRK-B, BRK/B are one ticker.
std::string ticker_key(const std::string& t) {
  std::string k = fmt::upper(fmt::trim(t));
  for (char& c : k)
    if (c == '.' || c == '/') c = '-';
  return k;
}

std::string str_of(const json& j, const char* key) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_string()) return "";
  return j[key].get<std::string>();
}

long long index_key(const std::string& k) {
  auto v = fmt::parse_int(k);
  return v ? *v : (1LL << 40);
}

// ---- company_tickers.json with a day-long disk cache ---------------------------

std::filesystem::path tickers_cache_path() { return home_dir() / "cache" / "sec" / "company_tickers.json"; }

json load_company_tickers() {
  static std::mutex m;
  static json mem;
  static std::string mem_key;
  static std::chrono::steady_clock::time_point mem_at;
  std::lock_guard<std::mutex> lk(m);
  auto now = std::chrono::steady_clock::now();
  auto path = tickers_cache_path();
  // One list per upstream and home (tests point both elsewhere).
  std::string key = detail::www_base() + "|" + path.string();
  if (!mem.is_null() && mem_key == key && now - mem_at < std::chrono::hours(24)) return mem;

  json stale;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    if (auto text = read_file(path)) {
      try {
        json j = json::parse(*text);
        if (j.is_object() && !j.empty()) {
          auto age = std::filesystem::file_time_type::clock::now() - std::filesystem::last_write_time(path, ec);
          if (!ec && age < std::chrono::hours(24)) {
            mem = j;
            mem_key = key;
            mem_at = now;
            return mem;
          }
          stale = std::move(j);
        }
      } catch (const std::exception&) {
      }
    }
  }
  try {
    json j = detail::request_json(detail::www(http::Target("/files/company_tickers.json")), 30.0);
    if (!j.is_object() || j.empty())
      throw SecFetchError(contracts::problem(kTickersShape, j).value_or("SEC 티커 목록 형식이 예상과 다릅니다"));
    try {
      write_file_atomic(path, j.dump());
    } catch (const std::exception&) {
      // A read-only home only costs a refetch next time.
    }
    mem = j;
    mem_key = key;
    mem_at = now;
    return mem;
  } catch (const SecFetchError&) {
    // A list from a few days ago still maps tickers to CIKs correctly.
    if (!stale.is_null()) return stale;
    throw;
  }
}

}  // namespace

json resolve_issuer_in(const json& list, const std::string& ticker) {
  std::string want = ticker_key(ticker);
  if (want.empty() || !list.is_object()) return nullptr;
  long long cik = -1;
  std::string name;
  for (auto& [k, e] : list.items()) {
    if (!e.is_object() || ticker_key(str_of(e, "ticker")) != want) continue;
    const json& c = e.value("cik_str", json());
    if (c.is_number_integer()) cik = c.get<long long>();
    else if (c.is_string()) cik = fmt::parse_int(c.get<std::string>()).value_or(-1);
    name = str_of(e, "title");
    break;
  }
  if (cik < 0) return nullptr;
  std::vector<std::pair<long long, std::string>> classes;
  for (auto& [k, e] : list.items()) {
    if (!e.is_object()) continue;
    const json& c = e.value("cik_str", json());
    long long v = c.is_number_integer() ? c.get<long long>()
                  : c.is_string()       ? fmt::parse_int(c.get<std::string>()).value_or(-2)
                                        : -2;
    if (v == cik) classes.emplace_back(index_key(k), str_of(e, "ticker"));
  }
  // The file lists larger issues first: the lower index is the more prominent class.
  std::stable_sort(classes.begin(), classes.end(), [](auto& a, auto& b) { return a.first < b.first; });
  json tickers = json::array();
  for (auto& [i, t] : classes) tickers.push_back(t);
  std::string cik10 = detail::pad_cik(std::to_string(cik));
  return json{{"cik", cik10},
              {"cik_int", cik},
              {"name", name},
              {"primary_ticker", classes.empty() ? ticker : classes.front().second},
              {"issuer_tickers", tickers}};
}

json resolve_issuer(const std::string& ticker) {
  json list = detail::recorded("sec.company_tickers", [] { return load_company_tickers(); });
  return resolve_issuer_in(list, ticker);
}

std::optional<std::string> cik_for(const std::string& ticker) {
  json is = resolve_issuer(ticker);
  if (is.is_null()) return std::nullopt;
  return is["cik"].get<std::string>();
}

// ---- submissions ----------------------------------------------------------------

std::string accession_digits(const std::string& accession_no) {
  std::string d;
  for (char c : accession_no)
    if (std::isdigit(static_cast<unsigned char>(c))) d += c;
  return d;
}

std::string filing_folder_url(const std::string& cik, const std::string& accession_no) {
  std::string c = detail::pad_cik(cik);
  std::string unpadded = c.empty() ? cik : std::to_string(std::stoll(c));
  return detail::www(http::Target("/Archives/edgar/data/{}/{}/", unpadded, accession_digits(accession_no))).str();
}

json parse_filing_arrays(const json& a, const std::string& cik) {
  if (!a.is_object() || !a.contains("accessionNumber") || !a["accessionNumber"].is_array())
    throw SecFetchError(contracts::problem(kSubmissionsShape, json{{"filings", {{"recent", a}}}})
                            .value_or("submissions 에 accessionNumber 배열이 없습니다"));
  size_t n = a["accessionNumber"].size();
  for (auto& [k, v] : a.items()) {
    if (v.is_array() && v.size() != n)
      throw SecFetchError("submissions 배열 길이가 서로 다릅니다 (" + k + " " + std::to_string(v.size()) +
                          " / accessionNumber " + std::to_string(n) + ")");
  }
  auto at_str = [&](const char* key, size_t i) -> std::string {
    if (!a.contains(key) || !a[key].is_array()) return "";
    const json& v = a[key][i];
    return v.is_string() ? v.get<std::string>() : "";
  };
  json rows = json::array();
  for (size_t i = 0; i < n; ++i) {
    std::string acc = at_str("accessionNumber", i);
    std::string doc = at_str("primaryDocument", i);
    // acceptanceDateTime carries a "Z" but is New York wall-clock time.
    std::string accept = at_str("acceptanceDateTime", i);
    if (accept.size() >= 19) accept = accept.substr(0, 19);
    json items = json::array();
    for (auto& it : [&] {
           std::vector<std::string> out;
           std::string s = at_str("items", i), cur;
           for (char c : s + ",") {
             if (c == ',') {
               cur = fmt::trim(cur);
               if (!cur.empty()) out.push_back(cur);
               cur.clear();
             } else {
               cur += c;
             }
           }
           return out;
         }())
      items.push_back(it);
    json size = nullptr;
    if (a.contains("size") && a["size"].is_array() && a["size"][i].is_number()) size = a["size"][i];
    json xbrl = nullptr;
    if (a.contains("isXBRL") && a["isXBRL"].is_array() && a["isXBRL"][i].is_number())
      xbrl = a["isXBRL"][i].get<int>() != 0;
    std::string report = at_str("reportDate", i);
    rows.push_back({{"accession_no", acc},
                    {"filing_date", at_str("filingDate", i)},
                    {"report_date", report.empty() ? json(nullptr) : json(report)},
                    {"acceptance_time", accept.empty() ? json(nullptr) : json(accept)},
                    {"form", at_str("form", i)},
                    {"items", items},
                    {"primary_document", doc},
                    {"description", at_str("primaryDocDescription", i)},
                    {"size", size},
                    {"is_xbrl", xbrl},
                    {"url", doc.empty() ? std::string() : filing_folder_url(cik, acc) + doc}});
  }
  return rows;
}

json parse_submissions(const json& body) {
  if (!body.is_object())
    throw SecFetchError(contracts::problem(kSubmissionsShape, body).value_or("submissions 형식이 예상과 다릅니다"));
  std::string cik;
  if (body.contains("cik")) {
    const json& c = body["cik"];
    cik = detail::pad_cik(c.is_string() ? c.get<std::string>() : c.is_number() ? std::to_string(c.get<long long>()) : "");
  }
  json out = {{"cik", cik},
              {"name", str_of(body, "name")},
              {"sic", str_of(body, "sic")},
              {"sic_description", str_of(body, "sicDescription")},
              {"tickers", body.value("tickers", json::array())},
              {"fiscal_year_end", str_of(body, "fiscalYearEnd")}};
  const json filings = body.value("filings", json::object());
  out["rows"] = parse_filing_arrays(filings.value("recent", json::object()), cik);
  json pages = json::array();
  for (const auto& f : filings.value("files", json::array())) {
    if (!f.is_object() || str_of(f, "name").empty()) continue;
    pages.push_back({{"name", str_of(f, "name")},
                     {"filing_from", str_of(f, "filingFrom")},
                     {"filing_to", str_of(f, "filingTo")},
                     {"filing_count", f.value("filingCount", json())}});
  }
  out["pages"] = pages;
  return out;
}

json submissions(const std::string& cik) {
  std::string c = detail::pad_cik(cik);
  if (c.empty()) throw SecFetchError("CIK 형식이 아닙니다: " + cik);
  json s = detail::recorded("sec.submissions", [&] {
    return parse_submissions(detail::request_json(detail::data(http::Target("/submissions/CIK{}.json", c))));
  });
  if (s["cik"].get<std::string>().empty()) s["cik"] = c;
  return s;
}

json submissions_page(const std::string& cik, const std::string& page_name) {
  std::string c = detail::pad_cik(cik);
  if (c.empty()) throw SecFetchError("CIK 형식이 아닙니다: " + cik);
  // Page names are plain file names; anything else is not asked for.
  for (char ch : page_name)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.'))
      throw SecFetchError("잘못된 page 이름입니다: " + page_name);
  return detail::recorded("sec.submissions_page:" + page_name, [&] {
    json body = detail::request_json(detail::data(http::Target("/submissions/{}", page_name)));
    // A page holds the filing arrays at its top level.
    const json& arrays = body.contains("filings") && body["filings"].contains("recent") ? body["filings"]["recent"] : body;
    return parse_filing_arrays(arrays, c);
  });
}

json get_submissions(const std::string& ticker) {
  auto cik = cik_for(ticker);
  if (!cik) return nullptr;
  json s = submissions(*cik);
  for (const auto& p : s["pages"]) {
    json rows = submissions_page(*cik, p["name"].get<std::string>());
    for (auto& r : rows) s["rows"].push_back(std::move(r));
  }
  return s;
}

json get_filing_index(const std::string& ticker, const std::string& accession_no) {
  auto cik = cik_for(ticker);
  if (!cik) return nullptr;
  return fetch_filing_index(*cik, accession_no);
}

std::string get_document(const std::string& ticker, const std::string& accession_no, const std::string& document) {
  auto cik = cik_for(ticker);
  if (!cik) return "";
  // Only a document the filing's index lists is read.
  for (const auto& d : fetch_filing_index(*cik, accession_no))
    if (d.value("name", std::string()) == document)
      return detail::request(http::Url::given(d.value("url", std::string())), 30.0).body;
  return "";
}

json get_company_facts(const std::string& ticker) {
  auto cik = cik_for(ticker);
  if (!cik) return nullptr;
  return detail::request_json(detail::data(http::Target("/api/xbrl/companyfacts/CIK{}.json", *cik)), 60.0);
}

}  // namespace tessaro::sec
