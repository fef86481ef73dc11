#pragma once
// Helpers every tool family may use (Korean, US, intraday, workbooks). Each group
// is defined in the tool_helpers_*.cpp named beside it.
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::server {

// ---- rows and codes (tool_helpers_rows.cpp) ----------------------------------
// "YYYYMMDD" -> "YYYY-MM-DD"; else the first 16 (intraday) or 10 characters.
std::string normalize_date(const json& raw, bool is_intraday);
// "날짜|시가|고가|저가|종가|거래량" table lines (no heading).
std::vector<std::string> format_ohlcv_rows(const json& rows, bool is_intraday, int decimals);
inline constexpr const char* CODE_RE = "^[A-Za-z0-9]{6}$";
bool is_code(const std::string& s);

// ---- indicators (tool_helpers_indicators.cpp) --------------------------------
json indicator_coverage(const json& include, int available_bars, const json& params,
                        const std::string& timeframe);
json indicator_error_list(const json& result, const json& code = nullptr);
json market_cap_eok(const json& value);   // number (억원) or null
// The warning for indicators whose computation failed (from indicator_error_list);
// "" when there is none. A reply with such an error is partial, with
// indicator_error_coverage() as its coverage.
std::string indicator_error_warning(const json& errors);
json indicator_error_coverage();

// ---- news (tool_helpers_news.cpp) ----------------------------------------------
// How central the named company is to one article (its "title" and "summary"):
// {"category", "relevance_score" (ordinal: title > summary > nowhere), "basis"}.
json classify_news_relevance(const json& article, const std::vector<std::string>& names);

}  // namespace tessaro::server
