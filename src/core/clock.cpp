// The one clock: now (frozen by TESSARO_NOW or in tests), civil time in a zone,
// calendar days and the viewer's zone.
#include "core/clock.hpp"

#include <date/tz.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/format.hpp"
#include "core/pinned_instant.hpp"

namespace tessaro::mt {

using namespace std::chrono;

// ---- the one clock ------------------------------------------------------------

namespace {
std::mutex g_now_mu;
std::optional<Instant> g_fixed;

std::optional<Instant> parse_iso_instant(const std::string& s) {
  // "YYYY-MM-DDTHH:MM[:SS][+HH:MM|Z]"; without offset the time is KST.
  if (s.size() < 16) return std::nullopt;
  auto day = parse_day(s.substr(0, 10));
  if (!day) return std::nullopt;
  int hh = std::atoi(s.substr(11, 2).c_str()), mm = std::atoi(s.substr(14, 2).c_str()), ss = 0;
  size_t pos = 16;
  if (s.size() >= 19 && s[16] == ':') {
    ss = std::atoi(s.substr(17, 2).c_str());
    pos = 19;
  }
  int off_min = 9 * 60;
  if (pos < s.size()) {
    char c = s[pos];
    if (c == 'Z') off_min = 0;
    else if ((c == '+' || c == '-') && s.size() >= pos + 6) {
      int oh = std::atoi(s.substr(pos + 1, 2).c_str()), om = std::atoi(s.substr(pos + 4, 2).c_str());
      off_min = (oh * 60 + om) * (c == '-' ? -1 : 1);
    }
  }
  return Instant(duration_cast<seconds>(day->time_since_epoch())) + hours(hh) + minutes(mm) + seconds(ss) -
         minutes(off_min);
}
}  // namespace

Instant now() {
  if (const auto& pinned = pinned_instant()) return Instant(seconds(*pinned));
  {
    std::lock_guard<std::mutex> lk(g_now_mu);
    if (g_fixed) return *g_fixed;
  }
  static const std::optional<Instant> frozen = parse_iso_instant(env_or("TESSARO_NOW", ""));
  if (frozen) return *frozen;
  return floor<seconds>(system_clock::now());
}

void set_now_for_tests(std::optional<Instant> fixed) {
  std::lock_guard<std::mutex> lk(g_now_mu);
  g_fixed = fixed;
}

// ---- civil time ---------------------------------------------------------------

Day Civil::date() const { return sys_days(year_month_day(std::chrono::year(year), std::chrono::month(unsigned(month)), std::chrono::day(unsigned(day)))); }

std::string Civil::date_str() const { return day_str(date()); }

std::string Civil::hm() const {
  char b[8];
  std::snprintf(b, sizeof b, "%02d:%02d", hour, minute);
  return b;
}

std::string day_str(Day d) {
  year_month_day ymd(d);
  char b[16];
  std::snprintf(b, sizeof b, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
  return b;
}

std::optional<Day> parse_day(const std::string& raw) {
  std::string s = fmt::trim(raw);
  int y, m, d;
  char extra;
  if (s.size() == 8 && std::all_of(s.begin(), s.end(), ::isdigit)) {
    y = std::atoi(s.substr(0, 4).c_str());
    m = std::atoi(s.substr(4, 2).c_str());
    d = std::atoi(s.substr(6, 2).c_str());
  } else if (s.size() >= 10 && (s[4] == '-' || s[4] == '.' || s[4] == '/') && s[7] == s[4]) {
    if (std::sscanf(s.substr(0, 10).c_str(), "%4d%c%2d%*c%2d", &y, &extra, &m, &d) != 4) return std::nullopt;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
      if (!std::isdigit((unsigned char)s[size_t(i)])) return std::nullopt;
  } else {
    return std::nullopt;
  }
  year_month_day ymd{std::chrono::year(y), std::chrono::month(unsigned(m)), std::chrono::day(unsigned(d))};
  if (!ymd.ok()) return std::nullopt;
  return sys_days(ymd);
}

int weekday(Day d) { return int((std::chrono::weekday(d).c_encoding() + 6) % 7); }

namespace {
const date::time_zone* zone_of(const std::string& name) {
  try {
    return date::locate_zone(name);
  } catch (const std::exception&) {
    throw ValueError("unknown time zone: " + name);
  }
}

Civil civil_of(date::local_seconds ls) {
  auto ld = floor<days>(ls);
  year_month_day ymd{sys_days(ld.time_since_epoch())};
  auto tod = ls - ld;
  Civil c;
  c.year = int(ymd.year());
  c.month = int(unsigned(ymd.month()));
  c.day = int(unsigned(ymd.day()));
  long secs = long(duration_cast<seconds>(tod).count());
  c.hour = int(secs / 3600);
  c.minute = int(secs / 60 % 60);
  c.second = int(secs % 60);
  c.weekday = weekday(sys_days(ld.time_since_epoch()));
  return c;
}
}  // namespace

Civil to_zone(Instant t, const std::string& tz) { return civil_of(zone_of(tz)->to_local(t)); }
Civil to_kst(Instant t) { return to_zone(t, KST); }
Civil to_ny(Instant t) { return to_zone(t, NEW_YORK); }

std::string iso_in_zone(Instant t, const std::string& tz) {
  const auto* z = zone_of(tz);
  auto info = z->get_info(t);
  Civil c = civil_of(z->to_local(t));
  long off = long(info.offset.count());
  char b[40];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", c.year, c.month, c.day, c.hour, c.minute,
                c.second, off < 0 ? '-' : '+', std::labs(off) / 3600, std::labs(off) / 60 % 60);
  return b;
}
std::string iso_kst(Instant t) { return iso_in_zone(t, KST); }

Instant from_zone(Day d, int hour, int minute, const std::string& tz) {
  date::local_seconds ls{duration_cast<seconds>(d.time_since_epoch()) + hours(hour) + minutes(minute)};
  return zone_of(tz)->to_sys(ls, date::choose::earliest);
}
Instant from_kst(Day d, int hour, int minute) { return from_zone(d, hour, minute, KST); }

namespace {
const char* kZoneInfo = "/usr/share/zoneinfo";

// Links of the zone database as its compiled text lists them ("L Asia/Seoul ROK").
const std::map<std::string, std::string>& zone_links() {
  static const std::map<std::string, std::string> links = [] {
    std::map<std::string, std::string> out;
    auto text = read_file(std::filesystem::path(kZoneInfo) / "tzdata.zi");
    if (!text) return out;
    size_t pos = 0;
    while (pos < text->size()) {
      size_t end = text->find('\n', pos);
      if (end == std::string::npos) end = text->size();
      if (text->compare(pos, 2, "L ") == 0) {
        std::string line = text->substr(pos + 2, end - pos - 2);
        auto sp = line.find(' ');
        if (sp != std::string::npos) out[fmt::trim(line.substr(sp + 1))] = fmt::trim(line.substr(0, sp));
      }
      pos = end + 1;
    }
    return out;
  }();
  return links;
}

bool is_zone(const std::string& name) {
  try {
    date::locate_zone(name);
    return true;
  } catch (...) {
    return false;
  }
}

// The zone database's own name for a zone: aliases such as "Korea" or "ROK"
// resolve to "Asia/Seoul". Empty when the name is not a zone.
std::string canonical_zone(const std::string& name) {
  if (name.empty()) return "";
  if (auto it = zone_links().find(name); it != zone_links().end() && is_zone(it->second)) return it->second;
  // A link installed as a symbolic link beside its target.
  std::error_code ec;
  std::filesystem::path p = std::filesystem::path(kZoneInfo) / name;
  if (std::filesystem::is_symlink(p, ec)) {
    auto target = std::filesystem::canonical(p, ec).string();
    auto pos = target.find("zoneinfo/");
    if (!ec && pos != std::string::npos && is_zone(target.substr(pos + 9))) return target.substr(pos + 9);
  }
  try {
    return std::string(date::locate_zone(name)->name());
  } catch (...) {
  }
  // Korea's own backward names, which some distributions ship only in a legacy package.
  if (name == "Korea" || name == "ROK") return KST;
  return "";
}
// A POSIX TZ string without daylight saving ("KST-9": a name, then the hours to
// add to local time for UTC) as a zone of the database: Korea's own name with
// Korea's offset is Asia/Seoul; another whole-hour offset is the Etc/GMT zone of
// that offset. Empty when the text is no such string (rules with a DST part name
// no single zone).
std::string posix_tz_zone(const std::string& tz) {
  size_t i = 0;
  std::string name;
  if (i < tz.size() && tz[i] == '<') {
    size_t close = tz.find('>', i);
    if (close == std::string::npos) return "";
    name = tz.substr(i + 1, close - i - 1);
    i = close + 1;
  } else {
    while (i < tz.size() && std::isalpha((unsigned char)tz[i])) name.push_back(tz[i++]);
    if (name.size() < 3) return "";
  }
  int sign = 1;
  if (i < tz.size() && (tz[i] == '+' || tz[i] == '-')) sign = tz[i++] == '-' ? -1 : 1;
  size_t digits = i;
  int hours = 0;
  while (i < tz.size() && std::isdigit((unsigned char)tz[i])) hours = hours * 10 + (tz[i++] - '0');
  if (i == digits || hours > 24) return "";
  int minutes = 0;
  if (i < tz.size() && tz[i] == ':') {
    ++i;
    size_t m0 = i;
    while (i < tz.size() && std::isdigit((unsigned char)tz[i])) minutes = minutes * 10 + (tz[i++] - '0');
    if (i == m0) return "";
    if (i < tz.size() && tz[i] == ':') {   // seconds: read and ignored
      ++i;
      while (i < tz.size() && std::isdigit((unsigned char)tz[i])) ++i;
    }
  }
  if (i != tz.size()) return "";
  const int west = sign * (hours * 60 + minutes);   // minutes to add to local time for UTC
  if (west == -9 * 60 && (name == "KST" || name == "+09")) return KST;
  if (minutes != 0) return "";
  if (west == 0) return "Etc/UTC";
  // Etc/GMT+5 is five hours west of Greenwich, as in POSIX.
  std::string z = "Etc/GMT" + std::string(west > 0 ? "+" : "-") + std::to_string(std::abs(west) / 60);
  return is_zone(z) ? z : "";
}
}  // namespace

std::string viewer_zone() {
  std::string tz = env_or("TZ", "");
  if (!tz.empty() && tz[0] == ':') tz = tz.substr(1);
  if (auto pos = tz.find("zoneinfo/"); pos != std::string::npos) tz = tz.substr(pos + 9);
  if (auto z = canonical_zone(tz); !z.empty()) return z;
  if (auto z = posix_tz_zone(tz); !z.empty()) return z;
  std::error_code ec;
  auto target = std::filesystem::read_symlink("/etc/localtime", ec);
  if (!ec) {
    std::string s = target.string();
    auto pos = s.find("zoneinfo/");
    if (pos != std::string::npos) {
      std::string z = canonical_zone(s.substr(pos + 9));
      return z.empty() ? s.substr(pos + 9) : z;
    }
  }
  if (auto tzfile = read_file("/etc/timezone")) {
    std::string z = fmt::trim(*tzfile);
    if (!z.empty()) {
      std::string c = canonical_zone(z);
      return c.empty() ? z : c;
    }
  }
  return KST;
}

}  // namespace tessaro::mt
