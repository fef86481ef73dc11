// Themes and sectors of finance.naver.com: the group lists (EUC-KR HTML) and
// the member table of one group, with short-lived caches so that paging
// through a group does not fetch the whole list again.
#include <algorithm>
#include <condition_variable>
#include <cmath>
#include <cstring>
#include <list>

#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "core/text.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// Theme / sector pages and the stock detail JSON (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kGroupListShape = contracts::declare(
    {"naver.group_list", "네이버 테마·업종 목록", true,
     {{"table.type_1", contracts::Kind::Marker, true, "type_1"},
      {"sise_group_detail link", contracts::Kind::Marker, true, "sise_group_detail"}}});
static const contracts::Contract& kGroupDetailShape = contracts::declare(
    {"naver.group_detail", "네이버 테마·업종 종목", true,
     {{"table.type_5", contracts::Kind::Marker, true, "type_5"},
      {"item link", contracts::Kind::Marker, true, "/item/main.naver?code="}}});
static const contracts::Contract& kDetailShape = contracts::declare(
    {"naver.stock_detail", "네이버 종목 상세", false,
     {{"itemcode", contracts::Kind::String},
      {"itemname", contracts::Kind::String},
      {"nowVal", contracts::Kind::Any, false},
      {"marketSum", contracts::Kind::Any, false},
      {"upJongName", contracts::Kind::String, false},
      {"per", contracts::Kind::Any, false}}});

namespace detail {

// ---- HTML ------------------------------------------------------------------

HtmlDoc::HtmlDoc(const std::string& html) {
  int opts = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
#ifdef HTML_PARSE_IGNORE_ENC
  opts |= HTML_PARSE_IGNORE_ENC;
#endif
  doc_ = htmlReadMemory(html.data(), int(html.size()), nullptr, "UTF-8", opts);
}

HtmlDoc::~HtmlDoc() {
  if (doc_) xmlFreeDoc(doc_);
}

std::vector<xmlNodePtr> HtmlDoc::select(const std::string& xpath, xmlNodePtr ctx) const {
  std::vector<xmlNodePtr> out;
  if (!doc_) return out;
  xmlXPathContextPtr xc = xmlXPathNewContext(doc_);
  if (!xc) return out;
  if (ctx) xc->node = ctx;
  xmlXPathObjectPtr r = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), xc);
  if (r && r->nodesetval)
    for (int i = 0; i < r->nodesetval->nodeNr; ++i) out.push_back(r->nodesetval->nodeTab[i]);
  if (r) xmlXPathFreeObject(r);
  xmlXPathFreeContext(xc);
  return out;
}

xmlNodePtr HtmlDoc::first(const std::string& xpath, xmlNodePtr ctx) const {
  auto v = select(xpath, ctx);
  return v.empty() ? nullptr : v.front();
}

std::string HtmlDoc::text(xmlNodePtr n) {
  if (!n) return "";
  xmlChar* c = xmlNodeGetContent(n);
  std::string s = c ? reinterpret_cast<const char*>(c) : "";
  if (c) xmlFree(c);
  s = fmt::replace_all(s, "\xC2\xA0", " ");   // &nbsp;
  return text::squash_spaces(s);
}

std::string HtmlDoc::attr(xmlNodePtr n, const char* name) {
  if (!n) return "";
  xmlChar* c = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
  std::string s = c ? reinterpret_cast<const char*>(c) : "";
  if (c) xmlFree(c);
  return s;
}

std::string has_class(const std::string& cls) {
  return "contains(concat(' ', normalize-space(@class), ' '), ' " + cls + " ')";
}

// ---- numbers ---------------------------------------------------------------

std::optional<double> jnum(const json& v) {
  if (v.is_number()) {
    double d = v.get<double>();
    if (std::isnan(d)) return std::nullopt;
    return d;
  }
  if (v.is_string()) return fmt::parse_number(v.get<std::string>());
  return std::nullopt;
}

json jnum_or_null(const json& v) {
  auto d = jnum(v);
  return d ? json(*d) : json(nullptr);
}

json jint_or_null(const json& v) {
  auto d = jnum(v);
  return d ? json((long long)std::llround(*d)) : json(nullptr);
}

std::string rate_text(std::optional<double> v) {
  if (!v) return "";
  if (std::fabs(*v) < 0.005) return "0.00%";
  return fmt::fixed(*v, 2, false, true) + "%";
}

std::string href_param(const std::string& href, const std::string& key) {
  std::string h = fmt::replace_all(href, "&amp;", "&");
  for (const std::string lead : {"?", "&"}) {
    auto p = h.find(lead + key + "=");
    if (p == std::string::npos) continue;
    p += lead.size() + key.size() + 1;
    auto e = h.find_first_of("&#", p);
    return h.substr(p, e == std::string::npos ? std::string::npos : e - p);
  }
  return "";
}

std::string code_from_href(const std::string& href) {
  std::string c = href_param(href, "code");
  if (c.size() == 7 && (c[0] == 'A' || c[0] == 'Q')) c.erase(0, 1);
  return c;
}

// ---- caches ----------------------------------------------------------------

namespace {
std::mutex& registry_mu() {
  static std::mutex m;
  return m;
}
std::list<TtlCache*>& registry() {
  static std::list<TtlCache*> r;
  return r;
}
}  // namespace

struct TtlCache::Flight {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  json value;
  std::exception_ptr error;
};

json TtlCache::get(const std::string& key, const std::function<json()>& loader) {
  {
    std::lock_guard<std::mutex> g(registry_mu());
    if (std::find(registry().begin(), registry().end(), this) == registry().end()) registry().push_back(this);
  }
  std::shared_ptr<Flight> flight;
  bool leader = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = entries_.find(key);
    if (it != entries_.end() && std::chrono::steady_clock::now() - it->second.first < ttl_) return it->second.second;
    auto f = flights_.find(key);
    if (f != flights_.end()) {
      flight = f->second;
    } else {
      flight = std::make_shared<Flight>();
      flights_[key] = flight;
      leader = true;
    }
  }
  if (!leader) {
    std::unique_lock<std::mutex> lk(flight->m);
    flight->cv.wait(lk, [&] { return flight->done; });
    if (flight->error) std::rethrow_exception(flight->error);
    return flight->value;
  }
  const auto started = std::chrono::steady_clock::now();
  json v;
  std::exception_ptr err;
  try {
    v = loader();
  } catch (...) {
    err = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!err) entries_[key] = {started, v};
    flights_.erase(key);
  }
  {
    std::lock_guard<std::mutex> lk(flight->m);
    flight->done = true;
    flight->value = v;
    flight->error = err;
  }
  flight->cv.notify_all();
  if (err) std::rethrow_exception(err);
  return v;
}

void TtlCache::clear() {
  std::lock_guard<std::mutex> g(mu_);
  entries_.clear();
}

void clear_list_caches() {
  std::lock_guard<std::mutex> g(registry_mu());
  for (auto* c : registry()) c->clear();
}

}  // namespace detail

using detail::HtmlDoc;

namespace {

constexpr int kThemePages = 7;
detail::TtlCache g_group_lists(std::chrono::seconds(300));
detail::TtlCache g_group_members(std::chrono::seconds(180));

bool is_int_text(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!(std::isdigit((unsigned char)c) || c == ',')) return false;
  return true;
}

// Text of the element's own text nodes (not of its children): the group name
// cell also holds the hidden description layer.
std::string own_text(xmlNodePtr n) {
  std::string s;
  for (xmlNodePtr c = n ? n->children : nullptr; c; c = c->next)
    if (c->type == XML_TEXT_NODE && c->content) s += reinterpret_cast<const char*>(c->content);
  return text::squash_spaces(fmt::replace_all(s, "\xC2\xA0", " "));
}

// Rows of the theme list (theme.naver) or the sector list (sise_group.naver).
json parse_group_list(const std::string& html, const std::string& type) {
  HtmlDoc doc(html);
  auto tables = doc.select("//table[" + detail::has_class("type_1") + "]");
  if (tables.empty())
    throw NaverParseError(contracts::problem_text(kGroupListShape, html)
                              .value_or("네이버 " + std::string(type == "theme" ? "테마" : "업종") + " 목록 표가 없습니다"));
  json out = json::array();
  for (xmlNodePtr tr : doc.select(".//tr[td//a[contains(@href,'sise_group_detail')]]", tables.front())) {
    auto tds = doc.select("./td", tr);
    xmlNodePtr a = doc.first(".//a[contains(@href,'sise_group_detail')]", tr);
    std::string name = HtmlDoc::text(a);
    std::string id = detail::href_param(HtmlDoc::attr(a, "href"), "no");
    std::optional<std::string> rate;
    std::vector<long long> ints;
    for (size_t i = 1; i < tds.size(); ++i) {
      std::string t = HtmlDoc::text(tds[i]);
      if (!rate && fmt::ends_with(t, "%")) {
        rate = t;
        continue;
      }
      if (rate && is_int_text(t)) ints.push_back(*fmt::parse_int(t));
    }
    long long total, up, flat, down;
    if (ints.size() >= 4) {
      total = ints[0], up = ints[1], flat = ints[2], down = ints[3];
    } else if (ints.size() == 3) {
      up = ints[0], flat = ints[1], down = ints[2], total = up + flat + down;
    } else {
      throw NaverParseError("네이버 그룹 목록 행을 읽지 못했습니다: " + name);
    }
    if (name.empty() || id.empty() || !rate) throw NaverParseError("네이버 그룹 목록 행을 읽지 못했습니다: " + name);
    out.push_back({{"name", name},
                   {"change_rate", *rate},
                   {"total_count", total},
                   {"up_count", up},
                   {"flat_count", flat},
                   {"down_count", down},
                   {"id", id}});
  }
  return out;
}

json theme_page(int page) {
  return g_group_lists.get("theme:" + std::to_string(page), [&] {
    return parse_group_list(
        fetch_text("finance.naver.com", http::Target("/sise/theme.naver?&page={}", page), true), "theme");
  });
}

// Every theme page that could be read; `failed` names the pages that could not
// (as "n쪽(reason)"), so that a theme missing from what was read is not taken
// for a theme that does not exist.
json all_themes(std::vector<std::string>& failed) {
  std::vector<json> pages(kThemePages);
  auto errs = parallel_for(kThemePages, kThemePages, [&](size_t i) { pages[i] = theme_page(int(i) + 1); });
  json out = json::array();
  for (int i = 0; i < kThemePages; ++i) {
    if (errs[i]) {
      std::string why = "unknown";
      try {
        std::rethrow_exception(errs[i]);
      } catch (const std::exception& e) {
        why = lookup_reason(e);
      } catch (...) {
      }
      failed.push_back(std::to_string(i + 1) + "쪽(" + why + ")");
      continue;
    }
    for (auto& r : pages[i]) out.push_back(r);
  }
  return out;
}

std::string squash_key(const std::string& s) {
  std::string o;
  for (char c : fmt::lower(s))
    if (c != ' ') o.push_back(c);
  return o;
}

// Exact name first, then a group whose name contains the query, then one whose
// name is contained in the query.
const json* match_group(const json& groups, const std::string& query) {
  std::string q = squash_key(query);
  if (q.empty()) return nullptr;
  for (const auto& g : groups)
    if (squash_key(g["name"].get<std::string>()) == q) return &g;
  for (const auto& g : groups)
    if (squash_key(g["name"].get<std::string>()).find(q) != std::string::npos) return &g;
  for (const auto& g : groups) {
    std::string n = squash_key(g["name"].get<std::string>());
    if (!n.empty() && q.find(n) != std::string::npos) return &g;
  }
  return nullptr;
}

// Member table of sise_group_detail: {name, declared_total, stocks}.
json parse_group_detail(const std::string& html, bool theme) {
  HtmlDoc doc(html);
  xmlNodePtr table = doc.first("//table[" + detail::has_class("type_5") + "]");
  if (!table) throw NaverParseError(contracts::problem_text(kGroupDetailShape, html).value_or("네이버 그룹 종목 표가 없습니다"));
  json res = {{"name", ""}, {"declared_total", nullptr}};
  if (xmlNodePtr sum = doc.first("//table[" + detail::has_class("type_1") + "]//tr[td[" +
                                 detail::has_class("number") + "]]")) {
    auto tds = doc.select("./td", sum);
    if (!tds.empty()) res["name"] = own_text(tds[0]);
    for (size_t i = 1; i < tds.size(); ++i) {
      std::string t = HtmlDoc::text(tds[i]);
      if (is_int_text(t)) {
        res["declared_total"] = *fmt::parse_int(t);
        break;
      }
    }
  }
  // Column names of the numeric cells, in order (the visible set depends on a cookie).
  std::vector<std::string> cols;
  for (xmlNodePtr th : doc.select(".//thead//th", table)) {
    std::string t = HtmlDoc::text(th);
    if (t == "종목명" || t == "토론실") continue;
    cols.push_back(t);
  }
  json stocks = json::array();
  for (xmlNodePtr tr : doc.select(".//tr[td[" + detail::has_class("name") + "]]", table)) {
    xmlNodePtr a = doc.first(".//td[" + detail::has_class("name") + "]//a[contains(@href,'code=')]", tr);
    std::string code = detail::code_from_href(HtmlDoc::attr(a, "href"));
    if (code.empty()) continue;   // spacer or placeholder row
    std::string dot = HtmlDoc::text(doc.first(".//span[" + detail::has_class("dot") + "]", tr));
    json row = {{"code", code},
                {"name", HtmlDoc::text(a)},
                {"market", dot == "*" ? "KOSDAQ" : "KOSPI"},
                {"price", nullptr},
                {"change_rate", ""},
                {"volume", nullptr}};
    auto nums = doc.select("./td[" + detail::has_class("number") + "]", tr);
    for (size_t i = 0; i < nums.size() && i < cols.size(); ++i) {
      std::string t = HtmlDoc::text(nums[i]);
      if (cols[i] == "현재가") row["price"] = fmt::parse_int(t) ? json(*fmt::parse_int(t)) : json(nullptr);
      else if (cols[i] == "등락률") row["change_rate"] = fmt::parse_number(t) ? t : "";
      else if (cols[i] == "거래량") row["volume"] = fmt::parse_int(t) ? json(*fmt::parse_int(t)) : json(nullptr);
    }
    if (theme) {
      xmlNodePtr p = doc.first(".//p[" + detail::has_class("info_txt") + "]", tr);
      row["reason"] = HtmlDoc::text(p);
    }
    stocks.push_back(row);
  }
  // Largest change first; rows without a rate go last.
  std::stable_sort(stocks.begin(), stocks.end(), [](const json& x, const json& y) {
    auto a = fmt::parse_number(x["change_rate"].get<std::string>());
    auto b = fmt::parse_number(y["change_rate"].get<std::string>());
    if (a && b) return *a > *b;
    return a.has_value() && !b.has_value();
  });
  res["stocks"] = stocks;
  return res;
}

json group_members(const std::string& type, const std::string& id) {
  return g_group_members.get(type + ":" + id, [&] {
    return parse_group_detail(
        fetch_text("finance.naver.com", http::Target("/sise/sise_group_detail.naver?type={}&no={}", type, id), true),
        type == "theme");
  });
}

json group_page(const std::string& type, const json* group, int count, int page, bool include_reason) {
  const bool theme = type == "theme";
  const char* id_key = theme ? "theme_id" : "sector_id";
  const char* name_key = theme ? "theme_name" : "sector_name";
  if (!group) return json{{id_key, ""}, {name_key, ""}, {"stocks", json::array()}};
  std::string id = (*group)["id"].get<std::string>();
  json detail = group_members(type, id);
  const json& all = detail["stocks"];
  count = std::max(1, count);
  page = std::max(1, page);
  long long fetched = (long long)all.size();
  long long declared = detail["declared_total"].is_number() ? detail["declared_total"].get<long long>()
                                                             : (*group)["total_count"].get<long long>();
  long long total = std::max(declared, 0LL);
  if (total == 0) total = fetched;
  long long start = (long long)(page - 1) * count;
  json stocks = json::array();
  for (long long i = start; i < fetched && i < start + count; ++i) {
    json r = all[size_t(i)];
    if (theme && !include_reason) r.erase("reason");
    stocks.push_back(r);
  }
  std::string name = (*group)["name"].get<std::string>();
  if (name.empty()) name = detail["name"].get<std::string>();
  return json{{id_key, id},
              {name_key, name},
              {"stocks", stocks},
              {"fetched_count", fetched},
              {"total_count", total},
              {"count", count},
              {"page", page},
              {"start_index", start + 1},
              {"complete", fetched >= total}};
}

json strip_ids(json rows) {
  for (auto& r : rows) r.erase("id");
  return rows;
}

}  // namespace

json list_themes(int page) {
  page = std::clamp(page, 1, kThemePages);
  return strip_ids(theme_page(page));
}

json list_sectors() {
  return strip_ids(g_group_lists.get("upjong", [] {
    return parse_group_list(fetch_text("finance.naver.com", http::Target("/sise/sise_group.naver?type=upjong"), true), "upjong");
  }));
}

Lookup<json> find_theme_stocks(const std::string& name, int count, bool include_reason, int page) {
  std::vector<std::string> failed;
  json themes = all_themes(failed);
  const json* g = match_group(themes, name);
  if (!g) {
    if (!failed.empty())
      return Lookup<json>::failed("테마 목록 " + std::to_string(failed.size()) + "/" + std::to_string(kThemePages) +
                                  "쪽 조회 실패: " + fmt::join(failed, ", "));
    return Lookup<json>::not_found();
  }
  try {
    return Lookup<json>::found(group_page("theme", g, count, page, include_reason));
  } catch (const NaverParseError&) {
    throw;   // a page that changed shape is worded by the tool wrapper
  } catch (const std::exception& e) {
    return Lookup<json>::failed("테마 종목 표 조회 실패(" + lookup_reason(e) + ")");
  }
}

json get_theme_stocks(const std::string& name, int count, bool include_reason, int page) {
  auto r = find_theme_stocks(name, count, include_reason, page);
  if (r.failure()) throw HTTPError(r.reason);
  if (r.missing()) return group_page("theme", nullptr, count, page, include_reason);
  return r.value;
}

json get_sector_stocks(const std::string& name, int count, int page) {
  json sectors = g_group_lists.get("upjong", [] {
    return parse_group_list(fetch_text("finance.naver.com", http::Target("/sise/sise_group.naver?type=upjong"), true), "upjong");
  });
  return group_page("upjong", match_group(sectors, name), count, page, false);
}

// ---- sector of one stock and valuation snapshots ----------------------------

namespace {

// The stock's main page: 업종 link of the peer-comparison block, the stock's
// trailing PER and the site's same-sector PER.
json parse_stock_sector(const std::string& html) {
  HtmlDoc doc(html);
  json out = {{"sector_name", nullptr}, {"sector_id", nullptr}, {"per_ttm", nullptr}, {"sector_per_naver", nullptr}};
  xmlNodePtr a = doc.first("//div[" + detail::has_class("trade_compare") + "]//h4//a[contains(@href,'type=upjong')]");
  if (!a) a = doc.first("//a[contains(@href,'sise_group_detail') and contains(@href,'type=upjong')]");
  if (a) {
    std::string n = HtmlDoc::text(a);
    if (!n.empty()) out["sector_name"] = n;
    std::string id = detail::href_param(HtmlDoc::attr(a, "href"), "no");
    if (!id.empty()) out["sector_id"] = id;
  }
  if (auto v = fmt::parse_number(HtmlDoc::text(doc.first("//em[@id='_per']")))) out["per_ttm"] = *v;
  if (xmlNodePtr em = doc.first("//table[contains(@summary,'동일업종 PER')]//tr[1]//em"))
    if (auto v = fmt::parse_number(HtmlDoc::text(em))) out["sector_per_naver"] = *v;
  return out;
}

// "5,613억" / "1조 2,345억" from an amount in won (the display form the
// valuation tools read back).
std::string eok_text(double won) {
  long long eok = (long long)std::llround(won / 1e8);
  if (eok >= 10000) {
    long long jo = eok / 10000, rest = eok % 10000;
    return fmt::thousands(jo) + "조" + (rest ? " " + fmt::thousands(rest) + "억" : "");
  }
  return fmt::thousands(eok) + "억";
}

json quarter_cell(const json& fin, const std::string& row, std::string& label) {
  // Latest confirmed quarter with a figure in `row`.
  const json& periods = fin.value("_periods", json());
  if (!periods.is_object() || !fin.contains(row) || !fin[row].is_array()) return nullptr;
  std::vector<std::string> annual, quarterly;
  for (const auto& x : periods.value("annual", json::array())) annual.push_back(x.is_string() ? x.get<std::string>() : "");
  for (const auto& x : periods.value("quarterly", json::array())) quarterly.push_back(x.is_string() ? x.get<std::string>() : "");
  const json& cells = fin[row];
  for (size_t i = quarterly.size(); i-- > 0;) {
    if (quarterly[i].empty() || quarterly[i].find("(E)") != std::string::npos) continue;
    size_t k = annual.size() + i;
    if (k >= cells.size() || !cells[k].is_string()) continue;
    if (auto v = fmt::parse_number(cells[k].get<std::string>())) {
      label = quarterly[i];
      return *v;
    }
  }
  return nullptr;
}

json quote_record(const std::string& code, bool include_financial) {
  json d = fetch_json("stock.naver.com", http::Target("/api/domestic/detail/{}/detail?codeType=KRX", code), false,
                      "https://stock.naver.com/");
  if (!d.is_object()) throw NaverParseError(contracts::problem(kDetailShape, d).value_or("종목 상세 응답이 객체가 아닙니다"));
  json rec = {{"code", code}};
  rec["name"] = d.value("itemname", json()).is_string() ? d["itemname"] : json(code);
  auto price = detail::jnum(d.value("nowVal", json()));
  rec["price"] = price ? json(*price) : json(nullptr);
  auto cap = detail::jnum(d.value("marketSum", json()));
  rec["시가총액"] = cap ? json(eok_text(*cap)) : json(nullptr);
  rec["per"] = detail::jnum_or_null(d.value("per", json()));
  rec["pbr"] = detail::jnum_or_null(d.value("pbr", json()));
  rec["roe"] = nullptr;
  rec["fin_period"] = nullptr;
  if (!include_financial) return rec;
  // Without a readable financial table the record keeps the site's own PER and
  // PBR (the same trailing basis) and no ROE.
  // per_basis says where a usable PER came from (a PER of 0, kept for the
  // sector valuation's loss-maker count, has none).
  auto usable_per = [&rec] { return rec["per"].is_number() && rec["per"].get<double>() != 0; };
  auto site_basis = [&]() -> json& {
    if (usable_per()) rec["per_basis"] = "네이버 표시값";
    return rec;
  };
  json fin;
  try {
    fin = get_financials(code);
  } catch (...) {
    return site_basis();
  }
  if (!fin.is_object() || fin.contains(PARSE_MISS_KEY)) return site_basis();
  // An empty financial table (no period read at all) is no table: the site's
  // PER stays, rather than the stock dropping out of the statistics.
  auto period_count = [&fin] {
    const json& p = fin.value("_periods", json());
    if (!p.is_object()) return size_t(0);
    size_t n = 0;
    for (const char* k : {"annual", "quarterly"})
      if (p.contains(k) && p[k].is_array()) n += p[k].size();
    return n;
  };
  if (period_count() == 0) return site_basis();
  // TTM PER: price over the four latest confirmed quarters; no TTM, no PER.
  json ttm = ttm_eps_for(fin);
  bool has_ttm = ttm.is_object() && ttm.value("eps", json()).is_number();
  rec["per"] = nullptr;
  rec["eps"] = has_ttm ? ttm["eps"] : json(nullptr);
  if (price && has_ttm) {
    double eps = ttm["eps"].get<double>();
    if (eps != 0) rec["per"] = *price / eps;
    else rec["per"] = 0.0;
    rec["fin_period"] = ttm.value("period", json());
  }
  if (usable_per()) rec["per_basis"] = "TTM";
  json latest = latest_fin(fin);
  rec["bps"] = latest.is_object() ? latest.value("bps", json(nullptr)) : json(nullptr);
  rec["배당수익률"] = latest.is_object() ? latest.value("dividend_yield", json(nullptr)) : json(nullptr);
  std::string label;
  json roe = quarter_cell(fin, "ROE(지배주주)", label);
  if (roe.is_null()) roe = quarter_cell(fin, "ROE", label);
  rec["roe"] = roe;
  if (rec["fin_period"].is_null() && !label.empty()) rec["fin_period"] = label;
  std::string bl;
  json bps = quarter_cell(fin, "BPS(원)", bl);
  if (price && bps.is_number() && bps.get<double>() > 0) rec["pbr"] = *price / bps.get<double>();
  return rec;
}

PeriodColumns& period_columns_slot() {
  static PeriodColumns fn;
  return fn;
}

// The quote record completed with the period columns of `days` daily bars
// (none when days is 0). A stock whose quote failed still counts when its bars came.
json snapshot_one(const std::string& code, int days, bool include_financial) {
  json rec;
  std::exception_ptr quote_error;
  try {
    rec = quote_record(code, include_financial);
  } catch (...) {
    quote_error = std::current_exception();
  }
  json period;
  if (days > 0) {
    try {
      if (const PeriodColumns& period_columns = period_columns_slot())
        period = period_columns(bars_cache::get_ohlcv(code, "day", days));
    } catch (const std::exception&) {
    }
  }
  if (!rec.is_object()) {
    if (!period.is_object()) std::rethrow_exception(quote_error);
    rec = {{"code", code}, {"name", nullptr}};
  }
  if (period.is_object())
    for (auto f = period.begin(); f != period.end(); ++f)
      if (!rec.contains(f.key()) || rec[f.key()].is_null()) rec[f.key()] = *f;
  return rec;
}

}  // namespace

json get_stock_sector(const std::string& code) {
  // The stock detail JSON names the sector (upJongName) and the site PER; the
  // old main page (now redirected to the new site) is only a complement.
  json out = {{"sector_name", nullptr}, {"sector_id", nullptr}, {"per_ttm", nullptr}, {"sector_per_naver", nullptr}};
  std::exception_ptr json_error;
  try {
    json d = fetch_json("stock.naver.com", http::Target("/api/domestic/detail/{}/detail?codeType=KRX", code), false,
                        "https://stock.naver.com/");
    if (!d.is_object()) throw NaverParseError("종목 상세 JSON이 객체가 아닙니다: " + code);
    if (d.value("upJongName", json()).is_string() && !fmt::trim(d["upJongName"].get<std::string>()).empty())
      out["sector_name"] = fmt::trim(d["upJongName"].get<std::string>());
    out["per_ttm"] = detail::jnum_or_null(d.value("per", json()));
  } catch (const std::exception&) {
    json_error = std::current_exception();
  }
  // The old page still adds the sector's id and the site's same-sector PER
  // where it answers; its failure only matters when the JSON failed too.
  try {
    json page = parse_stock_sector(fetch_text("finance.naver.com", http::Target("/item/main.naver?code={}", code), true));
    for (const char* k : {"sector_name", "sector_id", "sector_per_naver", "per_ttm"})
      if (out[k].is_null()) out[k] = page[k];
  } catch (const std::exception&) {
    // Neither source answered: the JSON's failure is the one to report.
    if (json_error) std::rethrow_exception(json_error);
  }
  if (out["sector_name"].is_null()) out["reason"] = "네이버 종목 화면에 업종이 없습니다 (ETF·ETN·스팩 등)";
  return out;
}

void set_period_columns(PeriodColumns fn) { period_columns_slot() = std::move(fn); }

json scan_stocks_to_snapshot(const std::vector<std::string>& codes, int days, bool include_financial) {
  std::vector<json> recs(codes.size());
  auto errs = parallel_for(codes.size(), 10, [&](size_t i) { recs[i] = snapshot_one(codes[i], days, include_financial); });
  json out = json::array();
  // A stock left out is named in the call's ledger with why: a failed lookup
  // never reads as a stock that does not exist.
  for (size_t i = 0; i < codes.size(); ++i) {
    const std::string source = "naver.snapshot:" + codes[i];
    if (!errs[i] && recs[i].is_object()) {
      out.push_back(recs[i]);
      record_lookup(source, LookupStatus::found);
      continue;
    }
    std::string why = "empty record";
    if (errs[i]) {
      try {
        std::rethrow_exception(errs[i]);
      } catch (const std::exception& e) {
        why = lookup_reason(e);
      } catch (...) {
        why = "unknown";
      }
    }
    record_lookup(source, LookupStatus::failed, why);
  }
  return out;
}

}  // namespace tessaro::naver
