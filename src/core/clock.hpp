#pragma once
// The one clock and civil time: instants, calendar days, zones. The market
// calendars and sessions built on it live in market_time/clock.hpp.
#include <chrono>
#include <optional>
#include <string>

namespace tessaro::mt {

using Instant = std::chrono::sys_seconds;   // a UTC instant
using Day = std::chrono::sys_days;          // a calendar date

// Now. TESSARO_NOW (ISO 8601 with offset, e.g. "2026-09-15T17:00:00+09:00")
// freezes the clock for a whole process; set_now_for_tests() overrides it in-process.
Instant now();
void set_now_for_tests(std::optional<Instant> fixed);

// Wall-clock fields of an instant in a zone.
struct Civil {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int weekday = 0;  // Monday = 0 .. Sunday = 6
  Day date() const;
  std::string date_str() const;   // "YYYY-MM-DD"
  std::string hm() const;         // "HH:MM"
  int minutes() const { return hour * 60 + minute; }
};
Civil to_kst(Instant t);
Civil to_ny(Instant t);
Civil to_zone(Instant t, const std::string& tz_name);   // IANA name; throws ValueError when unknown
// ISO 8601 with offset in the zone: "2026-09-15T17:00:00+09:00".
std::string iso_in_zone(Instant t, const std::string& tz_name);
std::string iso_kst(Instant t);
// Instant of a local wall-clock time in a zone.
Instant from_zone(Day d, int hour, int minute, const std::string& tz_name);
Instant from_kst(Day d, int hour, int minute);
// The viewer's zone name: TZ, else /etc/localtime, else "Asia/Seoul".
std::string viewer_zone();

std::string day_str(Day d);                      // "YYYY-MM-DD"
std::optional<Day> parse_day(const std::string& s);   // "YYYY-MM-DD" / "YYYYMMDD" / "YYYY.MM.DD"
int weekday(Day d);                               // Monday = 0

inline constexpr const char* KST = "Asia/Seoul";
inline constexpr const char* NEW_YORK = "America/New_York";

}  // namespace tessaro::mt
