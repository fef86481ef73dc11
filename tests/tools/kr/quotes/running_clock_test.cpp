// Labels from the data's own time in a server that keeps running while its clock
// moves: one process, one bar cache, calls on both sides of a session boundary;
// quotes whose last trade is from an earlier day; a weekly series that lags.
// Bars and quotes are written from the documented fchart and polling formats.
#include <gtest/gtest.h>

#include <mutex>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

// One loopback Naver whose daily and weekly series can change between calls,
// with the bar cache on (as by default) and empty.
struct MovingEnv : NaverEnv {
  ScopedEnv cache_on{"TESSARO_BARS_CACHE", "on"};
  std::mutex m;
  std::vector<std::string> day, week;   // fchart items, oldest first
  explicit MovingEnv(const char* at, const char* basic = "naver/mstock_basic_005930.json") : NaverEnv(at) {
    bars_cache::clear_memory();
    srv.route(kFchart, [this](const FixtureRequest& r) {
      std::lock_guard<std::mutex> lk(m);
      const std::string tf = r.params.at("timeframe");
      return reply(200, fchart_xml(tf == "week" ? week : day, tf), "text/xml; charset=EUC-KR");
    });
    srv.route_file("/m.stock.naver.com/api/stock/005930/basic", basic);
  }
  ~MovingEnv() { bars_cache::clear_memory(); }
  void set_last_close(std::vector<std::string>& items, const std::string& ymd, int close) {
    std::lock_guard<std::mutex> lk(m);
    items.back() = ymd + "|" + std::to_string(close - 100) + "|" + std::to_string(close + 100) + "|" +
                   std::to_string(close - 200) + "|" + std::to_string(close) + "|" + std::to_string(close / 10);
  }
};

std::string chart(const json& args) { return server::call_tool("get_chart", args); }

// The after-market capture's quote with its last trade moved to `traded_at`
// ("YYYY-MM-DDTHH:MM:SS"), KRX and NXT blocks alike.
std::string quote_at(const std::string& traded_at) {
  std::string body = read_fixture("naver/polling_after_market_000660.json");
  body = fmt::replace_all(body, "2026-09-16T17:05:10", traded_at);
  body = fmt::replace_all(body, "2026-09-16T17:05:09", traded_at);
  return body;
}

bool any_warning(const json& meta, const std::string& part) { return has_warning(meta, part); }

}  // namespace

// A daily bar read at 19:59:30, during the after-market, comes back at 20:00:05 as
// the day's final bar only after it has been read again: the copy held from
// before 20:00 has neither the last trades nor their volume.
TEST(RunningClock, DailyBarReadBeforeTwentyIsReadAgainAfterIt) {
  MovingEnv env("2026-12-07 19:59:30");
  env.day = {"20261203|70000|71000|69500|70300|100", "20261204|70300|71500|70000|71000|100",
             "20261207|71000|72000|70800|71500|100"};
  auto [before, m1] = split(chart({{"code", "005930"}, {"count", 3}}));
  EXPECT_EQ(m1["data_basis"], "in_progress_bar");
  EXPECT_EQ(m1["session_mix"]["today_bar"], "after_market_in_progress");
  EXPECT_TRUE(contains(before, "2026-12-07|71000|72000|70800|71500|"));

  env.set_last_close(env.day, "20261207", 71800);   // the after-market's last trade at 20:00
  env.freeze("2026-12-07 20:00:05");
  auto [after, m2] = split(chart({{"code", "005930"}, {"count", 3}}));
  EXPECT_TRUE(contains(after, "\n2026-12-07|71700|71900|71600|71800|")) << after;
  EXPECT_FALSE(contains(after, "2026-12-07|71000|72000|70800|71500|")) << after;
  EXPECT_EQ(m2["session_mix"]["today_bar"], "final");
  EXPECT_EQ(m2["data_basis"], "last_close");
  EXPECT_EQ(m2["data_completeness"], "complete");
}

// An ETF has no after-market: its day closes at 15:30 with the closing auction.
// A bar read at 15:29:40 is not served at 15:30:05 as the closed bar.
TEST(RunningClock, EtfBarReadBeforeTheCloseIsReadAgainAfterIt) {
  MovingEnv env("2026-12-07 15:29:40", "naver/mstock_basic_069500.json");
  env.day = {"20261204|35000|35500|34800|35200|100", "20261207|35200|35600|35100|35300|100"};
  json m1 = meta_of(chart({{"code", "005930"}, {"count", 2}}));
  EXPECT_EQ(m1["data_basis"], "in_progress_bar");

  env.set_last_close(env.day, "20261207", 35450);   // the closing auction's print
  env.freeze("2026-12-07 15:30:05");
  auto [text, m2] = split(chart({{"code", "005930"}, {"count", 2}}));
  EXPECT_TRUE(contains(text, "|35450|")) << text;
  EXPECT_EQ(m2["data_basis"], "last_close");
  EXPECT_EQ(m2["bar_state"]["last_bar_complete"], true);
}

// The week closes with Friday's after-market at 20:00: a weekly bar read at
// Friday 19:59:30 is read again at 20:00:05.
TEST(RunningClock, WeeklyBarReadBeforeFridaysCloseIsReadAgainAfterIt) {
  MovingEnv env("2026-12-11 19:59:30");
  env.week = {"20261127|1000|1100|900|1050|10", "20261204|1050|1200|1000|1150|10", "20261211|1150|1300|1100|1250|10"};
  env.day = {"20261210|1200|1260|1190|1240|5", "20261211|1240|1300|1230|1250|5"};
  json m1 = meta_of(chart({{"code", "005930"}, {"timeframe", "week"}, {"count", 3}}));
  EXPECT_EQ(m1["bar_state"]["last_bar_complete"], false);

  env.set_last_close(env.week, "20261211", 1290);
  env.freeze("2026-12-11 20:00:05");
  auto [text, m2] = split(chart({{"code", "005930"}, {"timeframe", "week"}, {"count", 3}}));
  EXPECT_TRUE(contains(text, "|1290|")) << text;
  EXPECT_EQ(m2["bar_state"]["last_bar_complete"], true);
  EXPECT_EQ(m2["data_basis"], "last_close");
  EXPECT_EQ(m2["data_as_of"], "2026-12-11");
}

// A stock halted from Wednesday: the week's bar (dated by its Friday) holds
// trades up to Tuesday, and so does the daily series. data_as_of is Tuesday.
TEST(RunningClock, LaggingWeeklySeriesIsDatedByTheLastDayItHolds) {
  const std::vector<std::string> weeks = {"20260904|1000|1100|900|1050|10", "20260911|1050|1200|1000|1150|10",
                                          "20260918|1150|1300|1100|1250|10"};
  {
    MovingEnv env("2026-09-16 21:00");
    env.week = weeks;
    env.day = {"20260914|1150|1260|1100|1200|5", "20260915|1200|1300|1190|1250|5"};
    json m = meta_of(chart({{"code", "005930"}, {"timeframe", "week"}, {"count", 3}}));
    EXPECT_EQ(m["data_as_of"], "2026-09-15") << m.dump();
  }
  {
    // Not halted: the daily series has today, and so has the week.
    MovingEnv env("2026-09-16 21:00");
    env.week = weeks;
    env.day = {"20260914|1150|1260|1100|1200|5", "20260915|1200|1300|1190|1250|5", "20260916|1250|1300|1240|1260|5"};
    EXPECT_EQ(meta_of(chart({{"code", "005930"}, {"timeframe", "week"}, {"count", 3}}))["data_as_of"], "2026-09-16");
  }
}

// A quote whose last trade is from an earlier day is that day's final value,
// whatever session runs when it is read: never realtime, never "until 20:00",
// and its day is the one the notes name.
TEST(QuoteDay, QuotesDatedBeforeTodayAreThatDaysValueAtEveryHour) {
  // Friday 2026-09-11 15:30, read on Monday 2026-09-14 (an after-market day).
  for (const char* at : {"2026-09-14 09:00:05", "2026-09-14 10:00", "2026-09-14 17:00", "2026-09-14 21:00"}) {
    NaverEnv env(at);
    env.srv.route(kPoll + "000660", reply(200, quote_at("2026-09-11T15:30:00")));
    auto [text, meta] = split(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_EQ(meta["data_basis"], "last_close") << at;
    EXPECT_EQ(meta["data_as_of"], "2026-09-11") << at;
    EXPECT_EQ(meta["price_session"], "regular") << at;
    EXPECT_FALSE(any_warning(meta, "최근 거래일(2026-09-14)")) << at << meta["warnings"];
    EXPECT_FALSE(any_warning(meta, "20:00 전까지 바뀝니다")) << at;
    EXPECT_TRUE(any_warning(meta, "2026-09-11 마지막 체결")) << at << meta["warnings"];
    EXPECT_TRUE(contains(text, "\n※ 마지막 체결 2026-09-11 — 그 뒤로 체결이 없어 오늘 시세가 아닙니다")) << text;
  }
  {
    // Yesterday's 20:00 after-market price read at 17:00 today, during the after-market.
    NaverEnv env("2026-09-15 17:00");
    env.srv.route(kPoll + "000660", reply(200, quote_at("2026-09-14T19:59:58")));
    json meta = meta_of(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_EQ(meta["price_session"], "after_market");
    EXPECT_EQ(meta["data_basis"], "last_close");
    EXPECT_EQ(meta["data_as_of"], "2026-09-14");
    EXPECT_FALSE(any_warning(meta, "20:00 전까지 바뀝니다")) << meta["warnings"];
    EXPECT_TRUE(any_warning(meta, "애프터마켓 거래 중이지만 표시된 값은 2026-09-14 마지막 체결가")) << meta["warnings"];
  }
  {
    // Today's own trade during the session is live.
    NaverEnv env("2026-09-14 10:00");
    env.srv.route(kPoll + "000660", reply(200, quote_at("2026-09-14T09:59:58")));
    json meta = meta_of(server::call_tool("get_price", {{"code", "000660"}}));
    EXPECT_EQ(meta["data_basis"], "realtime");
    EXPECT_EQ(meta["data_as_of"], "2026-09-14");
  }
}

TEST(QuoteDay, ABatchIsDatedByItsLatestTradeAndNamesTheStocksThatDidNotTrade) {
  json halted = json::parse(quote_at("2026-09-11T15:30:00"))["datas"][0];
  halted["itemCode"] = "005930";
  halted["symbolCode"] = "005930";
  const json codes = json::array({"000660", "005930"});
  {
    NaverEnv env("2026-09-14 10:00");
    json body = json::parse(quote_at("2026-09-14T09:59:58"));
    body["datas"].push_back(halted);
    env.srv.route(kPoll + "000660,005930", reply(200, body.dump()));
    auto [text, meta] = split(server::call_tool("get_multi_stocks", {{"codes", codes}}));
    EXPECT_EQ(meta["data_as_of"], "2026-09-14") << text;
    EXPECT_EQ(meta["data_basis"], "realtime");
    EXPECT_EQ(meta["per_entity_data_as_of"]["005930"], "2026-09-11");
    EXPECT_TRUE(contains(text, "005930(2026-09-11)")) << text;
  }
  {
    // Every stock's last trade before today (09:00:05, nothing traded yet): Friday's values, not live.
    NaverEnv env("2026-09-14 09:00:05");
    json body = json::parse(quote_at("2026-09-11T15:30:00"));
    body["datas"].push_back(halted);
    env.srv.route(kPoll + "000660,005930", reply(200, body.dump()));
    json meta = meta_of(server::call_tool("get_multi_stocks", {{"codes", codes}}));
    EXPECT_EQ(meta["data_basis"], "last_close");
    EXPECT_EQ(meta["data_as_of"], "2026-09-11");
    EXPECT_FALSE(has_warning(meta, "최근 거래일(2026-09-14)")) << meta["warnings"];
  }
}
