#pragma once
// Bar state (is the last bar finished?) and price session (which KRX session
// made this number?). Helpers compute labels and notes; they never change a value.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "market_time/clock.hpp"

namespace tessaro::mt {

// rows: array of objects with "date". Null when no row has a usable date.
json bar_state(const std::string& timeframe, const json& rows, std::optional<Instant> now,
               const MarketCalendar* market_calendar, bool calendar_fallback = false);
json merge_bar_states(const std::vector<json>& states);
void mark_intraday_volume(json& indicators, const json& meta);
// Updates the three in place.
void bar_state_effects(const json& bar_state, std::string& data_completeness, json& coverage,
                       std::vector<std::string>& warns);

json extended_bar_info(const json& rows, const std::string& timeframe = "day",
                       std::optional<Instant> now = std::nullopt);
std::string extended_bar_note(const json& info, const std::string& what = "일봉");
// From the listing's KRX section (naver's sosok, e.g. "ETF"): ETFs and ETNs have no after-market.
bool bars_can_include_after_market(const std::optional<std::string>& krx_sosok);
std::string price_session_for_bars(const json& info);
// One day's regular close as a source read it: `status` is the source's word
// ("ok", "no_1530_bar", "lookup_failed"), `close` comes with "ok", `reason` with
// "lookup_failed".
struct RegularCloseFound {
  std::string status;
  std::optional<double> close;
  std::string reason;
};
// The regular close of `code` on `day` ("YYYY-MM-DD") at `close_hm` ("15:30", or
// the day's own close on a shifted day). A throw counts as a failed lookup.
using RegularCloseLookup =
    std::function<RegularCloseFound(const std::string& code, const std::string& day, const std::string& close_hm)>;
json regular_close_checks(const std::string& code, const json& rows, const RegularCloseLookup& lookup, int limit = 5);
// (price session or null, counts by session)
std::pair<json, std::map<std::string, int>> rows_price_session(const json& rows);
std::optional<std::string> rows_session_note(const std::map<std::string, int>& counts);
// krx: the "krx" part of the clock, or nullptr to read the clock now.
std::vector<std::string> kr_market_note(const json* krx, const json& price_session = nullptr);
bool after_market_values_possible(const json& krx);
// (exclusion meta or null, warnings)
std::pair<json, std::vector<std::string>> bar_exclusion_info(const json& excluded);
bool is_extended_price_session(const json& price_session);
std::string timeframe_label(const std::string& timeframe);   // 일봉/주봉/월봉/봉

bool data_is_latest_day(std::optional<bool> bar_forming, const json& data_as_of, const json& market_state);
std::optional<bool> closed_if_before_latest_day(const json& day, const std::string& market = "KR");

}  // namespace tessaro::mt
