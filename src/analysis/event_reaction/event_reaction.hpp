#pragma once
// Price, volume and investor-flow reaction of one stock around one event date.
//
// Alignment: D0 is the first trading bar on or after the event date (a holiday or
// a halted day moves it to the next bar that traded); the base is the close of
// D-1, the last bar before D0. D-k and D+k count bars that traded. Every return
// is against the base close. A point that cannot be computed is "unavailable"
// with a reason: it carries no number, never 0 %.
#include <optional>
#include <string>

#include "core/json.hpp"
#include "analysis/event_reaction/price_adjustment.hpp"

namespace tessaro::event_reaction {

// Error code printed when the daily bars could not be fetched.
extern const char* const PROVIDER_ERROR;
// Note on what the returns do not adjust for.
extern const char* const CORPORATE_ACTION_NOTE;

// Validation statuses.
inline constexpr const char* STATUS_USABLE = "usable";
inline constexpr const char* STATUS_PARTIAL = "partial";
inline constexpr const char* STATUS_UNAVAILABLE = "unavailable";

// Validation codes. The first group makes a reaction unavailable, the second partial.
inline constexpr const char* INVALID_EVENT_DATE = "invalid_event_date";
inline constexpr const char* NO_PRICE_DATA = "no_price_data";
inline constexpr const char* EVENT_BEFORE_HISTORY = "event_before_history";
inline constexpr const char* EVENT_AFTER_LAST_BAR = "event_after_last_bar";
inline constexpr const char* SUSPENDED_THROUGH_WINDOW = "suspended_through_window";
inline constexpr const char* NO_BASE_CLOSE = "no_base_close";
inline constexpr const char* INSUFFICIENT_PRE_EVENT_HISTORY = "insufficient_pre_event_history";
extern const char* const INSUFFICIENT_POST_EVENT_HISTORY;
inline constexpr const char* HALTED_BARS_IN_WINDOW = "halted_bars_in_window";
inline constexpr const char* FLOW_FETCH_FAILED = "flow_fetch_failed";
inline constexpr const char* NO_FLOW_ROWS = "no_flow_rows";
inline constexpr const char* FLOW_WINDOW_NOT_COVERED = "flow_window_not_covered";
// The flow rows came from a stand-in table that has no individual column.
inline constexpr const char* FLOW_STAND_IN = "flow_stand_in";

// "YYYYMMDD" -> "YYYY-MM-DD"; any other text unchanged.
std::string normalize_date(const std::string& text);

struct ReactionArgs {
  std::string code;
  std::string event_date;      // as given: YYYY-MM-DD or YYYYMMDD
  json ohlcv;                  // daily rows, oldest first
  json flows;                  // flow rows newest first ({date, foreign, institutional, individual})
  int before = 5;              // clamped to 0..60
  int after = 20;              // clamped to 0..60
  std::optional<std::string> flow_error;   // exception class name of a failed flow fetch
};

// {code, event_date, requested_event_date, alignment, base, points, volume, flow,
//  validation {status, codes, messages}, window {start_date, end_date, ...}, price_adjustment}
json build_event_reaction(const ReactionArgs& a);

// Markdown report of one reaction.
std::string format_event_reaction(const json& reaction);

// {event_window (with last_usable_trading_date), flow_window, data_completeness,
//  coverage, warnings}
json reaction_meta_fields(const json& reaction);

}  // namespace tessaro::event_reaction
