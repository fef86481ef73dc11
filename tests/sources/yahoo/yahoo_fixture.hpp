#pragma once
// A loopback Yahoo for tests: cookie and crumb routes, and helpers that answer the
// JSON APIs in their documented envelopes (quoteResponse, quoteSummary, chart).
#include <optional>
#include <string>

#include "core/json.hpp"
#include "market_time/clock.hpp"
#include "sources/yahoo/client.hpp"
#include "support/fixture_server.hpp"

namespace tessaro::testing {

inline constexpr const char* kYahooCrumbPath = "/query1.finance.yahoo.com/v1/test/getcrumb";
inline constexpr const char* kYahooQuotePath = "/query1.finance.yahoo.com/v7/finance/quote";
inline constexpr const char* kYahooFcPath = "/fc.yahoo.com/";

inline std::string yahoo_summary_path(const std::string& symbol) {
  return "/query2.finance.yahoo.com/v10/finance/quoteSummary/" + symbol;
}
inline std::string yahoo_chart_path(const std::string& symbol) {
  return "/query2.finance.yahoo.com/v8/finance/chart/" + symbol;
}

// A v7 quote answer holding one closed-market row.
inline std::string yahoo_quote_body(const std::string& symbol, double price) {
  json q = {{"symbol", symbol}, {"longName", symbol + " Inc."}, {"currency", "USD"}, {"regularMarketPrice", price},
            {"regularMarketChange", 1.5}, {"regularMarketChangePercent", 0.61}, {"regularMarketTime", 1739566800},
            {"marketState", "CLOSED"}};
  return json{{"quoteResponse", {{"result", json::array({q})}, {"error", nullptr}}}}.dump();
}

struct YahooEnv {
  FixtureServer srv;
  ScopedEnv base{"TESSARO_YAHOO_BASE_URL", srv.base_url()};
  ScopedEnv timeout{"TESSARO_YAHOO_TIMEOUT_S", "2"};
  ScopedEnv http_cap{"TESSARO_HTTP_TIMEOUT_S", "2"};   // also shortens back-off when read first
  TempHome home;
  explicit YahooEnv(const std::string& crumb = "abcDEF12345") {
    us::detail::reset_session();
    srv.route(kYahooFcPath, FixtureResponse{404, "<html>no</html>", "text/html",
                                            {{"Set-Cookie", "A3=d=AQAB; Domain=.yahoo.com; Path=/; Secure"}}});
    srv.route(kYahooCrumbPath, FixtureResponse{200, crumb, "text/plain;charset=utf-8"});
  }
  ~YahooEnv() {
    us::detail::reset_session();
    mt::set_now_for_tests(std::nullopt);
  }
  // v7 quote rows, answered for any symbol list.
  void quotes(const json& rows) {
    srv.route(kYahooQuotePath, reply(200, json{{"quoteResponse", {{"result", rows}, {"error", nullptr}}}}.dump()));
  }
  // quoteSummary result[0] for one symbol.
  void summary(const std::string& symbol, const json& modules) {
    srv.route(yahoo_summary_path(symbol),
              reply(200, json{{"quoteSummary", {{"result", json::array({modules})}, {"error", nullptr}}}}.dump()));
  }
  // Freezes the clock at a New York wall-clock time.
  void at_ny(const std::string& day, int hour, int minute) {
    mt::set_now_for_tests(mt::from_zone(*mt::parse_day(day), hour, minute, mt::NEW_YORK));
  }
};

}  // namespace tessaro::testing
