// Screens label their numbers like the charts they read: daily bars of today
// keep moving with after-market trades until 20:00, and a ranking that marks no
// session still gets its after-market note.
#include <gtest/gtest.h>

#include "core/result_meta.hpp"
#include "server/registry.hpp"
#include "support/naver_env.hpp"
#include "tools/kr/screener/screen_report.hpp"

using namespace tessaro;
using namespace tessaro::tools::screen;
using tessaro::testing::contains;
using tessaro::testing::has_warning;
using tessaro::testing::meta_of;
using tessaro::testing::NaverEnv;

namespace {

RenderArgs three_matches(const std::string& last_date) {
  RenderArgs a;
  a.timeframe_label = "일봉";
  a.unit = "일";
  a.periods = {5, 20};
  a.conditions = {{"ma_spread_max", 2.5}};
  for (int i = 0; i < 3; ++i) {
    json m = {{"last_date", last_date}, {"close", 10000.0 + i}, {"ma", {{"5", 9900.0}, {"20", 9800.0}}},
              {"ma_spread", 1.0}, {"volatility_pct", 10.0}, {"contraction", 0.5}, {"ma_order", "정배열"}};
    a.evaluated.push_back({{{"code", "00000" + std::to_string(i + 1)}, {"name", "종목"}, {"market", "KOSPI"}}, m});
  }
  a.matched = a.evaluated;
  a.universe.assign(3, json::object());
  a.market = "ALL";
  a.completeness = rmeta::COMPLETE;
  return a;
}

}  // namespace

TEST(ScreenLabels, TodaysDailyBarsAtFivePmAreInProgressAndMergeBothSessions) {
  NaverEnv env("2026-11-18 17:00");
  std::string r = screen_chart_render(three_matches("20261118"));
  EXPECT_TRUE(contains(r, "부터 네이버 일봉의 종가·이평은 애프터마켓 체결을 합친 값입니다")) << r;
  json m = meta_of(r);
  EXPECT_EQ(m["data_basis"], "in_progress_bar");
  EXPECT_EQ(m["price_session"], "regular_and_after");
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], false);
  EXPECT_TRUE(has_warning(m, "애프터마켓 체결이 반영되는 값이라 20:00 전까지 바뀝니다"));
  // No match at all: the early reply carries the same labels.
  RenderArgs none = three_matches("20261118");
  none.matched.clear();
  json e = meta_of(screen_chart_render(none));
  EXPECT_EQ(e["data_basis"], "in_progress_bar");
  EXPECT_EQ(e["price_session"], "regular_and_after");
  // After 20:00 the same bars are final.
  env.freeze("2026-11-18 20:30");
  json late = meta_of(screen_chart_render(three_matches("20261118")));
  EXPECT_EQ(late["data_basis"], "last_close");
  EXPECT_EQ(late["bar_state"]["last_bar_complete"], true);
  // Bars from before the after-market existed are regular-session bars.
  EXPECT_EQ(meta_of(screen_chart_render(three_matches("20260911")))["price_session"], "regular");
}

TEST(ScreenLabels, FlowScreenRowsCarryTheirSessionSoTheAfterMarketNoteAppears) {
  NaverEnv env("2026-09-16 17:10");
  json rows = json::array();
  for (int i = 0; i < 2; ++i)
    rows.push_back({{"itemcode", tessaro::testing::code6(700000 + i)}, {"itemname", i ? "KODEX 200" : "가"},
                    {"nowPrice", "12000"}, {"prevChangeRate", "1.5"}, {"tradeVolume", "10"}, {"tradeAmount", "100"}});
  env.srv.route("/stock.naver.com/api/domestic/market/stock/default", tessaro::testing::FixtureResponse{200, rows.dump()});
  for (int i = 0; i < 2; ++i)
    env.srv.route("/m.stock.naver.com/api/stock/" + tessaro::testing::code6(700000 + i) + "/trend",
                  tessaro::testing::FixtureResponse{
                      200, json::array({{{"bizdate", "20260916"}, {"organPureBuyQuant", "+10"},
                                         {"foreignerPureBuyQuant", "+5"}, {"individualPureBuyQuant", "0"}}})
                               .dump()});
  std::string r = tessaro::server::call_tool("screen_by_flow", {{"inst_days", 1}, {"foreign_days", 1}, {"exclude_etf", false}});
  EXPECT_TRUE(contains(r, "※ 세션: 애프터마켓 1종목 · 정규장 1종목 — 애프터마켓 종목의 현재가·등락률은")) << r;
  EXPECT_EQ(meta_of(r)["price_session"], "after_market");
}
