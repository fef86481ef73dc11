#pragma once
// Parsing helpers of the Naver source, shared by its parsers and their tests.
#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "core/json.hpp"

namespace tessaro::naver {

namespace parse {
// A field as text, trimmed: strings as they are, whole numbers in digits,
// other numbers in their shortest form; absent, null or anything else is "".
std::string text(const json& obj, const std::string& key);
// A number from a JSON value: numbers as they are, strings such as "103,400",
// "+1,000", "1,032,919백만". "", "-", "N/A", "null" and null are missing.
std::optional<double> number(const json& v);
// An amount in won from a number or from the display texts "1,032,919백만"
// (in session) and "4조 2,538억" / "2,538억" (after the close).
std::optional<double> amount_won(const json& v);
// Whole values become JSON integers so that they print without decimals.
json to_json_number(double v);
// Direction code of compareToPreviousPrice ({code,name} or a bare code):
// 1 rising (1 up-limit, 2 up), 0 even (3), -1 falling (4 down-limit, 5 down), 2 unknown.
int direction(const json& dir);
// Magnitude from the text, sign from the direction code. A text sign that
// contradicts the code sets `disagree` and yields nullopt (recorded as a miss).
std::optional<double> signed_change(const json& raw, const json& dir, bool& disagree);
}  // namespace parse

// fchart XML (already UTF-8) -> rows oldest first. Daily rows carry "date"
// (YYYY-MM-DD), intraday rows "datetime" (YYYY-MM-DD HH:MM). Unreadable
// values are null and named under PARSE_MISS_KEY of the row.
json parse_fchart_bars(const std::string& xml_utf8, bool intraday);
// One item of the realtime polling API -> quote record. The market division the
// after-market rule asks for is looked up unless `divisions` already holds the
// code's (a batch asks for all of them at once, see polling_item_needs_division).
using Divisions = std::map<std::string, std::optional<std::string>>;
json quote_from_polling_item(const std::string& code, const json& item, const Divisions* divisions = nullptr);
// Whether the item's session depends on the stock's market division (its last
// trade is at or after that day's after-market opening).
bool polling_item_needs_division(const json& item);
// m.stock trend rows -> flow rows (newest first).
json flow_rows_from_trend(const json& arr);
// The stock main page's investor table -> flow rows (newest first), the year
// of its "MM/DD" dates settled against `today` (KST).
json flow_rows_from_main_page(const std::string& html, std::chrono::sys_days today);

}  // namespace tessaro::naver
