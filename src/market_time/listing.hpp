#pragma once
// The market a listing trades on and the labels read from its own calendar: the
// day a trade belongs to, the state of its exchange now, the session of an
// intraday bar. The trade's own timestamp decides the day and the session; the
// exchange's calendar gives the hours; the clock only says what has passed.
#include <optional>
#include <string>

#include "core/json.hpp"
#include "market_time/clock.hpp"

namespace tessaro::mt {

// The session of an exchange whose calendar is not known here.
inline constexpr const char* SESSION_UNCONFIRMED = "unconfirmed";
// A bar whose span holds trades of two sessions.
inline constexpr const char* SESSION_MIXED = "mixed";

struct Listing {
  std::string symbol;                        // as the source spells it ("7203.T", "005930.KS")
  std::string zone;                          // IANA zone of the exchange, "" when unknown
  const MarketCalendar* calendar = nullptr;  // nullptr: no calendar known for the exchange
  std::string market;                        // "US", "KR", else the zone (or "unknown")
};

// Korean listings (.KS/.KQ) trade on the KRX calendar, whatever hours the source
// states for them; a listing in New York's zone (or one with neither a suffix nor
// a zone) on the NYSE/NASDAQ calendar; any other exchange has no known calendar.
Listing listing_of(const std::string& symbol, const std::string& exchange_zone = "");

// The day a trade at `unix_s` belongs to: its date in the listing's own zone.
// nullopt when the time is missing or the zone unknown.
std::optional<std::string> listing_day(const Listing& l, long long unix_s);

// The state of the listing's exchange at `at`, in the shape of a market-clock part
// (is_open, status, current_session, last_trading_day, regular_close, ...), with
// `calendar_known`. An exchange without a known calendar: status and
// current_session "unconfirmed", is_open false, last_trading_day null.
json listing_market_part(const Listing& l, Instant at);

// Whether the daily bar of `day` has finished at `at` on the listing's exchange:
// its calendar decides; without one, only a day before today in the exchange's
// zone is certainly finished (nullopt otherwise).
std::optional<bool> listing_day_closed(const Listing& l, Day day, Instant at);

// Minutes one bar of an intraday interval spans ("1m", "2m", "5m", "15m", "30m",
// "60m", "90m", "1h"); nullopt for daily and longer intervals.
std::optional<int> intraday_minutes(const std::string& interval);

// The session an intraday bar belongs to: the session of the calendar holding the
// bar's start, or "mixed" when its span [start, end) reaches into another one,
// or "closed" outside every session. Without extended hours asked for, a bar that
// starts in the regular session holds regular trades only (the span ends at the
// regular close).
std::string bar_session(const MarketCalendar& cal, Instant start, Instant end, bool extended_included);
// "프리마켓", "정규장", "애프터아워", "애프터마켓", "장전 동시호가", "혼합", "장외", "미확인".
std::string session_label_ko(const std::string& session);

// The age in days of a report dated `report_day` ("YYYY-MM-DD"), counted on the
// calendar of the zone the report is dated in (never below 0); nullopt when the
// day does not parse.
std::optional<long> report_age_days(const std::string& report_day, const std::string& zone, Instant at);

}  // namespace tessaro::mt
