// Trade rankings of the whole market (stock.naver.com market list, UTF-8 JSON)
// and the market-alert / management designations (finance.naver.com, EUC-KR).
#include <algorithm>
#include <set>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"

namespace tessaro::naver {

// The market list JSON and the designation pages (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kMarketListShape = contracts::declare(
    {"naver.market_list", "네이버 시장 종목 목록", false,
     {{"[]", contracts::Kind::Object},
      {"[].itemcode", contracts::Kind::String},
      {"[].itemname", contracts::Kind::String},
      {"[].nowPrice", contracts::Kind::Any, false},
      {"[].tradeVolume", contracts::Kind::Any, false},
      {"[].tradeAmount", contracts::Kind::Any, false}}});
static const contracts::Contract& kDesignationShape = contracts::declare(
    {"naver.designation", "네이버 지정 종목 페이지", true,
     {{"table", contracts::Kind::Marker, true, "<table"}, {"item link", contracts::Kind::Marker, true, "code="}}});

using detail::HtmlDoc;

namespace {

constexpr int kMarketListPage = 100;   // the largest page the market list is known to serve
detail::TtlCache g_designations(std::chrono::seconds(300));

std::string market_type(const std::string& market) {
  std::string m = fmt::upper(fmt::trim(market));
  return (m == "KOSPI" || m == "KOSDAQ") ? m : "ALL";
}

json market_row(const json& r, int rank) {
  json row = {{"rank", rank},
              {"code", parse::text(r, "itemcode")},
              {"name", parse::text(r, "itemname")},
              {"price", detail::jint_or_null(r.value("nowPrice", json()))},
              {"change_rate", detail::rate_text(detail::jnum(r.value("prevChangeRate", json())))},
              {"volume", detail::jint_or_null(r.value("tradeVolume", json()))},
              {"trade_value_krw", detail::jint_or_null(r.value("tradeAmount", json()))}};
  std::string sosok = parse::text(r, "sosok");
  if (sosok == "0") row["market"] = "KOSPI";
  else if (sosok == "1") row["market"] = "KOSDAQ";
  std::string st = parse::text(r, "marketStatus");
  if (!st.empty()) row["market_status"] = st;
  return row;
}

// Rows of one ordering, read page by page with row offsets. A page that adds no
// new code ends the walk, so an offset the site reads differently can shorten
// the list but never repeat rows.
json market_list(const std::string& market, const std::string& order, int count) {
  json out = json::array();
  std::set<std::string> seen;
  int offset = 0;
  while ((int)out.size() < count) {
    int size = std::min(kMarketListPage, count - (int)out.size());
    json j = fetch_json("stock.naver.com",
                        http::Target("/api/domestic/market/stock/default?tradeType=KRX&marketType={}&orderType={}"
                                     "&startIdx={}&pageSize={}",
                                     market_type(market), order, offset, size),
                        false, "https://stock.naver.com/market/stock/kr");
    const json* arr = &j;
    if (j.is_object() && j.contains("data")) arr = &j["data"];
    if (!arr->is_array())
      throw NaverParseError(contracts::problem(kMarketListShape, j).value_or("네이버 시장 목록 응답이 목록이 아닙니다"));
    int added = 0;
    for (const auto& r : *arr) {
      if (!r.is_object()) continue;
      std::string code = parse::text(r, "itemcode");
      if (code.empty() || !seen.insert(code).second) continue;
      out.push_back(market_row(r, (int)out.size() + 1));
      ++added;
      if ((int)out.size() >= count) break;
    }
    if (added == 0 || (int)arr->size() < size) break;
    offset += (int)arr->size();
  }
  return out;
}

// Codes listed on one designation page (alert or management).
std::set<std::string> designated_codes(const http::Target& path) {
  std::string html = fetch_text("finance.naver.com", path, true);
  HtmlDoc doc(html);
  auto tables = doc.select("//table[.//a[contains(@href,'code=')]]");
  if (tables.empty() && doc.select("//table[" + detail::has_class("type_2") + "]").empty())
    throw NaverParseError(contracts::problem_text(kDesignationShape, html).value_or("네이버 지정 종목 표가 없습니다") + ": " +
                          path.str());
  std::set<std::string> codes;
  for (xmlNodePtr a : doc.select("//table//a[contains(@href,'code=')]")) {
    std::string c = detail::code_from_href(HtmlDoc::attr(a, "href"));
    if (c.size() == 6) codes.insert(c);
  }
  return codes;
}

}  // namespace

std::string volume_sort_key(const std::string& sort_by) {
  std::string s = fmt::lower(fmt::trim(sort_by));
  if (s == "trade_value" || s == "tradevalue" || s == "value" || s == "amount" || s == "pricetop" ||
      s == "거래대금")
    return "trade_value";
  return "volume";
}

json get_volume_ranking(const std::string& market, int count, const std::string& sort_by) {
  count = std::clamp(count, 0, 500);
  if (count == 0) return json::array();
  return market_list(market, volume_sort_key(sort_by) == "trade_value" ? "priceTop" : "quantTop", count);
}

json get_change_ranking(const std::string& direction, const std::string& market, int count) {
  count = std::clamp(count, 0, 500);
  if (count == 0) return json::array();
  return market_list(market, fmt::lower(fmt::trim(direction)) == "up" ? "up" : "down", count);
}

// code -> alert labels, strongest first. Pages that could not be read are
// named under "_failed" so that a failed lookup never reads as "no alerts".
json get_alert_codes() {
  return g_designations.get("alerts", [] {
    static const std::vector<std::pair<std::string, std::string>> kinds = {
        {"risk", "투자위험"}, {"warning", "투자경고"}, {"caution", "투자주의"}};
    std::vector<std::set<std::string>> got(kinds.size());
    auto errs = parallel_for(kinds.size(), kinds.size(), [&](size_t i) {
      got[i] = designated_codes(http::Target("/sise/investment_alert.naver?type={}", kinds[i].first));
    });
    json out = json::object();
    json failed = json::array();
    for (size_t i = 0; i < kinds.size(); ++i) {
      if (errs[i]) {
        failed.push_back(kinds[i].second);
        continue;
      }
      for (const auto& c : got[i]) {
        if (!out.contains(c)) out[c] = json::array();
        out[c].push_back(kinds[i].second);
      }
    }
    if (failed.size() == kinds.size()) std::rethrow_exception(errs[0]);
    if (!failed.empty()) out["_failed"] = failed;
    return out;
  });
}

json get_management_codes() {
  return g_designations.get("management", [] {
    json out = json::object();
    for (const auto& c : designated_codes(http::Target("/sise/management.naver"))) out[c] = json::array({"관리종목"});
    return out;
  });
}

// Label of a security-group code (market_cap_security_type), given the code
// itself or a row carrying it under "security_type".
std::string security_type_label(const json& row) {
  std::string code;
  if (row.is_string()) code = row.get<std::string>();
  else if (row.is_object() && row.contains("security_type") && row["security_type"].is_string())
    code = row["security_type"].get<std::string>();
  static const std::map<std::string, std::string> labels = {
      {"", "주식"}, {"ST", "주식"}, {"EF", "ETF"}, {"EN", "ETN"}, {"RT", "리츠"}, {"IF", "인프라펀드"}};
  auto it = labels.find(fmt::upper(code));
  return it == labels.end() ? "" : it->second;
}

}  // namespace tessaro::naver
