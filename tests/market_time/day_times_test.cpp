// Labels follow the session times of the bar's own day (the exam day shifts the
// whole schedule by an hour) and the data, not the clock, decides whether a bar
// is final. One call reads one instant.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/parallel.hpp"
#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
#include "market_time/day_times.hpp"
#include "server/meta.hpp"
#include "support/fixture_server.hpp"
#include "support/frozen_clock.hpp"

using namespace tessaro;
using namespace tessaro::mt;

using tessaro::testing::FrozenClock;

namespace {

Day D(const char* s) { return *parse_day(s); }
Instant kst(const char* day, int h, int m) { return from_kst(D(day), h, m); }

json rows_of(std::initializer_list<const char*> days) {
  json rows = json::array();
  for (auto d : days) rows.push_back(json{{"date", d}, {"close", 100}});
  return rows;
}

bool has_warning_part(const json& meta, const std::string& part) {
  for (const auto& w : meta["warnings"])
    if (w.get<std::string>().find(part) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(DayTimes, ExamDayShiftsTheRegularSessionAndTheAfterMarket) {
  auto exam = krx_day_times(D("2026-11-19"));
  ASSERT_TRUE(exam);
  EXPECT_EQ(hm_text(exam->regular_open), "10:00");
  EXPECT_EQ(hm_text(exam->regular_close), "16:30");
  ASSERT_TRUE(exam->after_open);
  EXPECT_EQ(hm_text(*exam->after_open), "17:00");
  EXPECT_EQ(hm_text(*exam->after_close), "20:00");
  auto usual = krx_day_times(D("2026-11-18"));
  EXPECT_EQ(hm_text(usual->regular_close), "15:30");
  EXPECT_EQ(hm_text(*usual->after_open), "16:00");
  // Before the after-market existed, and on a closed day.
  EXPECT_FALSE(krx_day_times(D("2026-09-11"))->after_open);
  EXPECT_FALSE(krx_day_times(D("2026-11-21")));
  EXPECT_EQ(hm_text(krx_day_times_or_usual(D("2026-11-21")).regular_close), "15:30");
}

TEST(DayTimes, TodaysBarOnTheExamDayFollowsThatDaysSessions) {
  json rows = rows_of({"2026-11-18", "2026-11-19"});
  // 09:45 (pre-open) and 16:15: still the regular session; 16:45: between the close and the after-market.
  for (int hm : {9 * 60 + 45, 16 * 60 + 15, 16 * 60 + 45}) {
    json info = extended_bar_info(rows, "day", kst("2026-11-19", hm / 60, hm % 60));
    EXPECT_EQ(info["today_bar"], "regular_only_so_far") << hm;
    EXPECT_NE(extended_bar_note(info).find(" 오늘(2026-11-19) 봉은 아직 정규장 체결만 담겨 있고 17:00부터 애프터마켓이 더해집니다."),
              std::string::npos);
  }
  json evening = extended_bar_info(rows, "day", kst("2026-11-19", 17, 30));
  EXPECT_EQ(evening["today_bar"], "after_market_in_progress");
  EXPECT_NE(extended_bar_note(evening).find("애프터마켓이 반영되는 중이라 20:00까지 바뀝니다."), std::string::npos);
  // An ordinary day keeps the usual times and adds no keys.
  json usual = extended_bar_info(rows_of({"2026-11-18"}), "day", kst("2026-11-18", 16, 15));
  EXPECT_EQ(usual["today_bar"], "after_market_in_progress");
  EXPECT_FALSE(usual.contains("today_after_market_start"));
}

TEST(DayTimes, RegularCloseChecksSkipTodayUntilTheDaysOwnClose) {
  // The lookup itself fails: only which days are asked, and how, matters.
  std::vector<std::string> asked;
  std::mutex mu;
  RegularCloseLookup failing = [&](const std::string& code, const std::string& day,
                                   const std::string& close_hm) -> RegularCloseFound {
    std::lock_guard<std::mutex> lk(mu);
    asked.push_back(code + " " + day + " " + close_hm);
    throw std::runtime_error("no source");
  };
  json rows = json::array({json{{"date", "2026-11-18"}, {"close", 70300.0}}, json{{"date", "2026-11-19"}, {"close", 70500.0}}});
  {
    FrozenClock c(kst("2026-11-19", 16, 15));   // 15:30 has passed, the exam-day session has not
    json checks = regular_close_checks("005930", rows, failing);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0]["date"], "2026-11-18");
    EXPECT_EQ(checks[0]["status"], "lookup_failed");
    EXPECT_TRUE(checks[0]["bar_close"].is_number_integer()) << checks[0]["bar_close"];
    EXPECT_FALSE(checks[0].contains("regular_close_time"));
    EXPECT_EQ(asked, std::vector<std::string>{"005930 2026-11-18 15:30"});
  }
  asked.clear();
  {
    FrozenClock c(kst("2026-11-19", 17, 30));
    json checks = regular_close_checks("005930", rows, failing);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1]["date"], "2026-11-19");
    EXPECT_EQ(checks[1]["regular_close_time"], "16:30");
    EXPECT_EQ(checks[1]["bar_close"], 70500);
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"005930 2026-11-18 15:30", "005930 2026-11-19 16:30"}));
  }
  // What the source found is reported as found.
  FrozenClock c(kst("2026-11-19", 17, 30));
  json checks = regular_close_checks("005930", rows, [](const std::string&, const std::string& day, const std::string&) {
    return day == "2026-11-18" ? RegularCloseFound{"ok", 70100.0} : RegularCloseFound{"no_1530_bar", std::nullopt};
  });
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0]["status"], "ok");
  EXPECT_EQ(checks[0]["regular_close"], 70100);
  EXPECT_EQ(checks[1]["status"], "no_1530_bar");
  EXPECT_TRUE(checks[1]["regular_close"].is_null());
}

TEST(DayTimes, WeeklyAndMonthlyBarsBelongToTheirLatestTradedDay) {
  const auto& cal = krx_calendar();
  // A week dated by its Friday, read on Wednesday evening: its numbers are Wednesday's.
  EXPECT_EQ(bar_data_as_of("week", "20261204", cal, kst("2026-12-02", 21, 0)), "2026-12-02");
  // Chuseok week dated 2026-09-23 (the last trading day of that week), read later.
  EXPECT_EQ(bar_data_as_of("week", "2026-09-23", cal, kst("2026-10-05", 10, 0)), "2026-09-23");
  // A finished week dated by its Monday still belongs to its Friday.
  EXPECT_EQ(bar_data_as_of("week", "2026-11-23", cal, kst("2026-12-02", 21, 0)), "2026-11-27");
  // December's bar read on the 2nd, before the open: only the 1st has traded.
  EXPECT_EQ(bar_data_as_of("month", "2026-12-31", cal, kst("2026-12-02", 8, 0)), "2026-12-01");
  EXPECT_EQ(bar_data_as_of("day", "20261201", cal, kst("2026-12-02", 8, 0)), "2026-12-01");
}

TEST(KrMetaFromData, FinishedBarsReadNextDayAreLastCloseWithoutTodaysNote) {
  tessaro::testing::TempHome home;
  const auto& cal = krx_calendar();
  json rows = rows_of({"2026-09-10", "2026-09-11"});
  for (auto [h, m] : {std::pair{9, 0}, std::pair{21, 0}}) {
    FrozenClock c(kst("2026-09-14", h, m));
    server::KrMetaArgs a;
    a.kind = "bars";
    a.data_as_of = "2026-09-11";
    a.bar_state = bar_state("day", rows, std::nullopt, &cal);
    json meta = server::kr_meta(a);
    EXPECT_EQ(meta["data_basis"], "last_close") << h;
    EXPECT_FALSE(has_warning_part(meta, "최근 거래일(2026-09-14)")) << meta["warnings"];
    EXPECT_EQ(meta["data_completeness"], "complete");
  }
}

TEST(KrMetaFromData, WednesdayEveningWeeklyBarIsInProgress) {
  tessaro::testing::TempHome home;
  FrozenClock c(kst("2026-12-02", 21, 0));
  server::KrMetaArgs a;
  a.kind = "bars";
  a.data_as_of = "2026-12-02";
  a.bar_state = bar_state("week", rows_of({"2026-11-27", "2026-12-04"}), std::nullopt, &krx_calendar());
  json meta = server::kr_meta(a);
  EXPECT_EQ(meta["data_basis"], "in_progress_bar");
  EXPECT_TRUE(has_warning_part(meta, "마지막 주봉(2026-12-04)이 아직 진행 중입니다"));
  // Data of the latest day keeps the market note.
  EXPECT_TRUE(has_warning_part(meta, "최근 거래일(2026-12-02)"));
}

TEST(UsMetaFromData, StaleQuoteDuringTheSessionIsItsOwnDaysClose) {
  tessaro::testing::TempHome home;
  // Wednesday 2026-09-16 11:00 New York: the session is open; the quote is from Friday.
  FrozenClock c(from_zone(D("2026-09-16"), 11, 0, NEW_YORK));
  server::UsMetaArgs a;
  a.kind = "snapshot";
  a.ticker = "OLDQ";
  a.data_as_of = "2026-09-11";
  json meta = server::us_meta(a);
  EXPECT_EQ(meta["data_basis"], "last_close");
  EXPECT_EQ(meta["is_delayed"], false);
  EXPECT_TRUE(has_warning_part(meta, "2026-09-11 종가입니다")) << meta["warnings"];
  // Closed market (Saturday): the note names the data's own day, not the last trading day.
  set_now_for_tests(from_zone(D("2026-09-19"), 11, 0, NEW_YORK));
  meta = server::us_meta(a);
  EXPECT_EQ(meta["warnings"][0], "미국장 마감 상태 — 표시된 값은 최근 거래일(2026-09-11) 기준입니다.");
  EXPECT_FALSE(has_warning_part(meta, "2026-09-18"));
  // Fresh data during the session is still delayed live data.
  set_now_for_tests(from_zone(D("2026-09-16"), 11, 0, NEW_YORK));
  a.data_as_of = "2026-09-16";
  meta = server::us_meta(a);
  EXPECT_EQ(meta["data_basis"], "realtime");
  EXPECT_EQ(meta["is_delayed"], true);
}

TEST(OneInstant, ACallAndItsWorkersReadTheInstantTakenAtItsStart) {
  FrozenClock c(kst("2026-09-14", 19, 59));
  CallInstant pin;
  Instant at_start = now();
  set_now_for_tests(kst("2026-09-14", 20, 0));   // the clock moves on during the call
  EXPECT_EQ(now(), at_start);
  std::vector<Instant> seen(4);
  parallel_for(4, 4, [&](size_t i) { seen[i] = now(); });
  for (auto t : seen) EXPECT_EQ(t, at_start);
  {
    CallInstant nested;   // an inner guard keeps the outer instant
    EXPECT_EQ(now(), at_start);
  }
  EXPECT_EQ(now(), at_start);
}

TEST(ViewerZone, AliasesResolveThroughTheZoneDatabase) {
  {
    tessaro::testing::ScopedEnv tz{"TZ", "Korea"};
    EXPECT_EQ(viewer_zone(), "Asia/Seoul");
  }
  {
    tessaro::testing::ScopedEnv tz{"TZ", "Japan"};
    EXPECT_EQ(viewer_zone(), "Asia/Tokyo");
  }
  tessaro::testing::TempHome home;
  tessaro::testing::ScopedEnv tz{"TZ", "Korea"};
  server::KrMetaArgs a;
  a.kind = "filing";
  EXPECT_FALSE(server::kr_meta(a).contains("viewer_tz"));
}

// A POSIX TZ string is no zone name: "KST-9" is Korea, not a fall back to the
// machine's zone (which made a Korean user a UTC viewer).
TEST(ViewerZone, PosixTzStringsAreTheirOffsetsZone) {
  {
    tessaro::testing::ScopedEnv tz{"TZ", "KST-9"};
    EXPECT_EQ(viewer_zone(), "Asia/Seoul");
    tessaro::testing::TempHome home;
    server::KrMetaArgs a;
    a.kind = "filing";
    EXPECT_FALSE(server::kr_meta(a).contains("viewer_tz"));
  }
  {
    tessaro::testing::ScopedEnv tz{"TZ", "<+09>-9"};
    EXPECT_EQ(viewer_zone(), "Asia/Seoul");
  }
  {
    tessaro::testing::ScopedEnv tz{"TZ", "JST-9"};
    EXPECT_EQ(viewer_zone(), "Etc/GMT-9");   // nine hours east, without claiming Korea
  }
  {
    tessaro::testing::ScopedEnv tz{"TZ", "UTC0"};
    EXPECT_EQ(viewer_zone(), "Etc/UTC");
  }
}
