// Hands the KRX calendar's notion of a finished bar to the daily-bar cache of the
// source floor: a day is final once its last session has ended (20:00 on
// after-market days, the day's own close otherwise, shifted days included).
// ETFs and ETNs have no after-market; they are held to the same 20:00 cut,
// which only keeps their day's bar in memory a little longer.
#include "market_time/clock.hpp"
#include "sources/market_data/daily_bars.hpp"

namespace tessaro::mt {
namespace {

std::optional<bool> period_closed(const std::string& timeframe, const std::string& day, Instant at) {
  auto d = parse_day(day);
  if (!d) return std::nullopt;
  return krx_calendar(true).is_period_closed(timeframe, *d, at);
}

std::optional<std::string> settled_day(Instant at) {
  const MarketCalendar& cal = krx_calendar(true);
  Day today = to_kst(at).date();
  Day last = cal.is_trading_day(today) ? today : cal.previous_trading_day(today);
  auto closed = cal.is_period_closed("day", last, at);
  if (!closed || !*closed) return std::nullopt;
  return day_str(last);
}

const bars_cache::FinalityRegistration kRegistration{{&now, &period_closed, &settled_day}};

}  // namespace
}  // namespace tessaro::mt
