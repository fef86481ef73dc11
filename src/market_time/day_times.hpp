#pragma once
// Session times of the bar's own day, the one instant of a call, and the label
// helpers that read them.
#include <functional>
#include <optional>
#include <string>

#include "core/json.hpp"
#include "market_time/clock.hpp"

namespace tessaro::mt {

// One instant per call: while a CallInstant lives, now() on this thread (and on the
// worker threads of parallel_for started from it) answers the instant taken when the
// first one was made, so a call running across 20:00:00 never mixes two clocks.
class CallInstant {
 public:
  CallInstant();
  ~CallInstant();
  CallInstant(const CallInstant&) = delete;
  CallInstant& operator=(const CallInstant&) = delete;

 private:
  bool owner_ = false;
};

// Session times of one KRX trading day (minutes after midnight KST), from the
// calendar: the regular session and, on days that have one, the after-market.
// nullopt on a day without trading.
struct KrxDayTimes {
  int regular_open = 9 * 60, regular_close = 15 * 60 + 30;
  std::optional<int> after_open, after_close;
};
std::optional<KrxDayTimes> krx_day_times(Day d);
// The same, with the usual times (09:00-15:30, after-market 16:00-20:00 from
// 2026-09-14) for a day the calendar does not trade.
KrxDayTimes krx_day_times_or_usual(Day d);
std::string hm_text(int minutes_of_day);   // "HH:MM"
// The day a weekly or monthly bar's numbers belong to: the latest trading day of
// its period that has begun trading by `at` (a bar may be dated by its period's
// last trading day while that day is still to come). Daily bars keep their date.
std::optional<Day> bar_data_day(const std::string& timeframe, Day bar_date, Instant at,
                                const MarketCalendar& cal);

// data_as_of of a bar series whose last bar is dated `date`: for weekly and
// monthly bars the latest trading day the bar holds so far (its date may be the
// period's last trading day, still to come), no later than `latest_daily`, the
// last day of the same stock's daily series when known; daily bars keep their
// date. The value is returned unchanged when it is not a day.
json bar_data_as_of(const std::string& timeframe, const json& date, const MarketCalendar& cal,
                    std::optional<Instant> now = std::nullopt, std::optional<Day> latest_daily = std::nullopt);

// The today-bar sentence of an extended-bar record (begins with a blank), or "".
std::string today_bar_note(const json& info);

// Rows of a list source that marks no session (rankings): each row without a
// price_session gets the one its price can come from now, after-market while
// after_market_values_possible(krx) holds, else regular; rows for which
// no_after_market holds (ETFs, ETNs) stay regular.
void tag_list_sessions(json& rows, const json& krx, const std::function<bool(const json&)>& no_after_market);

}  // namespace tessaro::mt
