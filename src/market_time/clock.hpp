#pragma once
// The trading calendars and the market-clock record, on the one clock of core/clock.hpp.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"

namespace tessaro::mt {

// Session names (current_session / sessions[].name).
inline constexpr const char* SESSION_PRE_OPEN = "pre_open";
inline constexpr const char* SESSION_REGULAR = "regular";
inline constexpr const char* SESSION_AFTER_MARKET = "after_market";
inline constexpr const char* SESSION_PRE_MARKET = "pre_market";
inline constexpr const char* SESSION_AFTER_HOURS = "after_hours";
inline constexpr const char* SESSION_CLOSED = "closed";
// First day with a KRX after-market (16:00-20:00 KST).
Day krx_after_market_start();
inline constexpr const char* KRX_AFTER_MARKET_START = "2026-09-14";

// One session of one trading day, local times in the market's zone.
struct SessionWindow {
  std::string name;
  int open_min = 0, close_min = 0;   // minutes after local midnight
};

class MarketCalendar {
 public:
  virtual ~MarketCalendar() = default;
  virtual std::string market() const = 0;    // "KR" or "US"
  virtual std::string zone() const = 0;      // IANA zone of the exchange
  virtual bool is_trading_day(Day d) const = 0;
  // Sessions of a trading day in time order (empty on closed days).
  virtual std::vector<SessionWindow> sessions(Day d) const = 0;
  // Regular session of a trading day (nullopt on closed days).
  std::optional<SessionWindow> regular(Day d) const;
  std::optional<std::string> holiday_name(Day d) const;
  Day previous_trading_day(Day d) const;   // strictly before d
  Day next_trading_day(Day d) const;       // strictly after d
  // Trading days in [from, to].
  std::vector<Day> trading_days(Day from, Day to) const;
  // Whether the bar period ("day", "week", "month" or an intraday interval such as
  // "5m") that contains `day` has finished at `now`; nullopt when it cannot tell.
  std::optional<bool> is_period_closed(const std::string& timeframe, Day day, Instant now) const;
  // End (last trading day) of the latest period before the one holding `day` that has closed.
  std::optional<Day> previous_closed_period_end(const std::string& timeframe, Day day, Instant now) const;

 protected:
  virtual const std::vector<std::pair<Day, std::string>>& holidays() const = 0;
  bool extended_ = true;
};

// KRX calendar; include_extended=false leaves out the after-market session
// (a trading day then closes at the regular close).
const MarketCalendar& krx_calendar(bool include_extended = true);
const MarketCalendar& us_calendar();

// The market clock: {"krx": {...}, "us": {...}, "dst": {...}, ...}. Each market part
// has is_open, status, current_session, last_trading_day, regular_close,
// next_session {name, opens_at_local}, sessions, opens_in/closes_in.
json build_market_clock(std::optional<Instant> at = std::nullopt);
std::string format_market_clock(const json& clock);
// "weekend" -> "주말 휴장", "regular" -> "정규장 거래 중", ...
std::string market_status_label(const std::string& status);

}  // namespace tessaro::mt
