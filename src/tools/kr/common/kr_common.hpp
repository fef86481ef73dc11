#pragma once
// Helpers shared only by the Korean tool families. Each group is defined in the
// .cpp named beside it; what other families share too is in server/tool_helpers.hpp.
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/clock.hpp"
#include "core/errors.hpp"
#include "core/lookup.hpp"
#include "core/json.hpp"
#include "server/arg_rules.hpp"
#include "server/tool_helpers.hpp"

namespace tessaro::server {

inline constexpr const char* NEWLINE = "\n";

// ---- quotes and charts (kr_common_quotes.cpp) --------------------------------
// Price session -> long / short KRX session label.
extern const std::map<std::string, std::string> KR_SESSION_LABEL;
extern const std::map<std::string, std::string> SESSION_SHORT;

// A source call for one stock code: found; not found only when the source
// answered and its answer holds nothing for the code (the chart without an item,
// the quote list without the code); failed on any error of the source, a 404/410
// (an address retired or moved, whatever the code) and an unreadable page
// included. Cancellation passes through.
template <class F>
Lookup<json> code_lookup(F&& call) {
  return attempt_lookup([&] { return json(call()); },
                        [](const json& v) { return v.is_null() || ((v.is_array() || v.is_object()) && v.empty()); });
}
// "No such stock code" in the tools' words; with a meta block (completeness
// none) unless `kind` is empty.
std::string code_not_found_reply(const std::string& code, const std::string& kind = "snapshot");
// The lookup of `what` ("일봉", "현재가", …) for `code` failed: "조회 실패", never
// "no such stock", with the next step; a meta block (completeness none) unless
// `kind` is empty.
std::string code_failed_reply(const std::string& code, const std::string& what, const std::string& reason,
                              const std::string& kind = "snapshot");

// The last day of a stock's daily series, for a weekly or monthly series of it
// (how far its last bar can reach); nullopt for daily bars or when unreadable.
std::optional<mt::Day> latest_daily_day(const std::string& code, const std::string& timeframe);

// ---- codes and events (kr_common_events.cpp) --------------------------------
extern const std::vector<std::string> EVENT_TYPES;
std::string classify_event_type(const std::string& title);
bool looks_like_etf(const std::string& name);

// ---- paged lists (kr_common_lists.cpp) --------------------------------------
inline constexpr int LIST_PAGE_MAX = 500;
struct ListWindow {
  int count;            // applied, 1..LIST_PAGE_MAX
  int page;             // applied, >= 1
  long long requested;  // as asked
};
ListWindow list_window(const json& count, const json& page);
// Reply for an empty trade-based ranking before the open; nullopt when the
// market is not in its pre-open state (or the state could not be read).
std::optional<std::string> preopen_ranking_reply(const std::string& label, const std::string& market,
                                                 const std::string& kind = "snapshot");

// The reply when the theme list could not be read: a failed lookup, never the
// "테마를 찾을 수 없습니다" of a theme that does not exist.
std::string theme_lookup_failed(const std::string& name, const std::string& reason);

// ---- closed argument sets of the list tools (kr_common_lists.cpp) -----------
// The market of a Korean list or screen (KOSPI, KOSDAQ, ALL; any case). The
// source reads anything else as ALL, so a tool refuses it before asking.
extern const Choices KR_MARKETS;
// The refusal of a market outside the set, or nullopt.
std::optional<std::string> market_refusal(const std::string& given);
// The sort keys of a trade ranking: trade value or volume, with their other names.
extern const Choices VOLUME_SORT_KEYS;
std::optional<std::string> volume_sort_refusal(const std::string& given);

}  // namespace tessaro::server
