// Broker research: reports on one stock, the latest reports of a research
// category, one report's summary and PDF address, and the analysts' consensus.
//
// The consensus target comes from the mobile integration record
// (consensusInfo). Rating counts (now and one month ago) and the target-price
// trend are counted from the stock's broker-report list: for each broker its
// latest report inside a three-month window, the same window the site uses for
// its consensus average. Records say so under "*_basis" keys.
#include <re2/re2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "core/text.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::naver {

// Broker report list and the consensus block (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kResearchListShape = contracts::declare(
    {"naver.research", "네이버 종목 리포트 목록", false,
     {{"[]", contracts::Kind::Object},
      {"[].nid", contracts::Kind::Any},
      {"[].title", contracts::Kind::String},
      {"[].brokerName", contracts::Kind::String},
      {"[].writeDate", contracts::Kind::String},
      {"[].goalPrice", contracts::Kind::Any, false},
      {"[].opinion", contracts::Kind::Any, false}}});
// The mobile integration record, read for the consensus block here and for an
// ETF's key figures (sources/naver/etf.cpp): what those readers take from it is
// the top-level key-figure list, entries {code, value} with text values. The
// rest is reported when absent, never failing a body the readers can use.
static const contracts::Contract& kIntegrationShape = contracts::declare(
    {"naver.integration", "네이버 종목 종합 정보", false,
     {{"totalInfos", contracts::Kind::Array},
      {"totalInfos[].code", contracts::Kind::String},
      {"totalInfos[].value", contracts::Kind::String},
      {"itemCode", contracts::Kind::String, false},
      {"consensusInfo", contracts::Kind::Object, false},
      {"dealTrendInfos", contracts::Kind::Array, false}}});
// One report's page on the mobile site: the PDF link (the "원문 보기" anchor, a
// research PDF address or any PDF link) and the page description that holds
// the summary (the list usually gives the summary already, so it is optional).
static const contracts::Contract& kReportPageShape = contracts::declare(
    {"naver.report_page", "네이버 리포트 페이지", true,
     {{"PDF link", contracts::Kind::Marker, true, "원문", {"stock-research", ".pdf"}},
      {"description meta", contracts::Kind::Marker, false, "og:description", {"name=\"description\""}}}});

const std::vector<std::string> RESEARCH_KINDS = {"market", "invest", "economy", "debenture", "industry", "company"};

namespace {

constexpr const char* kStockHost = "stock.naver.com";
constexpr const char* kMobileHost = "m.stock.naver.com";
constexpr const char* kMainHost = "finance.naver.com";
constexpr const char* kPageBase = "https://m.stock.naver.com";
constexpr int kConsensusWindowDays = 92;
constexpr int kOneMonthDays = 30;
constexpr int kHistoryMonths = 12;
constexpr int kConsensusReports = 100;

// ---- small helpers ----------------------------------------------------------


json positive_int(const std::string& s) {
  auto v = fmt::parse_int(s);
  if (!v || *v <= 0) return nullptr;
  return *v;
}

json nonneg_int(const std::string& s) {
  auto v = fmt::parse_int(s);
  if (!v || *v < 0) return nullptr;
  return *v;
}

// HTML summary to plain text, one paragraph a line.
std::string html_to_text(const std::string& html) {
  std::string s = html;
  static const RE2 kBreak(R"((?i)<\s*(br\s*/?|/p|/div|/li|/h\d)\s*>)");
  RE2::GlobalReplace(&s, kBreak, "\n");
  s = text::strip_html(s);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= s.size()) {
    size_t nl = s.find('\n', start);
    std::string line = text::squash_spaces(s.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (!line.empty()) lines.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return fmt::join(lines, "\n");
}

std::string day_of(const std::string& raw) {
  auto d = rmeta::normalize_day(raw);
  return d ? *d : raw;
}

const json& list_in(const json& j) {
  static const json kEmpty = json::array();
  if (j.is_array()) return j;
  if (j.is_object())
    for (const char* k : {"content", "data", "result", "items", "list"})
      if (j.contains(k) && j[k].is_array()) return j[k];
  return kEmpty;
}

// ---- report cache: what list calls learned about a report --------------------

struct Known {
  std::string summary;
  std::string pdf_url;
  std::string page_url;
  bool pdf_known = false;   // pdf_url came from a source that carries it
};
std::mutex g_mu;
std::map<std::string, Known> g_known;

void remember(const std::string& nid, const std::string& summary, const std::string& pdf_url,
              const std::string& page_url, bool pdf_known) {
  if (nid.empty()) return;
  std::lock_guard<std::mutex> lk(g_mu);
  if (g_known.size() > 4096) g_known.clear();
  Known& k = g_known[nid];
  if (!summary.empty()) k.summary = summary;
  if (!page_url.empty()) k.page_url = page_url;
  if (pdf_known) {
    k.pdf_url = pdf_url;
    k.pdf_known = true;
  }
}

std::optional<Known> known(const std::string& nid) {
  std::lock_guard<std::mutex> lk(g_mu);
  auto it = g_known.find(nid);
  if (it == g_known.end()) return std::nullopt;
  return it->second;
}

// ---- one stock's report list ------------------------------------------------

json report_item(const json& r) {
  std::string nid = parse::text(r, "nid");
  std::string summary = html_to_text(parse::text(r, "content"));
  std::string pdf = parse::text(r, "attachUrl");
  std::string page = nid.empty() ? "" : std::string(kPageBase) + "/research/company/" + nid;
  remember(nid, summary, pdf, page, true);
  json item = json::object();
  item["nid"] = nid;
  item["title"] = html_to_text(parse::text(r, "title"));
  item["broker"] = parse::text(r, "brokerName");
  item["date"] = day_of(parse::text(r, "writeDate"));
  item["target_price"] = positive_int(parse::text(r, "goalPrice"));
  item["prev_target_price"] = positive_int(parse::text(r, "prevGoalPrice"));
  item["opinion"] = parse::text(r, "opinion");
  item["views"] = nonneg_int(parse::text(r, "readCount"));
  item["summary"] = summary;
  item["pdf_url"] = pdf;
  item["page_url"] = page;
  item["code"] = parse::text(r, "itemcode");
  item["name"] = parse::text(r, "itemname");
  return item;
}

// The mobile site's list of a stock's reports: no target price, opinion or PDF
// link, so those stay missing (never a 0 or an empty opinion read as one).
json mobile_report_item(const json& r) {
  std::string nid = parse::text(r, "researchId");
  std::string summary = html_to_text(parse::text(r, "previewContent"));
  std::string page = nid.empty() ? "" : std::string(kPageBase) + "/research/company/" + nid;
  remember(nid, summary, "", page, false);
  json item = json::object();
  item["nid"] = nid;
  item["title"] = html_to_text(parse::text(r, "title"));
  item["broker"] = parse::text(r, "brokerName");
  item["date"] = day_of(parse::text(r, "writeDate"));
  item["target_price"] = nullptr;
  item["prev_target_price"] = nullptr;
  item["opinion"] = "";
  item["views"] = nonneg_int(parse::text(r, "readCount"));
  item["summary"] = summary;
  item["pdf_url"] = "";
  item["page_url"] = page;
  item["code"] = parse::text(r, "itemCode");
  item["name"] = parse::text(r, "itemName");
  return item;
}

json fetch_reports(const std::string& code, int size) {
  json j;
  bool mobile = false;
  try {
    j = fetch_json(kStockHost, http::Target("/api/domestic/research/{}/research?page=0&size={}", code, size));
  } catch (const HTTPError&) {
    // The list on the mobile site; when that fails too, the first failure stands.
    auto primary = std::current_exception();
    try {
      j = fetch_json(kMobileHost, http::Target("/api/research/stock/{}?pageSize={}", code, size));
      mobile = true;
    } catch (const Error&) {
      std::rethrow_exception(primary);
    }
  }
  if (!j.is_array() && !j.is_object())
    throw NaverParseError(contracts::problem(kResearchListShape, j).value_or("리포트 목록 형식이 아닙니다"));
  if (mobile) {
    json out = json::array();
    for (const auto& r : list_in(j))
      if (r.is_object()) {
        json item = mobile_report_item(r);
        if (!item["nid"].get<std::string>().empty() || !item["title"].get<std::string>().empty())
          out.push_back(item);
      }
    return out;
  }
  json out = json::array();
  for (const auto& r : list_in(j)) {
    if (!r.is_object()) continue;
    json item = report_item(r);
    if (item["nid"].get<std::string>().empty() && item["title"].get<std::string>().empty()) continue;
    out.push_back(item);
  }
  return out;
}

// ---- dates ------------------------------------------------------------------

using Days = std::chrono::sys_days;

std::optional<Days> parse_day(const std::string& s) {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
  auto y = fmt::parse_int(s.substr(0, 4)), m = fmt::parse_int(s.substr(5, 2)), d = fmt::parse_int(s.substr(8, 2));
  if (!y || !m || !d) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year(static_cast<int>(*y)),
                                  std::chrono::month(static_cast<unsigned>(*m)),
                                  std::chrono::day(static_cast<unsigned>(*d))};
  if (!ymd.ok()) return std::nullopt;
  return Days(ymd);
}

// Today in Korea; TESSARO_NOW (ISO 8601, the process-wide frozen clock) wins.
Days today_kst() {
  if (const char* env = std::getenv("TESSARO_NOW"); env && *env) {
    auto d = rmeta::normalize_day(std::string(env));
    if (d)
      if (auto p = parse_day(*d)) return *p;
  }
  auto now = std::chrono::system_clock::now() + std::chrono::hours(9);
  return std::chrono::floor<std::chrono::days>(now);
}

// ---- consensus ----------------------------------------------------------------

std::string rating_label(const std::string& raw) {
  std::string t = fmt::trim(raw);
  std::string u = fmt::upper(fmt::replace_all(t, "_", " "));
  if (u.empty() || u == "NR" || u == "N/R" || u == "NOT RATED" || u == "-") return "";
  static const std::map<std::string, std::string> kMap = {
      {"BUY", "매수"},          {"STRONG BUY", "적극매수"}, {"STRONGBUY", "적극매수"},
      {"HOLD", "중립"},         {"NEUTRAL", "중립"},       {"MARKET PERFORM", "중립"},
      {"MARKETPERFORM", "중립"}, {"SELL", "매도"},         {"TRADING BUY", "단기매수"}};
  auto it = kMap.find(u);
  return it != kMap.end() ? it->second : t;
}

struct Dated {
  Days day;
  std::string broker;
  std::string rating;
  std::optional<long long> target;
};

// Each broker's latest report written in (end - window, end].
std::vector<const Dated*> latest_per_broker(const std::vector<Dated>& reports, Days end) {
  std::map<std::string, const Dated*> best;
  for (const auto& r : reports) {
    if (r.day > end || r.day <= end - std::chrono::days(kConsensusWindowDays)) continue;
    std::string key = r.broker.empty() ? "?" : r.broker;
    auto it = best.find(key);
    if (it == best.end() || r.day > it->second->day) best[key] = &r;
  }
  std::vector<const Dated*> out;
  for (const auto& [_, r] : best) out.push_back(r);
  return out;
}

std::string day_text(Days d) {
  std::chrono::year_month_day ymd(d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()));
  return buf;
}

json rating_summary(const std::vector<Dated>& reports, Days end) {
  std::map<std::string, int> counts;
  for (const Dated* r : latest_per_broker(reports, end))
    if (!r->rating.empty()) ++counts[r->rating];
  // Most frequent rating first.
  std::vector<std::pair<std::string, int>> sorted(counts.begin(), counts.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) { return x.second > y.second; });
  json values = json::object();
  for (const auto& [label, n] : sorted) values[label] = n;
  return {{"values", values}, {"as_of", day_text(end)}};
}

std::optional<double> mean_target(const std::vector<Dated>& reports, Days end) {
  double sum = 0;
  int n = 0;
  for (const Dated* r : latest_per_broker(reports, end))
    if (r->target) {
      sum += static_cast<double>(*r->target);
      ++n;
    }
  if (n == 0) return std::nullopt;
  return sum / n;
}

long long unix_of(Days d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count();
}

}  // namespace

json get_reports(const std::string& code, int count) {
  std::string c = fmt::trim(code);
  if (c.empty() || count <= 0) return json::array();
  json items = fetch_reports(c, count);
  json out = json::array();
  for (auto& it : items) {
    if (static_cast<int>(out.size()) >= count) break;
    out.push_back(std::move(it));
  }
  return out;
}

json get_consensus(const std::string& code) {
  std::string c = fmt::trim(code);
  if (c.empty()) return json::object();
  std::exception_ptr first_error;
  bool integration_gone = false;
  json info = json::object();
  try {
    json integ = fetch_json(kMobileHost, http::Target("/api/stock/{}/integration", c));
    if (integ.is_object() && integ.contains("consensusInfo") && integ["consensusInfo"].is_object())
      info = integ["consensusInfo"];
    // The consensus is still read from a changed page; the change is the error
    // to give when the reports fail too.
    if (auto bad = contracts::problem(kIntegrationShape, integ))
      first_error = std::make_exception_ptr(NaverParseError(*bad + ": " + c));
  } catch (const HTTPStatusError& e) {
    integration_gone = e.endpoint_gone();
    first_error = std::current_exception();
  } catch (const Error&) {
    first_error = std::current_exception();
  }
  json reports = json::array();
  bool reports_ok = true;
  try {
    reports = fetch_reports(c, kConsensusReports);
  } catch (const Error&) {
    reports_ok = false;
    if (!first_error) first_error = std::current_exception();
  }
  if (!reports_ok && info.empty() && first_error) std::rethrow_exception(first_error);
  // The stock's own page is 404 and no broker writes about it: no such code
  // (a typo or a delisted stock), which the caller tells apart from "no consensus".
  if (integration_gone && reports.empty()) std::rethrow_exception(first_error);

  Days today = today_kst();
  std::vector<Dated> dated;
  std::optional<Days> oldest, newest;
  for (const auto& r : reports) {
    auto d = parse_day(r.value("date", std::string()));
    if (!d) continue;
    Dated x{*d, r.value("broker", std::string()), rating_label(r.value("opinion", std::string())), std::nullopt};
    if (r["target_price"].is_number_integer()) x.target = r["target_price"].get<long long>();
    dated.push_back(std::move(x));
    if (!oldest || *d < *oldest) oldest = *d;
    if (!newest || *d > *newest) newest = *d;
  }
  // With a full page, older reports exist that we did not read: a window that
  // reaches before the oldest report read would be counted short.
  bool list_full = static_cast<int>(reports.size()) >= kConsensusReports;
  auto window_complete = [&](Days end) {
    return !list_full || (oldest && end - std::chrono::days(kConsensusWindowDays) >= *oldest);
  };

  json out = json::object();
  out["code"] = c;
  std::optional<double> target;
  std::string target_basis;
  if (auto t = fmt::parse_number(parse::text(info, "priceTargetMean")); t && *t > 0) {
    target = *t;
    target_basis = "consensus";
  } else if (auto m = mean_target(dated, today); m && window_complete(today)) {
    target = *m;
    target_basis = "broker_reports";
  }
  out["target_price"] = target ? json(*target) : json(nullptr);
  out["target_price_basis"] = target_basis.empty() ? json(nullptr) : json(target_basis);
  auto recomm = fmt::parse_number(parse::text(info, "recommMean"));
  out["recomm_mean"] = recomm ? json(*recomm) : json(nullptr);
  auto created = rmeta::normalize_day(parse::text(info, "createDate"));
  out["consensus_date"] = created ? json(*created) : json(nullptr);

  json opinion = json(nullptr), opinion_1m = json(nullptr);
  if (!dated.empty()) {
    if (window_complete(today)) opinion = rating_summary(dated, today);
    Days month_ago = today - std::chrono::days(kOneMonthDays);
    if (window_complete(month_ago)) opinion_1m = rating_summary(dated, month_ago);
  }
  out["opinion"] = opinion;
  out["opinion_1m_ago"] = opinion_1m;

  // Month by month, the mean of each broker's latest target inside the window
  // ending at that month's end (today for the running month).
  json history = json::array();
  std::chrono::year_month ym_now{std::chrono::year_month_day(today).year(), std::chrono::year_month_day(today).month()};
  for (int back = kHistoryMonths - 1; back >= 0 && !dated.empty(); --back) {
    std::chrono::year_month ym = ym_now - std::chrono::months(back);
    Days first = Days(ym / std::chrono::day(1));
    Days last = Days(ym / std::chrono::last);
    Days end = last < today ? last : today;
    if (!window_complete(end)) continue;
    auto m = mean_target(dated, end);
    if (!m) continue;
    history.push_back({{"price", fmt::round_ll(*m)}, {"date", unix_of(first)}});
  }
  out["target_price_history"] = history;
  // The history is dated by month; the day the numbers are as of is the newest
  // report they were made from.
  out["latest_report_date"] = newest ? json(day_text(*newest)) : json(nullptr);
  out["opinion_basis"] = dated.empty() ? json(nullptr) : json("broker_reports");
  out["report_window_days"] = kConsensusWindowDays;
  out["reports_read"] = static_cast<long long>(reports.size());
  // The report list failed: counts from it are unknown, not zero.
  if (!reports_ok) out["reports_failed"] = true;
  // Operating/net profit surprise against consensus is not published on the
  // pages this source reads.
  out["earnings_surprise"] = json::object();
  out["earnings_surprise_periods"] = json::array();
  out["earnings_surprise_dates"] = json::object();

  bool has_opinion = opinion.is_object() && !opinion["values"].empty();
  if (!target && !has_opinion && history.empty()) return json::object();
  return out;
}

// ---- research categories -------------------------------------------------------

namespace {

std::string nid_from_url(const std::string& u) {
  static const RE2 kTail(R"(/research/[a-z]+/(\d+))");
  std::string id;
  if (RE2::PartialMatch(u, kTail, &id)) return id;
  return "";
}

json category_row(const json& r, const std::string& kind) {
  std::string nid = parse::text(r, "researchId");
  if (nid.empty()) nid = parse::text(r, "nid");
  std::string page = parse::text(r, "endUrl");
  if (nid.empty()) nid = nid_from_url(page);
  std::string summary = html_to_text(parse::text(r, "content"));
  std::string pdf = parse::text(r, "attachUrl");
  remember(nid, summary, pdf, page, !pdf.empty());
  std::string industry;
  for (const char* k : {"industryName", "upjongName", "sectorName", "industry"}) {
    industry = parse::text(r, k);
    if (!industry.empty()) break;
  }
  if (industry.empty() && kind == "industry") industry = parse::text(r, "itemName");
  json row = json::object();
  row["nid"] = nid;
  row["title"] = html_to_text(parse::text(r, "title"));
  row["broker"] = parse::text(r, "brokerName");
  row["date"] = day_of(parse::text(r, "writeDate"));
  row["views"] = nonneg_int(parse::text(r, "readCount"));
  row["industry"] = industry;
  row["category"] = parse::text(r, "researchCategory").empty() ? parse::text(r, "category") : parse::text(r, "researchCategory");
  row["code"] = parse::text(r, "itemCode");
  row["name"] = parse::text(r, "itemName");
  row["opinion"] = parse::text(r, "opinion");
  row["target_price"] = positive_int(parse::text(r, "goalPrice"));
  row["page_url"] = page;
  row["summary"] = summary;
  return row;
}

}  // namespace

json get_research_by_kind(const std::string& kind, int count) {
  std::string k = fmt::lower(fmt::trim(kind));
  bool valid = false;
  for (const auto& x : RESEARCH_KINDS) valid = valid || x == k;
  if (!valid || count <= 0) return json::array();

  json rows = json::array();
  std::set<std::string> seen;
  auto add = [&](const json& r) {
    json row = category_row(r, k);
    std::string id = row["nid"].get<std::string>();
    if (!id.empty() && !seen.insert(id).second) return;
    if (static_cast<int>(rows.size()) < count) rows.push_back(std::move(row));
  };
  std::exception_ptr first_error;
  try {
    json j = fetch_json(kStockHost, http::Target("/api/domestic/research/category-lastest"));
    if (!j.is_object()) throw NaverParseError("리서치 갈래 목록 형식이 아닙니다");
    std::string key = fmt::upper(k);
    if (j.contains(key) && j[key].is_array())
      for (const auto& r : j[key])
        if (r.is_object()) add(r);
  } catch (const Error&) {
    first_error = std::current_exception();
  }
  // The latest-by-category call carries a few rows each; company and industry
  // have a deeper paged list.
  if (static_cast<int>(rows.size()) < count && (k == "company" || k == "industry")) {
    try {
      LookupName named(RESEARCH_DEEP_LIST);
      json j = fetch_json(kMobileHost, http::Target("/front-api/research/list?category={}&pageSize={}&page=1", k, count));
      for (const auto& r : list_in(j))
        if (r.is_object()) add(r);
      first_error = nullptr;
    } catch (const Error&) {
      if (!first_error && rows.empty()) first_error = std::current_exception();
    }
  }
  if (rows.empty() && first_error) std::rethrow_exception(first_error);
  return rows;
}

std::string report_page_url(const std::string& nid) {
  if (auto k = known(nid); k && !k->page_url.empty()) return k->page_url;
  return std::string(kPageBase) + "/research/company/" + nid;
}

// ---- one report ------------------------------------------------------------------

namespace {

std::string unescape_json_slashes(std::string s) {
  s = fmt::replace_all(std::move(s), "\\u002F", "/");
  s = fmt::replace_all(std::move(s), "\\u002f", "/");
  return fmt::replace_all(std::move(s), "\\/", "/");
}

// The PDF link of a report page: the "원문 보기" anchor, else any research PDF
// address on the page.
std::string find_pdf(const std::string& html) {
  std::string s = unescape_json_slashes(html);
  static const RE2 kAnchor(R"((?is)<a\s[^>]*?href\s*=\s*["']([^"']+)["'][^>]*>(.*?)</a>)");
  std::string href, inner;
  re2::StringPiece rest(s);
  while (RE2::FindAndConsume(&rest, kAnchor, &href, &inner))
    if (inner.find("원문") != std::string::npos) return text::decode_entities(href);
  static const RE2 kResearchPdf(R"((https?://[^"'\s<>]*stock-research[^"'\s<>]*\.pdf))");
  if (RE2::PartialMatch(s, kResearchPdf, &href)) return href;
  static const RE2 kAnyPdf(R"((?i)href\s*=\s*["']([^"']+\.pdf[^"']*)["'])");
  if (RE2::PartialMatch(s, kAnyPdf, &href)) return text::decode_entities(href);
  return "";
}

std::string find_summary(const std::string& html) {
  static const RE2 kOg(R"((?is)<meta\s[^>]*property\s*=\s*["']og:description["'][^>]*content\s*=\s*["']([^"']*)["'])");
  static const RE2 kDesc(R"((?is)<meta\s[^>]*name\s*=\s*["']description["'][^>]*content\s*=\s*["']([^"']*)["'])");
  std::string v;
  if (RE2::PartialMatch(html, kOg, &v) || RE2::PartialMatch(html, kDesc, &v))
    return text::squash_spaces(text::decode_entities(v));
  return "";
}

std::string absolute(const std::string& href, const std::string& origin) {
  if (href.empty() || fmt::starts_with(href, "http://") || fmt::starts_with(href, "https://")) return href;
  if (fmt::starts_with(href, "//")) return "https:" + href;
  if (href[0] == '/') return origin + href;
  return origin + "/" + href;
}

}  // namespace

json get_report_detail(const std::string& nid) {
  std::string id = fmt::trim(nid);
  if (id.empty()) return json::object();
  auto k = known(id);
  std::string page = report_page_url(id);
  std::string page_problem;   // the report page read, but not of the shape we read
  auto make = [&](const std::string& summary, const std::string& pdf, std::vector<std::string> misses) {
    json d = json::object();
    d["nid"] = id;
    d["summary"] = summary.empty() ? std::string(PARSE_MISS_KEY) : summary;
    d["pdf_url"] = pdf;
    d["page_url"] = page;
    if (summary.empty()) misses.insert(misses.begin(), "summary");
    if (!misses.empty()) d[PARSE_MISS_KEY] = misses;
    if (!page_problem.empty() && std::find(misses.begin(), misses.end(), "pdf_url") != misses.end())
      d[PAGE_PROBLEM_KEY] = page_problem;
    return d;
  };
  if (k && k->pdf_known && !k->summary.empty()) return make(k->summary, k->pdf_url, {});

  http::Target path("/research/company/{}", id);
  if (fmt::starts_with(page, kPageBase)) path = http::Target::given(page.substr(std::string(kPageBase).size()));
  std::exception_ptr first_error;
  std::string pdf, summary;
  bool read_any = false;
  try {
    std::string html = fetch_text(kMobileHost, path);
    read_any = true;
    pdf = absolute(find_pdf(html), kPageBase);
    summary = find_summary(html);
    if (pdf.empty()) page_problem = contracts::problem_text(kReportPageShape, html).value_or("");
  } catch (const HTTPError&) {
    first_error = std::current_exception();
  }
  if (pdf.empty()) {
    // The older research page of the desktop site (EUC-KR).
    try {
      std::string html = fetch_text(kMainHost, http::Target("/research/company_read.naver?nid={}", id), true);
      read_any = true;
      pdf = absolute(find_pdf(html), "https://finance.naver.com");
      if (summary.empty()) summary = find_summary(html);
    } catch (const HTTPError&) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (k && !k->summary.empty()) summary = k->summary;
  if (k && k->pdf_known && pdf.empty()) pdf = k->pdf_url;
  if (!read_any && !k && first_error) std::rethrow_exception(first_error);
  remember(id, summary, pdf, "", !pdf.empty());
  std::vector<std::string> misses;
  if (pdf.empty() && !(k && k->pdf_known)) misses.push_back("pdf_url");
  return make(summary, pdf, misses);
}

}  // namespace tessaro::naver
