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

TEST(PublicMinutes, NaverPriceOnlySeriesIsRefusedAndFullBarsAreDifferenced) {
  NaverEnv env("2026-12-04 18:00");
  auto& srv = env.srv;
  auto w = md::session_window("KR", *mt::parse_day("2026-12-04"));
  md::BarRequest r;
  r.market = "KR";
  r.symbol = "005930";
  r.trading_date = "2026-12-04";
  r.start_at = w->start_at;
  r.end_at = w->bars_end_at;
  auto xml = [](const std::string& items) {
    return "<?xml version=\"1.0\" encoding=\"EUC-KR\" ?><protocol><chartdata symbol=\"005930\">" + items +
           "</chartdata></protocol>";
  };
  srv.route("/fchart.stock.naver.com/sise.nhn",
            reply(200, xml("<item data=\"202612040900|null|null|null|71000|1000\" />"), "text/xml"));
  auto p = md::provider("naver");
  try {
    p->fetch_bars(r, {});
    FAIL() << "last prices alone are not OHLC bars";
  } catch (const md::ProviderError& e) {
    EXPECT_EQ(e.status(), md::ST_UNSUPPORTED);
  }
  srv.route("/fchart.stock.naver.com/sise.nhn",
            reply(200,
                  xml("<item data=\"202612030900|1|1|1|1|5\" />"
                      "<item data=\"202612040900|71000|71100|70900|71000|1000\" />"
                      "<item data=\"202612040901|71000|71200|71000|71100|1600\" />"
                      "<item data=\"202612041700|71000|71000|71000|71000|1700\" />"),
                  "text/xml"));
  md::BarDataset ds = p->fetch_bars(r, {});
  ASSERT_EQ(ds.bars.size(), 2u);   // the previous day and the after-market item are outside
  EXPECT_DOUBLE_EQ(ds.bars[0].volume, 1000);
  EXPECT_DOUBLE_EQ(ds.bars[1].volume, 600);   // running total differenced
  EXPECT_DOUBLE_EQ(ds.bars[1].high, 71200);
}
