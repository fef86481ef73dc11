// Yahoo session: cookie + crumb, refresh on a stale crumb, 429 back-off, timeouts.
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/yahoo/client.hpp"
#include "sources/yahoo/us.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace yd = tessaro::us::detail;

namespace {

const char* kCrumbPath = "/query1.finance.yahoo.com/v1/test/getcrumb";
const char* kQuotePath = "/query1.finance.yahoo.com/v7/finance/quote";
const char* kFcPath = "/fc.yahoo.com/";

std::string quote_body(const std::string& symbol, double price) {
  json q = {{"symbol", symbol}, {"longName", symbol + " Inc."}, {"currency", "USD"}, {"regularMarketPrice", price},
            {"regularMarketChange", 1.5}, {"regularMarketChangePercent", 0.61}, {"regularMarketTime", 1739566800},
            {"marketState", "CLOSED"}, {"beta", 1.1}};
  return json{{"quoteResponse", {{"result", json::array({q})}, {"error", nullptr}}}}.dump();
}

struct YahooEnv {
  FixtureServer srv;
  ScopedEnv base{"TESSARO_YAHOO_BASE_URL", srv.base_url()};
  ScopedEnv timeout{"TESSARO_HTTP_TIMEOUT_S", "2"};
  YahooEnv(const std::string& crumb = "abcDEF12345") {
    yd::reset_session();
    srv.route(kFcPath, FixtureResponse{404, "<html>no</html>", "text/html",
                                       {{"Set-Cookie", "A3=d=AQAB; Domain=.yahoo.com; Path=/; Secure"}}});
    srv.route(kCrumbPath, FixtureResponse{200, crumb, "text/plain;charset=utf-8"});
  }
  ~YahooEnv() { yd::reset_session(); }
};

}  // namespace

TEST(YahooSession, CookieAndCrumbGoWithEveryRequest) {
  YahooEnv env("04M/iEkVllu");   // crumbs can hold '/'
  env.srv.route(kQuotePath, FixtureResponse{200, quote_body("AAPL", 244.6)});
  json q = us::get_price("aapl");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["ticker"], "AAPL");
  FixtureRequest req = env.srv.last_request(kQuotePath);
  EXPECT_EQ(req.params["crumb"], "04M/iEkVllu");
  EXPECT_NE(req.headers["cookie"].find("A3=d=AQAB"), std::string::npos);
  EXPECT_EQ(env.srv.last_request(kCrumbPath).headers["cookie"], "A3=d=AQAB");
  // A second call reuses the session.
  us::get_price("AAPL");
  EXPECT_EQ(env.srv.hits(kCrumbPath), 1);
  EXPECT_EQ(env.srv.hits(kFcPath), 1);
}

TEST(YahooSession, InvalidCrumbRefreshesOnceAndRetries) {
  YahooEnv env;
  int calls = 0;
  env.srv.route(kQuotePath, [&](const FixtureRequest&) {
    if (++calls == 1)
      return FixtureResponse{401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})"};
    return FixtureResponse{200, quote_body("MSFT", 410.0)};
  });
  json q = us::get_price("MSFT");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["price"], 410.0);
  EXPECT_EQ(env.srv.hits(kCrumbPath), 2);   // fetched anew after the 401
  EXPECT_EQ(calls, 2);
}

TEST(YahooSession, PersistentUnauthorizedIsAnErrorNotNoData) {
  YahooEnv env;
  env.srv.route(kQuotePath, FixtureResponse{401, R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})"});
  EXPECT_THROW(us::get_price("MSFT"), HTTPStatusError);
  EXPECT_EQ(env.srv.hits(kQuotePath), 2);   // one refresh, one retry, no loop
}

TEST(YahooSession, RateLimitedCrumbBodiesAreNeverUsed) {
  EXPECT_FALSE(yd::valid_crumb("Too Many Requests"));
  EXPECT_FALSE(yd::valid_crumb("Edge: Too Many Requests"));
  EXPECT_FALSE(yd::valid_crumb("Too Many Requests\r\n"));
  EXPECT_FALSE(yd::valid_crumb("<html><body>consent</body></html>"));
  EXPECT_FALSE(yd::valid_crumb(""));
  EXPECT_TRUE(yd::valid_crumb("04M/iEkVllu"));

  YahooEnv env;
  env.srv.route(kCrumbPath, FixtureResponse{200, "<html>please consent</html>", "text/html"});
  env.srv.route(kQuotePath, FixtureResponse{200, quote_body("AAPL", 1.0)});
  us::get_price("AAPL");
  EXPECT_EQ(env.srv.last_request(kQuotePath).params.count("crumb"), 0u);
}

TEST(YahooSession, TooManyRequestsBacksOffThenSucceeds) {
  YahooEnv env;
  env.srv.route(kQuotePath, FixtureResponse{200, quote_body("NVDA", 120.0)});
  env.srv.fail_next(kQuotePath, 429, 2, "0");
  json q = us::get_price("NVDA");
  ASSERT_TRUE(q.is_object());
  EXPECT_EQ(q["price"], 120.0);
  EXPECT_EQ(env.srv.hits(kQuotePath), 3);
}

TEST(YahooSession, TooManyRequestsAfterRetriesIsRaised) {
  YahooEnv env;
  env.srv.route(kQuotePath, FixtureResponse{429, "Too Many Requests", "text/plain"});
  try {
    us::get_price("NVDA");
    FAIL() << "a 429 must not read as 'no data'";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 429);
  }
  // A rate-limited crumb answer stops before any API call.
  YahooEnv env2;
  env2.srv.route(kCrumbPath, FixtureResponse{429, "Too Many Requests", "text/plain"});
  env2.srv.route(kQuotePath, FixtureResponse{200, quote_body("NVDA", 1.0)});
  EXPECT_THROW(us::get_price("NVDA"), HTTPStatusError);
  EXPECT_EQ(env2.srv.hits(kQuotePath), 0);
}

TEST(YahooSession, SlowAnswerIsATimeout) {
  YahooEnv env;
  env.srv.route(kQuotePath, FixtureResponse{200, quote_body("AAPL", 1.0)});
  env.srv.delay(kQuotePath, 2600);
  EXPECT_THROW(us::get_price("AAPL"), TimeoutException);
}

TEST(YahooSession, UnknownSymbolIsNullAndBadTextNeverReachesTheNetwork) {
  YahooEnv env;
  env.srv.route(kQuotePath, FixtureResponse{200, R"({"quoteResponse":{"result":[],"error":null}})"});
  EXPECT_TRUE(us::get_price("ZZZZZZ").is_null());
  int before = env.srv.hits(kQuotePath);
  EXPECT_TRUE(us::get_price("AAPL&x=1").is_null());
  EXPECT_TRUE(us::get_price("").is_null());
  EXPECT_EQ(env.srv.hits(kQuotePath), before);
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
