// Bar state and market-note rules: the labels that say whether a number is final
// and which KRX session made it. (Row sessions, placeholder exclusions and the
// in-progress volume mark are checked on the tool replies that carry them.)
#include <gtest/gtest.h>

#include "core/result_meta.hpp"
#include "market_time/bar_state.hpp"
#include "market_time/clock.hpp"
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

}  // namespace

TEST(BarState, DailyBarOpenDuringTheSessionAndFinalAfterTheClose) {
  const auto& cal = krx_calendar();
  // Tuesday 2026-12-01, 11:00: today's bar is forming, Monday's is the last finished one.
  auto st = bar_state("day", rows_of({"2026-11-27", "2026-11-30", "2026-12-01"}), kst("2026-12-01", 11, 0), &cal);
  ASSERT_TRUE(st.is_object());
  EXPECT_EQ(st["last_bar_date"], "2026-12-01");
  EXPECT_EQ(st["last_bar_complete"], false);
  EXPECT_EQ(st["calculation_includes_incomplete"], true);
  EXPECT_EQ(st["last_completed_bar_date"], "2026-11-30");

  // With the after-market in the calendar the day is not final at 17:00, but it is at 20:00.
  auto evening = bar_state("day", rows_of({"2026-12-01"}), kst("2026-12-01", 17, 0), &cal);
  EXPECT_EQ(evening["last_bar_complete"], false);
  auto late = bar_state("day", rows_of({"2026-12-01"}), kst("2026-12-01", 20, 0), &cal);
  EXPECT_EQ(late["last_bar_complete"], true);
  EXPECT_EQ(late["last_completed_bar_date"], "2026-12-01");
  // Without the after-market session the regular close settles it.
  auto regular_only = bar_state("day", rows_of({"2026-12-01"}), kst("2026-12-01", 15, 40), &krx_calendar(false));
  EXPECT_EQ(regular_only["last_bar_complete"], true);
}

TEST(BarState, WeeklyBarOnAWednesdayEveningIsUnfinished) {
  const auto& cal = krx_calendar();
  auto st = bar_state("week", rows_of({"2026-11-23", "2026-11-30"}), kst("2026-12-02", 21, 0), &cal);
  EXPECT_EQ(st["last_bar_complete"], false);
  EXPECT_EQ(st["last_completed_bar_date"], "2026-11-23");
  // A single unfinished weekly bar: only the calendar fallback can name the finished period.
  auto alone = bar_state("week", rows_of({"2026-11-30"}), kst("2026-12-02", 21, 0), &cal);
  EXPECT_TRUE(alone["last_completed_bar_date"].is_null());
  auto fallback = bar_state("week", rows_of({"2026-11-30"}), kst("2026-12-02", 21, 0), &cal, true);
  EXPECT_EQ(fallback["last_completed_bar_date"], "2026-11-27");
}

TEST(BarState, UnknownWithoutCalendarOrDatesAndEffectsSayPartial) {
  EXPECT_TRUE(bar_state("day", json::array({json{{"close", 1}}}), std::nullopt, &krx_calendar()).is_null());
  auto st = bar_state("day", rows_of({"20261201"}), std::nullopt, nullptr);
  EXPECT_EQ(st["last_bar_date"], "2026-12-01");
  EXPECT_TRUE(st["last_bar_complete"].is_null());
  EXPECT_TRUE(st["calculation_includes_incomplete"].is_null());
  EXPECT_TRUE(st["last_completed_bar_date"].is_null());

  std::string completeness = rmeta::COMPLETE;
  json coverage = nullptr;
  std::vector<std::string> warns;
  bar_state_effects(st, completeness, coverage, warns);
  EXPECT_EQ(completeness, rmeta::PARTIAL);
  EXPECT_EQ(coverage["reason"], "unknown");
  EXPECT_EQ(coverage["coverage_complete"], false);
  ASSERT_EQ(warns.size(), 1u);
  EXPECT_EQ(warns[0], "마지막 일봉의 마감 여부를 확인하지 못했습니다. 이 봉이 확정치인지 진행 중인지 알 수 없습니다.");

  // An open bar keeps an existing coverage reason and names the finished bar.
  json open = {{"timeframe", "week"}, {"last_bar_date", "2026-11-30"}, {"last_bar_complete", false},
               {"calculation_includes_incomplete", true}, {"last_completed_bar_date", "2026-11-23"}};
  completeness = rmeta::COMPLETE;
  coverage = json{{"reason", "capped"}};
  warns.clear();
  bar_state_effects(open, completeness, coverage, warns);
  EXPECT_EQ(coverage["reason"], "capped");
  EXPECT_EQ(coverage["truncated"], false);
  EXPECT_EQ(warns[0],
            "마지막 주봉(2026-11-30)이 아직 진행 중입니다. 확정된 마지막 주봉은 2026-11-23입니다. 이 봉이 포함된 "
            "지표·낙폭·신고가 판정은 구간이 끝나면 달라질 수 있습니다.");
}

TEST(BarState, MergeLetsOneOpenBarMarkTheBatch) {
  json done = {{"timeframe", "day"}, {"last_bar_date", "2026-12-01"}, {"last_bar_complete", true},
               {"calculation_includes_incomplete", false}, {"last_completed_bar_date", "2026-12-01"}};
  json open = {{"timeframe", "day"}, {"last_bar_date", "2026-12-02"}, {"last_bar_complete", false},
               {"calculation_includes_incomplete", true}, {"last_completed_bar_date", "2026-12-01"}};
  auto m = merge_bar_states({done, nullptr, open});
  EXPECT_EQ(m["last_bar_date"], "2026-12-02");
  EXPECT_EQ(m["last_bar_complete"], false);
  EXPECT_EQ(m["calculation_includes_incomplete"], true);
  EXPECT_EQ(m["last_completed_bar_date"], "2026-12-01");
  json unknown = done;
  unknown["last_bar_complete"] = nullptr;
  EXPECT_TRUE(merge_bar_states({done, unknown})["calculation_includes_incomplete"].is_null());
  EXPECT_TRUE(merge_bar_states({nullptr, json::object()}).is_null());
}

TEST(ExtendedBars, PeriodEndsDecideWhetherABarHoldsAfterMarketTrades) {
  json weekly_before = rows_of({"2026-09-07"});
  EXPECT_TRUE(extended_bar_info(weekly_before, "week").is_null());
  auto weekly = extended_bar_info(rows_of({"2026-09-07", "2026-09-14"}), "week");
  EXPECT_EQ(weekly["bars"], 1);
  EXPECT_EQ(weekly["first_bar"], "2026-09-14");
  EXPECT_EQ(extended_bar_info(rows_of({"2026-09-01"}), "month")["bars"], 1);
  EXPECT_EQ(price_session_for_bars(nullptr), rmeta::PRICE_SESSION_REGULAR);
  EXPECT_EQ(price_session_for_bars(weekly), rmeta::PRICE_SESSION_REGULAR_AND_AFTER);

  auto today = rows_of({"2026-12-01"});
  EXPECT_EQ(extended_bar_info(today, "day", kst("2026-12-01", 15, 45))["today_bar"], "regular_only_so_far");
  EXPECT_EQ(extended_bar_info(today, "day", kst("2026-12-01", 19, 59))["today_bar"], "after_market_in_progress");
  auto fin = extended_bar_info(today, "day", kst("2026-12-01", 20, 0));
  EXPECT_EQ(fin["today_bar"], "final");
  std::string note = extended_bar_note(extended_bar_info(today, "day", kst("2026-12-01", 17, 0)));
  EXPECT_NE(note.find("**정규장 종가(15:30)가 아니므로 '정규장 종가'로 부르지 마세요.**"), std::string::npos);
  EXPECT_NE(note.find(" 오늘(2026-12-01) 봉은 애프터마켓이 반영되는 중이라 20:00까지 바뀝니다."), std::string::npos);
  EXPECT_EQ(extended_bar_note(fin).find("오늘("), std::string::npos);
}

TEST(KrMarketNote, EachGapOfTheDayGetsItsOwnNote) {
  // 15:45 on an after-market day, with no opening time in the clock: 16:00 is named.
  json krx = {{"is_open", false}, {"current_session", "closed"}, {"last_trading_day", "2026-12-01"},
              {"regular_close", "15:30"}, {"next_session", {{"name", "after_market"}, {"opens_at_local", ""}}}};
  auto n = kr_market_note(&krx);
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0], "KRX 정규장 마감 — 표시된 값은 최근 거래일(2026-12-01) 기준입니다. 16:00에 애프터마켓이 열리면 네이버 시세·일봉이 다시 움직입니다.");
  EXPECT_FALSE(after_market_values_possible(krx));

  krx["current_session"] = "after_market";
  krx["next_session"] = nullptr;
  EXPECT_EQ(kr_market_note(&krx, rmeta::PRICE_SESSION_REGULAR)[0],
            "KRX 정규장은 15:30에 마감됐고 지금은 애프터마켓(20:00까지)입니다 — 표시된 값은 정규장 기준이며 애프터마켓 체결은 들어 있지 않습니다.");
  EXPECT_EQ(kr_market_note(&krx, rmeta::PRICE_SESSION_AFTER_MARKET)[0],
            "KRX 정규장은 15:30에 마감됐고 지금은 애프터마켓(20:00까지)입니다 — 애프터마켓 체결이 반영되는 값이라 20:00 전까지 바뀝니다.");
  EXPECT_TRUE(after_market_values_possible(krx));

  krx["current_session"] = "closed";
  EXPECT_EQ(kr_market_note(&krx)[0], "KRX 장마감 상태 — 표시된 값은 최근 거래일(2026-12-01) 기준입니다.");
  krx["last_trading_day"] = "2026-09-11";
  EXPECT_FALSE(after_market_values_possible(krx));
  krx["is_open"] = true;
  EXPECT_TRUE(kr_market_note(&krx).empty());
}

TEST(LatestDayRules, PastDataNeverGetsTodaysNotes) {
  json state = {{"last_trading_day", "2026-12-01"}};
  EXPECT_FALSE(data_is_latest_day(false, "2025-09-10", state));
  EXPECT_TRUE(data_is_latest_day(std::nullopt, "2025-09-10", state));
  EXPECT_TRUE(data_is_latest_day(false, "not a day", state));
  EXPECT_TRUE(data_is_latest_day(true, "2026-12-01", state));

  FrozenClock at(kst("2026-12-01", 14, 0));   // a Tuesday afternoon
  EXPECT_EQ(closed_if_before_latest_day("2026-11-30"), false);
  EXPECT_FALSE(closed_if_before_latest_day("2026-12-01").has_value());
  EXPECT_FALSE(closed_if_before_latest_day("").has_value());
  // The US part: in New York it is still Tuesday 00:00, so Monday is the latest day.
  EXPECT_FALSE(closed_if_before_latest_day("2026-11-30", "US").has_value());
  EXPECT_EQ(closed_if_before_latest_day("2026-11-27", "US"), false);
}
