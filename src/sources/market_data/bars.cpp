// Bar models, intervals, session windows and resampling.
#include <algorithm>
#include <cmath>

#include "sources/market_data/market_data.hpp"

namespace tessaro::market_data {

using std::chrono::minutes;
using std::chrono::seconds;

namespace {

std::optional<mt::Instant> parse_instant(const std::string& s) {
  // "YYYY-MM-DDTHH:MM:SS+HH:MM" (or Z)
  if (s.size() < 19) return std::nullopt;
  auto day = mt::parse_day(s.substr(0, 10));
  if (!day) return std::nullopt;
  try {
    int hh = std::stoi(s.substr(11, 2)), mm = std::stoi(s.substr(14, 2)), ss = std::stoi(s.substr(17, 2));
    long off = 0;
    if (s.size() >= 25 && (s[19] == '+' || s[19] == '-')) {
      off = std::stoi(s.substr(20, 2)) * 3600L + std::stoi(s.substr(23, 2)) * 60L;
      if (s[19] == '-') off = -off;
    }
    return mt::Instant(std::chrono::duration_cast<seconds>(day->time_since_epoch())) + std::chrono::hours(hh) +
           minutes(mm) + seconds(ss) - seconds(off);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

json bar_to_dict(const Bar& b, const std::string& tz) {
  json j = {{"start_at", mt::iso_in_zone(b.start_at, tz)},
            {"end_at", mt::iso_in_zone(b.end_at, tz)},
            {"open", b.open},
            {"high", b.high},
            {"low", b.low},
            {"close", b.close},
            {"volume", b.volume}};
  if (b.session_tail) {
    j["session_tail"] = true;
    j["actual_minutes"] = b.actual_minutes;
  }
  if (!b.session.empty()) j["session"] = b.session;
  return j;
}

Bar bar_from_dict(const json& j) {
  if (!j.is_object()) throw ValueError("bar entry is not an object");
  auto s = parse_instant(j.value("start_at", std::string()));
  auto e = parse_instant(j.value("end_at", std::string()));
  if (!s || !e) throw ValueError("bar entry without a readable start_at/end_at");
  Bar b;
  b.start_at = *s;
  b.end_at = *e;
  for (auto [k, dst] : {std::pair{"open", &b.open}, {"high", &b.high}, {"low", &b.low}, {"close", &b.close},
                        {"volume", &b.volume}}) {
    if (!j.contains(k) || !j[k].is_number()) throw ValueError(std::string("bar entry without ") + k);
    *dst = j[k].get<double>();
  }
  b.session_tail = j.value("session_tail", false);
  b.actual_minutes = j.value("actual_minutes", 0);
  if (j.contains("session") && j["session"].is_string()) b.session = j["session"].get<std::string>();
  return b;
}

const std::vector<std::string>& supported_intervals() {
  static const std::vector<std::string> v = {"1m", "3m", "5m", "10m", "15m", "30m", "60m", "120m", "240m"};
  return v;
}

std::optional<int> interval_minutes(const std::string& interval) {
  const auto& v = supported_intervals();
  if (std::find(v.begin(), v.end(), interval) == v.end()) return std::nullopt;
  return std::stoi(interval.substr(0, interval.size() - 1));
}

std::string market_tz(const std::string& market) { return market == "US" ? mt::NEW_YORK : mt::KST; }

namespace {
CalendarRules& rules_slot() {
  static CalendarRules r;
  return r;
}
}  // namespace

void set_calendar_rules(CalendarRules rules) { rules_slot() = std::move(rules); }
const CalendarRules& calendar_rules() { return rules_slot(); }

std::optional<SessionWindowUtc> session_window(const std::string& market, mt::Day day) {
  const auto& regular_session = calendar_rules().regular_session;
  auto reg = regular_session ? regular_session(market, day) : std::nullopt;
  if (!reg) return std::nullopt;
  auto [open_min, close_min] = *reg;
  std::string tz = market_tz(market);
  SessionWindowUtc w;
  w.start_at = mt::from_zone(day, open_min / 60, open_min % 60, tz);
  w.close_at = mt::from_zone(day, close_min / 60, close_min % 60, tz);
  // KRX prints the closing auction as a bar stamped at the close itself.
  w.bars_end_at = market == "US" ? w.close_at : w.close_at + minutes(1);
  return w;
}

std::vector<Bar> sort_and_dedupe(std::vector<Bar> bars) {
  std::stable_sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) { return a.start_at < b.start_at; });
  std::vector<Bar> out;
  out.reserve(bars.size());
  for (auto& b : bars) {
    if (!out.empty() && out.back().start_at == b.start_at)
      out.back() = b;
    else
      out.push_back(b);
  }
  return out;
}

std::vector<Bar> resample_intraday(const std::vector<Bar>& bars, int mins, const std::string& market,
                                   mt::Instant now) {
  std::vector<Bar> out;
  if (mins <= 1) {
    out = bars;
    for (auto& b : out) b.complete = b.complete && b.end_at <= now;
    return out;
  }
  std::string tz = market_tz(market);
  std::optional<mt::Day> cur_day;
  std::optional<SessionWindowUtc> win;
  for (const Bar& b : bars) {
    mt::Day d = mt::to_zone(b.start_at, tz).date();
    if (!cur_day || *cur_day != d) {
      cur_day = d;
      win = session_window(market, d);
    }
    mt::Instant anchor = win ? win->start_at : mt::Instant(std::chrono::floor<std::chrono::days>(b.start_at));
    long long off = std::chrono::duration_cast<minutes>(b.start_at - anchor).count();
    if (off < 0) off = 0;   // a bar before the open joins the first bucket
    mt::Instant bstart = anchor + minutes(off / mins * mins);
    if (out.empty() || out.back().start_at != bstart) {
      Bar nb = b;
      nb.start_at = bstart;
      nb.end_at = bstart + minutes(mins);
      nb.session_tail = false;
      nb.actual_minutes = 0;
      if (win && nb.end_at > win->bars_end_at && bstart < win->bars_end_at) {
        nb.end_at = win->bars_end_at;
        nb.session_tail = true;
        nb.actual_minutes = (int)std::chrono::duration_cast<minutes>(nb.end_at - bstart).count();
      }
      nb.complete = b.complete;
      out.push_back(nb);
    } else {
      Bar& a = out.back();
      a.high = std::max(a.high, b.high);
      a.low = std::min(a.low, b.low);
      a.close = b.close;
      a.volume += b.volume;
      a.complete = a.complete && b.complete;
      if (a.session != b.session) a.session = "mixed";   // a bucket across sessions says so
    }
  }
  for (auto& b : out) b.complete = b.complete && b.end_at <= now;
  return out;
}

std::vector<Bar> filter_completed(const std::vector<Bar>& bars, mt::Instant now) {
  std::vector<Bar> out;
  for (const auto& b : bars)
    if (b.complete && b.end_at <= now) out.push_back(b);
  return out;
}

}  // namespace tessaro::market_data
