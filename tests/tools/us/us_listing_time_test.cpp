// US tools label each number by its own listing: intraday bars carry their time in
// the exchange's zone and their session from their own timestamp and the day's
// hours; a week's separate live row is part of that week; a Tokyo or Seoul listing
// is read on its own exchange's calendar (or said to be unconfirmed); amounts carry
// the listing's currency; small volumes stay readable; one age rule for a short report.
#include <gtest/gtest.h>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

long long at_zone(const char* day, int h, int m, const char* zone) {
  return (long long)mt::from_zone(*mt::parse_day(day), h, m, zone).time_since_epoch().count();
}
long long ny(const char* day, int h, int m) { return at_zone(day, h, m, mt::NEW_YORK); }

// A v8 chart body written from the documented format: one bar per timestamp, the
// close rising by one from 100.
std::string chart_body(const std::string& symbol, const std::string& zone, const std::vector<long long>& ts,
                       const std::vector<double>& volumes = {}) {
  json o = json::array(), h = json::array(), l = json::array(), c = json::array(), v = json::array();
  for (size_t i = 0; i < ts.size(); ++i) {
    double p = 100.0 + double(i);
    o.push_back(p);
    h.push_back(p + 0.5);
    l.push_back(p - 0.5);
    c.push_back(p);
    v.push_back(i < volumes.size() ? volumes[i] : 1000.0);
  }
  json r = {{"meta", {{"symbol", symbol}, {"currency", "USD"}, {"exchangeTimezoneName", zone}}},
            {"timestamp", ts},
            {"indicators", {{"quote", json::array({{{"open", o}, {"high", h}, {"low", l}, {"close", c}, {"volume", v}}})}}}};
  return json{{"chart", {{"result", json::array({r})}, {"error", nullptr}}}}.dump();
}

std::string chart(const std::string& ticker, const std::string& interval, bool prepost = false) {
  return server::call_tool("get_us_chart",
                           {{"ticker", ticker}, {"period", "5d"}, {"interval", interval}, {"prepost", prepost}});
}

json quote(const std::string& symbol, const std::string& zone, const std::string& ccy, double price, long long time) {
  return {{"symbol", symbol},
          {"longName", symbol + " Corp."},
          {"currency", ccy},
          {"exchangeTimezoneName", zone},
          {"regularMarketPrice", price},
          {"regularMarketChange", 10.0},
          {"regularMarketChangePercent", 0.4},
          {"regularMarketTime", time},
          {"regularMarketVolume", 30000},
          {"marketState", "REGULAR"}};
}

}  // namespace

// Every intraday interval the schema offers prints date and time; each bar says
// its session, also the extended-hours bars Yahoo sends without prepost.
TEST(UsChartIntervals, EveryIntradayIntervalPrintsTimesAndEachBarItsSession) {
  YahooEnv env;
  env.at_ny("2025-02-14", 20, 30);
  // Friday 2025-02-14: 60m bars from the open, plus a pre-market and an
  // after-hours bar Yahoo returned unasked.
  std::vector<long long> hourly = {ny("2025-02-14", 8, 0)};
  for (int h = 9; h <= 15; ++h) hourly.push_back(ny("2025-02-14", h, 30));
  hourly.push_back(ny("2025-02-14", 16, 0));
  env.srv.route(yahoo_chart_path("AAPL"), reply(200, chart_body("AAPL", mt::NEW_YORK, hourly)));
  for (const char* iv : {"60m", "1h"}) {
    std::string r = chart("AAPL", iv);
    EXPECT_TRUE(has(r, "날짜|시가|고가|저가|종가|거래량|세션\n---|---|---|---|---|---|---\n"
                       "2025-02-14 08:00|100.00|100.50|99.50|100.00|1000|프리마켓\n"
                       "2025-02-14 09:30|101.00|101.50|100.50|101.00|1000|정규장\n"))
        << iv << "\n" << r;
    EXPECT_TRUE(has(r, "\n2025-02-14 15:30|107.00|107.50|106.50|107.00|1000|정규장\n"
                       "2025-02-14 16:00|108.00|108.50|107.50|108.00|1000|애프터아워\n"))
        << r;
    EXPECT_TRUE(has(r, "※ 시각은 뉴욕 시각(America/New_York)"));
    json m = reply_meta(r);
    EXPECT_EQ(m["bar_sessions"], json({{"pre_market", 1}, {"regular", 7}, {"after_hours", 1}}));
    EXPECT_EQ(m["bar_times"]["zone"], mt::NEW_YORK);
  }

  // 2m and 90m: times too. A 90m bar from 15:30 holds regular trades only when
  // extended hours were not asked for; asked for, it runs into the after-hours.
  std::vector<long long> ninety;
  for (int m : {9 * 60 + 30, 11 * 60, 12 * 60 + 30, 14 * 60, 15 * 60 + 30})
    ninety.push_back(ny("2025-02-14", m / 60, m % 60));
  env.srv.route(yahoo_chart_path("MSFT"), reply(200, chart_body("MSFT", mt::NEW_YORK, ninety)));
  std::string r = chart("MSFT", "90m");
  EXPECT_TRUE(has(r, "\n2025-02-14 11:00|101.00|101.50|100.50|101.00|1000|정규장\n")) << r;
  EXPECT_TRUE(has(r, "\n2025-02-14 15:30|104.00|104.50|103.50|104.00|1000|정규장")) << r;
  EXPECT_TRUE(has(chart("MSFT", "90m", true), "\n2025-02-14 15:30|104.00|104.50|103.50|104.00|1000|혼합"));
  env.srv.route(yahoo_chart_path("IBM"),
                reply(200, chart_body("IBM", mt::NEW_YORK, {ny("2025-02-14", 9, 30), ny("2025-02-14", 9, 32)})));
  EXPECT_TRUE(has(chart("IBM", "2m"), "\n2025-02-14 09:32|101.00|101.50|100.50|101.00|1000|정규장"));

  // The day after Thanksgiving closes at 13:00: a 13:00 bar is after-hours.
  env.srv.route(yahoo_chart_path("KO"), reply(200, chart_body("KO", mt::NEW_YORK,
                                                              {ny("2025-11-28", 12, 30), ny("2025-11-28", 13, 0)})));
  r = chart("KO", "60m");
  EXPECT_TRUE(has(r, "\n2025-11-28 12:30|100.00|100.50|99.50|100.00|1000|정규장\n"
                     "2025-11-28 13:00|101.00|101.50|100.50|101.00|1000|애프터아워"))
      << r;
}

// Yahoo's separate live row of the current week (month) is that week's bar.
TEST(UsChartIntervals, LiveRowOfTheWeekIsMergedIntoItsWeek) {
  YahooEnv env;
  env.at_ny("2025-02-12", 14, 30);   // Wednesday, in session
  env.srv.route(yahoo_chart_path("AAPL"),
                reply(200, chart_body("AAPL", mt::NEW_YORK,
                                      {ny("2025-02-03", 9, 30), ny("2025-02-10", 9, 30), ny("2025-02-12", 14, 28)},
                                      {5000, 3000, 700})));
  std::string r = chart("AAPL", "1wk");
  EXPECT_TRUE(has(r, "OHLCV (2 bars)")) << r;
  // Open of the week's row, the live close, the wider range, both volumes.
  EXPECT_TRUE(has(r, "\n2025-02-10|101.00|102.50|100.50|102.00|3700")) << r;
  EXPECT_FALSE(has(r, "2025-02-12|"));
  json m = reply_meta(r);
  EXPECT_EQ(m["data_as_of"], "2025-02-12");
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], false);
  EXPECT_EQ(m["data_basis"], "in_progress_bar");

  env.srv.route(yahoo_chart_path("MSFT"),
                reply(200, chart_body("MSFT", mt::NEW_YORK, {ny("2025-01-02", 9, 30), ny("2025-02-03", 9, 30),
                                                             ny("2025-02-12", 14, 28)})));
  EXPECT_TRUE(has(chart("MSFT", "1mo"), "OHLCV (2 bars)"));
}

// The 2026 chart meta's fullday* values include extended hours: the regular change
// is regularMarketChangePercent, and the full-day one is named nowhere.
TEST(UsChartIntervals, FullDayFieldsAreNeverTheRegularChange) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v8_chart_NFLX_1d_at20261006_meta_events_rowcut.json");
  YahooEnv env;
  env.at_ny("2026-10-06", 0, 12);
  env.srv.route(yahoo_chart_path("NFLX"), reply(200, body));
  std::string r = server::call_tool("get_us_chart", {{"ticker", "NFLX"}});
  json m = reply_meta(r);
  EXPECT_DOUBLE_EQ(m["regular_market"]["change_percent"].get<double>(), 0.656);
  EXPECT_FALSE(has(r, "1.059"));
}

// A Seoul listing through the US tools is read on the KRX calendar: its daily bar
// is final after the KRX after-market (20:00 KST), whatever New York's clock says.
TEST(UsListingCalendars, KoreanListingFollowsTheKrxCalendar) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v8_chart_005930.KS_1d_2025-08-30_2026-10-05_at20261006_1311KST_closeonly.json");
  YahooEnv env;
  env.srv.route(yahoo_chart_path("005930.KS"), reply(200, body));
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-10-06"), 20, 30));
  json m = reply_meta(server::call_tool("get_us_chart", {{"ticker", "005930.KS"}}));
  EXPECT_EQ(m["data_as_of"], "2026-10-06");
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], true);
  EXPECT_EQ(m["data_basis"], "last_close");
  EXPECT_EQ(m["listing_market"]["market"], "KRX");
  // The diagnosis counts that bar as completed too (full bars, written from the
  // documented format: the capture keeps closes only).
  env.srv.route(yahoo_chart_path("000660.KS"),
                reply(200, chart_body("000660.KS", mt::KST,
                                      {at_zone("2026-10-02", 9, 0, mt::KST), at_zone("2026-10-06", 9, 0, mt::KST)})));
  json diag = json::parse(server::call_tool("get_us_multi_diagnosis", {{"tickers", {"000660.KS"}}}));
  EXPECT_EQ(diag["tickers"]["000660.KS"]["chart"]["last_completed_bar"]["date"], "2026-10-06") << diag.dump().substr(0, 600);
  // At the capture's own moment (13:11 KST) the bar is forming.
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-10-06"), 13, 11));
  m = reply_meta(server::call_tool("get_us_chart", {{"ticker", "005930.KS"}}));
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], false);
  EXPECT_EQ(m["session"], "regular");

  // A quote at 15:10 KST is a live KRX quote, though Yahoo's hours end at 15:00.
  json q = quote("005930.KS", "Asia/Seoul", "KRW", 272000, at_zone("2026-10-06", 15, 10, mt::KST));
  q["marketState"] = "POST";
  env.quotes(json::array({q}));
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-10-06"), 15, 12));
  std::string r = server::call_tool("get_us_price", {{"ticker", "005930.KS"}});
  EXPECT_TRUE(has(r, "현재가: KRW 272,000.00")) << r;
  m = reply_meta(r);
  EXPECT_EQ(m["data_basis"], "realtime");
  EXPECT_EQ(m["quote_session"], "regular");
  EXPECT_FALSE(has(r, "미국장 마감"));
}

// A Tokyo listing during Asian hours: its own day, its session unconfirmed, never
// the last close of New York's last trading day; beside AAPL nobody is stale.
TEST(UsListingCalendars, TokyoListingDuringAsianHours) {
  YahooEnv env;
  // Tuesday 2025-02-18 14:00 KST (= JST); New York was closed on Monday.
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2025-02-18"), 14, 0));
  json toyota = quote("7203.T", "Asia/Tokyo", "JPY", 2800, at_zone("2025-02-18", 13, 55, "Asia/Tokyo"));
  json aapl = quote("AAPL", mt::NEW_YORK, "USD", 244.6, ny("2025-02-14", 16, 0));
  env.quotes(json::array({toyota}));
  std::string r = server::call_tool("get_us_price", {{"ticker", "7203.T"}});
  json m = reply_meta(r);
  EXPECT_EQ(m["data_as_of"], "2025-02-18");
  EXPECT_EQ(m["data_basis"], "realtime");
  EXPECT_EQ(m["session"], "unconfirmed");
  EXPECT_EQ(m["quote_session"], "unconfirmed");
  EXPECT_FALSE(has(r, "최근 거래일(2025-02-14)")) << r;
  EXPECT_TRUE(has(m["warnings"][0].get<std::string>(), "세션 미확인 — 이 거래소(Asia/Tokyo)의 거래 시간표가 없어"));
  EXPECT_TRUE(has(r, "현재가: JPY 2,800.00"));

  env.quotes(json::array({toyota, aapl}));
  r = server::call_tool("get_us_multi_price", {{"tickers", {"7203.T", "AAPL"}}});
  EXPECT_TRUE(has(r, "| 2025-02-18")) << r;
  EXPECT_FALSE(has(r, "⚠️ 2025-02-14")) << r;
  EXPECT_FALSE(has(r, "거래정지·상장폐지")) << r;
  m = reply_meta(r);
  EXPECT_EQ(m["coverage"]["stale_entities"], json::array());
  EXPECT_EQ(m["per_entity_data_as_of"]["7203.T"], "2025-02-18");
  EXPECT_EQ(m["per_entity_session"]["7203.T"], "unconfirmed");
  // A day-old quote of the same exchange is still stale.
  json ibm = quote("IBM", mt::NEW_YORK, "USD", 250, ny("2025-02-13", 16, 0));
  env.quotes(json::array({toyota, aapl, ibm}));
  m = reply_meta(server::call_tool("get_us_multi_price", {{"tickers", {"7203.T", "AAPL", "IBM"}}}));
  EXPECT_EQ(m["coverage"]["stale_entities"], json({"IBM"}));
}

// Yen listings: prices, targets and dividends in yen, never "$".
TEST(UsCurrency, AnalystAndDividendAmountsCarryTheListingCurrency) {
  YahooEnv env;
  env.at_ny("2025-02-14", 12, 0);
  env.summary("7203.T", {{"price", {{"symbol", "7203.T"}, {"currency", "JPY"}, {"regularMarketPrice", 2800}}},
                         {"financialData", {{"currentPrice", 2800}, {"targetMeanPrice", 3100}, {"numberOfAnalystOpinions", 20}}},
                         {"summaryDetail", {{"dividendRate", 90}}},
                         {"defaultKeyStatistics", {{"lastDividendValue", 45}, {"lastDividendDate", 1735603200}}}});
  json div = {{"chart", {{"result", json::array({{{"meta", {{"symbol", "7203.T"}, {"currency", "JPY"}}},
                                                  {"events", {{"dividends", {{"1735603200", {{"amount", 45}, {"date", 1735603200}}}}}}}}})},
                         {"error", nullptr}}}};
  env.srv.route(yahoo_chart_path("7203.T"), reply(200, div.dump()));
  std::string r = server::call_tool("get_us_analyst", {{"ticker", "7203.T"}});
  EXPECT_TRUE(has(r, "현재가: JPY 2,800.00")) << r;
  EXPECT_TRUE(has(r, ": JPY 3,100.00 (+10.7%)")) << r;
  r = server::call_tool("get_us_dividends", {{"ticker", "7203.T"}});
  EXPECT_TRUE(has(r, "- 최근 배당: JPY 45.0000")) << r;
  EXPECT_TRUE(has(r, " | JPY 45")) << r;
  EXPECT_FALSE(has(r, "$")) << r;
}

// A volume of 30,000 is 30,000, not "0.0M".
TEST(UsVolumes, SmallVolumesAreWrittenOut) {
  YahooEnv env;
  env.at_ny("2025-02-14", 17, 0);
  json q = quote("EXMP", mt::NEW_YORK, "USD", 5, ny("2025-02-14", 16, 0));
  json big = quote("AAPL", mt::NEW_YORK, "USD", 244.6, ny("2025-02-14", 16, 0));
  big["regularMarketVolume"] = 45230000;
  env.quotes(json::array({q, big}));
  std::string r = server::call_tool("get_us_multi_price", {{"tickers", {"EXMP", "AAPL"}}});
  EXPECT_TRUE(has(r, "| +0.40% | 30,000 |")) << r;
  EXPECT_TRUE(has(r, "| +0.40% | 45.2M |")) << r;
  EXPECT_FALSE(has(r, "0.0M"));
}

// One age for one short report: counted on New York's calendar in both tools.
TEST(UsShortReport, AgeIsCountedOnTheReportsOwnCalendarEverywhere) {
  YahooEnv env;
  // 2026-09-16 10:00 KST = 2026-09-15 21:00 in New York; report 2026-08-11.
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-09-16"), 10, 0));
  long long report = at_zone("2026-08-11", 0, 0, "UTC");
  env.summary("EXMP", {{"defaultKeyStatistics", {{"dateShortInterest", report}, {"sharesShort", 2500000}}}});
  env.srv.route(yahoo_chart_path("EXMP"), reply(200, chart_body("EXMP", mt::NEW_YORK, {ny("2026-09-15", 9, 30)})));
  json m = reply_meta(server::call_tool("get_us_short", {{"ticker", "EXMP"}}));
  EXPECT_EQ(m["staleness"]["age_days"], 35);
  EXPECT_EQ(m["staleness"]["stale"], false);
  json d = json::parse(server::call_tool("get_us_multi_diagnosis", {{"tickers", {"EXMP"}}, {"include", {"short"}}}));
  EXPECT_EQ(d["tickers"]["EXMP"]["short"]["age_days"], 35);
  EXPECT_EQ(d["tickers"]["EXMP"]["short"]["stale"], false);
}

// An empty preset is a wrong argument, answered before any request.
TEST(UsScreenerArgs, EmptyPresetIsRefused) {
  YahooEnv env;
  std::string r = server::call_tool("get_us_screener", {{"preset", "  "}});
  EXPECT_EQ(r.rfind("⚠️ preset 이 비어 있습니다.", 0), 0u) << r;
  EXPECT_FALSE(has(r, "결과 없음"));
  EXPECT_EQ(env.srv.hits("/query1.finance.yahoo.com/v1/finance/screener/predefined/saved"), 0);
}

// A London viewer in late October: London leaves summer time a week before New
// York, so the NYSE opens at 13:30 London time for that week, then 14:30.
TEST(UsDaylightSaving, ViewerAndNewYorkChangesInOneFortnightAreBothTold) {
  ScopedEnv tz("TZ", "Europe/London");
  json c = mt::build_market_clock(mt::from_zone(*mt::parse_day("2026-10-20"), 12, 0, "UTC"));
  const json& us = c["dst"]["us"];
  EXPECT_EQ(us["open_in_viewer_now"], "14:30");
  ASSERT_EQ(us["changes"].size(), 2u) << us.dump();
  EXPECT_EQ(us["changes"][0]["cause"], "viewer");
  EXPECT_EQ(us["changes"][0]["from_day"], "2026-10-26");
  EXPECT_EQ(us["changes"][0]["to_day"], "2026-10-30");
  EXPECT_EQ(us["changes"][0]["open_in_viewer_after"], "13:30");
  EXPECT_EQ(us["changes"][1]["cause"], "us");
  EXPECT_EQ(us["changes"][1]["from_day"], "2026-11-02");
  EXPECT_EQ(us["changes"][1]["open_in_viewer_after"], "14:30");
  EXPECT_EQ(us["open_in_viewer_after"], "13:30");   // the first change comes first
  std::string text = mt::format_market_clock(c);
  EXPECT_TRUE(has(text, "2026-10-26~2026-10-30 개장 13:30 (사용자 시각)")) << text;
  EXPECT_TRUE(has(text, "2026-11-02부터 개장 14:30 (사용자 시각)")) << text;

  // A Seoul viewer in the same week hears of New York's change only.
  ScopedEnv seoul("TZ", "Asia/Seoul");
  json k = mt::build_market_clock(mt::from_zone(*mt::parse_day("2026-10-20"), 12, 0, "UTC"))["dst"]["us"];
  ASSERT_EQ(k["changes"].size(), 1u);
  EXPECT_EQ(k["changes"][0]["cause"], "us");
}

// strikes_around_spot keeps that many strikes on each side of the spot; top_n cuts
// the sector's company table.
TEST(UsScreenerArgs, StrikesAroundSpotAndTopN) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v7_options_AAPL_nearest.json");
  YahooEnv env;
  env.at_ny("2025-02-24", 12, 0);
  env.srv.route("/query2.finance.yahoo.com/v7/finance/options/AAPL", reply(200, body));
  std::string r = server::call_tool("get_us_options", {{"ticker", "AAPL"}, {"strikes_around_spot", 2}});
  std::string calls = r.substr(0, r.find("📉 Puts"));
  EXPECT_TRUE(has(calls, "\n242.50 | ") && has(calls, "\n245.00 | ") && has(calls, "\n247.50 | ") && has(calls, "\n250.00 | ")) << r;
  EXPECT_FALSE(has(calls, "\n240.00 | ") || has(calls, "\n252.50 | ")) << r;

  json sector = {{"data",
                  {{"overview", {{"companiesCount", 800}}},
                   {"topCompanies", json::array({{{"symbol", "AAPL"}, {"name", "Apple"}},
                                                 {{"symbol", "MSFT"}, {"name", "Microsoft"}},
                                                 {{"symbol", "NVDA"}, {"name", "NVIDIA"}}})}}}};
  env.srv.route("/query1.finance.yahoo.com/v1/finance/sectors/technology", reply(200, sector.dump()));
  r = server::call_tool("get_us_sector", {{"sector_key", "technology"}, {"top_n", 2}});
  EXPECT_TRUE(has(r, "## 🏢 Top 2 기업")) << r;
  EXPECT_FALSE(has(r, "NVDA")) << r;
}

// A statement whose currency the source left out: no "$" on any amount.
TEST(UsCurrency, StatementWithoutCurrencyNamesNone) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/ws_timeseries_AAPL_financials_annual.json");
  json ts = json::parse(body);
  for (json& e : ts["timeseries"]["result"])
    for (auto it = e.begin(); it != e.end(); ++it)
      if (it.value().is_array())
        for (json& v : it.value())
          if (v.is_object()) v.erase("currencyCode");
  YahooEnv env;
  env.at_ny("2025-02-14", 12, 0);
  env.srv.route("/query2.finance.yahoo.com/ws/fundamentals-timeseries/v1/finance/timeseries/AAPL", reply(200, ts.dump()));
  std::string r = server::call_tool("get_us_financial_statement", {{"ticker", "AAPL"}});
  EXPECT_TRUE(has(r, "통화: -")) << r;
  EXPECT_TRUE(has(r, "93.74B")) << r;
  EXPECT_FALSE(has(r, "$")) << r;
}

// During the KRX after-market a Seoul listing is told as such, not as a closed market.
TEST(UsListingCalendars, KoreanListingInTheAfterMarketGetsTheKrxNote) {
  YahooEnv env;
  env.quotes(json::array({quote("005930.KS", "Asia/Seoul", "KRW", 272000, at_zone("2026-10-06", 15, 30, mt::KST))}));
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-10-06"), 17, 0));
  json m = reply_meta(server::call_tool("get_us_price", {{"ticker", "005930.KS"}}));
  EXPECT_EQ(m["data_basis"], "last_close");
  EXPECT_TRUE(has(m["warnings"][0].get<std::string>(), "KRX 정규장은 15:30에 마감됐고 지금은 애프터마켓(20:00까지)입니다"))
      << m["warnings"].dump();
  EXPECT_EQ(m["quote_session"], "after_market");
}
