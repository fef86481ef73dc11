// US quote tools over a loopback Yahoo: missing fields stay "-", an extended-hours
// price is never shown as the current price, rate limits and stale crumbs.
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

// 2025-02-14 16:00 ET.
json quote_row(const std::string& symbol, double price, long long time = 1739566800) {
  return {{"symbol", symbol}, {"longName", symbol + " Inc."}, {"fullExchangeName", "NasdaqGS"}, {"currency", "USD"},
          {"regularMarketPrice", price}, {"regularMarketChange", 1.5}, {"regularMarketChangePercent", 0.61},
          {"regularMarketTime", time}, {"marketState", "REGULAR"}};
}

}  // namespace

TEST(UsQuoteTools, AfterHoursPriceIsNotTheCurrentPriceAndMissingFieldsAreDashes) {
  YahooEnv env;
  json q = quote_row("AAPL", 244.6);
  q["marketState"] = "POST";
  q["postMarketPrice"] = 246.1;
  q["postMarketChange"] = 1.5;
  q["postMarketTime"] = 1739570000;
  env.quotes(json::array({q}));   // no open/high/low, volume, 52-week range, market cap, beta
  std::string r = server::call_tool("get_us_price", {{"ticker", "aapl"}});
  EXPECT_TRUE(has(r, "**AAPL Inc.** (AAPL) — NasdaqGS\n현재가: $244.60\n전일대비: +1.50 (+0.61%)\n"
                     "시가/고가/저가: - / - / -\n거래량: -\n52주 고저: - / -\n마켓 상태: POST"))
      << r;
  EXPECT_FALSE(has(r, "246.1"));
  EXPECT_FALSE(has(r, "시가총액"));
  EXPECT_FALSE(has(r, "베타"));
  json m = reply_meta(r);
  EXPECT_EQ(m["quote_session"], "after_hours");
  EXPECT_EQ(m["price_basis"], "regular_market");
  EXPECT_EQ(m["data_as_of"], "2025-02-14");
}

TEST(UsQuoteTools, RateLimitAndStaleCrumbAreRetriedNotReportedAsUnknownTicker) {
  YahooEnv env;
  env.quotes(json::array({quote_row("MSFT", 410.0)}));
  env.srv.fail_next(kYahooQuotePath, 429, 1, "0");
  EXPECT_TRUE(has(server::call_tool("get_us_price", {{"ticker", "MSFT"}}), "현재가: $410.00"));
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 2);

  int calls = 0;
  env.srv.route(kYahooQuotePath, [&](const FixtureRequest&) {
    if (++calls == 1)
      return reply(401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})");
    return reply(200, json{{"quoteResponse", {{"result", json::array({quote_row("MSFT", 411.0)})}}}}.dump());
  });
  int crumbs = env.srv.hits(kYahooCrumbPath);
  EXPECT_TRUE(has(server::call_tool("get_us_price", {{"ticker", "MSFT"}}), "현재가: $411.00"));
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), crumbs + 1);

  // A rate limit that does not clear is a failure to retry, not "no such ticker".
  env.srv.fail_next(kYahooQuotePath, 429, 10, "0");
  std::string r = server::call_tool("get_us_price", {{"ticker", "MSFT"}});
  EXPECT_EQ(r.rfind("⚠️", 0), 0u) << r;
  EXPECT_TRUE(has(r, "HTTPStatusError"));
  EXPECT_FALSE(has(r, "찾을 수 없습니다"));
}

TEST(UsQuoteTools, MultiPriceMarksStaleAndMissingQuotes) {
  YahooEnv env;
  // Reply order differs from the request; ZZZQ is absent; IBM's quote is a day old.
  env.quotes(json::array({quote_row("MSFT", 410.0), quote_row("IBM", 250.0, 1739566800 - 86400), quote_row("AAPL", 244.6)}));
  std::string r = server::call_tool("get_us_multi_price", {{"tickers", {"AAPL", "ZZZQ", "MSFT", "IBM"}}});
  EXPECT_TRUE(has(r, "**AAPL** | AAPL Inc. | $244.60 | +1.50 | +0.61% | - | - | 2025-02-14"));
  EXPECT_TRUE(has(r, "ZZZQ | ⚠️ no quote returned | - | - | - | - | - | -"));
  EXPECT_TRUE(has(r, "**IBM** | IBM Inc. | $250.00 | +1.50 | +0.61% | - | - | ⚠️ 2025-02-13"));
  EXPECT_TRUE(has(r, "⚠️ 기준일이 배치 최신일보다 오래된 티커: IBM - 거래정지·상장폐지·수집 지연일 수 있습니다. 이 가격을 "
                     "2025-02-14 시점 가격으로 읽지 마세요."));
  json m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["failed_entities"], json({"ZZZQ"}));
  EXPECT_EQ(m["coverage"]["stale_entities"], json({"IBM"}));
  EXPECT_EQ(m["coverage"]["reason"], "source_limit");
}

TEST(UsQuoteTools, ChartLimitHasAFloorOfTenAndACutSaysHowMuchWasLeft) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v8_chart_AAPL_1d_2020-08-31_2020-11-07_split_div.json");
  YahooEnv env;
  env.at_ny("2025-02-10", 12, 0);
  env.srv.route(yahoo_chart_path("AAPL"), reply(200, body));
  std::string r = server::call_tool("get_us_chart", {{"ticker", "aapl"}, {"limit", 3}});
  EXPECT_TRUE(has(r, "**AAPL** 3mo 1d OHLCV (10 bars · 원본 49행 중 최근 10행)\n\n")) << r;
  EXPECT_TRUE(has(r, "\n2020-11-06|118.32|119.20|116.13|118.69|114457900\n")) << r;   // the newest rows are kept
  EXPECT_FALSE(has(r, "2020-10-23"));
  EXPECT_TRUE(has(r, "💡 더 필요하면 `limit=49`로 재호출하세요."));
  json m = reply_meta(r);
  EXPECT_EQ(m["data_as_of"], "2020-11-06");
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], true);
}
