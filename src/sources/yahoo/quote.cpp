// Quotes, profiles, price history, index summary and symbol search.
#include <chrono>
#include <map>
#include <set>

#include "core/format.hpp"
#include "core/clock.hpp"
#include "sources/contracts.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/parse.hpp"
#include "sources/yahoo/us.hpp"
#include "sources/yahoo/history_ranges.hpp"

namespace tessaro::us {

// Chart and search answers (also checked by `tessaro-mcp doctor`).
static const contracts::Contract& kChartShape = contracts::declare(
    {"yahoo.chart", "Yahoo 차트", false,
     {{"chart", contracts::Kind::Object},
      {"chart.result", contracts::Kind::Array},
      {"chart.result[].meta", contracts::Kind::Object},
      {"chart.result[].meta.symbol", contracts::Kind::String},
      {"chart.result[].meta.regularMarketPrice", contracts::Kind::Number},
      {"chart.result[].meta.exchangeTimezoneName", contracts::Kind::String, false},
      {"chart.result[].meta.currentTradingPeriod", contracts::Kind::Object, false},
      {"chart.result[].timestamp", contracts::Kind::Array},
      {"chart.result[].indicators.quote[].close", contracts::Kind::Array},
      {"chart.result[].indicators.quote[].volume", contracts::Kind::Array, false}}});
[[maybe_unused]] static const contracts::Contract& kSearchShape = contracts::declare(
    {"yahoo.search", "Yahoo 종목 검색", false,
     {{"quotes", contracts::Kind::Array},
      {"quotes[].symbol", contracts::Kind::String},
      {"quotes[].quoteType", contracts::Kind::String, false},
      {"quotes[].exchange", contracts::Kind::String, false}}});

using namespace detail;

namespace parse {

namespace {
std::string upper_text(const json& q, const char* key) {
  json v = str(q.value(key, json()));
  return v.is_string() ? fmt::upper(v.get<std::string>()) : "";
}
// Prices, day and 52-week ranges and market caps are never 0: Yahoo's 0 there (an
// index without a session range, a quote before the open) is its "no value".
json positive(const json& q, const char* key) {
  json v = field(q, key);
  return v.is_number() && v.get<double>() > 0 ? v : json(nullptr);
}
}  // namespace

json quote(const json& q) {
  json d = json::object();
  d["ticker"] = str(q.value("symbol", json()));
  d["name"] = first_of(q, {"longName", "shortName", "displayName"});
  d["exchange"] = first_of(q, {"fullExchangeName", "exchange"});
  d["currency"] = str(q.value("currency", json()));
  d["price"] = positive(q, "regularMarketPrice");
  d["change"] = field(q, "regularMarketChange");
  d["change_percent"] = field(q, "regularMarketChangePercent");   // v7: already percent
  d["open"] = positive(q, "regularMarketOpen");
  d["day_high"] = positive(q, "regularMarketDayHigh");
  d["day_low"] = positive(q, "regularMarketDayLow");
  d["volume"] = field(q, "regularMarketVolume");
  // A zero volume beside a placeholder day range is no session data (an index has
  // no volume at all), not a day without trades.
  if (d["volume"] == 0 && (d["day_high"].is_null() || d["day_low"].is_null() || upper_text(q, "quoteType") == "INDEX"))
    d["volume"] = nullptr;
  d["52w_high"] = positive(q, "fiftyTwoWeekHigh");
  d["52w_low"] = positive(q, "fiftyTwoWeekLow");
  d["beta"] = field(q, "beta");
  d["market_cap"] = positive(q, "marketCap");
  d["market_state"] = str(q.value("marketState", json()));
  d["quote_time"] = field(q, "regularMarketTime");
  d["previous_close"] = positive(q, "regularMarketPreviousClose");
  d["quote_type"] = str(q.value("quoteType", json()));
  d["financial_currency"] = str(q.value("financialCurrency", json()));
  d["exchange_timezone"] = str(q.value("exchangeTimezoneName", json()));
  // Extended sessions only when Yahoo has a price for them.
  for (const char* s : {"preMarket", "postMarket"}) {
    std::string k = s;
    json price = field(q, (k + "Price").c_str());
    if (price.is_null()) continue;
    std::string p = k == "preMarket" ? "pre_market" : "post_market";
    d[p + "_price"] = price;
    d[p + "_change"] = field(q, (k + "Change").c_str());
    d[p + "_change_percent"] = field(q, (k + "ChangePercent").c_str());
    d[p + "_time"] = field(q, (k + "Time").c_str());
  }
  d["earnings_timestamp"] = field(q, "earningsTimestamp");
  return d;
}

json index_row(const json& q, const std::string& label) {
  return json{{"label", label},
              {"symbol", str(q.value("symbol", json()))},
              {"price", field(q, "regularMarketPrice")},
              {"change", field(q, "regularMarketChange")},
              {"change_percent", field(q, "regularMarketChangePercent")},
              {"market_state", str(q.value("marketState", json()))},
              {"quote_time", field(q, "regularMarketTime")}};
}

namespace {
// By value: the pieces come out of value() copies.
json chart_result(const json& body) {
  static const json none;
  json c = body.is_object() ? body.value("chart", none) : none;
  if (!c.is_object()) {
    // An empty answer is Yahoo's 404 (no such symbol); an answer without its chart
    // object is a changed answer, not "no data for this symbol".
    if (body.is_object() && !body.empty())
      throw YahooError(contracts::problem(kChartShape, body).value_or("chart: unreadable answer"));
    return none;
  }
  const json& err = c.value("error", none);
  if (err.is_object()) {
    std::string desc = err.value("description", std::string());
    std::string code = err.value("code", std::string());
    std::string low = fmt::lower(desc);
    if (code == "Not Found" || low.find("no data found") != std::string::npos ||
        low.find("delisted") != std::string::npos)
      return none;
    throw YahooError("chart: " + (desc.empty() ? code : desc));
  }
  json res = c.value("result", none);
  if (!res.is_array() || res.empty() || !res[0].is_object()) return none;
  return res[0];
}
}  // namespace

namespace {
// The period a bar of a weekly, monthly or quarterly interval belongs to ("" for
// other intervals): Yahoo sends today's trades of such a series as a row of their
// own beside the period's row.
std::string period_key(const std::string& interval, const std::string& day) {
  auto d = mt::parse_day(day);
  if (!d) return "";
  if (interval == "1wk") return mt::day_str(*d - std::chrono::days(mt::weekday(*d)));
  if (interval == "1mo") return day.substr(0, 7);
  if (interval == "3mo") {
    int month = std::atoi(day.substr(5, 2).c_str());
    return day.substr(0, 4) + "Q" + std::to_string((month - 1) / 3 + 1);
  }
  return "";
}

std::string chart_zone(const json& r) {
  if (r.contains("meta") && r["meta"].is_object()) {
    json z = str(r["meta"].value("exchangeTimezoneName", json()));
    if (z.is_string()) return z.get<std::string>();
  }
  return mt::NEW_YORK;
}
}  // namespace

json chart_rows(const json& body, const std::string& interval) {
  json out = json::array();
  const json r = chart_result(body);
  if (r.is_null()) return out;
  const bool intraday = interval == "1h" || (!interval.empty() && interval.back() == 'm');
  std::string zone = chart_zone(r);
  const json& ts = r.value("timestamp", json());
  if (!ts.is_array()) return out;
  const json& ind = r.value("indicators", json());
  json q = json::object();
  if (ind.is_object() && ind.contains("quote") && ind["quote"].is_array() && !ind["quote"].empty())
    q = ind["quote"][0];
  auto at = [&](const char* k, size_t i) -> json {
    if (!q.contains(k) || !q[k].is_array() || i >= q[k].size()) return nullptr;
    return num(q[k][i]);
  };
  std::map<std::string, size_t> seen;   // day (or period) -> index in out
  for (size_t i = 0; i < ts.size(); ++i) {
    if (!ts[i].is_number()) continue;
    json o = at("open", i), h = at("high", i), l = at("low", i), c = at("close", i), v = at("volume", i);
    if (c.is_null()) continue;   // no trade in this slot: not a bar, never a zero bar
    long long t = ts[i].get<long long>();
    json row = json::object();
    std::string key;
    try {
      key = intraday ? minute_in_zone(t, zone) : day_in_zone(t, zone);
    } catch (const std::exception&) {
      key = intraday ? minute_in_zone(t, mt::NEW_YORK) : day_in_zone(t, mt::NEW_YORK);
    }
    row[intraday ? "datetime" : "date"] = key;
    row["open"] = o;
    row["high"] = h;
    row["low"] = l;
    row["close"] = c;
    row["volume"] = v;
    // Intraday bars keep their start instant: the session is read from it.
    if (intraday) row["timestamp"] = t;
    std::string period = intraday ? "" : period_key(interval, key);
    auto it = seen.find(period.empty() ? key : period);
    if (it != seen.end()) {
      json& prev = out[it->second];
      if (row["high"].is_number() && prev["high"].is_number())
        row["high"] = std::max(row["high"].get<double>(), prev["high"].get<double>());
      if (row["low"].is_number() && prev["low"].is_number())
        row["low"] = std::min(row["low"].get<double>(), prev["low"].get<double>());
      if (!prev["open"].is_null()) row["open"] = prev["open"];
      if (!period.empty() && prev["date"] != key) {
        // Today's separate row of the week (month, quarter): one bar of the period,
        // dated as the period, its volume the sum, its trades up to today.
        row["date"] = prev["date"];
        if (prev["volume"].is_number() && row["volume"].is_number())
          row["volume"] = prev["volume"].get<double>() + row["volume"].get<double>();
        else if (row["volume"].is_null())
          row["volume"] = prev["volume"];
        row["last_trade_day"] = key;
      }
      // Yahoo repeats the live daily bar while the market is open: the later row
      // wins, keeping the earlier open and the wider range.
      prev = row;
      continue;
    }
    seen[period.empty() ? key : period] = out.size();
    out.push_back(std::move(row));
  }
  return out;
}

json chart_rows(const json& body, bool intraday) { return chart_rows(body, std::string(intraday ? "1m" : "1d")); }

json chart_series(const json& body, const std::string& interval) {
  json out = json::object();
  out["rows"] = chart_rows(body, interval);
  const json r = chart_result(body);
  const json& m = r.is_object() ? r.value("meta", json::object()) : json::object();
  out["symbol"] = str(m.value("symbol", json()));
  out["timezone"] = r.is_object() ? json(chart_zone(r)) : json(nullptr);
  out["exchange"] = first_of(m, {"fullExchangeName", "exchangeName"});
  out["currency"] = str(m.value("currency", json()));
  // The regular session's price and change. Yahoo's fullday* fields include
  // extended hours on another base: they are not the regular change and are not read.
  out["regular_market_price"] = field(m, "regularMarketPrice");
  out["regular_market_time"] = field(m, "regularMarketTime");
  out["regular_change_percent"] = field(m, "regularMarketChangePercent");
  return out;
}

json chart_dividends(const json& body) {
  json out = json::array();
  const json r = chart_result(body);
  if (r.is_null()) return out;
  const json& ev = r.value("events", json());
  if (!ev.is_object() || !ev.contains("dividends") || !ev["dividends"].is_object()) return out;
  std::vector<std::pair<long long, double>> divs;
  for (auto& [k, d] : ev["dividends"].items()) {
    json amount = field(d, "amount");
    json date = field(d, "date");
    if (amount.is_null() || date.is_null()) continue;
    divs.push_back({date.get<long long>(), amount.get<double>()});
  }
  std::sort(divs.begin(), divs.end());
  for (auto& [t, a] : divs) out.push_back({{"date", epoch_day(t)}, {"amount", a}});
  return out;
}

json info(const json& r) {
  if (!r.is_object()) return nullptr;
  const json& ap = r.value("assetProfile", r.value("summaryProfile", json::object()));
  const json& pr = r.value("price", json::object());
  const json& qt = r.value("quoteType", json::object());
  const json& sd = r.value("summaryDetail", json::object());
  const json& ks = r.value("defaultKeyStatistics", json::object());
  const json& fd = r.value("financialData", json::object());
  json d = json::object();
  json sym = first_of(pr, {"symbol"});
  if (sym.is_null()) sym = first_of(qt, {"symbol"});
  d["ticker"] = sym;
  json name = first_of(pr, {"longName", "shortName"});
  if (name.is_null()) name = first_of(qt, {"longName", "shortName"});
  d["name"] = name;
  d["sector"] = first_of(ap, {"sector"});
  d["industry"] = first_of(ap, {"industry"});
  json ex = first_of(pr, {"exchangeName"});
  if (ex.is_null()) ex = first_of(qt, {"exchange"});
  d["exchange"] = ex;
  json qtype = first_of(qt, {"quoteType"});
  if (qtype.is_null()) qtype = first_of(pr, {"quoteType"});
  d["quote_type"] = qtype;
  d["country"] = first_of(ap, {"country"});
  json ccy = first_of(pr, {"currency"});
  if (ccy.is_null()) ccy = first_of(sd, {"currency"});
  d["currency"] = ccy;
  d["financial_currency"] = first_of(fd, {"financialCurrency"});
  json mc = field(pr, "marketCap");
  if (mc.is_null()) mc = field(sd, "marketCap");
  d["market_cap"] = mc;
  d["enterprise_value"] = field(ks, "enterpriseValue");
  d["shares_outstanding"] = field(ks, "sharesOutstanding");
  d["employees"] = field(ap, "fullTimeEmployees");
  d["website"] = first_of(ap, {"website"});
  d["business_summary"] = first_of(ap, {"longBusinessSummary", "description"});
  if (d["ticker"].is_null() && d["name"].is_null()) return nullptr;
  return d;
}

json info_raw(const json& r) {
  if (!r.is_object()) return nullptr;
  json flat = json::object();
  for (const char* m : {"price", "quoteType", "assetProfile", "summaryProfile", "summaryDetail",
                        "defaultKeyStatistics", "financialData"}) {
    const json& mod = r.value(m, json());
    if (!mod.is_object()) continue;
    for (auto it = mod.begin(); it != mod.end(); ++it) {
      if (it.key() == "maxAge" || flat.contains(it.key())) continue;
      const json& v = *it;
      if (v.is_object() && v.contains("raw")) flat[it.key()] = num(v);
      else if (!v.is_null()) flat[it.key()] = v;
    }
  }
  return flat.empty() ? json(nullptr) : flat;
}

json search_hits(const json& body) {
  json out = json::array();
  if (!body.is_object() || !body.contains("quotes") || !body["quotes"].is_array()) return out;
  for (const json& h : body["quotes"]) {
    json sym = first_of(h, {"symbol"});
    if (sym.is_null()) continue;
    out.push_back({{"name", first_of(h, {"longname", "shortname"})},
                   {"symbol", sym},
                   {"exchange", first_of(h, {"exchDisp", "exchange"})},
                   {"type", first_of(h, {"quoteType", "typeDisp"})},
                   {"sector", first_of(h, {"sector"})}});
  }
  return out;
}

}  // namespace parse

namespace {

const std::set<std::string> kRanges(history_ranges().begin(), history_ranges().end());
const std::set<std::string> kIntervals(history_intervals().begin(), history_intervals().end());

int range_days(const std::string& r) {
  static const std::map<std::string, int> m = {{"1d", 1},     {"5d", 5},     {"1mo", 31},   {"3mo", 92},
                                               {"6mo", 183},  {"1y", 366},   {"2y", 731},   {"5y", 1827},
                                               {"10y", 3653}, {"ytd", 366},  {"max", 1 << 20}};
  auto it = m.find(r);
  return it == m.end() ? 0 : it->second;
}

// How far back Yahoo serves bars of an intraday interval.
int intraday_limit_days(const std::string& iv) {
  if (iv == "1m") return 7;
  if (iv == "60m" || iv == "1h" || iv == "90m") return 729;
  return 59;
}

bool is_intraday(const std::string& iv) {
  return iv == "1h" || (!iv.empty() && iv.back() == 'm');   // "1mo"/"3mo" end in 'o'
}

}  // namespace

json get_price(const std::string& ticker) {
  auto sym = normalize_symbol(ticker);
  if (!sym) return nullptr;
  json rows = quote_rows({*sym});
  for (const json& q : rows) {
    if (q.value("symbol", std::string()) != *sym) continue;
    json d = parse::quote(q);
    if (d["price"].is_null() && d["name"].is_null()) return nullptr;
    if (d["beta"].is_null()) {
      // The default quote reply carries no beta; the summary module does. The quote
      // stands without it: a failed look-up leaves beta missing.
      json r;
      try {
        r = quote_summary(*sym, "summaryDetail,defaultKeyStatistics");
      } catch (const Error&) {
        r = nullptr;
      }
      if (r.is_object()) {
        json b = field(r.value("summaryDetail", json()), "beta");
        if (b.is_null()) b = field(r.value("defaultKeyStatistics", json()), "beta");
        d["beta"] = b;
      }
    }
    return d;
  }
  return nullptr;
}

json get_multi_prices(const std::vector<std::string>& tickers) {
  json out = json::array();
  std::vector<std::string> asked;      // as the user wrote them (upper-cased)
  std::vector<std::string> symbols;    // as Yahoo spells them
  for (const auto& t : tickers) {
    if (asked.size() >= 30) break;
    asked.push_back(fmt::upper(fmt::trim(t)));
    auto s = normalize_symbol(t);
    symbols.push_back(s ? *s : "");
  }
  std::vector<std::string> query;
  for (const auto& s : symbols)
    if (!s.empty() && std::find(query.begin(), query.end(), s) == query.end()) query.push_back(s);
  std::map<std::string, json> by_symbol;
  if (!query.empty())
    for (const json& q : quote_rows(query)) {
      std::string s = q.value("symbol", std::string());
      if (!s.empty()) by_symbol[s] = q;
    }
  for (size_t i = 0; i < asked.size(); ++i) {
    auto it = symbols[i].empty() ? by_symbol.end() : by_symbol.find(symbols[i]);
    if (it == by_symbol.end()) {
      out.push_back({{"ticker", asked[i].empty() ? json(nullptr) : json(asked[i])},
                     {"error", symbols[i].empty() ? "invalid symbol" : "no quote returned"},
                     {"quote_time", nullptr}});
      continue;
    }
    out.push_back(parse::quote(it->second));
  }
  return out;
}

json get_market_summary() {
  static const std::vector<std::pair<std::string, std::string>> kIndices = {
      {"^GSPC", "S&P 500"}, {"^DJI", "Dow Jones"}, {"^IXIC", "NASDAQ Composite"},
      {"^RUT", "Russell 2000"}, {"^VIX", "VIX"}};
  std::vector<std::string> syms;
  for (auto& [s, l] : kIndices) syms.push_back(s);
  std::map<std::string, json> by;
  for (const json& q : quote_rows(syms)) by[q.value("symbol", std::string())] = q;
  json indices = json::array();
  for (auto& [s, l] : kIndices) {
    auto it = by.find(s);
    if (it != by.end()) indices.push_back(parse::index_row(it->second, l));
  }
  return json{{"indices", indices}};
}

json search(const std::string& query) {
  std::string q = fmt::trim(query);
  if (q.empty()) return json::array();
  json body = api_json(Q2, http::Target("/v1/finance/search"),
                       {{"q", q}, {"quotesCount", "10"}, {"newsCount", "0"}, {"enableFuzzyQuery", "false"},
                        {"quotesQueryId", "tss_match_phrase_query"}, {"lang", "en-US"}, {"region", "US"}});
  return parse::search_hits(body);
}

json get_chart(const std::string& ticker, const std::string& period, const std::string& interval, bool prepost) {
  auto sym = normalize_symbol(ticker);
  if (!sym || !kRanges.count(period) || !kIntervals.count(interval)) return json{{"rows", json::array()}};
  bool intraday = is_intraday(interval);
  std::string iv = interval == "1h" ? "60m" : interval;
  Params p;
  if (intraday && range_days(period) > intraday_limit_days(iv)) {
    // Yahoo refuses intraday ranges beyond its window; ask for the window instead.
    long long now = std::chrono::duration_cast<std::chrono::seconds>(mt::now().time_since_epoch()).count();
    p.push_back({"period1", std::to_string(now - (long long)intraday_limit_days(iv) * 86400)});
    p.push_back({"period2", std::to_string(now)});
  } else {
    p.push_back({"range", period});
  }
  p.push_back({"interval", iv});
  p.push_back({"includePrePost", prepost && intraday ? "true" : "false"});
  p.push_back({"events", "div,splits"});
  json body = api_json(Q2, http::Target("/v8/finance/chart/{}", *sym), p);
  return parse::chart_series(body, iv);
}

json get_history(const std::string& ticker, const std::string& period, const std::string& interval, bool prepost) {
  return get_chart(ticker, period, interval, prepost)["rows"];
}

json history_price_adjustment() {
  return json{{"status", "adjusted"},
              {"source", "yahoo_daily_bars"},
              {"splits", "adjusted"},
              {"dividends", "not_adjusted"},
              {"note", "Yahoo 일봉 종가는 주식 분할·병합을 반영한 값이며 배당은 반영하지 않습니다."}};
}

json get_info(const std::string& ticker) {
  return from_summary(ticker, "assetProfile,price,summaryDetail,defaultKeyStatistics,quoteType,financialData",
                      [](const json& r, const std::string&) { return parse::info(r); });
}

json get_info_raw(const std::string& ticker) {
  return from_summary(ticker, "assetProfile,price,summaryDetail,defaultKeyStatistics,quoteType,financialData",
                      [](const json& r, const std::string&) { return parse::info_raw(r); });
}

std::string epoch_day(long long unix_seconds) {
  // Date-only values (ex-dividend, short-interest report, holder report dates) are
  // stamped at 00:00 UTC; real instants are read on the New York calendar.
  if (unix_seconds % 86400 == 0) return day_in_zone(unix_seconds, "UTC");
  return day_in_zone(unix_seconds, mt::NEW_YORK);
}

}  // namespace tessaro::us
