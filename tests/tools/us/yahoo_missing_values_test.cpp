// US quote, option, statement and fund replies never print a placeholder as a value:
// Yahoo's 0 ranges and volume, its 1e-05 implied volatility, share counts with a
// currency, "$" on a yen listing, a fund's yield read from the wrong field, an empty
// allocation heading, a stock shown as a fund. Real captured bodies where they exist.
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/parse.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/screener.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

json sample_module(const std::string& body, const char* module) {
  return json::parse(body)["quoteSummary"]["result"][0][module];
}

std::string line_with(const std::string& text, const std::string& start) {
  auto at = text.find(start);
  if (at == std::string::npos) return "";
  return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

TEST(UsMissingValues, IndexZeroRangesAndVolumeAreMissing) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v7_quote_index_VXAPL.json");
  YahooEnv env;
  env.srv.route(kYahooQuotePath, reply(200, body));
  std::string r = server::call_tool("get_us_price", {{"ticker", "^VXAPL"}});
  EXPECT_TRUE(has(r, "현재가: $23.77")) << r;
  EXPECT_TRUE(has(r, "시가/고가/저가: - / - / -")) << r;
  EXPECT_TRUE(has(r, "52주 고저: - / -"));
  EXPECT_TRUE(has(r, "거래량: -"));
  EXPECT_FALSE(has(r, "0.00"));

  r = server::call_tool("get_us_multi_price", {{"tickers", {"^VXAPL"}}});
  EXPECT_TRUE(has(r, "**^VXAPL** | CBOE EQUITY VIXON APPLE | $23.77 | -0.51 | -2.10% | - | - |")) << r;
  EXPECT_FALSE(has(r, "0.0M"));
}

TEST(UsMissingValues, EveryMoneyAmountCarriesTheListingCurrency) {
  // A Tokyo listing, written from the documented v7 quote row.
  YahooEnv env;
  json row = {{"symbol", "7203.T"}, {"longName", "Toyota Motor Corporation"}, {"currency", "JPY"},
              {"fullExchangeName", "Tokyo"}, {"regularMarketPrice", 3000.0}, {"regularMarketChange", 12.0},
              {"regularMarketChangePercent", 0.4}, {"regularMarketOpen", 2990.0}, {"regularMarketDayHigh", 3010.0},
              {"regularMarketDayLow", 2980.0}, {"regularMarketVolume", 21000000}, {"fiftyTwoWeekHigh", 3500.0},
              {"fiftyTwoWeekLow", 2400.0}, {"marketCap", 43.5e12}, {"beta", 0.5},
              {"regularMarketTime", 1739515200}, {"marketState", "CLOSED"}};
  env.quotes(json::array({row}));
  std::string r = server::call_tool("get_us_price", {{"ticker", "7203.T"}});
  EXPECT_TRUE(has(r, "현재가: JPY 3,000.00")) << r;
  EXPECT_TRUE(has(r, "시가총액: JPY 43,500.00B"));
  EXPECT_FALSE(has(reply_body(r), "$"));

  r = server::call_tool("get_us_multi_price", {{"tickers", {"7203.T"}}});
  EXPECT_TRUE(has(r, "| JPY 3,000.00 | +12.00 | +0.40% | 21.0M | JPY 43,500.00B |")) << r;
  EXPECT_FALSE(has(reply_body(r), "$"));

  // A screen row of that listing (the source's screen row: the quote mapping by symbol).
  json srow = us::parse::quote(row);
  srow["symbol"] = "7203.T";
  r = tools::us::render_us_screener("conservative_foreign_funds", json{{"quotes", {srow}}}, false);
  EXPECT_TRUE(has(r, "| JPY 3,000.00 | +0.40% | 21.00M | JPY 43,500.00B |")) << r;
}

TEST(UsMissingValues, ImpliedVolatilityPlaceholderIsMissing) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v7_options_AAPL_nearest.json");
  json d = us::parse::options(json::parse(body), "AAPL", 10);
  bool checked = false;
  for (const json& c : d["calls"])
    if (c["strike"] == 140) {
      EXPECT_TRUE(c["impliedVolatility"].is_null()) << c.dump();   // Yahoo sent 1e-05
      checked = true;
    }
  EXPECT_TRUE(checked);

  YahooEnv env;
  env.srv.route("/query2.finance.yahoo.com/v7/finance/options/AAPL", reply(200, body));
  std::string r = server::call_tool("get_us_options", {{"ticker", "AAPL"}, {"strikes_around_spot", 100}});
  std::string row = line_with(r, "140.00 | ");
  ASSERT_FALSE(row.empty()) << r;
  EXPECT_TRUE(has(row, " | - | ")) << row;
  EXPECT_FALSE(has(r, "| 0.0% |"));
}

TEST(UsMissingValues, StatementCountsAreSharesAndPerShareCarriesCurrency) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/ws_timeseries_AAPL_financials_quarterly.json");
  YahooEnv env;
  env.srv.route("/query2.finance.yahoo.com/ws/fundamentals-timeseries/v1/finance/timeseries/AAPL", reply(200, body));
  std::string r = server::call_tool("get_us_financial_statement",
                                    {{"ticker", "AAPL"}, {"statement_type", "income"}, {"period", "quarterly"}});
  std::string shares = line_with(r, "Diluted Average Shares | ");
  ASSERT_FALSE(shares.empty()) << r;
  EXPECT_FALSE(has(shares, "$")) << shares;
  EXPECT_TRUE(has(shares, "B주")) << shares;
  EXPECT_TRUE(has(line_with(r, "Diluted EPS | "), "$1.53")) << r;
  EXPECT_TRUE(has(line_with(r, "Total Revenue | "), "$")) << r;
}

TEST(UsMissingValues, FundYieldIsReadFromTheFieldTheFundCarries) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v10_quoteSummary_summaryDetail_QQQ_etf.json");
  YahooEnv env;
  env.summary("QQQ", {{"summaryDetail", sample_module(body, "summaryDetail")},
                      {"price", {{"symbol", "QQQ"}, {"currency", "USD"}}}});
  std::string r = server::call_tool("get_us_financials", {{"ticker", "QQQ"}});
  EXPECT_TRUE(has(r, "- Dividend Yield: 0.54%")) << r;
}

TEST(UsMissingValues, FundSheetWithoutAllocationHasNoHeadingAndAStockIsNoFund) {
  TESSARO_REQUIRE_SAMPLE(all, "yahoo/v10_quoteSummary_all_modules_QQQ_etf.json");
  TESSARO_REQUIRE_SAMPLE(aapl_type, "yahoo/v10_quoteSummary_quoteType_AAPL.json");
  YahooEnv env;
  env.quotes(json::array());
  // The fund's profile without its holdings module: nothing to allocate.
  env.summary("QQQ", {{"quoteType", sample_module(all, "quoteType")}, {"fundProfile", sample_module(all, "fundProfile")}});
  std::string r = server::call_tool("get_us_etf_info", {{"ticker", "QQQ"}});
  EXPECT_TRUE(has(r, "(QQQ)")) << r;
  EXPECT_FALSE(has(r, "자산 배분")) << r;

  // With the holdings module the allocation is listed.
  env.summary("QQQ", {{"quoteType", sample_module(all, "quoteType")}, {"topHoldings", sample_module(all, "topHoldings")}});
  EXPECT_TRUE(has(server::call_tool("get_us_etf_info", {{"ticker", "QQQ"}}), "## 📊 자산 배분\n- stockPosition: 99.93%"));

  env.summary("AAPL", {{"quoteType", sample_module(aapl_type, "quoteType")}});
  r = server::call_tool("get_us_etf_info", {{"ticker", "AAPL"}});
  EXPECT_EQ(r, "'AAPL' 종목은 ETF가 아닙니다 (Yahoo 유형: EQUITY). 종목 정보는 get_us_info, 시세는 get_us_price 로 조회하세요.");
}
