// Yahoo session: cookie + crumb, refresh on a stale crumb, 429 back-off, timeouts.
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/us.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace yd = tessaro::us::detail;

namespace {

std::string quote_body(const std::string& symbol, double price) {
  json q = {{"symbol", symbol}, {"longName", symbol + " Inc."}, {"currency", "USD"}, {"regularMarketPrice", price},
            {"regularMarketChange", 1.5}, {"regularMarketChangePercent", 0.61}, {"regularMarketTime", 1739566800},
            {"marketState", "CLOSED"}, {"beta", 1.1}};
  return json{{"quoteResponse", {{"result", json::array({q})}, {"error", nullptr}}}}.dump();
}

}  // namespace

TEST(YahooSession, CookieAndCrumbGoWithEveryRequest) {
  YahooEnv env("04M/iEkVllu");   // crumbs can hold '/'
  env.srv.route(kYahooQuotePath, FixtureResponse{200, quote_body("AAPL", 244.6)});
  json q = us::get_price("aapl");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["ticker"], "AAPL");
  FixtureRequest req = env.srv.last_request(kYahooQuotePath);
  EXPECT_EQ(req.params["crumb"], "04M/iEkVllu");
  EXPECT_NE(req.headers["cookie"].find("A3=d=AQAB"), std::string::npos);
  EXPECT_EQ(env.srv.last_request(kYahooCrumbPath).headers["cookie"], "A3=d=AQAB");
  // A second call reuses the session.
  us::get_price("AAPL");
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 1);
  EXPECT_EQ(env.srv.hits(kYahooFcPath), 1);
}

TEST(YahooSession, InvalidCrumbRefreshesOnceAndRetries) {
  YahooEnv env;
  int calls = 0;
  env.srv.route(kYahooQuotePath, [&](const FixtureRequest&) {
    if (++calls == 1)
      return FixtureResponse{401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})"};
    return FixtureResponse{200, quote_body("MSFT", 410.0)};
  });
  json q = us::get_price("MSFT");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["price"], 410.0);
  EXPECT_EQ(env.srv.hits(kYahooCrumbPath), 2);   // fetched anew after the 401
  EXPECT_EQ(calls, 2);
}

TEST(YahooSession, PersistentUnauthorizedIsAnErrorNotNoData) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})"});
  EXPECT_THROW(us::get_price("MSFT"), HTTPStatusError);
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 2);   // one refresh, one retry, no loop
}

TEST(YahooSession, RateLimitedCrumbBodiesAreNeverUsed) {
  EXPECT_FALSE(yd::valid_crumb("Too Many Requests"));
  EXPECT_FALSE(yd::valid_crumb("Edge: Too Many Requests"));
  EXPECT_FALSE(yd::valid_crumb("Too Many Requests\r\n"));
  EXPECT_FALSE(yd::valid_crumb("<html><body>consent</body></html>"));
  EXPECT_FALSE(yd::valid_crumb(""));
  EXPECT_TRUE(yd::valid_crumb("04M/iEkVllu"));

  YahooEnv env;
  env.srv.route(kYahooCrumbPath, FixtureResponse{200, "<html>please consent</html>", "text/html"});
  env.srv.route(kYahooQuotePath, FixtureResponse{200, quote_body("AAPL", 1.0)});
  us::get_price("AAPL");
  EXPECT_EQ(env.srv.last_request(kYahooQuotePath).params.count("crumb"), 0u);
}

TEST(YahooSession, TooManyRequestsBacksOffThenSucceeds) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{200, quote_body("NVDA", 120.0)});
  env.srv.fail_next(kYahooQuotePath, 429, 2, "0");
  json q = us::get_price("NVDA");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["price"], 120.0);
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 3);
}

TEST(YahooSession, TooManyRequestsAfterRetriesIsRaised) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{429, "Too Many Requests", "text/plain"});
  try {
    us::get_price("NVDA");
    FAIL() << "a 429 must not read as 'no data'";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 429);
  }
  // A rate-limited crumb answer stops before any API call.
  YahooEnv env2;
  env2.srv.route(kYahooCrumbPath, FixtureResponse{429, "Too Many Requests", "text/plain"});
  env2.srv.route(kYahooQuotePath, FixtureResponse{200, quote_body("NVDA", 1.0)});
  EXPECT_THROW(us::get_price("NVDA"), HTTPStatusError);
  EXPECT_EQ(env2.srv.hits(kYahooQuotePath), 0);
}

TEST(YahooSession, SlowAnswerIsATimeout) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{200, quote_body("AAPL", 1.0)});
  env.srv.delay(kYahooQuotePath, 2600);
  EXPECT_THROW(us::get_price("AAPL"), TimeoutException);
}

TEST(YahooSession, UnknownSymbolIsNullAndBadTextNeverReachesTheNetwork) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{200, R"({"quoteResponse":{"result":[],"error":null}})"});
  EXPECT_TRUE(us::get_price("ZZZZZZ").is_null());
  int before = env.srv.hits(kYahooQuotePath);
  EXPECT_TRUE(us::get_price("AAPL&x=1").is_null());
  EXPECT_TRUE(us::get_price("").is_null());
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), before);
}

TEST(YahooSymbols, ShareClassDotsBecomeDashes) {
  EXPECT_EQ(yd::normalize_symbol("brk.b"), "BRK-B");
  EXPECT_EQ(yd::normalize_symbol(" BF.B "), "BF-B");
  EXPECT_EQ(yd::normalize_symbol("005930.KS"), "005930.KS");
  EXPECT_EQ(yd::normalize_symbol("^GSPC"), "^GSPC");
  EXPECT_EQ(yd::normalize_symbol("RY.TO"), "RY.TO");
  EXPECT_FALSE(yd::normalize_symbol("A B"));
  EXPECT_FALSE(yd::normalize_symbol("AAPL/../x"));
}

TEST(YahooSymbols, EpochDayReadsDateStampsInUtcAndInstantsInNewYork) {
  EXPECT_EQ(us::epoch_day(1738281600), "2025-01-31");   // 00:00 UTC short-interest date
  EXPECT_EQ(us::epoch_day(1738272600), "2025-01-30");   // 16:30 ET earnings time
  EXPECT_EQ(us::epoch_day(1738292400), "2025-01-30");   // 22:00 ET is still the 30th in New York
}
