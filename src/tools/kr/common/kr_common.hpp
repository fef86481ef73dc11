#pragma once
// Helpers shared by several tool families (Korean and US). Each group is defined
// in the .cpp named beside it; tool files include this header and never each other.
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/errors.hpp"
#include "core/json.hpp"

namespace tessaro::server {

inline constexpr const char* NEWLINE = "\n";

// ---- quotes and charts (kr_common_quotes.cpp) --------------------------------
// Price session -> long / short KRX session label.
extern const std::map<std::string, std::string> KR_SESSION_LABEL;
extern const std::map<std::string, std::string> SESSION_SHORT;
// "YYYYMMDD" -> "YYYY-MM-DD"; else the first 16 (intraday) or 10 characters.
std::string normalize_date(const json& raw, bool is_intraday);
// "날짜|시가|고가|저가|종가|거래량" table lines (no heading).
std::vector<std::string> format_ohlcv_rows(const json& rows, bool is_intraday, int decimals);

// A source call for one stock code; a 404/410 answer (the site has no such
// code: a typo or a delisted stock) comes back as nullopt, every other failure
// propagates.
template <class F>
std::optional<json> for_code(F&& call) {
  try {
    return json(call());
  } catch (const HTTPStatusError& e) {
    if (e.status() == 404 || e.status() == 410) return std::nullopt;
    throw;
  }
}
// "No such stock code" in the tools' words; with a meta block (completeness
// none) unless `kind` is empty.
std::string code_not_found_reply(const std::string& code, const std::string& kind = "snapshot");

// ---- codes and events (kr_common_events.cpp) --------------------------------
inline constexpr const char* CODE_RE = "^[A-Za-z0-9]{6}$";
bool is_code(const std::string& s);
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

// ---- indicators (kr_common_indicators.cpp) ----------------------------------
json indicator_coverage(const json& include, int available_bars, const json& params,
                        const std::string& timeframe);
json indicator_error_list(const json& result, const json& code = nullptr);
json market_cap_eok(const json& value);   // number (억원) or null
// The warning for indicators whose computation failed (from indicator_error_list);
// "" when there is none. A reply with such an error is partial, with
// indicator_error_coverage() as its coverage.
std::string indicator_error_warning(const json& errors);
json indicator_error_coverage();

// ---- news (kr_common_news.cpp) ----------------------------------------------
// How central the named company is to one article (its "title" and "summary"):
// {"category", "relevance_score" (ordinal: title > summary > nowhere), "basis"}.
json classify_news_relevance(const json& article, const std::vector<std::string>& names);

}  // namespace tessaro::server
