// Quote and chart labels on days whose sessions are not the usual ones (the exam
// day, 2026-11-19: regular 10:00-16:30, after-market from 17:00), and where the
// data and the clock disagree (finished bars read the next day, a forming week,
// an ETF in the evening).
#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

// The captured after-market quote moved to the exam day, last trade at `traded` (HH:MM:SS).
std::string exam_quote(const std::string& traded) {
  std::string body = read_fixture("naver/polling_after_market_000660.json");
  body = fmt::replace_all(body, "2026-09-16T17:05:10", "2026-11-19T" + traded);
  body = fmt::replace_all(body, "2026-09-16T17:05:09", "2026-11-19T" + traded);
  return fmt::replace_all(body, "20260916170511", "20261119" + fmt::replace_all(traded, ":", ""));
}

// Minute prints of the exam day: one at 15:30 (mid-session that day) and one at 16:30 (its close).
std::string exam_minutes() {
  return fchart_xml({"202611191530|null|null|null|288000|10", "202611191630|null|null|null|291500|20",
                     "202611191710|null|null|null|290000|30"},
                    "minute");
}

struct ChartEnv : NaverEnv {
  // Exam-day minute prints of this stock: 15:30 mid-session, 16:30 the close.
  std::string day_xml, minute_xml = fchart_xml({"202611191530|null|null|null|70900|10",
                                                "202611191630|null|null|null|71200|20"},
                                               "minute");
  explicit ChartEnv(const char* at) : NaverEnv(at) {
    srv.route(kFchart, [this](const FixtureRequest& r) {
      if (r.params.at("timeframe") == "minute") return reply(200, minute_xml, "text/xml");
      return reply(200, day_xml, "text/xml; charset=EUC-KR");
    });
    srv.route_file("/m.stock.naver.com/api/stock/005930/basic", "naver/mstock_basic_005930.json");
  }
};

std::string chart(const json& args) { return server::call_tool("get_chart", args); }

}  // namespace

TEST(ExamDayQuote, RegularSessionUntilFourThirtyAndItsOwnCloseMinute) {
  {
    // 16:15: the regular session is still open on the exam day.
    NaverEnv env("2026-11-19 16:15");
    env.srv.route(kPoll + "000660", reply(200, exam_quote("16:14:50.120000")));
    auto [text, meta] = split(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_TRUE(contains(text, "현재가 (KRX 정규장): 290,000원")) << text;
    EXPECT_FALSE(contains(text, "정규장 종가 (")) << text;
    EXPECT_FALSE(contains(text, "애프터마켓 포함"));
    EXPECT_EQ(meta["price_session"], "regular");
    EXPECT_EQ(meta["data_basis"], "realtime");
    EXPECT_FALSE(meta.contains("regular_close_check"));
  }
  {
    // 16:45: the 16:30 close, before the after-market opens at 17:00.
    NaverEnv env("2026-11-19 16:45");
    env.srv.route(kPoll + "000660", reply(200, exam_quote("16:30:00.000000")));
    auto [text, meta] = split(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_TRUE(contains(text, "현재가 (KRX 정규장): 290,000원")) << text;
    EXPECT_EQ(meta["price_session"], "regular");
    EXPECT_EQ(meta["data_basis"], "last_close");
    EXPECT_TRUE(has_warning(meta, "17:00에 애프터마켓이 열리면"));
  }
  {
    // 17:30, last trade still the close: not an after-market value.
    NaverEnv env("2026-11-19 17:30");
    env.srv.route(kPoll + "000660", reply(200, exam_quote("16:30:00.000000")));
    json meta = meta_of(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_EQ(meta["price_session"], "regular");
    EXPECT_EQ(meta["data_basis"], "last_close");
    EXPECT_FALSE(has_warning(meta, "20:00 전까지 바뀝니다"));
    EXPECT_TRUE(has_warning(meta, "KRX 정규장은 16:30에 마감됐고"));
  }
  {
    // 17:30, an after-market trade: the regular close is the 16:30 print.
    NaverEnv env("2026-11-19 17:30");
    env.srv.route(kPoll + "000660", reply(200, exam_quote("17:25:00.000000")));
    env.srv.route(kFchart, reply(200, exam_minutes(), "text/xml"));
    auto [text, meta] = split(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_TRUE(contains(text, "현재가 (KRX 애프터마켓): 290,000원")) << text;
    EXPECT_TRUE(contains(text, "정규장 종가 (16:30): 291,500원")) << text;
    EXPECT_EQ(meta["regular_close_check"][0]["regular_close"], 291500);
    EXPECT_EQ(meta["regular_close_check"][0]["regular_close_time"], "16:30");
  }
}

TEST(ExamDayChart, MidSessionPrintIsNoRegularCloseAndTodaysNoteNamesTheDaysTimes) {
  const std::vector<std::string> days = {"20261117|70000|71000|69500|70300|100", "20261118|70300|71500|70000|71000|100",
                                         "20261119|71000|72000|70800|71500|100"};
  {
    ChartEnv env("2026-11-19 16:15");
    env.day_xml = fchart_xml(days);
    auto [text, meta] = split(chart({{"code", "005930"}, {"count", 3}}));
    EXPECT_FALSE(contains(text, "\n2026-11-19|71500|")) << text;
    EXPECT_TRUE(contains(text, "오늘(2026-11-19) 봉은 아직 정규장 체결만 담겨 있고 17:00부터 애프터마켓이 더해집니다.")) << text;
    for (const auto& c : meta["regular_close_check"]) {
      EXPECT_NE(c["date"], "2026-11-19");
      EXPECT_TRUE(c["bar_close"].is_number_integer()) << c;
    }
    EXPECT_EQ(meta["session_mix"]["today_bar"], "regular_only_so_far");
    EXPECT_EQ(meta["data_basis"], "in_progress_bar");
  }
  {
    ChartEnv env("2026-11-19 17:30");
    env.day_xml = fchart_xml(days);
    auto [text, meta] = split(chart({{"code", "005930"}, {"count", 3}}));
    EXPECT_TRUE(contains(text, "\n2026-11-19|71500|71200 (16:30)|+300\n")) << text;
    EXPECT_EQ(meta["session_mix"]["today_bar"], "after_market_in_progress");
  }
}

TEST(ChartFromData, FinishedBarsReadTheNextTradingDay) {
  const std::vector<std::string> days = {"20260910|70000|71000|69500|70300|100", "20260911|70300|71500|70000|71000|100"};
  for (const char* at : {"2026-09-14 09:00", "2026-09-14 21:00"}) {
    ChartEnv env(at);
    env.day_xml = fchart_xml(days);
    json meta = meta_of(chart({{"code", "005930"}, {"count", 2}}));
    EXPECT_EQ(meta["data_basis"], "last_close") << at;
    EXPECT_EQ(meta["data_as_of"], "2026-09-11");
    EXPECT_FALSE(has_warning(meta, "최근 거래일(2026-09-14)")) << at << meta["warnings"];
    EXPECT_EQ(meta["data_completeness"], "complete");
  }
}

TEST(ChartFromData, WednesdayEveningWeekAndEtfEvening) {
  {
    // Weekly bars dated by their Friday; this week's is still forming on Wednesday evening.
    ChartEnv env("2026-12-02 21:00");
    env.day_xml = fchart_xml({"20261120|1|2|1|2|10", "20261127|2|3|2|3|10", "20261204|3|4|3|4|10"}, "week");
    json meta = meta_of(chart({{"code", "005930"}, {"timeframe", "week"}, {"count", 3}}));
    EXPECT_EQ(meta["data_basis"], "in_progress_bar");
    EXPECT_EQ(meta["data_as_of"], "2026-12-02");
    EXPECT_EQ(meta["bar_state"]["last_completed_bar_date"], "2026-11-27");
  }
  {
    // An ETF has no after-market: at 17:00 today's bar is final.
    ChartEnv env("2026-11-18 17:00");
    env.srv.route_file("/m.stock.naver.com/api/stock/005930/basic", "naver/mstock_basic_069500.json");
    env.day_xml = fchart_xml({"20261117|1|2|1|2|10", "20261118|2|3|2|3|10"});
    json meta = meta_of(chart({{"code", "005930"}, {"count", 2}}));
    EXPECT_EQ(meta["data_basis"], "last_close");
    EXPECT_EQ(meta["bar_state"]["last_bar_complete"], true);
    EXPECT_EQ(meta["data_completeness"], "complete");
    EXPECT_EQ(meta["price_session"], "regular");
  }
}
