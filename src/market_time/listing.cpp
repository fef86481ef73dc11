#include "market_time/listing.hpp"

#include <algorithm>

#include "core/format.hpp"

namespace tessaro::mt {

using namespace std::chrono;

namespace {
bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The session whose window holds `minute` of day `d`, or "closed".
std::string session_at(const MarketCalendar& cal, Day d, int minute) {
  for (const auto& s : cal.sessions(d))
    if (minute >= s.open_min && minute < s.close_min) return s.name;
  return SESSION_CLOSED;
}
}  // namespace

Listing listing_of(const std::string& symbol, const std::string& exchange_zone) {
  Listing l;
  l.symbol = symbol;
  std::string up = fmt::upper(fmt::trim(symbol));
  if (ends_with(up, ".KS") || ends_with(up, ".KQ")) {
    l.calendar = &krx_calendar(true);
    l.zone = KST;
    l.market = "KR";
    return l;
  }
  bool suffixed = up.find('.') != std::string::npos && !ends_with(up, ".A") && !ends_with(up, ".B");
  if (exchange_zone == NEW_YORK || (exchange_zone.empty() && !suffixed)) {
    l.calendar = &us_calendar();
    l.zone = NEW_YORK;
    l.market = "US";
    return l;
  }
  l.zone = exchange_zone;
  l.market = exchange_zone.empty() ? "unknown" : exchange_zone;
  return l;
}

std::optional<std::string> listing_day(const Listing& l, long long unix_s) {
  if (unix_s <= 0 || l.zone.empty()) return std::nullopt;
  try {
    return to_zone(Instant{seconds{unix_s}}, l.zone).date_str();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

json listing_market_part(const Listing& l, Instant at) {
  if (l.calendar) {
    json part = build_market_clock(at)[l.calendar->market() == "KR" ? "krx" : "us"];
    part["calendar_known"] = true;
    return part;
  }
  json part = json::object();
  part["market"] = l.market;
  part["zone"] = l.zone.empty() ? json(nullptr) : json(l.zone);
  part["calendar_known"] = false;
  part["is_open"] = false;
  part["status"] = SESSION_UNCONFIRMED;
  part["current_session"] = SESSION_UNCONFIRMED;
  part["last_trading_day"] = nullptr;
  part["regular_close"] = nullptr;
  part["next_session"] = nullptr;
  part["sessions"] = json::array();
  if (!l.zone.empty()) {
    try {
      Civil c = to_zone(at, l.zone);
      part["local_time"] = c.date_str() + " " + c.hm();
      part["local_date"] = c.date_str();
    } catch (const std::exception&) {
    }
  }
  return part;
}

std::optional<bool> listing_day_closed(const Listing& l, Day day, Instant at) {
  if (l.calendar) return l.calendar->is_period_closed("day", day, at);
  if (l.zone.empty()) return std::nullopt;
  try {
    if (day < to_zone(at, l.zone).date()) return true;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::optional<int> intraday_minutes(const std::string& interval) {
  if (interval == "1h") return 60;
  if (interval.size() < 2 || interval.back() != 'm') return std::nullopt;   // "1mo", "3mo", "1d", "1wk"
  auto n = fmt::parse_int(interval.substr(0, interval.size() - 1));
  if (!n || *n <= 0) return std::nullopt;
  return int(*n);
}

std::string bar_session(const MarketCalendar& cal, Instant start, Instant end, bool extended_included) {
  Civil s = to_zone(start, cal.zone());
  Day d = s.date();
  std::string first = session_at(cal, d, s.minutes());
  if (first == SESSION_CLOSED) return first;
  Instant last = std::max(start, end - seconds(1));
  if (!extended_included && first == SESSION_REGULAR) {
    auto reg = cal.regular(d);
    Instant close = from_zone(d, reg->close_min / 60, reg->close_min % 60, cal.zone());
    last = std::min(last, close - seconds(1));
  }
  Civil e = to_zone(last, cal.zone());
  std::string final_session = e.date() == d ? session_at(cal, d, e.minutes()) : SESSION_CLOSED;
  // A span that runs on past the last session holds no trades there.
  if (final_session != first && final_session != SESSION_CLOSED) return SESSION_MIXED;
  return first;
}

std::string session_label_ko(const std::string& session) {
  if (session == SESSION_PRE_MARKET) return "프리마켓";
  if (session == SESSION_REGULAR) return "정규장";
  if (session == SESSION_AFTER_HOURS) return "애프터아워";
  if (session == SESSION_AFTER_MARKET) return "애프터마켓";
  if (session == SESSION_PRE_OPEN) return "장전 동시호가";
  if (session == SESSION_MIXED) return "혼합";
  if (session == SESSION_CLOSED) return "장외";
  return "미확인";
}

std::optional<long> report_age_days(const std::string& report_day, const std::string& zone, Instant at) {
  auto d = parse_day(report_day.substr(0, std::min<size_t>(report_day.size(), 10)));
  if (!d) return std::nullopt;
  Day today = to_zone(at, zone).date();
  return std::max<long>(0, long((today - *d).count()));
}

}  // namespace tessaro::mt
