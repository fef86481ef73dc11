// Stock search, daily/weekly/monthly bars, the current quote (with the NXT
// quote) and the market status of the list pages.
//
// The JSON APIs write most numbers as strings with thousands commas; "", "-",
// "N/A" and null all mean "missing" and are never turned into 0. A field the
// parser could not read is left out of the record and named under
// PARSE_MISS_KEY.
#include <charconv>
#include <chrono>
#include <cmath>
#include <regex>
#include <set>
#include <string>

#include <pugixml.hpp>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "core/text.hpp"
#include "core/clock.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"
#include "sources/naver/timeframes.hpp"

namespace tessaro::naver {

// Response shapes read below (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kAutocompleteShape = contracts::declare(
    {"naver.autocomplete", "네이버 종목 검색", false,
     {{"result", contracts::Kind::Object},
      {"result.items", contracts::Kind::Array},
      {"result.items[].code", contracts::Kind::String},
      {"result.items[].name", contracts::Kind::String},
      {"result.items[].nationCode", contracts::Kind::String, false},
      {"result.items[].typeCode", contracts::Kind::String, false}}});
static const contracts::Contract& kPollingStockShape = contracts::declare(
    {"naver.polling_stock", "네이버 실시간 시세", false,
     {{"datas", contracts::Kind::Array},
      {"datas[].itemCode", contracts::Kind::String},
      {"datas[].closePrice", contracts::Kind::String},
      {"datas[].marketStatus", contracts::Kind::String, false},
      {"datas[].localTradedAt", contracts::Kind::String, false},
      {"datas[].accumulatedTradingVolume", contracts::Kind::String, false}}});
static const contracts::Contract& kPollingIndexShape = contracts::declare(
    {"naver.polling_index", "네이버 지수 시세", false,
     {{"datas", contracts::Kind::Array},
      {"datas[].itemCode", contracts::Kind::String},
      {"datas[].closePrice", contracts::Kind::String},
      {"datas[].marketStatus", contracts::Kind::String},
      {"datas[].fluctuationsRatio", contracts::Kind::String, false}}});
// The older realtime API that finance.naver.com's own pages poll; field names
// as its page template renders them.
static const contracts::Contract& kLegacyPollingShape = contracts::declare(
    {"naver.polling_legacy", "네이버 구 실시간 시세", false,
     {{"result", contracts::Kind::Object},
      {"result.areas", contracts::Kind::Array},
      {"result.areas[].name", contracts::Kind::String},
      {"result.areas[].datas", contracts::Kind::Array},
      {"result.areas[].datas[].nv", contracts::Kind::Numeric},
      {"result.areas[].datas[].cv", contracts::Kind::Numeric},
      {"result.areas[].datas[].rf", contracts::Kind::Any},
      {"result.areas[].datas[].ov", contracts::Kind::Numeric},
      {"result.areas[].datas[].hv", contracts::Kind::Numeric},
      {"result.areas[].datas[].lv", contracts::Kind::Numeric},
      {"result.areas[].datas[].aq", contracts::Kind::Numeric},
      {"result.areas[].datas[].ms", contracts::Kind::String},
      {"result.areas[].datas[].aa", contracts::Kind::Numeric, false},
      {"result.areas[].datas[].sv", contracts::Kind::Numeric, false},
      {"result.areas[].datas[].pcv", contracts::Kind::Numeric, false},
      {"result.areas[].datas[].tyn", contracts::Kind::String, false},
      {"result.areas[].datas[].nm", contracts::Kind::String, false},
      {"result.time", contracts::Kind::Any, false}}});
static const contracts::Contract& kFchartShape = contracts::declare(
    {"naver.fchart", "네이버 차트 XML", true,
     {{"protocol", contracts::Kind::Marker, true, "<protocol"},
      {"chartdata", contracts::Kind::Marker, true, "<chartdata"},
      {"item", contracts::Kind::Marker, true, "<item data=\""}}});

namespace {

bool valid_code(const std::string& code) {
  static const std::regex re("^[0-9A-Za-z]{6}$");
  return std::regex_match(code, re);
}

// Listing codes are six digits or capital letters (new-style codes such as 0088M0).
bool listed_code(const std::string& code) {
  static const std::regex re("^[0-9A-Z]{6}$");
  return std::regex_match(code, re);
}


}  // namespace

// ---- parse helpers shared by the Naver parsers ------------------------------

namespace parse {

std::string text(const json& obj, const std::string& key) {
  if (!obj.is_object()) return "";
  auto it = obj.find(key);
  if (it == obj.end()) return "";
  if (it->is_string()) return fmt::trim(it->get<std::string>());
  if (it->is_number_integer() || it->is_number_unsigned()) return it->dump();
  if (it->is_number()) return fmt::pyfloat(it->get<double>());
  return "";
}

std::optional<double> number(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return std::nullopt;
  std::string s = fmt::trim(v.get<std::string>());
  if (s.empty() || s == "-" || s == "N/A" || s == "null") return std::nullopt;
  if (auto v = fmt::parse_number(s)) return v;
  // A unit written after the number ("1,032,919백만", "87억"): read the number
  // only when no further digits follow (so "475조 3,285억" stays unread).
  static const std::regex lead(R"(^([+-]?[0-9][0-9,]*(\.[0-9]+)?)([^0-9]*)$)");
  std::smatch m;
  if (std::regex_match(s, m, lead)) return fmt::parse_number(m[1].str());
  return std::nullopt;
}

std::optional<double> amount_won(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return std::nullopt;
  std::string s = fmt::trim(v.get<std::string>());
  if (s.empty() || s == "-" || s == "N/A") return std::nullopt;
  if (auto x = fmt::parse_number(s)) return x;   // a plain number is already in won
  // "1,032,919백만" (in session) or "4조 2,538억" (after the close).
  static const std::regex mil(R"(^([+-]?[0-9][0-9,]*)\s*백만$)");
  static const std::regex jo_eok(R"(^(?:([0-9][0-9,]*)\s*조)?\s*(?:([0-9][0-9,]*)\s*억)?$)");
  std::smatch m;
  if (std::regex_match(s, m, mil)) {
    auto x = fmt::parse_number(m[1].str());
    return x ? std::optional<double>(*x * 1e6) : std::nullopt;
  }
  if (std::regex_match(s, m, jo_eok) && (m[1].matched || m[2].matched)) {
    double eok = 0;
    if (m[1].matched) eok += fmt::parse_number(m[1].str()).value_or(0) * 10000;
    if (m[2].matched) eok += fmt::parse_number(m[2].str()).value_or(0);
    return eok * 1e8;
  }
  return std::nullopt;
}

json to_json_number(double v) {
  if (std::isfinite(v) && std::floor(v) == v && std::fabs(v) < 9.0e15) return static_cast<long long>(v);
  return v;
}

int direction(const json& dir) {
  std::string c;
  if (dir.is_object()) {
    c = parse::text(dir, "code");
    if (c.empty()) {
      std::string n = parse::text(dir, "name");
      if (n == "UPPER_LIMIT" || n == "RISING") return 1;
      if (n == "EVEN") return 0;
      if (n == "LOWER_LIMIT" || n == "FALLING") return -1;
    }
  } else if (dir.is_string()) {
    c = dir.get<std::string>();
  } else if (dir.is_number_integer()) {
    c = std::to_string(dir.get<long long>());
  }
  if (c == "1" || c == "2") return 1;
  if (c == "3") return 0;
  if (c == "4" || c == "5") return -1;
  return 2;   // unknown
}

std::optional<double> signed_change(const json& raw, const json& dir, bool& disagree) {
  disagree = false;
  auto v = number(raw);
  if (!v) return std::nullopt;
  int d = direction(dir);
  if (d == 2) return *v;   // no direction code: the text's own sign
  std::string s = raw.is_string() ? fmt::trim(raw.get<std::string>()) : "";
  bool text_minus = (!s.empty() && s[0] == '-') || (raw.is_number() && *v < 0);
  bool text_plus = !s.empty() && s[0] == '+';
  double mag = std::fabs(*v);
  if (d == 0) {
    if (mag != 0) disagree = true;
    return disagree ? std::nullopt : std::optional<double>(0.0);
  }
  if ((d > 0 && text_minus) || (d < 0 && text_plus)) {
    disagree = true;
    return std::nullopt;
  }
  return d > 0 ? mag : -mag;
}

}  // namespace parse

// ---- search -------------------------------------------------------------

json search_stock(const std::string& query_in) {
  std::string query = fmt::trim(query_in);
  json out = json::array();
  if (query.empty()) return out;
  json j = fetch_json("stock.naver.com",
                      http::Target("/api/autocomplete/search/autoComplete?query={}&target=stock,index,marketindicator,coin,ipo", query),
                      false, "https://stock.naver.com/");
  if (!j.is_object() || !j.contains("result") || !j["result"].is_object() || !j["result"].contains("items") ||
      !j["result"]["items"].is_array())
    throw NaverParseError(contracts::problem(kAutocompleteShape, j).value_or("종목 검색 응답에서 result.items를 읽지 못했습니다"));
  std::set<std::string> seen;
  for (const auto& it : j["result"]["items"]) {
    if (!it.is_object()) continue;
    if (parse::text(it, "nationCode") != "KOR") continue;
    std::string cat = parse::text(it, "category");
    if (!cat.empty() && cat != "stock") continue;
    std::string code = parse::text(it, "code");
    std::string name = parse::text(it, "name");
    if (!listed_code(code) || name.empty() || !seen.insert(code).second) continue;
    json row = {{"name", name}, {"code", code}};
    row["market"] = parse::text(it, "typeCode");
    out.push_back(row);
  }
  return out;
}

// ---- bars -------------------------------------------------------------------

json parse_fchart_bars(const std::string& xml_utf8, bool intraday) {
  pugi::xml_document doc;
  auto res = doc.load_buffer(xml_utf8.data(), xml_utf8.size(), pugi::parse_default, pugi::encoding_utf8);
  pugi::xml_node chart = doc.child("protocol").child("chartdata");
  if (!res || !chart)
    throw NaverParseError(contracts::problem_text(kFchartShape, xml_utf8)
                              .value_or(kFchartShape.label + " 응답을 읽지 못했습니다 (chartdata)"));
  json rows = json::array();
  static const char* kNames[] = {"open", "high", "low", "close", "volume"};
  for (pugi::xml_node item = chart.child("item"); item; item = item.next_sibling("item")) {
    std::string_view data = item.attribute("data").as_string();
    std::vector<std::string_view> f;
    f.reserve(6);
    size_t b = 0;
    for (size_t i = 0; i <= data.size(); ++i)
      if (i == data.size() || data[i] == '|') {
        f.push_back(data.substr(b, i - b));
        b = i + 1;
      }
    std::string d = f.empty() ? "" : fmt::trim(std::string(f[0]));
    bool ok_date = intraday ? (d.size() == 12) : (d.size() == 8);
    for (char c : d) ok_date = ok_date && std::isdigit(static_cast<unsigned char>(c));
    if (!ok_date) continue;   // blank or separator items carry no bar
    json row;
    std::string day = d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
    if (intraday) row["datetime"] = day + " " + d.substr(8, 2) + ":" + d.substr(10, 2);
    else row["date"] = day;
    json miss = json::array();
    for (int k = 0; k < 5; ++k) {
      std::optional<double> v;
      if (size_t(k + 1) < f.size()) {
        // Plain digits are the rule; anything else takes the general reading.
        std::string_view t = f[k + 1];
        double x = 0;
        bool plain = !t.empty() && t.find_first_not_of("0123456789.") == std::string_view::npos;
        auto read = plain ? std::from_chars(t.data(), t.data() + t.size(), x) : std::from_chars_result{t.data(), std::errc::invalid_argument};
        if (read.ec == std::errc() && read.ptr == t.data() + t.size()) v = x;
        else v = parse::number(json(std::string(t)));
      }
      if (v) row[kNames[k]] = parse::to_json_number(*v);
      else {
        row[kNames[k]] = nullptr;
        miss.push_back(kNames[k]);
      }
    }
    if (!miss.empty()) row[PARSE_MISS_KEY] = std::move(miss);
    rows.push_back(std::move(row));
  }
  return rows;
}

json get_ohlcv(const std::string& code, const std::string& timeframe, int count) {
  if (!valid_code(code) || count <= 0) return json::array();
  if (!is_ohlcv_timeframe(timeframe)) return json::array();
  std::string xml = fetch_text("fchart.stock.naver.com",
                               http::Target("/sise.nhn?symbol={}&timeframe={}&count={}&requestType=0", code, timeframe, count),
                               true);
  json rows = parse_fchart_bars(xml, false);
  // A chart without any item: the site has no such code.
  if (rows.empty()) record_lookup("naver.daily_bars", LookupStatus::not_found, code);
  // The server answers the latest `count` bars, oldest first; keep that promise
  // even when it sends more.
  if (static_cast<int>(rows.size()) > count) {
    json cut = json::array();
    for (size_t i = rows.size() - count; i < rows.size(); ++i) cut.push_back(rows[i]);
    rows = cut;
  }
  return rows;
}

// ---- quote -----------------------------------------------------------------

namespace {

// Which KRX session produced the quote, from the time of its last trade: from
// 2026-09-14 a trade at or after the opening of that day's after-market (16:00,
// later on a shifted day such as the exam day) is an after-market trade; ETFs
// and ETNs have no after-market.
AfterMarketOpen& after_market_open_slot() {
  static AfterMarketOpen fn;
  return fn;
}

// A trade at or after the after-market opening of its day ("2026-09-15T17:01:02.123+09:00").
bool traded_in_after_market_hours(const std::string& traded_at) {
  std::string day = traded_at.substr(0, 10);
  int hh = std::atoi(traded_at.substr(11, 2).c_str()), mm = std::atoi(traded_at.substr(14, 2).c_str());
  const AfterMarketOpen& after_market_open = after_market_open_slot();
  std::optional<int> after_open = after_market_open ? after_market_open(day) : std::nullopt;
  return after_open && hh * 60 + mm >= *after_open;
}

std::string quote_session(const std::string& code, const std::string& traded_at, const Divisions* divisions = nullptr) {
  if (traded_at.size() < 16 || traded_at[10] != 'T') return rmeta::PRICE_SESSION_UNKNOWN;
  if (!traded_in_after_market_hours(traded_at)) return rmeta::PRICE_SESSION_REGULAR;
  std::optional<std::string> sosok;
  if (auto known = divisions ? divisions->find(code) : Divisions::const_iterator{};
      divisions && known != divisions->end()) {
    sosok = known->second;
  } else {
    try {
      sosok = get_krx_sosok(code);
    } catch (...) {
    }
  }
  if (sosok && (*sosok == "ETF" || *sosok == "ETN")) return rmeta::PRICE_SESSION_REGULAR;
  return rmeta::PRICE_SESSION_AFTER_MARKET;
}

std::string nxt_session(const std::string& t) {
  if (t == "REGULAR_MARKET") return rmeta::PRICE_SESSION_REGULAR;
  if (t == "AFTER_MARKET") return rmeta::PRICE_SESSION_AFTER_MARKET;
  if (t == "PRE_MARKET") return rmeta::PRICE_SESSION_PRE_MARKET;
  return rmeta::PRICE_SESSION_UNKNOWN;
}

// The NXT quote beside the KRX one (same keys in both realtime APIs): its
// price, signed change, volume and session; what does not read is a miss.
void read_nxt_block(const json& nxt, json& rec, std::vector<std::string>& miss) {
  if (!nxt.is_object()) return;
  auto p = parse::number(nxt.value("overPrice", json()));
  if (!p) {
    miss.push_back("nxt_price");
    return;
  }
  rec["nxt_price"] = parse::to_json_number(std::fabs(*p));
  bool disagree = false;
  auto nc = parse::signed_change(nxt.value("compareToPreviousClosePrice", json()),
                                 nxt.value("compareToPreviousPrice", json()), disagree);
  if (nc) rec["nxt_change"] = parse::to_json_number(*nc);
  else miss.push_back("nxt_change");
  auto nv = parse::number(nxt.value("accumulatedTradingVolume", json()));
  if (nv) rec["nxt_volume"] = parse::to_json_number(*nv);
  else miss.push_back("nxt_volume");
  std::string st = parse::text(nxt, "tradingSessionType");
  if (!st.empty()) rec["nxt_price_session"] = nxt_session(st);
}

}  // namespace

void set_after_market_open(AfterMarketOpen fn) { after_market_open_slot() = std::move(fn); }

bool polling_item_needs_division(const json& it) {
  std::string traded_at = parse::text(it, "localTradedAt");
  return traded_at.size() >= 16 && traded_at[10] == 'T' && traded_in_after_market_hours(traded_at);
}

json quote_from_polling_item(const std::string& code, const json& it, const Divisions* divisions) {
  json rec = json::object();
  std::vector<std::string> miss;
  std::string name = parse::text(it, "stockName");
  if (!name.empty()) rec["name"] = name;

  auto put = [&](const char* key, const json& raw) {
    auto v = parse::number(raw);
    if (v) rec[key] = parse::to_json_number(std::fabs(*v));
    else miss.push_back(key);
  };
  put("price", it.value("closePrice", json()));
  bool disagree = false;
  auto ch = parse::signed_change(it.value("compareToPreviousClosePrice", json()),
                                 it.value("compareToPreviousPrice", json()), disagree);
  if (ch) rec["change"] = parse::to_json_number(*ch);
  else miss.push_back("change");
  put("open", it.value("openPrice", json()));
  put("high", it.value("highPrice", json()));
  put("low", it.value("lowPrice", json()));
  put("volume", it.value("accumulatedTradingVolume", json()));   // KRX only, never the integrated figure
  // Trade value in won: the raw figure when given, else the display text,
  // whose format changes at the close ("1,032,919백만" -> "4조 2,538억").
  {
    auto tv = parse::amount_won(it.value("accumulatedTradingValueRaw", json()));
    if (!tv) tv = parse::amount_won(it.value("accumulatedTradingValue", json()));
    if (tv) rec["trade_value"] = parse::to_json_number(*tv);
  }

  std::vector<std::string> flags;
  const json& stop = it.value("tradeStopType", json());
  if (stop.is_object()) {
    std::string n = parse::text(stop, "name");
    if (!n.empty() && n != "TRADING") flags.push_back("거래정지");
  }
  if (!flags.empty()) rec["status_flags"] = flags;

  std::string traded_at = parse::text(it, "localTradedAt");
  if (rec.contains("price")) rec["price_session"] = quote_session(code, traded_at, divisions);
  if (traded_at.size() >= 10 && mt::parse_day(traded_at.substr(0, 10))) rec["quote_date"] = traded_at.substr(0, 10);
  std::string ms = parse::text(it, "marketStatus");
  if (!ms.empty()) rec["market_status"] = ms;
  // The polling API has no base-price field: base = price - signed change.
  if (rec.contains("price") && rec.contains("change")) {
    rec["base_price"] = parse::to_json_number(rec["price"].get<double>() - rec["change"].get<double>());
    rec["base_price_derived"] = true;
  }

  read_nxt_block(it.value("overMarketPriceInfo", json()), rec, miss);
  if (!miss.empty()) rec[PARSE_MISS_KEY] = miss;
  return rec;
}

namespace {

// "2026-09-29T10:15:00+09:00" of an epoch-milliseconds instant; "" when unreadable.
std::string kst_iso_of_millis(const json& t) {
  // Only a plausible epoch in milliseconds; anything else (a digit run such
  // as "20240116101500") tells no time.
  auto ms = parse::number(t);
  if (!ms || *ms < 1e12 || *ms >= 1e13) return "";
  return mt::iso_kst(mt::Instant(std::chrono::seconds(static_cast<long long>(*ms / 1000))));
}

json quote_from_legacy_item(const std::string& code, const json& it, const json& poll_time) {
  json rec = json::object();
  std::vector<std::string> miss;
  std::string name = parse::text(it, "nm");
  if (!name.empty()) rec["name"] = name;
  const std::string ms = parse::text(it, "ms");
  if (!ms.empty()) rec["market_status"] = ms;
  // Before the open the page prints 0 for high and low: no trade yet, not a value.
  const bool preopen = ms == "PREOPEN";
  auto put = [&](const char* key, const char* src, bool absent_before_open) {
    auto v = parse::number(it.value(src, json()));
    if (v && !(absent_before_open && preopen && *v == 0)) rec[key] = parse::to_json_number(std::fabs(*v));
    else miss.push_back(key);
  };
  put("price", "nv", false);
  // The change carries no sign; the direction code does (1, 2 up; 3 even; 4, 5 down).
  bool disagree = false;
  auto ch = parse::signed_change(it.value("cv", json()), it.value("rf", json()), disagree);
  if (ch) rec["change"] = parse::to_json_number(*ch);
  else miss.push_back("change");
  put("open", "ov", true);
  put("high", "hv", true);
  put("low", "lv", true);
  put("volume", "aq", false);
  if (auto aa = parse::number(it.value("aa", json())); aa && *aa >= 0) rec["trade_value"] = parse::to_json_number(*aa);   // won
  if (parse::text(it, "tyn") == "Y") rec["status_flags"] = json::array({"거래정지"});
  // The stated base price; the page falls back to the previous close when it is 0.
  auto sv = parse::number(it.value("sv", json()));
  auto pcv = parse::number(it.value("pcv", json()));
  if (sv && *sv > 0) rec["base_price"] = parse::to_json_number(*sv);
  else if (pcv && *pcv > 0) rec["base_price"] = parse::to_json_number(*pcv);
  // The poll's time is the moment of the answer, which is the trade's moment
  // only while the market is open; after the close or before the open the
  // page itself shows no time, and neither the day nor the session of the
  // price can be told.
  std::string at = ms == "OPEN" ? kst_iso_of_millis(poll_time) : "";
  if (rec.contains("price")) rec["price_session"] = at.empty() ? std::string(rmeta::PRICE_SESSION_UNKNOWN) : quote_session(code, at);
  if (!at.empty()) rec["quote_date"] = at.substr(0, 10);
  read_nxt_block(it.value("nxtOverMarketPriceInfo", json()), rec, miss);
  rec["quote_source"] = "legacy_polling";
  if (!miss.empty()) rec[PARSE_MISS_KEY] = miss;
  return rec;
}

// The older realtime API, asked when the current one fails.
json legacy_quote(const std::string& code) {
  json j = fetch_json("polling.finance.naver.com", http::Target("/api/realtime?query=SERVICE_ITEM:{}", code), true,
                      "https://finance.naver.com/item/main.naver?code=" + code);
  const json* areas = j.is_object() && j.contains("result") && j["result"].is_object() ? &j["result"]["areas"] : nullptr;
  if (!areas || !areas->is_array())
    throw NaverParseError(contracts::problem(kLegacyPollingShape, j).value_or("구 시세 응답에서 areas를 읽지 못했습니다"));
  for (const auto& a : *areas)
    if (a.is_object() && parse::text(a, "name") == "SERVICE_ITEM" && a.value("datas", json()).is_array()) {
      const json& datas = a["datas"];
      // An empty area says nothing while the current API is down: no stand-in.
      if (datas.empty() || !datas[0].is_object())
        throw NaverParseError("구 시세 응답에 " + code + " 항목이 없습니다");
      return quote_from_legacy_item(code, datas[0], j["result"].value("time", json()));
    }
  throw NaverParseError(contracts::problem(kLegacyPollingShape, j).value_or("구 시세 응답에 SERVICE_ITEM이 없습니다"));
}

}  // namespace

json get_current_price(const std::string& code) {
  if (!valid_code(code)) return json::object();
  json j;
  try {
    j = fetch_json("polling.finance.naver.com", http::Target("/api/realtime/domestic/stock/{}", code), false,
                   "https://finance.naver.com/");
  } catch (const Error& e) {
    // A 404/410 is the endpoint, not the code, and an answer that is not the JSON
    // (an HTML error page) a failure of it: the older API is asked all the same.
    // When it fails too, the current API's failure is the one reported.
    (void)e;
    auto primary = std::current_exception();
    try {
      json rec = legacy_quote(code);
      record_lookup("polling.finance.naver.com/api/realtime", LookupStatus::found, "",
                    "polling.finance.naver.com/api/realtime/domestic/stock");
      return rec;
    } catch (const Error&) {
      std::rethrow_exception(primary);
    }
  }
  if (!j.is_object() || !j.contains("datas") || !j["datas"].is_array())
    throw NaverParseError(contracts::problem(kPollingStockShape, j).value_or("시세 응답에서 datas를 읽지 못했습니다"));
  for (const auto& it : j["datas"]) {
    if (!it.is_object()) continue;
    std::string c = parse::text(it, "itemCode");
    if (c.empty()) c = parse::text(it, "symbolCode");
    if (fmt::upper(c) == fmt::upper(code)) return quote_from_polling_item(code, it);
  }
  // `datas` without the code: the site does not know it.
  record_lookup("naver.price", LookupStatus::not_found, code);
  return json::object();
}

// ---- market status ---------------------------------------------------------

std::string get_market_list_status(const std::string& market) {
  std::string m = fmt::upper(fmt::trim(market));
  if (m.empty() || m == "ALL") m = "KOSPI";
  json j = fetch_json("stock.naver.com", http::Target("/api/polling/domestic/index?itemCodes=KOSPI,KOSDAQ"), false,
                      "https://stock.naver.com/");
  if (!j.is_object() || !j.contains("datas") || !j["datas"].is_array())
    throw NaverParseError(contracts::problem(kPollingIndexShape, j).value_or("지수 응답에서 datas를 읽지 못했습니다"));
  std::string any;
  for (const auto& it : j["datas"]) {
    std::string st = parse::text(it, "marketStatus");
    if (any.empty()) any = st;
    if (fmt::upper(parse::text(it, "itemCode")) == m) return st;
  }
  return any;
}

}  // namespace tessaro::naver
