// Yahoo session: cookie + crumb, a crumb that will not refresh, 429s, timeouts.
// (A single stale crumb or 429 that clears is covered at the tool level.)
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/us.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace yd = tessaro::us::detail;

TEST(YahooSession, CookieAndCrumbGoWithEveryRequest) {
  YahooEnv env("04M/iEkVllu");   // crumbs can hold '/'
  env.srv.route(kYahooQuotePath, FixtureResponse{200, yahoo_quote_body("AAPL", 244.6)});
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

TEST(YahooSession, PersistentUnauthorizedIsAnErrorNotNoData) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})"});
  EXPECT_THROW(us::get_price("MSFT"), HTTPStatusError);
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 2);   // one refresh, one retry, no loop
}

TEST(YahooSession, RateLimitedCrumbBodiesAreNeverUsed) {
  for (const char* bad : {"Too Many Requests", "Edge: Too Many Requests", "Too Many Requests\r\n", "<html>consent</html>", ""})
    EXPECT_FALSE(yd::valid_crumb(bad)) << bad;
  EXPECT_TRUE(yd::valid_crumb("04M/iEkVllu"));

  YahooEnv env;
  env.srv.route(kYahooCrumbPath, FixtureResponse{200, "<html>please consent</html>", "text/html"});
  env.srv.route(kYahooQuotePath, FixtureResponse{200, yahoo_quote_body("AAPL", 1.0)});
  us::get_price("AAPL");
  EXPECT_EQ(env.srv.last_request(kYahooQuotePath).params.count("crumb"), 0u);
}

// A quote API that stays rate limited is checked on the get_us_price reply.
TEST(YahooSession, RateLimitedCrumbStopsBeforeAnyApiCall) {
  YahooEnv env;
  env.srv.route(kYahooCrumbPath, FixtureResponse{429, "Too Many Requests", "text/plain"});
  env.srv.route(kYahooQuotePath, FixtureResponse{200, yahoo_quote_body("NVDA", 1.0)});
  EXPECT_THROW(us::get_price("NVDA"), HTTPStatusError);
  EXPECT_EQ(env.srv.hits(kYahooQuotePath), 0);
}

TEST(YahooSession, SlowAnswerIsATimeout) {
  YahooEnv env;
  env.srv.route(kYahooQuotePath, FixtureResponse{200, yahoo_quote_body("AAPL", 1.0)});
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
  for (const char* kept : {"005930.KS", "^GSPC", "RY.TO"}) EXPECT_EQ(yd::normalize_symbol(kept), kept);
  // One-letter exchange suffixes are listings, not share classes: Frankfurt stays.
  for (const char* kept : {"SAP.F", "7203.T", "BARC.L", "ABC.V"}) EXPECT_EQ(yd::normalize_symbol(kept), kept);
  EXPECT_EQ(yd::normalize_symbol("sap.f"), "SAP.F");
  EXPECT_FALSE(yd::normalize_symbol("A B"));
  EXPECT_FALSE(yd::normalize_symbol("AAPL/../x"));
  EXPECT_FALSE(yd::normalize_symbol(".."));
  EXPECT_FALSE(yd::normalize_symbol("A..B"));
}

TEST(YahooSymbols, EpochDayReadsDateStampsInUtcAndInstantsInNewYork) {
  EXPECT_EQ(us::epoch_day(1738281600), "2025-01-31");   // 00:00 UTC short-interest date
  EXPECT_EQ(us::epoch_day(1738272600), "2025-01-30");   // 16:30 ET earnings time
  EXPECT_EQ(us::epoch_day(1738292400), "2025-01-30");   // 22:00 ET is still the 30th in New York
}
