// Yahoo parsers on real captured bodies (read in place from the shared samples)
// and on our own bodies for the shapes no sample shows.
#include <gtest/gtest.h>

#include "sources/yahoo/client.hpp"
#include "sources/yahoo/parse.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
namespace p = tessaro::us::parse;
namespace yd = tessaro::us::detail;

namespace {
json sample(const std::string& body) { return json::parse(body); }
json summary_result(const std::string& body) { return sample(body)["quoteSummary"]["result"][0]; }
}  // namespace

TEST(YahooParseQuote, PercentStaysPercentAndForeignStatementCurrencyIsKept) {
  TESSARO_REQUIRE_SAMPLE(one, "yahoo/v7_quote_AAPL.json");
  json q = p::quote(sample(one)["quoteResponse"]["result"][0]);
  EXPECT_DOUBLE_EQ(q["change_percent"].get<double>(), 1.2710667);   // v7 sends percent
  EXPECT_TRUE(q["beta"].is_null());            // not in the default reply: missing, not 0
  EXPECT_DOUBLE_EQ(q["post_market_price"].get<double>(), 244.64);
  EXPECT_FALSE(q.contains("pre_market_price"));   // no pre-market data in this reply

  TESSARO_REQUIRE_SAMPLE(multi, "yahoo/v7_quote_AAPL_BABA_multi.json");
  json rows = sample(multi)["quoteResponse"]["result"];
  json baba = p::quote(rows[1]);
  EXPECT_EQ(baba["currency"], "USD");
  EXPECT_EQ(baba["financial_currency"], "CNY");

  TESSARO_REQUIRE_SAMPLE(idx, "yahoo/v7_quote_index_VXAPL.json");
  json i = p::quote(sample(idx)["quoteResponse"]["result"][0]);
  EXPECT_TRUE(i["market_cap"].is_null());     // indices have no market cap
}

TEST(YahooParseChart, SplitDividendSampleGivesNewYorkDates) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v8_chart_AAPL_1d_2020-08-31_2020-11-07_split_div.json");
  json rows = p::chart_rows(sample(body), false);
  ASSERT_EQ(rows.size(), 49u);
  EXPECT_EQ(rows[0]["date"], "2020-08-31");   // 13:30 UTC open, New York date
  EXPECT_EQ(rows.back()["date"], "2020-11-06");
  EXPECT_NEAR(rows.back()["close"].get<double>(), 118.69, 1e-4);   // the source sends float32 values
  json divs = p::chart_dividends(sample(body));
  ASSERT_EQ(divs.size(), 1u);
  EXPECT_EQ(divs[0]["date"], "2020-11-06");
  EXPECT_DOUBLE_EQ(divs[0]["amount"].get<double>(), 0.205);
}

TEST(YahooParseChart, WeekendIntradayHasNoRowsAndNullSlotsAreNotBars) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v8_chart_AAPL_1m_2025-02-01_weekend_empty.json");
  EXPECT_TRUE(p::chart_rows(sample(body), true).empty());

  // Our own body: a null slot, the live bar repeated, an intraday stamp.
  json own = {{"chart",
               {{"result",
                 json::array({{{"meta", {{"exchangeTimezoneName", "America/New_York"}}},
                               {"timestamp", {1739457000, 1739543400, 1739566800, 1739570400}},
                               {"indicators",
                                {{"quote", json::array({{{"open", {10.0, nullptr, 11.0, 11.5}},
                                                         {"high", {10.5, nullptr, 11.2, 12.0}},
                                                         {"low", {9.5, nullptr, 10.8, 11.1}},
                                                         {"close", {10.2, nullptr, 11.1, 11.9}},
                                                         {"volume", {100, nullptr, 50, 70}}}})}}}}})},
                {"error", nullptr}}}};
  json daily = p::chart_rows(own, false);
  ASSERT_EQ(daily.size(), 2u);   // the null slot is dropped, the repeated day merged
  EXPECT_EQ(daily[0]["date"], "2025-02-13");
  EXPECT_EQ(daily[1]["date"], "2025-02-14");
  EXPECT_EQ(daily[1]["open"], 11.0);
  EXPECT_EQ(daily[1]["high"], 12.0);
  EXPECT_EQ(daily[1]["close"], 11.9);
  json intraday = p::chart_rows(own, true);
  ASSERT_EQ(intraday.size(), 3u);
  EXPECT_EQ(intraday[0]["datetime"], "2025-02-13 09:30");

  json err = {{"chart", {{"result", nullptr},
                         {"error", {{"code", "Bad Request"},
                                    {"description", "5m data not available for startTime=1 and endTime=2. The requested range must be within the last 60 days."}}}}}};
  EXPECT_THROW(p::chart_rows(err, true), yd::YahooError);
  json gone = {{"chart", {{"result", nullptr}, {"error", {{"code", "Not Found"}, {"description", "No data found, symbol may be delisted"}}}}}};
  EXPECT_TRUE(p::chart_rows(gone, false).empty());
}

TEST(YahooParseProfile, InfoFromModulesAndEtfWithoutFinancialData) {
  TESSARO_REQUIRE_SAMPLE(ap, "yahoo/v10_quoteSummary_assetProfile_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(pr, "yahoo/v10_quoteSummary_price_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(ks, "yahoo/v10_quoteSummary_defaultKeyStatistics_AAPL.json");
  json r = summary_result(ap);
  r["price"] = summary_result(pr)["price"];
  r["defaultKeyStatistics"] = summary_result(ks)["defaultKeyStatistics"];
  json info = p::info(r);
  EXPECT_EQ(info["sector"], "Technology");
  EXPECT_EQ(info["enterprise_value"], 3731694026752);
  EXPECT_TRUE(info["financial_currency"].is_null());   // module not fetched: missing

  TESSARO_REQUIRE_SAMPLE(qqq, "yahoo/v10_quoteSummary_all_modules_QQQ_etf.json");
  json etf = p::info(summary_result(qqq));
  EXPECT_EQ(etf["quote_type"], "ETF");
  EXPECT_TRUE(etf["sector"].is_null());
  EXPECT_TRUE(etf["financial_currency"].is_null());
}

TEST(YahooParseFundamentals, UnitsOfRatiosAndDates) {
  TESSARO_REQUIRE_SAMPLE(fd, "yahoo/v10_quoteSummary_financialData_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(ks, "yahoo/v10_quoteSummary_defaultKeyStatistics_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(sd, "yahoo/v10_quoteSummary_summaryDetail_AAPL.json");
  json r = summary_result(fd);
  r["defaultKeyStatistics"] = summary_result(ks)["defaultKeyStatistics"];
  r["summaryDetail"] = summary_result(sd)["summaryDetail"];
  json f = p::financial_info(r);
  EXPECT_NEAR(f["debt_to_equity"].get<double>(), 1.45, 1e-9);     // Yahoo's 145 is x100
  EXPECT_NEAR(f["dividend_yield"].get<double>(), 0.41, 1e-9);     // fraction 0.0041 -> percent
  EXPECT_NEAR(f["return_on_equity"].get<double>(), 1.3652, 1e-9);  // stays a fraction
  EXPECT_EQ(f["most_recent_quarter"], "2024-12-28");
  EXPECT_EQ(f["last_fiscal_year_end"], "2024-09-28");
  EXPECT_EQ(f["financial_currency"], "USD");
  EXPECT_TRUE(f["peg_ratio"].is_null());

  json d = p::dividends_summary(r);
  EXPECT_NEAR(d["five_year_avg_yield"].get<double>(), 0.6, 1e-12);   // already percent
  EXPECT_NEAR(d["dividend_yield"].get<double>(), 0.41, 1e-9);
  EXPECT_EQ(d["last_dividend_date"], "2025-02-10");
}

TEST(YahooParseFundamentals, StatementColumnsAreTheUnionOfReportedPeriods) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/ws_timeseries_AAPL_financials_quarterly.json");
  json s = p::statement(sample(body), "quarterly",
                        {{"TotalRevenue", "Total Revenue"}, {"NoSuchKey", "Nothing"}, {"NetIncome", "Net Income"}});
  EXPECT_EQ(s["currency"], "USD");
  ASSERT_EQ(s["rows"].size(), 2u);   // a key without values makes no row
  EXPECT_EQ(s["rows"][0]["item"], "Total Revenue");
  ASSERT_GE(s["periods"].size(), 4u);
  EXPECT_EQ(s["periods"][0], "2024-12-31");   // newest first
  EXPECT_EQ(s["rows"][0]["values"]["2024-12-31"], 124300000000);

  // Our own body: one period missing for one item stays null, never 0.
  json own = {{"timeseries",
               {{"result",
                 json::array({{{"meta", {{"type", {"annualTotalRevenue"}}}},
                               {"annualTotalRevenue",
                                json::array({{{"asOfDate", "2023-12-31"}, {"currencyCode", "TWD"}, {"reportedValue", {{"raw", 5.0e12}}}},
                                             {{"asOfDate", "2024-12-31"}, {"currencyCode", "TWD"}, {"reportedValue", {{"raw", 6.0e12}}}}})}},
                              {{"meta", {{"type", {"annualNetIncome"}}}},
                               {"annualNetIncome",
                                json::array({nullptr, {{"asOfDate", "2024-12-31"}, {"currencyCode", "TWD"}, {"reportedValue", {{"raw", 1.0e12}}}}})}}})},
                {"error", nullptr}}}};
  json t = p::statement(own, "annual", {{"TotalRevenue", "Total Revenue"}, {"NetIncome", "Net Income"}});
  EXPECT_EQ(t["currency"], "TWD");
  EXPECT_TRUE(t["rows"][1]["values"]["2023-12-31"].is_null());
}

TEST(YahooParseFundamentals, EarningsAnalystsAndEstimates) {
  TESSARO_REQUIRE_SAMPLE(eh, "yahoo/v10_quoteSummary_earningsHistory_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(ce, "yahoo/v10_quoteSummary_calendarEvents_AAPL.json");
  json r = summary_result(eh);
  r["calendarEvents"] = summary_result(ce)["calendarEvents"];
  json e = p::earnings(r);
  ASSERT_EQ(e["history"].size(), 4u);
  EXPECT_EQ(e["history"][0]["quarter"], "2024-12-31");   // newest first
  EXPECT_NEAR(e["history"].back()["surprise(%)"].get<double>(), 2.05, 1e-9);
  ASSERT_EQ(e["upcoming"].size(), 1u);
  EXPECT_EQ(e["upcoming"][0]["date"], "2025-04-30 ~ 2025-05-05");   // an estimated window

  TESSARO_REQUIRE_SAMPLE(et, "yahoo/v10_quoteSummary_earningsTrend_AAPL.json");
  json est = p::analyst_estimates(summary_result(et));
  EXPECT_EQ(est["eps_estimate"][0]["period"], "0q");
  EXPECT_NEAR(est["eps_estimate"][0]["avg"].get<double>(), 1.60796, 1e-9);
  EXPECT_EQ(est["eps_revisions"][0]["up_last_7days"], 0);      // a real zero count
  EXPECT_EQ(est["eps_revisions"][0]["down_last_7days"], 1);    // Yahoo's odd key case
  EXPECT_EQ(est["financial_currency"], "USD");

  TESSARO_REQUIRE_SAMPLE(ud, "yahoo/v10_quoteSummary_upgradeDowngradeHistory_AAPL.json");
  json ar = p::analyst_ratings(summary_result(ud));
  ASSERT_EQ(ar["upgrades_downgrades"].size(), 50u);
  EXPECT_EQ(ar["upgrades_downgrades"][0]["date"], "2025-01-31");
}

TEST(YahooParseFundamentals, EarningsCalendarPageRows) {
  std::string html = tessaro::testing::read_fixture("yahoo/earnings_calendar_page.html");
  ASSERT_FALSE(html.empty());
  json rows = p::earnings_calendar_html(html);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["date"], "2025-05-01");
  EXPECT_EQ(rows[0]["timestamp"], "2025-05-01T16:00:00-04:00");
  EXPECT_TRUE(rows[0]["eps_actual"].is_null());   // "-" is missing
  EXPECT_EQ(rows[1]["timestamp"], "2025-01-30T16:00:00-05:00");
  EXPECT_DOUBLE_EQ(rows[1]["eps_actual"].get<double>(), 2.4);
  EXPECT_DOUBLE_EQ(rows[1]["eps_surprise_pct"].get<double>(), 2.52);
  EXPECT_EQ(rows[2]["timestamp"], "2024-10-31T08:00:00-04:00");
}

TEST(YahooParseOwnership, InsidersHoldersShortAndOptions) {
  TESSARO_REQUIRE_SAMPLE(it, "yahoo/v10_quoteSummary_insiderTransactions_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(ns, "yahoo/v10_quoteSummary_netSharePurchaseActivity_AAPL.json");
  json r = summary_result(it);
  r["netSharePurchaseActivity"] = summary_result(ns)["netSharePurchaseActivity"];
  json ins = p::insider(r, "AAPL");
  ASSERT_EQ(ins["recent_transactions"].size(), 85u);
  EXPECT_EQ(ins["recent_transactions"][0]["date"], "2025-02-03");
  EXPECT_EQ(ins["recent_transactions"][0]["value"], 343147);
  EXPECT_NEAR(ins["purchases_last_6m"][4]["percent"].get<double>(), 0.1, 1e-9);   // percent now

  TESSARO_REQUIRE_SAMPLE(io, "yahoo/v10_quoteSummary_institutionOwnership_AAPL.json");
  TESSARO_REQUIRE_SAMPLE(mh, "yahoo/v10_quoteSummary_majorHoldersBreakdown_AAPL.json");
  json hr = summary_result(io);
  hr["majorHoldersBreakdown"] = summary_result(mh)["majorHoldersBreakdown"];
  json h = p::holders(hr, "AAPL");
  ASSERT_FALSE(h["institutional_holders"].empty());
  EXPECT_TRUE(h["institutional_holders"][0]["pctheld"].is_number());
  EXPECT_TRUE(h["mutualfund_holders"].empty());
  EXPECT_TRUE(h["held_pct_institutions"].is_number());
  EXPECT_FALSE(p::major_holders(hr)["summary"].empty());

  TESSARO_REQUIRE_SAMPLE(ks, "yahoo/v10_quoteSummary_defaultKeyStatistics_AAPL.json");
  json s = p::short_interest(summary_result(ks), "AAPL");
  EXPECT_EQ(s["date_short_interest"], 1738281600);
  EXPECT_NEAR(s["short_percent_of_float"].get<double>(), 0.0083, 1e-12);
  EXPECT_EQ(s["prior_month_date"], "2024-12-31");

  TESSARO_REQUIRE_SAMPLE(op, "yahoo/v7_options_AAPL_nearest.json");
  json o = p::options(sample(op), "AAPL", 10);
  EXPECT_EQ(o["selected_expiration"], "2025-02-28");
  EXPECT_DOUBLE_EQ(o["spot"].get<double>(), 245.55);
  json noVolume;
  for (const json& c : o["calls"])
    if (c["volume"].is_null()) {
      noVolume = c;
      break;
    }
  ASSERT_TRUE(noVolume.is_object());
  EXPECT_TRUE(noVolume["impliedVolatility"].is_number());   // a missing volume keeps its IV

  TESSARO_REQUIRE_SAMPLE(ex, "yahoo/v7_options_AAPL_date_2022-03-01_expired.json");
  json gone = p::options(sample(ex), "AAPL", 10);
  EXPECT_TRUE(gone["calls"].empty());
  EXPECT_TRUE(gone["puts"].empty());
}

TEST(YahooParseValues, RawObjectsAndPlaceholders) {
  EXPECT_EQ(yd::num(json{{"raw", 1.5}, {"fmt", "1.5"}}), 1.5);
  EXPECT_TRUE(yd::num(json::object()).is_null());
  EXPECT_TRUE(yd::num("12").is_null());
  EXPECT_EQ(yd::num(json{{"raw", 0}, {"fmt", nullptr}, {"longFmt", "0"}}), 0);
  EXPECT_TRUE(yd::statement_num(json{{"raw", 0}, {"fmt", nullptr}, {"longFmt", "0"}}).is_null());
  EXPECT_EQ(yd::statement_num(json{{"raw", 0}, {"fmt", "0.00"}}), 0);

  TESSARO_REQUIRE_SAMPLE(sr, "yahoo/v1_search_AAPL.json");
  json hits = p::search_hits(sample(sr));
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0]["symbol"], "AAPL");
  for (const json& h : hits) EXPECT_TRUE(h["symbol"].is_string());
}
