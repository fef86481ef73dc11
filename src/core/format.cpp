#include "core/format.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tessaro::fmt {

static std::string group_digits(const std::string& digits) {
  std::string out;
  int n = int(digits.size());
  for (int i = 0; i < n; ++i) {
    out.push_back(digits[size_t(i)]);
    int left = n - 1 - i;
    if (left > 0 && left % 3 == 0) out.push_back(',');
  }
  return out;
}

std::string thousands(long long v, bool plus) {
  bool neg = v < 0;
  unsigned long long mag = neg ? 0ULL - (unsigned long long)v : (unsigned long long)v;
  std::string s = group_digits(std::to_string(mag));
  if (neg) return "-" + s;
  if (plus && v > 0) return "+" + s;
  return s;
}

double round_to(double v, int decimals) {
  // Format with enough digits then re-read: matches Python's round() on the
  // decimal value closely enough for display.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return std::strtod(buf, nullptr);
}

long long round_ll(double v) { return (long long)std::nearbyint(v); }

std::string fixed(double v, int decimals, bool commas, bool plus) {
  if (std::isnan(v)) return "nan";
  char buf[400];   // room for every digit of the largest double
  std::snprintf(buf, sizeof buf, "%.*f", std::clamp(decimals, 0, 60), std::fabs(v));
  std::string s = buf;
  // "-0.00" must not show a sign.
  bool is_zero = true;
  for (char c : s)
    if (c >= '1' && c <= '9') is_zero = false;
  if (commas) {
    auto dot = s.find('.');
    std::string ip = s.substr(0, dot), fp = dot == std::string::npos ? "" : s.substr(dot);
    s = group_digits(ip) + fp;
  }
  if (v < 0 && !is_zero) return "-" + s;
  if (plus && !is_zero && v > 0) return "+" + s;
  if (plus && is_zero) return "+" + s;  // Python: format(0.0, "+.2f") -> "+0.00"
  return s;
}

std::string pyfloat(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

size_t cp_len(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string cp_cut(std::string_view s, size_t n) {
  size_t count = 0, i = 0;
  for (; i < s.size(); ++i) {
    unsigned char c = (unsigned char)s[i];
    if ((c & 0xC0) != 0x80) {
      if (count == n) break;
      ++count;
    }
  }
  return std::string(s.substr(0, i));
}

std::string cp_truncate(std::string_view s, size_t n, std::string_view ellipsis) {
  if (cp_len(s) <= n) return std::string(s);
  return cp_cut(s, n) + std::string(ellipsis);
}

std::string trim(std::string_view s) {
  auto is_ws = [](unsigned char c) { return std::isspace(c) != 0; };
  size_t b = 0, e = s.size();
  while (b < e && is_ws((unsigned char)s[b])) ++b;
  while (e > b && is_ws((unsigned char)s[e - 1])) --e;
  // Also strip UTF-8 no-break spaces (C2 A0) and ideographic spaces at the ends.
  std::string out(s.substr(b, e - b));
  auto strip = [&](const char* seq) {
    size_t L = std::strlen(seq);
    bool changed = true;
    while (changed) {
      changed = false;
      if (out.size() >= L && out.compare(0, L, seq) == 0) { out.erase(0, L); changed = true; }
      if (out.size() >= L && out.compare(out.size() - L, L, seq) == 0) { out.erase(out.size() - L); changed = true; }
    }
  };
  strip("\xC2\xA0");
  strip("\xE3\x80\x80");
  if (!out.empty() && (std::isspace((unsigned char)out.front()) || std::isspace((unsigned char)out.back())))
    return trim(out);
  return out;
}

std::string lower(std::string_view s) {
  std::string o(s);
  for (auto& c : o) c = char(std::tolower((unsigned char)c));
  return o;
}
std::string upper(std::string_view s) {
  std::string o(s);
  for (auto& c : o) c = char(std::toupper((unsigned char)c));
  return o;
}
bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends_with(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}
std::string replace_all(std::string s, std::string_view from, std::string_view to) {
  if (from.empty()) return s;
  size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
  return s;
}
std::string join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

std::optional<double> parse_number(std::string_view raw) {
  std::string s = trim(raw);
  if (s.empty()) return std::nullopt;
  // Direction marks used by the sites: ▲ (up) ▼ (down) ↑ ↓ 상승 하락 보합.
  bool neg = false;
  auto eat = [&](const char* mark, bool negative) {
    size_t L = std::strlen(mark);
    if (s.compare(0, L, mark) == 0) {
      s.erase(0, L);
      if (negative) neg = true;
      s = trim(s);
      return true;
    }
    return false;
  };
  eat("▲", false) || eat("▼", true) || eat("↑", false) || eat("↓", true) || eat("상승", false) ||
      eat("하락", true) || eat("상한", false) || eat("하한", true) || eat("보합", false);
  std::string t;
  for (char c : s) {
    if (c == ',' || c == ' ') continue;
    t.push_back(c);
  }
  // Units after the number.
  for (const char* unit : {"%", "원", "주", "억", "배", "x", "X"})
    if (ends_with(t, unit)) t.erase(t.size() - std::strlen(unit));
  if (t.empty() || t == "-" || t == "+" || t == "N/A" || t == "n/a" || t == "NaN" || t == "nan" ||
      t == "null" || t == "--")
    return std::nullopt;
  if (t[0] == '+') t.erase(0, 1);
  if (!t.empty() && t[0] == '-') {
    neg = !neg;
    t.erase(0, 1);
  }
  if (t.empty()) return std::nullopt;
  for (char c : t)
    if (!(std::isdigit((unsigned char)c) || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+'))
      return std::nullopt;
  double v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return std::nullopt;
  if (std::isnan(v) || std::isinf(v)) return std::nullopt;
  return neg ? -v : v;
}

std::optional<long long> parse_int(std::string_view s) {
  auto v = parse_number(s);
  if (!v) return std::nullopt;
  return (long long)std::llround(*v);
}

}  // namespace tessaro::fmt
