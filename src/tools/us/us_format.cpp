#include "tools/us/us_format.hpp"

#include <cmath>

#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "market_time/listing.hpp"

namespace tessaro::tools::us {

std::optional<double> num(const json& v) {
  if (v.is_number()) {
    double d = v.get<double>();
    if (std::isnan(d)) return std::nullopt;
    return d;
  }
  return std::nullopt;
}

std::optional<std::string> text(const json& v) {
  if (v.is_string() && !v.get<std::string>().empty()) return v.get<std::string>();
  return std::nullopt;
}

std::string plain(const json& v) {
  if (v.is_null()) return "";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  if (v.is_number()) return fmt::pyfloat(v.get<double>());
  if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
  return dump_compact(v);
}

std::string ccy_prefix(const json& code) {
  std::string c = text(code).value_or("");
  if (c.empty() || fmt::upper(c) == "USD") return "$";
  return fmt::upper(c) + " ";
}

std::string fmt_num(const json& v, const std::string& unit, int digits, const std::string& currency) {
  if (v.is_null()) return "-";
  auto d = num(v);
  if (!d) return plain(v);
  double a = std::fabs(*d);
  if (a >= 1e9) return currency + fmt::fixed(*d / 1e9, digits, true) + "B";
  if (a >= 1e6) return currency + fmt::fixed(*d / 1e6, digits, true) + "M";
  return fmt::fixed(*d, digits, true) + unit;
}

std::string fmt_volume(double v, int m_digits) {
  if (std::fabs(v) >= 1e6) return fmt::fixed(v / 1e6, m_digits, true) + "M";
  return fmt::thousands(fmt::round_ll(v));
}

std::string fmt_ratio(const json& v, int digits) {
  if (v.is_null()) return "-";
  auto d = num(v);
  if (!d) return plain(v);
  return fmt::fixed(*d * 100, digits) + "%";
}

std::string fmt_yield(const json& v, int digits) {
  if (v.is_null()) return "-";
  auto d = num(v);
  if (!d) return plain(v);
  return fmt::fixed(*d, digits) + "%";
}

std::string money(const json& v, int digits, bool plus) {
  auto d = num(v);
  if (!d) return "-";
  return fmt::fixed(*d, digits, true, plus);
}

ReportAge short_report_age(const std::string& report_day, std::optional<long long> at_unix_s) {
  mt::Instant at = at_unix_s ? mt::Instant{std::chrono::seconds{*at_unix_s}} : mt::now();
  ReportAge r;
  r.days = mt::report_age_days(report_day, mt::NEW_YORK, at);
  r.stale = r.days && *r.days > 35;
  return r;
}

std::string not_found(const std::string& ticker) { return "티커 '" + ticker + "'를 찾을 수 없습니다."; }

std::string ny_day(long long unix_s) {
  return mt::to_ny(mt::Instant{std::chrono::seconds{unix_s}}).date_str();
}

std::string earnings_session(const std::string& timestamp) {
  std::string t = fmt::trim(timestamp);
  if (t.size() < 16 || !mt::parse_day(t.substr(0, 10))) return "unknown";
  if (t[10] != 'T' && t[10] != ' ') return "unknown";
  auto hh = fmt::parse_int(t.substr(11, 2));
  auto mm = fmt::parse_int(t.substr(14, 2));
  if (t[13] != ':' || !hh || !mm || *hh < 0 || *hh > 23 || *mm < 0 || *mm > 59) return "unknown";
  int minutes = int(*hh) * 60 + int(*mm);
  if (minutes == 0) return "unknown";   // a date written as midnight carries no time
  if (minutes < 9 * 60 + 30) return "pre_market";
  if (minutes >= 16 * 60) return "post_market";
  return "during_market";
}

std::string session_label(const std::string& session) {
  if (session == "pre_market") return "장전";
  if (session == "post_market") return "장후";
  if (session == "during_market") return "장중";
  return "시각미상";
}

std::optional<std::string> match_fiscal_period(const std::string& event_date, const std::vector<std::string>& periods) {
  auto ed = mt::parse_day(event_date.substr(0, std::min<size_t>(event_date.size(), 10)));
  if (!ed) return std::nullopt;
  std::optional<std::string> best;
  long best_gap = 0;
  for (const auto& p : periods) {
    auto pd = mt::parse_day(p.substr(0, std::min<size_t>(p.size(), 10)));
    if (!pd) continue;
    long gap = long((*ed - *pd).count());
    if (gap < 0 || gap > 120) continue;
    if (!best || gap < best_gap) {
      best = p;
      best_gap = gap;
    }
  }
  return best;
}

}  // namespace tessaro::tools::us
