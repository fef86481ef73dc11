// The public minute providers against loopback Yahoo and Naver.
#include <gtest/gtest.h>

#include "sources/market_data/market_data.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "support/naver_env.hpp"

namespace md = tessaro::market_data;
namespace mt = tessaro::mt;
using tessaro::json;
using namespace tessaro::testing;

namespace {

md::BarRequest us_day(const char* day) {
  auto w = md::session_window("US", *mt::parse_day(day));
  md::BarRequest r;
  r.market = "US";
  r.symbol = "aapl";
  r.interval = "1m";
  r.trading_date = day;
  r.start_at = w->start_at;
  r.end_at = w->bars_end_at;
  return r;
}

long long ny(const char* day, int h, int m) {
  return mt::from_zone(*mt::parse_day(day), h, m, mt::NEW_YORK).time_since_epoch().count();
}

// A v8 chart answer for AAPL.
std::string chart_body(const json& timestamps, const json& quote) {
  return json{{"chart", {{"result", json::array({{{"meta", {{"symbol", "AAPL"}}}, {"timestamp", timestamps},
                                                  {"indicators", {{"quote", json::array({quote})}}}}})},
                         {"error", nullptr}}}}
      .dump();
}

}  // namespace

TEST(PublicMinutes, YahooKeepsOnlyTradedSlotsInsideTheSession) {
  YahooEnv env;
  env.at_ny("2026-12-04", 18, 0);
  json quote = {{"open", {190.0, nullptr, 191.0, 192.0}},
                {"high", {190.5, nullptr, 191.5, 192.5}},
                {"low", {189.5, nullptr, 190.5, 191.5}},
                {"close", {190.2, nullptr, 191.2, 192.2}},
                {"volume", {1200, nullptr, 900, 50}}};
  env.srv.route(yahoo_chart_path("AAPL"),
                reply(200, chart_body({ny("2026-12-04", 9, 30), ny("2026-12-04", 9, 31), ny("2026-12-04", 9, 32),
                                       ny("2026-12-04", 16, 0)},
                                      quote)));
  auto p = md::provider("yahoo");
  ASSERT_TRUE(p);
  md::BarDataset ds = p->fetch_bars(us_day("2026-12-04"), {});
  ASSERT_EQ(ds.bars.size(), 2u);   // the empty 09:31 slot is no bar; 16:00 is after the close
  EXPECT_EQ(mt::to_ny(ds.bars[1].start_at).hm(), "09:32");
  EXPECT_DOUBLE_EQ(ds.bars[1].volume, 900);
  auto q = env.srv.last_request(yahoo_chart_path("AAPL"));
  EXPECT_EQ(q.params["interval"], "1m");
  EXPECT_EQ(q.params["includePrePost"], "false");
  EXPECT_EQ(q.params["period1"], std::to_string(ny("2026-12-04", 9, 30)));

  env.srv.fail_next(yahoo_chart_path("AAPL"), 429, 20, "0");
  try {
    p->fetch_bars(us_day("2026-12-04"), {});
    FAIL() << "a persistent 429 must surface";
  } catch (const md::ProviderError& e) {
    EXPECT_EQ(e.status(), md::ST_RATE_LIMITED);
  }
}

TEST(PublicMinutes, YahooHourlyBarCutByTheCloseIsASessionTail) {
  YahooEnv env;
  env.at_ny("2026-12-04", 18, 0);
  json quote = {{"open", {190.0, 191.0}}, {"high", {190.5, 191.5}}, {"low", {189.5, 190.5}},
                {"close", {190.2, 191.2}}, {"volume", {12000, 9000}}};
  env.srv.route(yahoo_chart_path("AAPL"),
                reply(200, chart_body({ny("2026-12-04", 14, 30), ny("2026-12-04", 15, 30)}, quote)));
  md::BarRequest r = us_day("2026-12-04");
  r.interval = "60m";
  md::BarDataset ds = md::provider("yahoo")->fetch_bars(r, {});
  ASSERT_EQ(ds.bars.size(), 2u);
  EXPECT_FALSE(ds.bars[0].session_tail);
  EXPECT_TRUE(ds.bars[1].session_tail);
  EXPECT_EQ(ds.bars[1].actual_minutes, 30);
  EXPECT_EQ(mt::to_ny(ds.bars[1].end_at).hm(), "16:00");
}

// Naver's minute chart (documented shape; the real bodies are read by the
// source's capture tests): per-minute bars of the request's window, a minute
// with an unreadable value left out and the day marked incomplete.
TEST(PublicMinutes, NaverMinuteChartKeepsTheWindowAndDropsUnreadableMinutes) {
  NaverEnv env("2026-12-04 18:00");
  auto& srv = env.srv;
  auto w = md::session_window("KR", *mt::parse_day("2026-12-04"));
  md::BarRequest r;
  r.market = "KR";
  r.symbol = "005930";
  r.trading_date = "2026-12-04";
  r.start_at = w->start_at;
  r.end_at = w->bars_end_at;
  auto item = [](const char* t, json o, json v) {
    return json{{"localDateTime", t}, {"currentPrice", 71000.0}, {"openPrice", o}, {"highPrice", 71200.0},
                {"lowPrice", 70900.0}, {"accumulatedTradingVolume", v}};
  };
  json body = json::array({item("20261203153000", 70000.0, 5), item("20261204090000", 71000.0, 1000),
                           item("20261204090100", nullptr, 600), item("20261204090200", 71050.0, 600),
                           item("20261204154000", 71000.0, 7)});
  srv.route("/api.stock.naver.com/chart/domestic/item/005930/minute", reply(200, body.dump()));
  md::BarDataset ds = md::provider("naver")->fetch_bars(r, {});
  ASSERT_EQ(ds.bars.size(), 2u);   // the previous day and 15:40 are outside; 09:01 has no open
  EXPECT_DOUBLE_EQ(ds.bars[0].volume, 1000);
  EXPECT_DOUBLE_EQ(ds.bars[1].volume, 600);   // per-minute volume as given, never differenced
  EXPECT_DOUBLE_EQ(ds.bars[1].open, 71050);
  EXPECT_FALSE(ds.coverage["complete"].get<bool>());
  ASSERT_EQ(ds.warnings.size(), 1u);
  srv.route("/api.stock.naver.com/chart/domestic/item/005930/minute", FixtureResponse{429, "slow down"});
  try {
    md::provider("naver")->fetch_bars(r, {});
    FAIL() << "a refusal is not an empty day";
  } catch (const md::ProviderError& e) {
    EXPECT_EQ(e.status(), md::ST_RATE_LIMITED);
  }
}
