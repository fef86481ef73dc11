#pragma once
// Number formats and small helpers shared by the US tools.
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::tools::us {

// "" / "USD" -> "$"; any other code -> "TWD " (upper-cased code and a space).
std::string ccy_prefix(const json& code);
// Large amounts as B/M with a currency prefix; smaller ones with separators and unit.
// null -> "-"; a non-number -> its text.
std::string fmt_num(const json& v, const std::string& unit = "", int digits = 2, const std::string& currency = "$");
// A share volume: a million and more in millions with `m_digits` decimals and "M"
// ("12.3M"), a smaller one as the count itself with separators ("30,000"), so a
// thin day never reads as "0.0M".
std::string fmt_volume(double v, int m_digits = 1);
// A fraction shown as percent (0.27 -> "27.00%").
std::string fmt_ratio(const json& v, int digits = 2);
// A value already in percent (0.41 -> "0.41%").
std::string fmt_yield(const json& v, int digits = 2);

// The value as a double when it is a number.
std::optional<double> num(const json& v);
// A non-empty text value.
std::optional<std::string> text(const json& v);
// Text of a value for a table cell: text as is, numbers via pyfloat/int, null "".
std::string plain(const json& v);
// Number -> "{:,.Nf}" with optional sign; "-" when missing.
std::string money(const json& v, int digits = 2, bool plus = false);

// Age of a short-interest report dated `report_day` (a FINRA settlement date, a
// New York calendar day) at `at`, counted in New York days, and whether it is
// stale (more than 35 days). One rule for every tool that shows the report.
struct ReportAge {
  std::optional<long> days;
  bool stale = false;
};
ReportAge short_report_age(const std::string& report_day, std::optional<long long> at_unix_s = std::nullopt);

// "티커 '{ticker}'를 찾을 수 없습니다."
std::string not_found(const std::string& ticker);
// New York date of a Unix time.
std::string ny_day(long long unix_s);

// Which session an earnings announcement falls into: "pre_market" (before 09:30),
// "during_market", "post_market" (16:00 and later) or "unknown" (no time, midnight,
// unreadable). The time of day is read as written (US Eastern).
std::string earnings_session(const std::string& timestamp);
// Korean label of a session value ("장전", "장중", "장후", "시각미상").
std::string session_label(const std::string& session);
// The period end 0..120 days before the event date, nearest first; ties keep the
// earlier listed one. nullopt when none qualifies.
std::optional<std::string> match_fiscal_period(const std::string& event_date, const std::vector<std::string>& periods);

// Economic type of an insider transaction row: open_market_buy, sale, grant, gift,
// exercise, tax_withholding or unknown (defined with the ownership tools).
std::string classify_insider_tx(const json& row);

}  // namespace tessaro::tools::us
