// Hands the market-time rules to the sources that need them: the sources sit
// below the calendars and never include them, so the rules come in from here.
#include "analysis/indicators/period_columns.hpp"
#include "market_time/clock.hpp"
#include "market_time/day_times.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::server {
namespace {

// A quote traded from 2026-09-14 at or after that day's after-market opening
// (16:00, later on a shifted day such as the exam day) is an after-market trade.
std::optional<int> after_market_open(const std::string& day) {
  if (day < mt::KRX_AFTER_MARKET_START) return std::nullopt;
  auto d = mt::parse_day(day);
  return d ? mt::krx_day_times_or_usual(*d).after_open.value_or(16 * 60) : 16 * 60;
}

std::optional<std::pair<int, int>> regular_session(const std::string& market, mt::Day day) {
  const mt::MarketCalendar& cal = market == "US" ? mt::us_calendar() : mt::krx_calendar(false);
  auto reg = cal.regular(day);
  if (!reg) return std::nullopt;
  return std::make_pair(reg->open_min, reg->close_min);
}

std::optional<bool> krx_day_closed(mt::Day day, mt::Instant now) {
  return mt::krx_calendar(true).is_period_closed("day", day, now);
}

std::vector<mt::Day> krx_trading_days(mt::Day from, mt::Day to) { return mt::krx_calendar(true).trading_days(from, to); }

const struct Install {
  Install() {
    naver::set_after_market_open(&after_market_open);
    naver::set_period_columns(&indicators::period_columns);
    market_data::set_calendar_rules({&regular_session, &krx_day_closed, &krx_trading_days});
  }
} kInstall;

}  // namespace
}  // namespace tessaro::server
