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

// The first opening or closing of a KRX session after `at`, from each day's own
// sessions (regular and after-market; the exam day's late ones included). ETFs
// close at the regular close, which is one of them.
std::optional<Instant> next_boundary(Instant at) {
  const MarketCalendar& cal = krx_calendar(true);
  Day d = to_kst(at).date();
  for (int i = 0; i < 40; ++i, d += std::chrono::days(1)) {
    for (const auto& s : cal.sessions(d)) {
      if (s.name == SESSION_PRE_OPEN) continue;
      for (int m : {s.open_min, s.close_min}) {
        Instant edge = from_kst(d, m / 60, m % 60);
        if (edge > at) return edge;
      }
    }
  }
  return std::nullopt;
}

const bars_cache::FinalityRegistration kRegistration{{&now, &period_closed, &settled_day, &next_boundary}};

}  // namespace
}  // namespace tessaro::mt
