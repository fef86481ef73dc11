// US fundamentals tools over a loopback Yahoo: a foreign statement currency is kept
// and flagged, missing ratios stay "-", an undated ratio set is partial.
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kTimeseriesPath = "/query2.finance.yahoo.com/ws/fundamentals-timeseries/v1/finance/timeseries/BABA";

// One fundamentals-timeseries element: {meta, <type>: [{asOfDate, currencyCode, reportedValue}]}.
json series(const std::string& type, const std::vector<std::pair<std::string, double>>& points) {
  json pts = json::array();
  for (auto& [d, v] : points)
    pts.push_back({{"asOfDate", d}, {"periodType", "12M"}, {"currencyCode", "CNY"}, {"reportedValue", {{"raw", v}}}});
  return {{"meta", {{"symbol", {"BABA"}}, {"type", {type}}}}, {type, pts}};
}

}  // namespace

TEST(UsFundamentalsTools, ForeignStatementCurrencyIsFlaggedAndMissingRatiosStayDashes) {
  YahooEnv env;
  env.summary("BABA", {{"price", {{"symbol", "BABA"}, {"currency", "USD"}}},
                       {"summaryDetail", {{"trailingPE", 14.2}, {"currency", "USD"}}},
                       {"financialData", {{"financialCurrency", "CNY"}, {"returnOnEquity", 0.11}, {"debtToEquity", 145}}},
                       {"defaultKeyStatistics", {{"priceToBook", 1.9}}}});   // no mostRecentQuarter
  std::string r = server::call_tool("get_us_financials", {{"ticker", "BABA"}});
  EXPECT_TRUE(has(r, "거래통화: USD / 재무제표 통화: CNY\n\n⚠️ **통화 불일치** — 주가는 USD, 재무제표는 CNY입니다."));
  EXPECT_TRUE(has(r, "- Trailing P/E: 14.20 ⚠️통화혼합"));
  EXPECT_TRUE(has(r, "- PEG Ratio: - ⚠️통화혼합"));   // not in the summary nor the time series
  EXPECT_TRUE(has(r, "- Debt/Equity: 1.45"));          // Yahoo sends x100
  EXPECT_TRUE(has(r, "- ROE: 11.00%"));
  EXPECT_TRUE(has(r, "- ROA: -"));
  EXPECT_TRUE(has(r, "- Dividend Yield: -"));
  EXPECT_TRUE(has(r, "※ 공급자가 이 비율들의 기준일을 주지 않았습니다. 언제 것인지 확인되지 않은 값입니다."));
  json m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "unknown");
  EXPECT_EQ(m["warnings"][0], "비율 데이터의 기준일이 확인되지 않습니다. 최신 실적 반영 여부를 알 수 없습니다.");
}

TEST(UsFundamentalsTools, StatementKeepsItsCurrencyAndGapsArePlaceholders) {
  YahooEnv env;
  json result = json::array({series("annualTotalRevenue", {{"2025-03-31", 996347000000}, {"2024-03-31", 941168000000}}),
                             series("annualNetIncome", {{"2025-03-31", 129470000000}}),
                             {{"meta", {{"symbol", {"BABA"}}, {"type", {"annualEBITDA"}}}}}});   // type without data
  env.srv.route(kTimeseriesPath, reply(200, json{{"timeseries", {{"result", result}, {"error", nullptr}}}}.dump()));
  std::string r = server::call_tool("get_us_financial_statement",
                                    {{"ticker", "BABA"}, {"statement_type", "income"}, {"period", "annual"}});
  EXPECT_TRUE(has(r, "**BABA** 손익계산서 (annual)\n통화: CNY\n\n항목 | 2025-03-31 | 2024-03-31\n---|---|---\n"
                     "Total Revenue | CNY 996.35B | CNY 941.17B\nNet Income | CNY 129.47B | -"))
      << r;
  EXPECT_FALSE(has(r, "EBITDA"));
  EXPECT_FALSE(has(r, "$"));
  EXPECT_EQ(reply_meta(r)["data_as_of"], "2025-03-31");
  EXPECT_TRUE(has(env.srv.last_request(kTimeseriesPath).params["type"], "annualTotalRevenue,annualCostOfRevenue"));
}

TEST(UsFundamentalsTools, EarningsEventsCarryTheirSessionQuarterAndRevenueVerdict) {
  YahooEnv env;
  env.at_ny("2025-02-10", 12, 0);
  env.srv.route_file("/finance.yahoo.com/calendar/earnings", "yahoo/earnings_calendar_page.html", "text/html");
  env.quotes(json::array({{{"symbol", "AAPL"}, {"regularMarketPrice", 227.6}}}));   // no earningsTimestamp
  env.summary("AAPL", {{"price", {{"symbol", "AAPL"}, {"currency", "USD"}}},
                       {"earningsHistory", {{"history", json::array()}}},
                       // Our own estimate for the December quarter, so one past event has one.
                       {"earningsTrend", {{"trend", {{{"period", "0q"}, {"endDate", "2024-12-31"},
                                                      {"revenueEstimate", {{"avg", 124.1e9}}}}}}}}});
  auto pts = [](const std::vector<std::pair<std::string, double>>& v) {
    json a = json::array();
    for (auto& [d, x] : v) a.push_back({{"asOfDate", d}, {"currencyCode", "USD"}, {"reportedValue", {{"raw", x}}}});
    return a;
  };
  json result = json::array(
      {{{"meta", {{"type", {"quarterlyTotalRevenue"}}}},
        {"quarterlyTotalRevenue", pts({{"2024-09-30", 94.93e9}, {"2024-12-31", 124.3e9}})}},
       {{"meta", {{"type", {"quarterlyOperatingCashFlow"}}}}, {"quarterlyOperatingCashFlow", pts({{"2024-12-31", 29.94e9}})}}});
  env.srv.route("/query2.finance.yahoo.com/ws/fundamentals-timeseries/v1/finance/timeseries/AAPL",
                reply(200, json{{"timeseries", {{"result", result}, {"error", nullptr}}}}.dump()));

  std::string r = server::call_tool("get_us_earnings", {{"ticker", "aapl"}});
  // The May report is still to come: not an event of the record.
  EXPECT_TRUE(has(r, "## 🧾 사건별 기록 (통화: USD, 최근 2건)\n발표(ET) | 세션 | 회계기간 | EPS 예상->실제 | 매출 예상->실제 | OCF | 판정\n"
                     "---|---|---|---|---|---|---\n"
                     "2025-01-30 16:00 | 장후 | 2024-12-31 | 2.34->2.4 (+2.5%) | 124.1B->124.3B (+0.2%) | 29.9B | EPS beat · 매출 beat\n"
                     "2024-10-31 08:00 | 장전 | 2024-09-30 | 1.6->1.64 (+2.5%) | -->94.9B | - | EPS beat · 매출 예상 확인 불가\n"))
      << r;
  json m = reply_meta(r);
  EXPECT_EQ(m["data_basis"], "filing");
  EXPECT_EQ(m["quality_assessable"], false);
  ASSERT_EQ(m["earnings_events"].size(), 2u);
  EXPECT_EQ(m["earnings_events"][0]["session"], "post_market");
  EXPECT_DOUBLE_EQ(m["earnings_events"][0]["revenue_surprise_pct"].get<double>(), 0.16);
  EXPECT_TRUE(m["earnings_events"][1]["revenue_estimate"].is_null());   // unknown, not 0
}
