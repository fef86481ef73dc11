// Calendars and the market clock: holidays, sessions and period closes on both markets.
#include <gtest/gtest.h>

#include "market_time/clock.hpp"

using namespace tessaro::mt;

namespace {
Day D(const char* s) { return *parse_day(s); }
}

TEST(Calendar, KrxHolidaysAndAfterMarketSessions) {
  const auto& krx = krx_calendar();
  EXPECT_FALSE(krx.is_trading_day(D("2026-12-25")));
  EXPECT_FALSE(krx.is_trading_day(D("2026-12-05")));   // Saturday
  EXPECT_TRUE(krx.is_trading_day(D("2026-12-07")));
  EXPECT_EQ(day_str(krx.previous_trading_day(D("2026-12-07"))), "2026-12-04");
  auto before = krx.sessions(D("2026-09-11"));
  auto after = krx.sessions(D("2026-09-14"));
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back().name, SESSION_AFTER_MARKET);
  EXPECT_EQ(after.back().close_min, 20 * 60);
  EXPECT_TRUE(before.empty() || before.back().name != SESSION_AFTER_MARKET);
}

TEST(Calendar, PeriodClosesForDayWeekMonth) {
  const auto& krx = krx_calendar();
  const auto& us = us_calendar();
  // Friday 2026-11-27 after the US close (early close on the day after Thanksgiving).
  EXPECT_EQ(us.is_period_closed("day", D("2026-11-27"), from_zone(D("2026-11-27"), 13, 30, NEW_YORK)), true);
  EXPECT_EQ(us.is_period_closed("day", D("2026-11-27"), from_zone(D("2026-11-27"), 12, 30, NEW_YORK)), false);
  // The week of 2026-11-30 closes with Friday 2026-12-04; the month of November with 2026-11-30.
  EXPECT_EQ(krx.is_period_closed("week", D("2026-11-30"), from_kst(D("2026-12-03"), 21, 0)), false);
  EXPECT_EQ(krx.is_period_closed("week", D("2026-11-30"), from_kst(D("2026-12-04"), 20, 0)), true);
  EXPECT_EQ(krx.is_period_closed("month", D("2026-11-02"), from_kst(D("2026-11-30"), 12, 0)), false);
  EXPECT_EQ(krx.is_period_closed("month", D("2026-11-02"), from_kst(D("2026-12-01"), 9, 0)), true);
  auto prev = krx.previous_closed_period_end("month", D("2026-12-01"), from_kst(D("2026-12-02"), 9, 0));
  ASSERT_TRUE(prev);
  EXPECT_EQ(day_str(*prev), "2026-11-30");
  auto prev_week = krx.previous_closed_period_end("week", D("2026-12-02"), from_kst(D("2026-12-02"), 9, 0));
  ASSERT_TRUE(prev_week);
  EXPECT_EQ(day_str(*prev_week), "2026-11-27");
}

TEST(MarketClock, MondayBeforeTheOpenAndAfterMarketEvening) {
  auto c = build_market_clock(from_kst(D("2026-12-07"), 7, 30));
  const auto& k = c["krx"];
  EXPECT_EQ(k["status"], "before_open");
  EXPECT_EQ(k["is_open"], false);
  EXPECT_EQ(k["last_trading_day"], "2026-12-04");
  EXPECT_EQ(k["next_trading_day"], "2026-12-07");   // today's session is still to come
  EXPECT_EQ(c["us"]["status"], "weekend");

  auto eve = build_market_clock(from_kst(D("2026-12-07"), 17, 0))["krx"];
  EXPECT_EQ(eve["current_session"], SESSION_AFTER_MARKET);
  EXPECT_EQ(eve["is_open"], false);
  EXPECT_EQ(eve["last_trading_day"], "2026-12-07");
  EXPECT_EQ(eve["next_trading_day"], "2026-12-08");

  auto gap = build_market_clock(from_kst(D("2026-12-07"), 15, 45))["krx"];
  EXPECT_EQ(gap["next_session"]["name"], SESSION_AFTER_MARKET);
}

TEST(MarketClock, UsDaylightSavingShiftsTheKoreanOpeningTime) {
  // Summer: 09:30 New York = 22:30 KST; winter: 23:30 KST.
  auto summer = from_zone(D("2026-07-01"), 9, 30, NEW_YORK);
  auto winter = from_zone(D("2026-12-01"), 9, 30, NEW_YORK);
  EXPECT_EQ(to_kst(summer).hm(), "22:30");
  EXPECT_EQ(to_kst(winter).hm(), "23:30");
  EXPECT_THROW(to_zone(summer, "Not/AZone"), std::exception);
}
