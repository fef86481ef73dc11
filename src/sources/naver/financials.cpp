// Company financial summary of one stock: the mobile finance JSON
// (m.stock.naver.com/api/stock/<code>/finance/annual|quarter; cells
// {"value","cx"}, columns named by trTitleList, consensus columns marked "(E)")
// first, and the 기업실적분석 table of the old main page (which also names the
// statement basis of each column) only when the JSON cannot be had — the main
// page now redirects to the new site.
//
// Cells stay text as the site shows them (thousands separators included);
// placeholder cells ("&nbsp;", "-", "N/A") become the empty string: a missing
// figure is missing, never 0.
#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/text.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// The annual / quarterly statements of m.stock (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kFinanceShape = contracts::declare(
    {"naver.finance", "네이버 재무제표", false,
     {{"financeInfo", contracts::Kind::Object},
      {"financeInfo.trTitleList", contracts::Kind::Array},
      {"financeInfo.trTitleList[].title", contracts::Kind::String},
      {"financeInfo.trTitleList[].key", contracts::Kind::String},
      {"financeInfo.trTitleList[].isConsensus", contracts::Kind::String, false},
      {"financeInfo.rowList", contracts::Kind::Array},
      {"financeInfo.rowList[].title", contracts::Kind::String},
      {"financeInfo.rowList[].columns", contracts::Kind::Object}}});

namespace {

bool is_not_found(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const HTTPStatusError& s) {
    return s.endpoint_gone();
  } catch (...) {
  }
  return false;
}

constexpr const char* kMainHost = "finance.naver.com";
constexpr const char* kMobileHost = "m.stock.naver.com";
constexpr auto kCacheTtl = std::chrono::seconds(60);

// ---- small libxml2 helpers ---------------------------------------------------

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxFree {
  void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};
struct ObjFree {
  void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

DocPtr parse_html(const std::string& utf8) {
  int opts = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
  return DocPtr(htmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8", opts));
}

std::vector<xmlNode*> xpath(xmlDoc* doc, xmlNode* ctx_node, const char* expr) {
  std::vector<xmlNode*> out;
  std::unique_ptr<xmlXPathContext, CtxFree> ctx(xmlXPathNewContext(doc));
  if (!ctx) return out;
  if (ctx_node) ctx->node = ctx_node;
  std::unique_ptr<xmlXPathObject, ObjFree> obj(
      xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expr), ctx.get()));
  if (!obj || !obj->nodesetval) return out;
  for (int i = 0; i < obj->nodesetval->nodeNr; ++i) out.push_back(obj->nodesetval->nodeTab[i]);
  return out;
}

std::string attr(xmlNode* n, const char* name) {
  xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
  if (!v) return "";
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

// Text content with no-break spaces as blanks, runs of white space squashed.
std::string node_text(xmlNode* n) {
  xmlChar* v = xmlNodeGetContent(n);
  if (!v) return "";
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  s = fmt::replace_all(std::move(s), "\xC2\xA0", " ");
  return text::squash_spaces(s);
}

// A period label without inner blanks: "2023.12 (E)" -> "2023.12(E)".
std::string compact(const std::string& s) { return fmt::replace_all(s, " ", ""); }

// Placeholder cells are missing values.
std::string cell_value(const std::string& raw) {
  std::string v = fmt::trim(raw);
  if (v == "-" || v == "N/A" || v == "n/a" || v == "--") return "";
  return v;
}

const char* kSectionXpath =
    "//div[contains(concat(' ', normalize-space(@class), ' '), ' cop_analysis ')]";

// ---- the main-page table -----------------------------------------------------

struct PageResult {
  bool has_section = false;   // the 기업실적분석 block is on the page
  bool looks_like_stock = false;   // the company header is on the page
  json record;                // null when has_section is false
};

json parse_miss_record(const std::string& code, const std::string& name, std::vector<std::string> what) {
  json r = json::object();
  r["code"] = code;
  if (!name.empty()) r["name"] = name;
  r[PARSE_MISS_KEY] = what;
  return r;
}

PageResult parse_main_page(const std::string& utf8, const std::string& code) {
  PageResult out;
  DocPtr doc = parse_html(utf8);
  if (!doc) return out;
  std::string name;
  for (xmlNode* n : xpath(doc.get(), nullptr, "//div[contains(@class,'wrap_company')]//h2")) {
    name = node_text(n);
    if (!name.empty()) break;
  }
  out.looks_like_stock = !name.empty();

  auto sections = xpath(doc.get(), nullptr, kSectionXpath);
  if (sections.empty()) return out;
  out.has_section = true;
  xmlNode* sec = sections.front();

  auto tables = xpath(doc.get(), sec, ".//table[.//tbody/tr]");
  if (tables.empty()) {
    out.record = parse_miss_record(code, name, {"table"});
    return out;
  }
  xmlNode* table = tables.front();
  auto head_rows = xpath(doc.get(), table, "./thead/tr");
  if (head_rows.size() < 2) {
    out.record = parse_miss_record(code, name, {"_periods"});
    return out;
  }

  // Row 1: group headings with their column spans.
  int n_annual = -1, n_quarter = -1;
  for (xmlNode* th : xpath(doc.get(), head_rows[0], "./th")) {
    std::string t = node_text(th);
    std::string span = attr(th, "colspan");
    int cs = span.empty() ? 1 : std::atoi(span.c_str());
    if (t.find("연간") != std::string::npos) n_annual = cs;
    else if (t.find("분기") != std::string::npos) n_quarter = cs;
  }
  // Row 2: period labels; the "(E)" of estimates is an <em> child and stays in the label.
  std::vector<std::string> labels;
  for (xmlNode* th : xpath(doc.get(), head_rows[1], "./th")) labels.push_back(compact(node_text(th)));
  if (n_annual < 0 || n_quarter < 0 || static_cast<int>(labels.size()) != n_annual + n_quarter ||
      labels.empty()) {
    out.record = parse_miss_record(code, name, {"_periods"});
    return out;
  }
  for (const auto& l : labels)
    if (l.empty()) {
      out.record = parse_miss_record(code, name, {"_periods"});
      return out;
    }
  // Row 3 (optional): statement basis per column.
  std::vector<std::string> basis;
  if (head_rows.size() >= 3)
    for (xmlNode* th : xpath(doc.get(), head_rows[2], "./th")) basis.push_back(node_text(th));
  if (basis.size() != labels.size()) basis.assign(labels.size(), "");

  json periods = {{"annual", json::array()}, {"quarterly", json::array()}};
  json fs_basis = {{"annual", json::object()}, {"quarterly", json::object()}};
  for (size_t i = 0; i < labels.size(); ++i) {
    bool annual = static_cast<int>(i) < n_annual;
    periods[annual ? "annual" : "quarterly"].push_back(labels[i]);
    fs_basis[annual ? "annual" : "quarterly"][labels[i]] =
        basis[i].empty() ? json(nullptr) : json(basis[i]);
  }

  json r = json::object();
  r["code"] = code;
  r["name"] = name.empty() ? json(nullptr) : json(name);
  r["_periods"] = periods;
  r["_fs_basis"] = fs_basis;
  std::vector<std::string> misses;
  int rows = 0;
  for (xmlNode* tr : xpath(doc.get(), table, "./tbody/tr")) {
    auto ths = xpath(doc.get(), tr, "./th");
    if (ths.empty()) continue;
    std::string key = node_text(ths.front());
    if (key.empty()) continue;
    auto tds = xpath(doc.get(), tr, "./td");
    if (tds.size() != labels.size()) {
      // A row that does not line up with the period header cannot be read
      // without putting a figure under the wrong period.
      misses.push_back(key);
      continue;
    }
    json cells = json::array();
    for (xmlNode* td : tds) cells.push_back(cell_value(node_text(td)));
    r[key] = cells;
    ++rows;
  }
  if (rows == 0) misses.push_back("rows");
  if (!misses.empty()) {
    out.record = parse_miss_record(code, name, misses);
    return out;
  }
  out.record = r;
  return out;
}

// ---- the mobile finance JSON ------------------------------------------------

// Row titles of the mobile JSON mapped to the names of the main-page table,
// where both mean the same figure.
const std::map<std::string, std::string> kMobileTitles = {
    {"EPS", "EPS(원)"},          {"PER", "PER(배)"},          {"BPS", "BPS(원)"},
    {"PBR", "PBR(배)"},          {"ROE", "ROE(지배주주)"},    {"주당배당금", "주당배당금(원)"},
    {"시가배당률", "시가배당률(%)"}, {"배당성향", "배당성향(%)"}};

struct MobileTable {
  std::vector<std::string> labels;
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> rows;   // title -> label -> cell
};

MobileTable read_mobile(const json& j) {
  MobileTable t;
  const json* info = &j;
  if (j.is_object() && j.contains("financeInfo")) info = &j["financeInfo"];
  if (!info->is_object() || !info->contains("trTitleList") || !(*info)["trTitleList"].is_array())
    throw NaverParseError(contracts::problem(kFinanceShape, j).value_or("재무 JSON에 기간 목록이 없습니다"));
  std::vector<std::string> keys;
  for (const auto& p : (*info)["trTitleList"]) {
    std::string title = p.value("title", std::string());
    std::string key = p.contains("key") && p["key"].is_string() ? p["key"].get<std::string>() : "";
    title = fmt::trim(title);
    while (!title.empty() && title.back() == '.') title.pop_back();
    if (title.empty() || key.empty())
      throw NaverParseError(contracts::problem(kFinanceShape, j).value_or("재무 JSON의 기간 이름을 읽지 못했습니다"));
    if (p.value("isConsensus", std::string()) == "Y") title += "(E)";
    t.labels.push_back(title);
    keys.push_back(key);
  }
  if (info->contains("rowList") && (*info)["rowList"].is_array()) {
    for (const auto& row : (*info)["rowList"]) {
      std::string title = fmt::trim(row.value("title", std::string()));
      if (title.empty()) continue;
      std::map<std::string, std::string> cells;
      const json& cols = row.contains("columns") ? row["columns"] : json();
      for (size_t i = 0; i < keys.size(); ++i) {
        std::string v;
        if (cols.is_object() && cols.contains(keys[i])) {
          const json& c = cols[keys[i]];
          const json& val = c.is_object() && c.contains("value") ? c["value"] : c;
          if (val.is_string()) v = val.get<std::string>();
          else if (val.is_number()) v = val.dump();
          v = cell_value(v);
          // "cx":"minus" marks a negative figure; the value text normally
          // carries the sign too, and is never given it twice.
          if (!v.empty() && c.is_object() && c.value("cx", json()) == "minus" && v[0] != '-') v = "-" + v;
        }
        cells[t.labels[i]] = cell_value(v);
      }
      t.rows.emplace_back(title, std::move(cells));
    }
  }
  return t;
}

std::string mobile_name(const std::string& code) {
  try {
    json b = fetch_json(kMobileHost, http::Target("/api/stock/{}/basic", code));
    if (b.is_object() && b.contains("stockName") && b["stockName"].is_string())
      return b["stockName"].get<std::string>();
  } catch (const std::exception&) {
  }
  return "";
}

// Annual and quarterly tables merged into one record; the statement basis is
// not part of this JSON, so every period's basis stays unknown.
json mobile_record(const std::string& code) {
  MobileTable a = read_mobile(fetch_json(kMobileHost, http::Target("/api/stock/{}/finance/annual", code)));
  MobileTable q = read_mobile(fetch_json(kMobileHost, http::Target("/api/stock/{}/finance/quarter", code)));
  if (a.rows.empty() && q.rows.empty()) return json::object();
  json r = json::object();
  r["code"] = code;
  std::string name = mobile_name(code);
  r["name"] = name.empty() ? json(nullptr) : json(name);
  r["_periods"] = {{"annual", a.labels}, {"quarterly", q.labels}};
  json fb = {{"annual", json::object()}, {"quarterly", json::object()}};
  for (const auto& l : a.labels) fb["annual"][l] = nullptr;
  for (const auto& l : q.labels) fb["quarterly"][l] = nullptr;
  r["_fs_basis"] = fb;
  std::vector<std::string> order;
  std::set<std::string> seen;
  for (const auto* t : {&a, &q})
    for (const auto& [title, _] : t->rows)
      if (seen.insert(title).second) order.push_back(title);
  auto find = [](const MobileTable& t, const std::string& title) -> const std::map<std::string, std::string>* {
    for (const auto& [k, v] : t.rows)
      if (k == title) return &v;
    return nullptr;
  };
  for (const auto& title : order) {
    json cells = json::array();
    for (const auto* t : {&a, &q}) {
      const auto* row = find(*t, title);
      for (const auto& l : t->labels) cells.push_back(row && row->count(l) ? row->at(l) : "");
    }
    auto m = kMobileTitles.find(title);
    std::string key = m != kMobileTitles.end() ? m->second : title;
    if (!r.contains(key)) r[key] = cells;
  }
  return r;
}

// ---- fetching with a short cache (get_financial reads record and basis) ------

struct CacheEntry {
  std::chrono::steady_clock::time_point at;
  json record;
};
std::mutex g_cache_mu;
std::map<std::string, CacheEntry> g_cache;

http::Target main_path(const std::string& code) { return http::Target("/item/main.naver?code={}", code); }

json load_financials(const std::string& code) {
  std::string key = url(kMobileHost, http::Target("/api/stock/{}/finance", code));
  {
    std::lock_guard<std::mutex> lk(g_cache_mu);
    auto it = g_cache.find(key);
    if (it != g_cache.end() && std::chrono::steady_clock::now() - it->second.at < kCacheTtl)
      return it->second.record;
  }
  json record;
  std::exception_ptr json_error;
  bool json_unreadable = false;
  try {
    record = mobile_record(code);
  } catch (const NaverParseError&) {
    json_unreadable = true;
    json_error = std::current_exception();
  } catch (const HTTPError&) {
    json_error = std::current_exception();
  }
  if (json_error) {
    // The JSON is gone or unreadable: the old main page's table, when it is
    // still served.
    PageResult page;
    std::exception_ptr page_error;
    try {
      page = parse_main_page(fetch_text(kMainHost, main_path(code), /*euc_kr=*/true), code);
      // Asked because the JSON failed: a page without the table is a failed lookup too.
      if (!page.has_section) fail_last_lookup("NaverParseError");
    } catch (const HTTPStatusError& e) {
      if (e.status() != 404 && e.status() != 410) page_error = std::current_exception();
    } catch (const HTTPError&) {
      page_error = std::current_exception();
    }
    if (page.has_section) {
      record = page.record;
      record_lookup("finance.naver.com/item/main.naver", LookupStatus::found, "", "m.stock.naver.com/api/stock/*/finance");
    }
    else if (json_unreadable) record = parse_miss_record(code, "", {"financeInfo"});
    // Both failed: a page that failed for another reason than a gone address says
    // more than the JSON's 404/410.
    else if (page_error && is_not_found(json_error)) std::rethrow_exception(page_error);
    else std::rethrow_exception(json_error);   // the JSON's failure says why nothing came
  }
  // Only a record read from the JSON is kept: a stand-in or an unread one is asked
  // again by the next call.
  if (json_error) return record;
  std::lock_guard<std::mutex> lk(g_cache_mu);
  if (g_cache.size() > 512) g_cache.clear();
  g_cache[key] = {std::chrono::steady_clock::now(), record};
  return record;
}

// Cells of one row split at the annual/quarterly boundary.
std::vector<std::string> cells_of(const json& fin, const std::string& key) {
  std::vector<std::string> out;
  if (!fin.contains(key) || !fin[key].is_array()) return out;
  for (const auto& c : fin[key]) out.push_back(c.is_string() ? c.get<std::string>() : (c.is_null() ? "" : c.dump()));
  return out;
}

std::vector<std::string> labels_of(const json& fin, const char* which) {
  std::vector<std::string> out;
  if (!fin.contains("_periods") || !fin["_periods"].is_object()) return out;
  const json& p = fin["_periods"];
  if (!p.contains(which) || !p[which].is_array()) return out;
  for (const auto& l : p[which]) out.push_back(l.is_string() ? l.get<std::string>() : "");
  return out;
}

bool is_estimate(const std::string& label) { return label.find("(E)") != std::string::npos; }

// "2023.09" -> year*12 + month - 1; -1 when the label is not a month.
int month_index(const std::string& label) {
  if (label.size() < 7 || label[4] != '.') return -1;
  auto y = fmt::parse_int(label.substr(0, 4));
  auto m = fmt::parse_int(label.substr(5, 2));
  if (!y || !m || *m < 1 || *m > 12) return -1;
  return static_cast<int>(*y * 12 + *m - 1);
}

json number_or_null(const std::string& cell) {
  auto v = fmt::parse_number(cell);
  return v ? json(*v) : json(nullptr);
}

}  // namespace

json get_financials(const std::string& code) {
  std::string c = fmt::trim(code);
  if (c.empty()) return json::object();
  return load_financials(c);
}

json get_fs_basis(const std::string& code) {
  json fin = get_financials(code);
  if (fin.is_object() && fin.contains("_fs_basis") && fin["_fs_basis"].is_object()) return fin["_fs_basis"];
  return {{"annual", json::object()}, {"quarterly", json::object()}};
}

// Trailing EPS: the sum of the four latest confirmed quarters, only when those
// are four consecutive quarters with a figure each (three quarters are never
// passed off as twelve months).
json ttm_eps_for(const json& financials) {
  if (!financials.is_object() || financials.contains(PARSE_MISS_KEY)) return nullptr;
  auto annual = labels_of(financials, "annual");
  auto quarterly = labels_of(financials, "quarterly");
  auto cells = cells_of(financials, "EPS(원)");
  if (quarterly.empty() || cells.size() < annual.size() + quarterly.size()) return nullptr;
  std::vector<std::pair<std::string, double>> confirmed;
  for (size_t i = 0; i < quarterly.size(); ++i) {
    if (is_estimate(quarterly[i]) || quarterly[i].empty()) continue;
    confirmed.emplace_back(quarterly[i], 0.0);
    auto v = fmt::parse_number(cells[annual.size() + i]);
    if (!v) confirmed.back().first.clear();   // no figure: breaks the run
    else confirmed.back().second = *v;
  }
  if (confirmed.size() < 4) return nullptr;
  std::vector<std::pair<std::string, double>> last(confirmed.end() - 4, confirmed.end());
  double sum = 0;
  for (size_t i = 0; i < last.size(); ++i) {
    if (last[i].first.empty()) return nullptr;
    if (i > 0) {
      int a = month_index(last[i - 1].first), b = month_index(last[i].first);
      if (a < 0 || b < 0 || b - a != 3) return nullptr;
    }
    sum += last[i].second;
  }
  json qs = json::array();
  for (const auto& [l, _] : last) qs.push_back(l);
  return {{"eps", sum}, {"quarters", qs}, {"period", last.back().first}};
}

// The latest confirmed annual column with the key ratios as numbers (null when
// the cell is missing); null when no confirmed annual period has any figure.
json latest_fin(const json& financials) {
  if (!financials.is_object() || financials.contains(PARSE_MISS_KEY)) return nullptr;
  auto annual = labels_of(financials, "annual");
  static const std::vector<std::pair<const char*, const char*>> kFields = {
      {"per", "PER(배)"},           {"pbr", "PBR(배)"},          {"roe", "ROE(지배주주)"},
      {"eps", "EPS(원)"},           {"bps", "BPS(원)"},          {"operating_margin", "영업이익률"},
      {"debt_ratio", "부채비율"},   {"dividend_yield", "시가배당률(%)"}, {"revenue", "매출액"},
      {"operating_income", "영업이익"}, {"net_income", "당기순이익"}};
  for (size_t i = annual.size(); i-- > 0;) {
    if (annual[i].empty() || is_estimate(annual[i])) continue;
    json out = {{"period", annual[i]}};
    bool any = false;
    for (const auto& [name, key] : kFields) {
      auto cells = cells_of(financials, key);
      json v = i < cells.size() ? number_or_null(cells[i]) : json(nullptr);
      any = any || !v.is_null();
      out[name] = v;
    }
    if (any) return out;
  }
  return nullptr;
}

}  // namespace tessaro::naver
