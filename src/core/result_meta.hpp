#pragma once
// The result-meta vocabulary shared by every floor: constants, day normalisation,
// entity and the text block appender. The builders live in server/meta.hpp.
#include <optional>
#include <string>

#include "core/json.hpp"

namespace tessaro::rmeta {

inline constexpr const char* BASIS_LAST_CLOSE = "last_close";
inline constexpr const char* BASIS_REALTIME = "realtime";
inline constexpr const char* BASIS_IN_PROGRESS_BAR = "in_progress_bar";
inline constexpr const char* BASIS_FILING = "filing";
inline constexpr const char* BASIS_AGGREGATE = "aggregate";

inline constexpr const char* COMPLETE = "complete";
inline constexpr const char* PARTIAL = "partial";
inline constexpr const char* NONE = "none";

inline constexpr const char* PRICE_SESSION_REGULAR = "regular";
inline constexpr const char* PRICE_SESSION_AFTER_MARKET = "after_market";
inline constexpr const char* PRICE_SESSION_REGULAR_AND_AFTER = "regular_and_after";
inline constexpr const char* PRICE_SESSION_PRE_MARKET = "pre_market";
inline constexpr const char* PRICE_SESSION_UNKNOWN = "unknown";

inline constexpr const char* START_MARKER = "RESULT_META_JSON_START";
inline constexpr const char* END_MARKER = "RESULT_META_JSON_END";

// "YYYY-MM-DD" from "2026-09-14", "20260914", "2026.09.14", "2026-09-14 15:30",
// "2026-09-14T15:30:00+09:00"; nullopt when the value is not a day.
std::optional<std::string> normalize_day(const json& value);
std::optional<std::string> normalize_day(const std::string& value);

// {"stock_code": ..., "name": ...}; absent values are null. US: name omitted.
json entity(const json& stock_code, const json& name);
json entity(const json& stock_code);

// text + "\n\n" + START_MARKER + "\n" + compact JSON + "\n" + END_MARKER.
std::string append_meta(const std::string& text, const json& meta);

// Provider statuses reported by the intraday and evidence tools.
extern const char* const PROVIDER_STATUSES[];
extern const size_t PROVIDER_STATUSES_COUNT;
bool is_provider_status(const std::string& s);

// The provider part of a meta block's extras: `fields` (provider, provider_status,
// provider_profile, ...) in a fixed order, unknown statuses reported as "error".
json provider_extension(const json& fields);

}  // namespace tessaro::rmeta
