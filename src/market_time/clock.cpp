// The KRX and NYSE/NASDAQ calendars, the market-clock record and the call instant.
#include "market_time/clock.hpp"

#include <date/tz.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/pinned_instant.hpp"
#include "market_time/day_times.hpp"

namespace tessaro::mt {

using namespace std::chrono;

CallInstant::CallInstant() {
  auto& slot = pinned_instant();
  if (slot) return;
  slot = (long long)now().time_since_epoch().count();
  owner_ = true;
}

CallInstant::~CallInstant() {
  if (owner_) pinned_instant().reset();
}

Day krx_after_market_start() { return *parse_day(KRX_AFTER_MARKET_START); }

// ---- calendars ------------------------------------------------------------------

namespace {

struct CalendarData {
  std::map<Day, std::string> krx_closures, us_closures;
  std::map<Day, std::pair<int, int>> krx_special;   // open, close minutes
  std::map<Day, int> us_early;                        // close minutes
};

int hm_minutes(const std::string& hm) {
  return std::atoi(hm.substr(0, 2).c_str()) * 60 + std::atoi(hm.substr(3, 2).c_str());
}

std::filesystem::path data_file() {
  namespace fs = std::filesystem;
  std::vector<fs::path> tries;
  std::string env = env_or("TESSARO_DATA_DIR", "");
  if (!env.empty()) tries.push_back(fs::path(env) / "market_calendars.json");
  // An installed server (<prefix>/bin) reads the copy installed with it, then the tree it was built from.
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  fs::path exe = n > 0 ? fs::path(std::string(buf, size_t(n))) : fs::path();
  if (!exe.empty()) tries.push_back(exe.parent_path() / ".." / "share" / "tessaro" / "market_calendars.json");
  tries.push_back(fs::path(TESSARO_DATA_DIR) / "market_calendars.json");
  if (!exe.empty()) tries.push_back(exe.parent_path() / ".." / "data" / "market_calendars.json");
  // A place this user may not look into (a tree under another user's home) is passed over.
  for (const auto& p : tries) {
    std::error_code ec;
    if (fs::exists(p, ec)) return p;
  }
  throw Error("market calendar data not found (data/market_calendars.json); set TESSARO_DATA_DIR");
}

const CalendarData& data() {
  static const CalendarData d = [] {
    CalendarData out;
    auto text = read_file(data_file());
    json j = json::parse(text.value_or("{}"));
    for (auto& [k, v] : j["krx"]["closures"].items())
      if (auto day = parse_day(k)) out.krx_closures[*day] = v.get<std::string>();
    for (auto& [k, v] : j["krx"]["special_sessions"].items())
      if (auto day = parse_day(k))
        out.krx_special[*day] = {hm_minutes(v["open"].get<std::string>()), hm_minutes(v["close"].get<std::string>())};
    for (auto& [k, v] : j["us"]["closures"].items())
      if (auto day = parse_day(k)) out.us_closures[*day] = v.get<std::string>();
    for (auto& [k, v] : j["us"]["early_closes"].items())
      if (auto day = parse_day(k)) out.us_early[*day] = hm_minutes(v.get<std::string>());
    return out;
  }();
  return d;
}

class KrxCalendar : public MarketCalendar {
 public:
  explicit KrxCalendar(bool extended) { extended_ = extended; }
  std::string market() const override { return "KR"; }
  std::string zone() const override { return KST; }
  bool is_trading_day(Day d) const override { return weekday(d) < 5 && !data().krx_closures.count(d); }
  std::vector<SessionWindow> sessions(Day d) const override {
    if (!is_trading_day(d)) return {};
    int open = 9 * 60, close = 15 * 60 + 30;
    if (auto it = data().krx_special.find(d); it != data().krx_special.end()) {
      open = it->second.first;
      close = it->second.second;
    }
    std::vector<SessionWindow> s = {{SESSION_PRE_OPEN, open - 30, open}, {SESSION_REGULAR, open, close}};
    if (extended_ && d >= krx_after_market_start())
      s.push_back({SESSION_AFTER_MARKET, std::max(16 * 60, close + 30), 20 * 60});
    return s;
  }

 protected:
  const std::vector<std::pair<Day, std::string>>& holidays() const override {
    static const std::vector<std::pair<Day, std::string>> h(data().krx_closures.begin(), data().krx_closures.end());
    return h;
  }
};

class UsCalendar : public MarketCalendar {
 public:
  UsCalendar() { extended_ = true; }
  std::string market() const override { return "US"; }
  std::string zone() const override { return NEW_YORK; }
  bool is_trading_day(Day d) const override { return weekday(d) < 5 && !data().us_closures.count(d); }
  std::vector<SessionWindow> sessions(Day d) const override {
    if (!is_trading_day(d)) return {};
    int close = 16 * 60;
    if (auto it = data().us_early.find(d); it != data().us_early.end()) close = it->second;
    return {{SESSION_PRE_MARKET, 4 * 60, 9 * 60 + 30},
            {SESSION_REGULAR, 9 * 60 + 30, close},
            {SESSION_AFTER_HOURS, close, close + 4 * 60}};
  }

 protected:
  const std::vector<std::pair<Day, std::string>>& holidays() const override {
    static const std::vector<std::pair<Day, std::string>> h(data().us_closures.begin(), data().us_closures.end());
    return h;
  }
};

}  // namespace

std::optional<SessionWindow> MarketCalendar::regular(Day d) const {
  for (const auto& s : sessions(d))
    if (s.name == SESSION_REGULAR) return s;
  return std::nullopt;
}

std::optional<std::string> MarketCalendar::holiday_name(Day d) const {
  for (const auto& [day, name] : holidays())
    if (day == d) return name;
  return std::nullopt;
}

Day MarketCalendar::previous_trading_day(Day d) const {
  for (int i = 1; i < 30; ++i)
    if (is_trading_day(d - days(i))) return d - days(i);
  return d - days(1);
}

Day MarketCalendar::next_trading_day(Day d) const {
  for (int i = 1; i < 30; ++i)
    if (is_trading_day(d + days(i))) return d + days(i);
  return d + days(1);
}

std::vector<Day> MarketCalendar::trading_days(Day from, Day to) const {
  std::vector<Day> out;
  for (Day d = from; d <= to; d += days(1))
    if (is_trading_day(d)) out.push_back(d);
  return out;
}

namespace {
// The first and last calendar day of the period holding `d`.
std::pair<Day, Day> period_bounds(const std::string& tf, Day d) {
  if (tf == "week") {
    Day mon = d - days(weekday(d));
    return {mon, mon + days(6)};
  }
  if (tf == "month") {
    year_month_day ymd(d);
    Day first = sys_days(ymd.year() / ymd.month() / 1);
    Day last = sys_days(ymd.year() / ymd.month() / std::chrono::last);
    return {first, last};
  }
  return {d, d};
}
}  // namespace

std::optional<bool> MarketCalendar::is_period_closed(const std::string& timeframe, Day day, Instant at) const {
  std::string tf = timeframe == "day" || timeframe == "week" || timeframe == "month" ? timeframe : "day";
  auto [first, last] = period_bounds(tf, day);
  // The period ends with the last session of its last trading day.
  std::optional<Day> last_trading;
  for (Day d = last; d >= first; d -= days(1))
    if (is_trading_day(d)) {
      last_trading = d;
      break;
    }
  if (!last_trading) {
    // No trading at all in the period: finished once the period is over.
    return at >= from_zone(last + days(1), 0, 0, zone());
  }
  auto s = sessions(*last_trading);
  int end_min = 0;
  for (const auto& w : s) end_min = std::max(end_min, w.name == SESSION_PRE_MARKET || w.name == SESSION_AFTER_HOURS ? end_min : w.close_min);
  if (market() == "US") end_min = regular(*last_trading)->close_min;
  return at >= from_zone(*last_trading, end_min / 60, end_min % 60, zone());
}

std::optional<Day> MarketCalendar::previous_closed_period_end(const std::string& timeframe, Day day, Instant at) const {
  std::string tf = timeframe == "week" || timeframe == "month" ? timeframe : "day";
  Day cursor = period_bounds(tf, day).first - days(1);
  for (int guard = 0; guard < 60; ++guard) {
    auto [first, last] = period_bounds(tf, cursor);
    std::optional<Day> last_trading;
    for (Day d = last; d >= first; d -= days(1))
      if (is_trading_day(d)) {
        last_trading = d;
        break;
      }
    if (last_trading) {
      auto closed = is_period_closed(tf, *last_trading, at);
      if (closed && *closed) return *last_trading;
    }
    cursor = first - days(1);
  }
  return std::nullopt;
}

const MarketCalendar& krx_calendar(bool include_extended) {
  static const KrxCalendar with(true), without(false);
  return include_extended ? static_cast<const MarketCalendar&>(with) : without;
}

const MarketCalendar& us_calendar() {
  static const UsCalendar cal;
  return cal;
}

std::optional<KrxDayTimes> krx_day_times(Day d) {
  auto sess = krx_calendar(true).sessions(d);
  if (sess.empty()) return std::nullopt;
  KrxDayTimes t;
  for (const auto& s : sess) {
    if (s.name == SESSION_REGULAR) {
      t.regular_open = s.open_min;
      t.regular_close = s.close_min;
    } else if (s.name == SESSION_AFTER_MARKET) {
      t.after_open = s.open_min;
      t.after_close = s.close_min;
    }
  }
  return t;
}

KrxDayTimes krx_day_times_or_usual(Day d) {
  if (auto t = krx_day_times(d)) return *t;
  KrxDayTimes t;
  if (d >= krx_after_market_start()) {
    t.after_open = 16 * 60;
    t.after_close = 20 * 60;
  }
  return t;
}

std::string hm_text(int m) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d:%02d", m / 60, m % 60);
  return b;
}

std::optional<Day> bar_data_day(const std::string& timeframe, Day bar_date, Instant at, const MarketCalendar& cal) {
  if (timeframe != "week" && timeframe != "month") return bar_date;
  Day first, last;
  if (timeframe == "week") {
    first = bar_date - days(weekday(bar_date));
    last = first + days(6);
  } else {
    year_month_day ymd(bar_date);
    first = sys_days(ymd.year() / ymd.month() / 1);
    last = sys_days(ymd.year() / ymd.month() / std::chrono::last);
  }
  for (Day d = last; d >= first; d -= days(1)) {
    if (!cal.is_trading_day(d)) continue;
    auto reg = cal.regular(d);
    int open = reg ? reg->open_min : 0;
    if (at >= from_zone(d, open / 60, open % 60, cal.zone())) return d;
  }
  return std::nullopt;
}

// ---- the market clock --------------------------------------------------------------

namespace {

std::string hm_of(int minutes_of_day) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d:%02d", minutes_of_day / 60, minutes_of_day % 60);
  return b;
}

std::string duration_text(long secs) {
  if (secs < 0) secs = 0;
  long mins = (secs + 59) / 60;
  long d = mins / (24 * 60), h = mins / 60 % 24, m = mins % 60;
  std::string out;
  if (d > 0) out += std::to_string(d) + "일 ";
  if (h > 0) out += std::to_string(h) + "시간 ";
  out += std::to_string(m) + "분";
  return out;
}

std::string local_stamp(Instant t, const std::string& tz) {
  Civil c = to_zone(t, tz);
  return c.date_str() + " " + c.hm();
}

std::string session_label(const std::string& name, bool krx) {
  if (name == SESSION_PRE_OPEN) return "장전 동시호가";
  if (name == SESSION_REGULAR) return "정규장";
  if (name == SESSION_AFTER_MARKET) return "애프터마켓";
  if (name == SESSION_PRE_MARKET) return "프리마켓";
  if (name == SESSION_AFTER_HOURS) return "애프터아워";
  return krx ? "장마감" : "장마감";
}

json market_part(const MarketCalendar& cal, Instant at, const std::string& viewer) {
  const std::string tz = cal.zone();
  bool krx = cal.market() == "KR";
  Civil c = to_zone(at, tz);
  Day today = c.date();
  int now_min = c.minutes();
  bool trading = cal.is_trading_day(today);
  auto sess = cal.sessions(today);
  std::string current = SESSION_CLOSED;
  for (const auto& s : sess)
    if (now_min >= s.open_min && now_min < s.close_min) current = s.name;
  bool is_open = current == SESSION_REGULAR;
  std::string status;
  if (!trading) status = weekday(today) >= 5 ? "weekend" : "holiday";
  else if (current == SESSION_CLOSED) {
    auto reg = cal.regular(today);
    status = reg && now_min < reg->open_min ? "before_open" : "closed";
  } else if (current == SESSION_PRE_OPEN) status = "pre_open";
  else if (current == SESSION_REGULAR) status = "regular";
  else if (current == SESSION_AFTER_MARKET) status = "after_market";
  else if (current == SESSION_PRE_MARKET) status = "pre_market";
  else if (current == SESSION_AFTER_HOURS) status = "after_hours";
  else status = "closed";

  auto reg_today = cal.regular(today);
  Day last_day = (trading && reg_today && now_min >= reg_today->open_min) ? today : cal.previous_trading_day(today);
  auto reg_last = cal.regular(trading ? today : last_day);
  std::string regular_close = reg_last ? hm_of(reg_last->close_min) : (krx ? "15:30" : "16:00");

  // Next session: the rest of today, else the first session of the next trading day.
  json next = nullptr;
  for (const auto& s : sess)
    if (s.open_min > now_min) {
      next = json{{"name", s.name}, {"label", session_label(s.name, krx)},
                  {"opens_at_local", c.date_str() + " " + hm_of(s.open_min)}};
      break;
    }
  Day next_day = cal.next_trading_day(today);
  if (next.is_null()) {
    auto ns = cal.sessions(next_day);
    if (!ns.empty())
      next = json{{"name", ns[0].name}, {"label", session_label(ns[0].name, krx)},
                  {"opens_at_local", day_str(next_day) + " " + hm_of(ns[0].open_min)}};
  }
  // The next regular open.
  Day open_day = (trading && reg_today && now_min < reg_today->open_min) ? today : next_day;
  auto reg_open = cal.regular(open_day);
  Instant next_open = from_zone(open_day, reg_open->open_min / 60, reg_open->open_min % 60, tz);

  json sessions = json::array();
  for (const auto& s : sess) {
    std::string state = now_min >= s.close_min ? "done" : now_min >= s.open_min ? "now" : "upcoming";
    sessions.push_back(json{{"name", s.name}, {"label", session_label(s.name, krx)}, {"start", hm_of(s.open_min)},
                            {"end", hm_of(s.close_min)}, {"state", state}});
  }
  json part = {{"market", krx ? "KRX" : "NYSE/NASDAQ"},
               {"zone", tz},
               {"local_time", c.date_str() + " " + c.hm()},
               {"is_trading_day", trading},
               {"is_open", is_open},
               {"status", status},
               {"current_session", current},
               {"last_trading_day", day_str(last_day)},
               // The next day whose regular session is still to come: today before the open.
               {"next_trading_day", day_str(open_day)},
               {"regular_close", regular_close},
               {"next_session", next},
               {"sessions", sessions}};
  if (!trading) {
    auto h = cal.holiday_name(today);
    part["holiday_name"] = h ? json(*h) : json(nullptr);
  }
  if (is_open) {
    Instant close = from_zone(today, reg_today->close_min / 60, reg_today->close_min % 60, tz);
    part["closes_in"] = duration_text(long((close - at).count()));
    part["opens_in"] = nullptr;
  } else {
    part["opens_in"] = duration_text(long((next_open - at).count()));
    part["closes_in"] = nullptr;
  }
  part["next_open_local"] = local_stamp(next_open, tz);
  part["next_open_viewer"] = local_stamp(next_open, viewer) + " (" + viewer + ")";
  if (krx) {
    part["after_market_from"] = KRX_AFTER_MARKET_START;
    part["has_dst"] = false;
  }
  return part;
}

const date::time_zone* zone_of(const std::string& name) {
  try {
    return date::locate_zone(name);
  } catch (const std::exception&) {
    throw ValueError("unknown time zone: " + name);
  }
}

long offset_at(const std::string& tz, Instant t) { return long(zone_of(tz)->get_info(t).offset.count()); }

// When a zone's offset changes within the next 14 days: the first instant after the change.
std::optional<Instant> change_within(const std::string& tz, Instant at) {
  auto info = zone_of(tz)->get_info(at);
  Instant end = floor<seconds>(info.end);
  if (end > at && end <= at + days(14)) return end;
  return std::nullopt;
}

json dst_part(const MarketCalendar& cal, Instant at, const std::string& viewer) {
  const std::string tz = cal.zone();
  Day d = to_zone(at, tz).date();
  Day open_day = cal.is_trading_day(d) ? d : cal.next_trading_day(d);
  auto reg = cal.regular(open_day);
  auto open_at = [&](Day day) {
    auto r = cal.regular(day);
    return from_zone(day, r->open_min / 60, r->open_min % 60, tz);
  };
  json p = json::object();
  p["open_in_viewer_now"] = to_zone(open_at(open_day), viewer).hm();
  p["open_local"] = hm_of(reg->open_min);
  // Every offset change within the fortnight, of the market's zone and of the
  // viewer's, in time order: when both change (London in late October, a week
  // before New York) the opening moves twice and the week between has its own time.
  std::vector<std::pair<Instant, std::string>> changes;
  if (cal.market() == "US")
    if (auto c = change_within(tz, at)) changes.push_back({*c, "us"});
  if (viewer != tz)
    if (auto c = change_within(viewer, at)) changes.push_back({*c, "viewer"});
  std::sort(changes.begin(), changes.end());
  // Two changes at the same instant (the viewer on the market's own rules) are one.
  if (changes.size() == 2 && changes[0].first == changes[1].first) changes.pop_back();
  p["imminent"] = !changes.empty();
  json list = json::array();
  for (size_t i = 0; i < changes.size(); ++i) {
    Instant when = changes[i].first;
    Day first = to_zone(when + hours(1), tz).date();
    if (!cal.is_trading_day(first)) first = cal.next_trading_day(first);
    json c = {{"cause", changes[i].second},
              {"change_at", iso_in_zone(when, viewer)},
              {"open_in_viewer_after", to_zone(open_at(first), viewer).hm()},
              {"from_day", day_str(first)},
              {"to_day", nullptr}};
    if (i + 1 < changes.size()) {
      // The last session that opens before the next change.
      Day last = to_zone(changes[i + 1].first, tz).date();
      while (last >= first && (!cal.is_trading_day(last) || open_at(last) >= changes[i + 1].first)) last -= days(1);
      c["to_day"] = last >= first ? json(day_str(last)) : json(nullptr);
    }
    list.push_back(c);
  }
  p["changes"] = list;
  if (!changes.empty()) {
    // The first change, as before; `changes` holds each one.
    p["change_at"] = list[0]["change_at"];
    p["open_in_viewer_after"] = list[0]["open_in_viewer_after"];
    p["cause"] = list[0]["cause"];
  } else {
    p["open_in_viewer_after"] = nullptr;
    p["cause"] = nullptr;
  }
  if (cal.market() == "US") {
    p["us_is_dst"] = offset_at(tz, at) == -4 * 3600;
    // Korea-time opening: 22:30 in US summer, 23:30 in winter.
    p["open_kst"] = to_zone(open_at(open_day), KST).hm();
  } else {
    p["has_dst"] = false;
  }
  return p;
}

}  // namespace

json build_market_clock(std::optional<Instant> at_opt) {
  Instant at = at_opt.value_or(now());
  std::string viewer = viewer_zone();
  json clock = json::object();
  clock["as_of"] = iso_kst(at);
  clock["viewer_zone"] = viewer;
  clock["krx"] = market_part(krx_calendar(true), at, viewer);
  clock["us"] = market_part(us_calendar(), at, viewer);
  clock["dst"] = json{{"us", dst_part(us_calendar(), at, viewer)}, {"krx", dst_part(krx_calendar(true), at, viewer)}};
  return clock;
}

std::string market_status_label(const std::string& s) {
  static const std::map<std::string, std::string> m = {
      {"weekend", "주말 휴장"},      {"holiday", "공휴일 휴장"},   {"before_open", "개장 전"},
      {"pre_open", "장전 동시호가"}, {"regular", "정규장 거래 중"}, {"after_market", "애프터마켓 거래 중"},
      {"pre_market", "프리마켓"},    {"after_hours", "애프터아워"}, {"closed", "장마감"}};
  auto it = m.find(s);
  return it == m.end() ? s : it->second;
}


std::string format_market_clock(const json& clock) {
  std::vector<std::string> lines;
  auto status_ko = [](const std::string& s) { return market_status_label(s); };
  lines.push_back("🕒 시장 시계 (조회 " + clock.value("as_of", std::string()) + ")");
  for (const char* key : {"krx", "us"}) {
    const json& p = clock[key];
    bool krx = std::string(key) == "krx";
    lines.push_back("");
    lines.push_back(std::string("## ") + (krx ? "한국장 (KRX, KST)" : "미국장 (NYSE/NASDAQ, 뉴욕 시각)"));
    std::string st = status_ko(p["status"].get<std::string>());
    if (p.contains("holiday_name") && p["holiday_name"].is_string()) st += " — " + p["holiday_name"].get<std::string>();
    lines.push_back("- 현재: " + st + " (현지 " + p["local_time"].get<std::string>() + ")");
    lines.push_back("- is_open(정규장만): " + std::string(p["is_open"].get<bool>() ? "true" : "false") +
                    " · current_session: " + p["current_session"].get<std::string>());
    lines.push_back("- 최근 거래일: " + p["last_trading_day"].get<std::string>() + " · 다음 거래일: " +
                    p["next_trading_day"].get<std::string>() + " · 정규장 마감 " + p["regular_close"].get<std::string>());
    if (p["sessions"].empty()) {
      lines.push_back("- 오늘 세션: 없음 (휴장)");
    } else {
      std::vector<std::string> ss;
      for (const auto& s : p["sessions"]) {
        std::string mark = s["state"] == "now" ? " ◀ 지금" : s["state"] == "done" ? " (끝)" : "";
        ss.push_back(s["label"].get<std::string>() + " " + s["start"].get<std::string>() + "~" +
                     s["end"].get<std::string>() + mark);
      }
      lines.push_back("- 오늘 세션: " + fmt::join(ss, " · "));
    }
    if (p["next_session"].is_object())
      lines.push_back("- 다음 세션: " + p["next_session"]["label"].get<std::string>() + " " +
                      p["next_session"]["opens_at_local"].get<std::string>());
    if (p["closes_in"].is_string()) lines.push_back("- 정규장 마감까지: " + p["closes_in"].get<std::string>());
    if (p["opens_in"].is_string())
      lines.push_back("- 정규장 개장까지: " + p["opens_in"].get<std::string>() + " (" + p["next_open_local"].get<std::string>() +
                      ", 사용자 시각 " + p["next_open_viewer"].get<std::string>() + ")");
    if (krx)
      lines.push_back("- " + std::string(KRX_AFTER_MARKET_START) +
                      "부터 애프터마켓(16:00~20:00)이 세션으로 표시됩니다. 프리마켓은 아직 표시하지 않습니다.");
  }
  const json& dst = clock["dst"];
  lines.push_back("");
  lines.push_back("## 서머타임");
  lines.push_back("- 미국장 개장(한국 시각): " + dst["us"]["open_kst"].get<std::string>() +
                  " (여름 22:30, 겨울 23:30) · 사용자 시각 " + dst["us"]["open_in_viewer_now"].get<std::string>());
  for (const auto& c : dst["us"].value("changes", json::array())) {
    std::string who = c["cause"] == "us" ? "미국" : "사용자 지역";
    std::string span = c["to_day"].is_string()
                           ? c["from_day"].get<std::string>() + "~" + c["to_day"].get<std::string>() + " 개장 "
                           : c["from_day"].get<std::string>() + "부터 개장 ";
    lines.push_back("- ⚠️ 2주 안에 시간이 바뀝니다 (" + who + " 시간 변경 " + c["change_at"].get<std::string>() + "): " +
                    span + c["open_in_viewer_after"].get<std::string>() + " (사용자 시각)");
  }
  lines.push_back("- 한국은 서머타임이 없습니다 (krx.has_dst=false).");
  return fmt::join(lines, "\n");
}

}  // namespace tessaro::mt
