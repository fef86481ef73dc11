// get_us_event_reaction over a loopback Yahoo: release session -> first reaction bar,
// forming bars left out, short windows shown as gaps, fixed refusals.
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kCalendarPath = "/finance.yahoo.com/calendar/earnings";

// AAPL daily bars for two windows (late Oct - early Nov 2024, late Jan - early Feb
// 2025) and the earnings calendar page: Oct 31 8 AM (pre), Jan 30 4 PM (post).
struct Env : YahooEnv {
  Env() {
    srv.route_file(yahoo_chart_path("AAPL"), "yahoo/chart_1d_earnings_windows.json");
    srv.route_file(kCalendarPath, "yahoo/earnings_calendar_page.html", "text/html");
    summary("AAPL", {{"price", {{"symbol", "AAPL"}, {"currency", "USD"}}}});
    at_ny("2025-02-10", 12, 0);
  }
  std::string call(const std::string& event_date, const std::string& session, int after = 5,
                   const std::string& ticker = "AAPL") {
    return server::call_tool("get_us_event_reaction",
                             {{"ticker", ticker}, {"event_date", event_date}, {"session", session}, {"after", after}});
  }
};

}  // namespace

TEST(UsEventReaction, AfterCloseThursdayReactsOnFridayFromTheSchedule) {
  Env env;
  std::string r = env.call("2025-01-30", "auto");
  std::string body = reply_body(r);
  EXPECT_TRUE(has(body, "# US 이벤트 반응 - AAPL (발표일 2025-01-30, 장후)")) << body;
  EXPECT_TRUE(has(body, "기준 거래일: **2025-01-31** (next_trading_day_post_market) · 기준가: 직전 완성봉(2025-01-30) "
                        "종가 237.59"));
  EXPECT_TRUE(has(body, "| 지점 | 거래일 | 기준 대비 |\n|---|---|---:|\n"
                        "| D0 | 2025-01-31 | -0.67% |\n| D+1 | 2025-02-03 | -4.03% |\n"
                        "| D+2 | 2025-02-04 | -2.02% |\n| D+5 | 2025-02-07 | -4.19% |"));
  EXPECT_FALSE(has(body, "⚠️"));
  EXPECT_EQ(env.srv.last_request(yahoo_chart_path("AAPL")).params["range"], "1y");

  json m = reply_meta(r);
  ASSERT_TRUE(m.is_object()) << r;
  EXPECT_EQ(m["data_completeness"], "complete");
  EXPECT_EQ(m["data_as_of"], "2025-02-07");
  const json& w = m["event_window"];
  EXPECT_EQ(w["basis_trading_date"], "2025-01-31");
  EXPECT_EQ(w["session"], "post_market");
  EXPECT_EQ(m["price_adjustment"]["source"], "yahoo_daily_bars");
  EXPECT_EQ(m["price_adjustment"]["dividends"], "not_adjusted");
}

TEST(UsEventReaction, PreMarketUsesTheEventDayAndSkipsTheSchedule) {
  Env env;
  // after 50 -> 20; only 19 completed days follow D0.
  std::string r = env.call("2024-10-31", "pre", 50);
  std::string body = reply_body(r);
  EXPECT_TRUE(has(body, "(발표일 2024-10-31, 장전)"));
  EXPECT_TRUE(has(body, "기준 거래일: **2024-10-31** (same_day_pre_market) · 기준가: 직전 완성봉(2024-10-30) 종가 230.10"));
  EXPECT_TRUE(has(body, "| D0 | 2024-10-31 | -1.82% |\n| D+1 | 2024-11-01 | -3.12% |\n| D+10 | 2025-01-27 | -0.10% |\n"
                        "| D+20 | - | - |"))
      << body;
  EXPECT_TRUE(has(body, "⚠️ 사건 후 완성 거래일이 19일뿐입니다(요청 D+20). 빈 지점은 아직 거래일이 없는 것입니다."));
  EXPECT_EQ(env.srv.hits(kCalendarPath), 0);
  EXPECT_EQ(env.srv.hits(yahoo_summary_path("AAPL")), 0);
  json m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["effective"]["after"], 19);
  EXPECT_EQ(m["coverage"]["reason"], "insufficient_post_event_history");

  // after 0 -> 1: D0 and D+1 only, and complete.
  r = env.call("2024-10-31", "pre", 0);
  EXPECT_TRUE(has(r, "| D+1 | 2024-11-01 |"));
  EXPECT_FALSE(has(r, "| D+2 |"));
  EXPECT_EQ(reply_meta(r)["data_completeness"], "complete");
}

TEST(UsEventReaction, FormingBarIsDroppedDuringTheSession) {
  Env env;
  env.at_ny("2025-02-07", 11, 0);   // Friday's bar is still forming
  std::string r = env.call("2025-02-06", "post");
  EXPECT_EQ(reply_body(r),
            "# US 이벤트 반응 - AAPL (2025-02-06)\n\n사건 이후의 완성된 거래일이 아직 없습니다. 다음 정규장 이후 다시 조회하세요.");
  json m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_EQ(m["data_as_of"], "2025-02-06");
  EXPECT_EQ(m["coverage"]["reason"], "insufficient_post_event_history");
  ASSERT_TRUE(m["warnings"].is_array());
  EXPECT_EQ(m["warnings"][0], "진행 중인 봉(2025-02-07)은 반응 계산에서 제외했습니다.");

  r = env.call("2025-02-04", "post");
  EXPECT_TRUE(has(r, "| D0 | 2025-02-05 | -0.14% |\n| D+1 | 2025-02-06 | +0.18% |\n| D+2 | - | - |\n| D+5 | - | - |"))
      << r;
  EXPECT_TRUE(has(r, "⚠️ 사건 후 완성 거래일이 1일뿐입니다(요청 D+5)."));
  EXPECT_FALSE(has(r, "2025-02-07 |"));
}

TEST(UsEventReaction, UnknownAndIntradaySessionsAndRefusals) {
  Env env;
  // Not in the schedule: next trading day, with both warnings in order.
  std::string r = env.call("2025-02-05", "auto");
  EXPECT_TRUE(has(r, "(발표일 2025-02-05, 시각미상)"));
  EXPECT_TRUE(has(r, "기준 거래일: **2025-02-06** (next_trading_day_unknown_session)"));
  json w = reply_meta(r)["warnings"];
  ASSERT_EQ(w.size(), 2u) << w;
  EXPECT_EQ(w[0], "2025-02-05 발표 시각을 실적 일정에서 찾지 못했습니다. 세션을 알면 session=\"pre\"/\"post\" 로 지정하세요.");
  EXPECT_EQ(w[1], "발표 시각 미상 - 보수적으로 다음 거래일을 기준 거래일로 씁니다.");

  r = env.call("2025-02-05", "during_market");
  EXPECT_TRUE(has(r, "기준 거래일: **2025-02-05** (same_day_during_market)"));
  EXPECT_EQ(reply_meta(r)["warnings"][0], "장중 발표 - 당일 봉에는 발표 전 체결이 섞여 있습니다.");

  EXPECT_EQ(env.call("next week", "pre"), "event_date 를 날짜로 읽지 못했습니다: next week");
  EXPECT_EQ(env.call("2024-10-25", "pre"), "사건(2024-10-25) 이전 봉이 없어 기준 대비 수익률을 만들 수 없습니다.");
  EXPECT_EQ(env.call("2025-01-30", "post", 5, "ZZZQ"), "티커 'ZZZQ'의 일봉을 가져올 수 없습니다.");
}
