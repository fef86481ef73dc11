// US label lines: extended-hours chart rows say their session, a past
// ex-dividend date is the last one, news times name their zone.
#include <gtest/gtest.h>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_news.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

long long ny(const char* day, int h, int m) {
  return (long long)mt::from_zone(*mt::parse_day(day), h, m, mt::NEW_YORK).time_since_epoch().count();
}

// A 1m chart body (written from the documented v8 format) with one pre-market,
// one regular and one after-hours minute.
std::string prepost_chart() {
  json q = {{"open", {10.0, 11.0, 12.0}}, {"high", {10.5, 11.5, 12.5}}, {"low", {9.5, 10.5, 11.5}},
            {"close", {10.2, 11.2, 12.2}}, {"volume", {100, 200, 300}}};
  json r = {{"meta", {{"symbol", "AAPL"}, {"exchangeTimezoneName", "America/New_York"}}},
            {"timestamp", {ny("2026-09-16", 8, 0), ny("2026-09-16", 10, 0), ny("2026-09-16", 16, 30)}},
            {"indicators", {{"quote", json::array({q})}}}};
  return json{{"chart", {{"result", json::array({r})}, {"error", nullptr}}}}.dump();
}

json dividend_modules(long long ex_date) {
  json m = json::object();
  m["summaryDetail"] = json{{"exDividendDate", json{{"raw", ex_date}}}};
  m["price"] = json{{"symbol", "KO"}};
  return m;
}

}  // namespace

TEST(UsLabels, PrepostChartRowsSayTheirSession) {
  YahooEnv env;
  env.at_ny("2026-09-16", 17, 0);
  env.srv.route(yahoo_chart_path("AAPL"), reply(200, prepost_chart()));
  std::string r = server::call_tool("get_us_chart", {{"ticker", "AAPL"}, {"period", "1d"}, {"interval", "1m"}, {"prepost", true}});
  EXPECT_TRUE(has(r, "날짜|시가|고가|저가|종가|거래량|세션\n---|---|---|---|---|---|---\n"
                     "2026-09-16 08:00|10.00|10.50|9.50|10.20|100|프리마켓\n"
                     "2026-09-16 10:00|11.00|11.50|10.50|11.20|200|정규장\n"
                     "2026-09-16 16:30|12.00|12.50|11.50|12.20|300|애프터아워\n"))
      << r;
  // Yahoo sends extended-hours bars even without prepost: they are marked all the same.
  std::string plain = server::call_tool("get_us_chart", {{"ticker", "AAPL"}, {"period", "1d"}, {"interval", "1m"}});
  EXPECT_TRUE(has(plain, "2026-09-16 08:00|10.00|10.50|9.50|10.20|100|프리마켓\n")) << plain;
  EXPECT_TRUE(has(plain, "2026-09-16 16:30|12.00|12.50|11.50|12.20|300|애프터아워\n")) << plain;
}

// After the close, an after-hours minute still forming is no last close.
TEST(UsLabels, FormingAfterHoursBarIsInProgressNotTheClose) {
  YahooEnv env;
  env.srv.route(yahoo_chart_path("AAPL"), reply(200, prepost_chart()));
  const json args = {{"ticker", "AAPL"}, {"period", "1d"}, {"interval", "1m"}, {"prepost", true}};
  env.at_ny("2026-09-16", 16, 30);   // inside the 16:30 minute
  json m = meta_of(server::call_tool("get_us_chart", args));
  EXPECT_EQ(m["data_basis"], "in_progress_bar") << m.dump();
  EXPECT_FALSE(has(m["warnings"].dump(), "마감 상태")) << m.dump();
  EXPECT_TRUE(has(m["warnings"].dump(), "아직 만들어지는 중")) << m.dump();
  env.at_ny("2026-09-16", 17, 0);    // that minute is over
  m = meta_of(server::call_tool("get_us_chart", args));
  EXPECT_EQ(m["data_basis"], "last_close") << m.dump();
  EXPECT_TRUE(has(m["warnings"].dump(), "미국장 마감 상태")) << m.dump();
}

TEST(UsLabels, PastExDividendDateIsTheLastOne) {
  YahooEnv env;
  env.at_ny("2026-09-16", 12, 0);
  env.srv.route(yahoo_chart_path("KO"), reply(200, json{{"chart", {{"result", json::array()}, {"error", nullptr}}}}.dump()));
  env.summary("KO", dividend_modules(ny("2026-08-10", 0, 0) + 4 * 3600));
  std::string r = server::call_tool("get_us_dividends", {{"ticker", "KO"}});
  EXPECT_TRUE(has(r, "- 최근 Ex-Dividend Date: 2026-08-10 (이미 지난 날짜 — 다음 배당락일은 아직 나오지 않았습니다)")) << r;
  EXPECT_FALSE(has(r, "다음 Ex-Dividend Date: 2026-08-10"));
  env.summary("KO", dividend_modules(ny("2026-09-30", 0, 0) + 4 * 3600));
  EXPECT_TRUE(has(server::call_tool("get_us_dividends", {{"ticker", "KO"}}), "- 다음 Ex-Dividend Date: 2026-09-30"));
}

TEST(UsLabels, NewsTimesNameTheirZoneAndKoreanTime) {
  json news = {{"news", {{{"title", "Apple unveils new chip"}, {"published", "2026-09-16T10:05:00-04:00"},
                          {"provider", "Reuters"}}}}};
  std::string r = tools::us::render_us_news("AAPL", news, json{{"shortName", "Apple Inc."}}, false);
  EXPECT_TRUE(has(r, "_2026-09-16 10:05 (뉴욕) · 한국 2026-09-16 23:05 · Reuters_")) << r;
}
