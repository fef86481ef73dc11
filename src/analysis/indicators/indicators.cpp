#include "analysis/indicators/indicators.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>

#include "core/errors.hpp"
#include "core/format.hpp"

namespace tessaro::indicators {

const std::vector<std::string> AVAILABLE_INDICATORS = {
    "ma",     "ma_phase", "ma_slope", "ma_cross", "rsi",    "macd",
    "bollinger", "stochastic", "obv",  "volume",   "position", "candle",
    "support_resistance", "volume_profile", "price_channel"};

const std::map<std::string, int> BARS_PER_YEAR = {{"day", 252}, {"week", 52}, {"month", 12}};

bool is_available(const std::string& name) {
  return std::find(AVAILABLE_INDICATORS.begin(), AVAILABLE_INDICATORS.end(), name) !=
         AVAILABLE_INDICATORS.end();
}

std::optional<int> bars_per_year(const std::string& timeframe) {
  auto it = BARS_PER_YEAR.find(timeframe);
  if (it == BARS_PER_YEAR.end()) return std::nullopt;
  return it->second;
}

std::vector<json> param_items(const json& v) {
  std::vector<json> items;
  if (v.is_array()) {
    for (const auto& x : v) items.push_back(x);
  } else if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    size_t start = 0;
    while (true) {
      size_t c = s.find(',', start);
      std::string part = fmt::trim(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
      if (!part.empty()) items.push_back(part);
      if (c == std::string::npos) break;
      start = c + 1;
    }
  } else {
    items.push_back(v);
  }
  return items;
}

std::optional<long long> param_whole(const json& v) {
  if (v.is_number_integer() || v.is_number_unsigned()) return v.get<long long>();
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > 9e15) return std::nullopt;
    return (long long)std::trunc(d);
  }
  if (v.is_string()) {
    std::string s = fmt::trim(v.get<std::string>());
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (i >= s.size() || s.size() > 16) return std::nullopt;
    for (size_t k = i; k < s.size(); ++k)
      if (s[k] < '0' || s[k] > '9') return std::nullopt;
    return std::stoll(s);
  }
  return std::nullopt;
}

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline bool ok(double x) { return std::isfinite(x); }
json r2(double x) { return ok(x) ? json(fmt::round_to(x, 2)) : json(nullptr); }
json r4(double x) { return ok(x) ? json(fmt::round_to(x, 4)) : json(nullptr); }
double last(const std::vector<double>& v, size_t back = 0) {
  return v.size() > back ? v[v.size() - 1 - back] : NaN;
}
double pct(double a, double b) { return (ok(a) && ok(b) && b != 0) ? (a / b - 1.0) * 100.0 : NaN; }

double cell(const json& row, const char* key) {
  auto it = row.find(key);
  if (it == row.end()) return NaN;
  if (it->is_number()) return it->get<double>();
  if (it->is_string()) {
    auto v = fmt::parse_number(it->get<std::string>());
    return v ? *v : NaN;
  }
  return NaN;
}

std::string date_text(const json& row) {
  auto it = row.find("date");
  if (it == row.end() || it->is_null() || (it->is_string() && it->get<std::string>().empty()))
    it = row.find("datetime");
  if (it == row.end() || it->is_null()) return "";
  std::string s = it->is_string() ? it->get<std::string>() : it->dump();
  if (s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
  return s;
}

// Parameter reader for one indicator's override mapping.
struct Opts {
  std::string ind;
  const json* o = nullptr;

  const json* find(const char* key) const {
    if (!o || !o->is_object()) return nullptr;
    auto it = o->find(key);
    if (it == o->end() || it->is_null()) return nullptr;
    return &*it;
  }
  int whole(const char* key, int def, int lo, int hi = 100000) const {
    const json* v = find(key);
    if (!v) return def;
    auto w = param_whole(*v);
    if (!w) throw ValueError(ind + "." + key + " 값은 정수여야 합니다: " + v->dump());
    if (*w < lo || *w > hi)
      throw ValueError(ind + "." + key + " 값은 " + std::to_string(lo) + "~" + std::to_string(hi) +
                       " 범위여야 합니다: " + std::to_string(*w));
    return (int)*w;
  }
  double real(const char* key, double def, double lo, double hi) const {
    const json* v = find(key);
    if (!v) return def;
    std::optional<double> d;
    if (v->is_number()) d = v->get<double>();
    else if (v->is_string()) d = fmt::parse_number(v->get<std::string>());
    if (!d || !ok(*d)) throw ValueError(ind + "." + key + " 값은 숫자여야 합니다: " + v->dump());
    if (*d < lo || *d > hi) throw ValueError(ind + "." + key + " 값이 범위를 벗어났습니다: " + v->dump());
    return *d;
  }
  std::vector<int> whole_list(const char* key, const std::vector<int>& def) const {
    const json* v = find(key);
    if (!v) return def;
    std::vector<int> out;
    for (const auto& x : param_items(*v)) {
      auto w = param_whole(x);
      if (!w || *w < 1 || *w > 1000) throw ValueError(ind + "." + key + " 값은 1~1000 정수 목록이어야 합니다: " + v->dump());
      if (std::find(out.begin(), out.end(), (int)*w) == out.end()) out.push_back((int)*w);
    }
    if (out.empty()) throw ValueError(ind + "." + key + " 목록이 비어 있습니다");
    return out;
  }
};

// What all indicators of one call share: the columns, the timeframe, and the
// moving averages already computed.
struct Ctx {
  const Series& s;
  std::string timeframe;
  std::string currency;
  std::map<int, std::vector<double>> ma_cache;

  size_t n() const { return s.size(); }
  const std::vector<double>& ma(int p) {
    auto it = ma_cache.find(p);
    if (it != ma_cache.end()) return it->second;
    return ma_cache.emplace(p, sma(s.close, p)).first->second;
  }
  std::string ago_key() const { return timeframe == "day" ? "days_ago" : "bars_ago"; }
  std::string last_date() const { return s.dates.empty() ? "" : s.dates.back(); }
};

std::string ma_name(int p, const std::string& tf) {
  if (tf == "day") return std::to_string(p) + "일선";
  if (tf == "week") return std::to_string(p) + "주선";
  if (tf == "month") return std::to_string(p) + "개월선";
  return std::to_string(p) + "봉선";
}

json insufficient(size_t required, size_t available) {
  return json{{"required", required}, {"available", available}};
}

// Most recent index i (i >= from) where sign(a - b) changed to a non-zero sign
// different from the previous non-zero one. Returns (index, +1 up / -1 down).
std::pair<long, int> last_cross(const std::vector<double>& a, const std::vector<double>& b, size_t from) {
  int prev = 0;
  std::pair<long, int> found{-1, 0};
  for (size_t i = from; i < a.size() && i < b.size(); ++i) {
    if (!ok(a[i]) || !ok(b[i])) continue;
    double d = a[i] - b[i];
    int sg = d > 0 ? 1 : (d < 0 ? -1 : 0);
    if (sg == 0) continue;
    if (prev != 0 && sg != prev) found = {(long)i, sg};
    prev = sg;
  }
  return found;
}

size_t first_finite(const std::vector<double>& v) {
  for (size_t i = 0; i < v.size(); ++i)
    if (ok(v[i])) return i;
  return v.size();
}

// ---- snapshot indicators ----------------------------------------------------

json ind_ma(Ctx& c, const Opts& o) {
  auto periods = o.whole_list("periods", {5, 20, 60, 120, 240});
  double close = last(c.s.close);
  json out{{"date", c.last_date()}, {"close", r2(close)}};
  json vs = json::object();
  for (int p : periods) {
    double m = c.n() >= (size_t)p ? last(c.ma(p)) : NaN;
    out["ma" + std::to_string(p)] = r2(m);
    vs["ma" + std::to_string(p)] = r2(pct(close, m));
  }
  out["close_vs_ma_pct"] = vs;
  return out;
}

json ind_ma_phase(Ctx& c, const Opts&) {
  const std::vector<int> periods = {5, 20, 60, 120};
  double close = last(c.s.close);
  std::vector<std::pair<int, double>> used;
  std::vector<std::string> missing;
  json mas = json::object();
  for (int p : periods) {
    double m = c.n() >= (size_t)p ? last(c.ma(p)) : NaN;
    mas["ma" + std::to_string(p)] = r2(m);
    if (ok(m)) used.emplace_back(p, m);
    else missing.push_back(std::to_string(p));
  }
  json out{{"date", c.last_date()}, {"close", r2(close)}, {"mas", mas}};
  if (used.size() < 2) {
    out["phase"] = nullptr;
    out["phase_label"] = "판정 불가 (이동평균을 2개 이상 계산할 봉이 없습니다, 보유 " + std::to_string(c.n()) + "봉)";
    out["order"] = nullptr;
    out["close_above_count"] = nullptr;
    out["spread_pct"] = nullptr;
    out["insufficient"] = insufficient(20, c.n());
    return out;
  }
  bool up = true, down = true;
  for (size_t i = 1; i < used.size(); ++i) {
    if (!(used[i - 1].second > used[i].second)) up = false;
    if (!(used[i - 1].second < used[i].second)) down = false;
  }
  auto sorted = used;
  std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.second > b.second; });
  std::string order;
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i) order += (sorted[i - 1].second == sorted[i].second) ? "=" : ">";
    order += std::to_string(sorted[i].first);
  }
  std::string phase = up ? "bullish_alignment" : (down ? "bearish_alignment" : "mixed");
  std::string label = up ? "정배열" : (down ? "역배열" : "혼조");
  label += " (" + order;
  if (!missing.empty()) label += ", " + fmt::join(missing, "·") + " 미산출";
  label += ")";
  int above = 0;
  double hi = used[0].second, lo = used[0].second;
  for (auto& [p, m] : used) {
    if (close > m) ++above;
    hi = std::max(hi, m);
    lo = std::min(lo, m);
  }
  out["phase"] = phase;
  out["phase_label"] = label;
  out["order"] = order;
  out["close_above_count"] = above;
  out["close_above_all"] = above == (int)used.size();
  out["spread_pct"] = r2(close > 0 ? (hi - lo) / close * 100.0 : NaN);
  return out;
}

json ind_ma_slope(Ctx& c, const Opts&) {
  const std::vector<std::pair<int, int>> windows = {{20, 10}, {60, 20}, {120, 20}};
  json out = json::object();
  for (auto [p, k] : windows) {
    json e{{"over_bars", k}};
    double now = NaN, then = NaN;
    if (c.n() >= (size_t)(p + k)) {
      const auto& m = c.ma(p);
      now = last(m);
      then = last(m, k);
    }
    double sl = pct(now, then);
    e["ma"] = r2(now);
    e["slope_pct"] = r2(sl);
    if (!ok(sl)) {
      e["direction"] = nullptr;
      e["direction_label"] = nullptr;
      e["insufficient"] = insufficient(p + k, c.n());
    } else {
      e["direction"] = sl > 0.5 ? "up" : (sl < -0.5 ? "down" : "flat");
      e["direction_label"] = sl > 0.5 ? "상승" : (sl < -0.5 ? "하락" : "보합");
    }
    out["ma" + std::to_string(p)] = e;
  }
  return out;
}

json ind_ma_cross(Ctx& c, const Opts&) {
  json out = json::object();
  out["ma20_60"] = compute_ma_cross(c.s.close, c.s.dates, 20, 60, c.timeframe);
  out["ma60_120"] = compute_ma_cross(c.s.close, c.s.dates, 60, 120, c.timeframe);
  return out;
}

json ind_rsi(Ctx& c, const Opts& o) {
  int period = o.whole("period", 14, 2, 500);
  auto r = rsi_series(c.s.close, period);
  double v = last(r), prev = last(r, 1);
  json out{{"period", period}, {"date", c.last_date()}, {"value", r2(v)}, {"prev", r2(prev)}};
  if (!ok(v)) {
    out["zone"] = nullptr;
    out["zone_label"] = nullptr;
    if (c.n() < (size_t)period + 1) out["insufficient"] = insufficient(period + 1, c.n());
  } else {
    out["zone"] = v >= 70 ? "overbought" : (v <= 30 ? "oversold" : "neutral");
    out["zone_label"] = v >= 70 ? "과매수(70 이상)" : (v <= 30 ? "과매도(30 이하)" : "중립");
  }
  return out;
}

json ind_macd(Ctx& c, const Opts& o) {
  int fast = o.whole("fast", 12, 1, 500), slow = o.whole("slow", 26, 2, 500), sig = o.whole("signal", 9, 1, 500);
  if (fast >= slow) throw ValueError("macd.fast 는 macd.slow 보다 작아야 합니다");
  auto ef = ema(c.s.close, fast), es = ema(c.s.close, slow);
  std::vector<double> m(c.n(), NaN);
  for (size_t i = 0; i < c.n(); ++i)
    if (ok(ef[i]) && ok(es[i])) m[i] = ef[i] - es[i];
  auto sg = ema(m, sig);
  std::vector<double> h(c.n(), NaN);
  for (size_t i = 0; i < c.n(); ++i)
    if (ok(m[i]) && ok(sg[i])) h[i] = m[i] - sg[i];
  double mv = last(m), sv = last(sg), hv = last(h), hp = last(h, 1);
  json out{{"fast", fast}, {"slow", slow}, {"signal_period", sig}, {"date", c.last_date()},
           {"macd", r2(mv)}, {"signal", r2(sv)}, {"histogram", r2(hv)}, {"prev_histogram", r2(hp)}};
  out["state"] = ok(hv) ? json(hv > 0 ? "above_signal" : (hv < 0 ? "below_signal" : "on_signal")) : json(nullptr);
  out["zero_line"] = ok(mv) ? json(mv > 0 ? "above" : (mv < 0 ? "below" : "on")) : json(nullptr);
  out["histogram_trend"] = (ok(hv) && ok(hp))
                               ? json(std::fabs(hv) > std::fabs(hp) ? "expanding" : "contracting")
                               : json(nullptr);
  auto [idx, dir] = last_cross(m, sg, 0);
  if (idx >= 0) {
    out["cross"] = dir > 0 ? "golden_cross" : "dead_cross";
    out["cross_label"] = dir > 0 ? "MACD 골든크로스(시그널 상향 돌파)" : "MACD 데드크로스(시그널 하향 돌파)";
    out["cross_date"] = c.s.dates[idx];
    out[c.ago_key()] = (long)c.n() - 1 - idx;
  } else {
    out["cross"] = nullptr;
    out["cross_label"] = ok(hv) ? json("조회 구간 내 교차 없음") : json(nullptr);
  }
  if (!ok(hv)) out["insufficient"] = insufficient(slow + sig, c.n());
  return out;
}

json ind_bollinger(Ctx& c, const Opts& o) {
  int period = o.whole("period", 20, 2, 500);
  double k = o.real("k", o.real("std", 2.0, 0.1, 10.0), 0.1, 10.0);
  json out{{"period", period}, {"k", k}, {"date", c.last_date()}};
  size_t n = c.n();
  double close = last(c.s.close);
  if (n < (size_t)period) {
    for (auto key : {"upper", "middle", "lower", "bandwidth_pct", "percent_b", "zone", "position"}) out[key] = nullptr;
    out["insufficient"] = insufficient(period, n);
    return out;
  }
  double mid = last(c.ma(period));
  double ss = 0;
  for (size_t i = n - period; i < n; ++i) ss += (c.s.close[i] - mid) * (c.s.close[i] - mid);
  double sd = std::sqrt(ss / period);   // population standard deviation
  double up = mid + k * sd, lo = mid - k * sd;
  out["upper"] = r2(up);
  out["middle"] = r2(mid);
  out["lower"] = r2(lo);
  out["close"] = r2(close);
  out["bandwidth_pct"] = r2(mid != 0 ? (up - lo) / mid * 100.0 : NaN);
  out["percent_b"] = r4(up > lo ? (close - lo) / (up - lo) : NaN);
  const char* zone;
  const char* label;
  if (close > up) zone = "above_upper", label = "상단밴드 위";
  else if (close >= mid) zone = "upper_half", label = "중심선~상단밴드";
  else if (close >= lo) zone = "lower_half", label = "하단밴드~중심선";
  else zone = "below_lower", label = "하단밴드 아래";
  out["zone"] = zone;
  out["position"] = label;
  return out;
}

json ind_stochastic(Ctx& c, const Opts& o) {
  int kp = o.whole("k_period", 12, 1, 500), skp = o.whole("slow_k_period", 5, 1, 500),
      dp = o.whole("d_period", 3, 1, 500);
  size_t n = c.n();
  std::vector<double> fast(n, NaN);
  for (size_t i = (size_t)kp - 1; i < n; ++i) {
    double hh = -INFINITY, ll = INFINITY;
    for (size_t j = i + 1 - kp; j <= i; ++j) {
      hh = std::max(hh, c.s.high[j]);
      ll = std::min(ll, c.s.low[j]);
    }
    if (ok(hh) && ok(ll) && hh > ll) fast[i] = (c.s.close[i] - ll) / (hh - ll) * 100.0;
  }
  auto slow_k = sma(fast, skp);
  auto slow_d = sma(slow_k, dp);
  double kv = last(slow_k), dv = last(slow_d);
  json out{{"k_period", kp}, {"slow_k_period", skp}, {"d_period", dp}, {"date", c.last_date()},
           {"k", r2(kv)}, {"d", r2(dv)}, {"prev_k", r2(last(slow_k, 1))}, {"prev_d", r2(last(slow_d, 1))}};
  if (ok(kv)) {
    out["zone"] = kv >= 80 ? "overbought" : (kv <= 20 ? "oversold" : "neutral");
    out["zone_label"] = kv >= 80 ? "과매수(80 이상)" : (kv <= 20 ? "과매도(20 이하)" : "중립");
  } else {
    out["zone"] = nullptr;
    out["zone_label"] = nullptr;
  }
  out["state"] = (ok(kv) && ok(dv)) ? json(kv > dv ? "k_above_d" : (kv < dv ? "k_below_d" : "k_equals_d"))
                                    : json(nullptr);
  if (!ok(dv) && n < (size_t)(kp + skp + dp)) out["insufficient"] = insufficient(kp + skp + dp, n);
  // Enough bars, yet no %K: the highest high equalled the lowest low in a window
  // the last %K averages (no price movement, e.g. a trading halt). The stochastic
  // is undefined there; it is said so, never left as a silent null.
  if (!ok(kv) && n >= (size_t)(kp + skp - 1)) {
    size_t flat = 0;
    for (size_t i = n - (size_t)skp; i < n; ++i)
      if (!ok(fast[i])) ++flat;
    if (flat > 0) {
      out["unavailable_reason"] = "flat_range";
      out["note"] = "최근 " + std::to_string(kp) + "봉 구간의 최고가와 최저가가 같아(가격 변동 없음·거래정지 등) %K 를 계산할 수 "
                    "없습니다 - 0 이나 50 이 아니라 정의되지 않는 값입니다.";
    }
  }
  return out;
}

json ind_obv(Ctx& c, const Opts& o) {
  int w = o.whole("window", 20, 1, 1000);
  size_t n = c.n();
  std::vector<double> obv(n, NaN);
  int missing = 0;
  double acc = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      double v = c.s.volume[i];
      if (!ok(v)) ++missing;
      else if (c.s.close[i] > c.s.close[i - 1]) acc += v;
      else if (c.s.close[i] < c.s.close[i - 1]) acc -= v;
    }
    obv[i] = acc;
  }
  json out{{"window", w}, {"date", c.last_date()}, {"basis", "cumulative_from_first_bar"}};
  out["value"] = n ? json(fmt::round_to(acc, 0)) : json(nullptr);
  if (n < (size_t)w + 1) {
    for (auto key : {"change_window", "price_change_pct", "trend", "trend_label", "divergence", "divergence_label"})
      out[key] = nullptr;
    out["insufficient"] = insufficient(w + 1, n);
  } else {
    double ch = obv[n - 1] - obv[n - 1 - w];
    double pc = pct(c.s.close[n - 1], c.s.close[n - 1 - w]);
    out["change_window"] = fmt::round_to(ch, 0);
    out["price_change_pct"] = r2(pc);
    out["trend"] = ch > 0 ? "rising" : (ch < 0 ? "falling" : "flat");
    out["trend_label"] = ch > 0 ? "OBV 상승" : (ch < 0 ? "OBV 하락" : "OBV 보합");
    if (pc > 0 && ch < 0) {
      out["divergence"] = "bearish";
      out["divergence_label"] = "약세 다이버전스 (가격 상승·OBV 하락)";
    } else if (pc < 0 && ch > 0) {
      out["divergence"] = "bullish";
      out["divergence_label"] = "강세 다이버전스 (가격 하락·OBV 상승)";
    } else {
      out["divergence"] = "none";
      out["divergence_label"] = "다이버전스 없음";
    }
  }
  if (missing) out["missing_volume_bars"] = missing;
  return out;
}

double mean_last(const std::vector<double>& v, size_t k) {
  if (v.size() < k || k == 0) return NaN;
  double s = 0;
  size_t cnt = 0;
  for (size_t i = v.size() - k; i < v.size(); ++i)
    if (ok(v[i])) s += v[i], ++cnt;
  return cnt ? s / cnt : NaN;
}

json ind_volume(Ctx& c, const Opts&) {
  size_t n = c.n();
  const auto& v = c.s.volume;
  double latest = last(v), close = last(c.s.close);
  json out{{"latest", ok(latest) ? json(fmt::round_to(latest, 0)) : json(nullptr)},
           {"latest_date", n ? json(c.last_date()) : json(nullptr)}};
  double a5 = mean_last(v, 5), a20 = mean_last(v, 20);
  out["avg_5b"] = ok(a5) ? json(fmt::round_to(a5, 0)) : json(nullptr);
  out["avg_20b"] = ok(a20) ? json(fmt::round_to(a20, 0)) : json(nullptr);
  out["ratio_vs_avg_20b"] = (ok(latest) && ok(a20) && a20 > 0) ? r2(latest / a20) : json(nullptr);
  // Rank of the last bar's volume among the last 252 bars (1 = largest).
  auto rank_in = [&](size_t window) -> json {
    if (!ok(latest) || n < window || window == 0) return nullptr;
    long r = 1;
    for (size_t i = n - window; i + 1 < n; ++i)
      if (ok(v[i]) && v[i] > latest) ++r;
    return r;
  };
  out["volume_rank_252b"] = rank_in(252);
  out["rank_lookback_bars"] = std::min<size_t>(n, 252);
  out["volume_rank_lookback"] = rank_in(std::min<size_t>(n, 252));
  bool usd = c.currency == "USD";
  double tv = (ok(latest) && ok(close)) ? close * latest : NaN;
  out[usd ? "trade_value_est_usd" : "trade_value_est_krw"] =
      ok(tv) ? json(usd ? fmt::round_to(tv, 2) : fmt::round_to(tv, 0)) : json(nullptr);
  out["avg_basis"] = "last_20_bars_including_latest";
  return out;
}

json ind_position(Ctx& c, const Opts&) {
  size_t n = c.n();
  auto bpy = bars_per_year(c.timeframe);
  json out{{"date", c.last_date()}, {"lookback_bars", n}};
  if (n == 0) {
    for (auto key : {"lookback_high", "lookback_low", "high_52w", "low_52w", "high_date", "low_date",
                     "bars_since_high", "bars_since_low", "pct_from_high", "pct_from_low", "range_position_pct",
                     "position_label"})
      out[key] = nullptr;
    return out;
  }
  auto extremes = [&](size_t from, size_t& hi_i, size_t& lo_i) {
    hi_i = lo_i = from;
    for (size_t i = from; i < n; ++i) {
      if (c.s.high[i] >= c.s.high[hi_i]) hi_i = i;   // latest bar of an equal high
      if (c.s.low[i] <= c.s.low[lo_i]) lo_i = i;
    }
  };
  size_t lh, ll;
  extremes(0, lh, ll);
  out["lookback_high"] = r2(c.s.high[lh]);
  out["lookback_low"] = r2(c.s.low[ll]);
  bool year = bpy && n >= (size_t)*bpy;
  size_t hi_i = lh, lo_i = ll;
  if (year) {
    extremes(n - *bpy, hi_i, lo_i);
    out["high_52w"] = r2(c.s.high[hi_i]);
    out["low_52w"] = r2(c.s.low[lo_i]);
  } else {
    out["high_52w"] = nullptr;
    out["low_52w"] = nullptr;
  }
  out["basis"] = year ? "52w" : "lookback";
  double hi = c.s.high[hi_i], lo = c.s.low[lo_i], close = last(c.s.close);
  out["high_date"] = c.s.dates[hi_i];
  out["low_date"] = c.s.dates[lo_i];
  out["bars_since_high"] = n - 1 - hi_i;
  out["bars_since_low"] = n - 1 - lo_i;
  out["pct_from_high"] = r2(pct(close, hi));
  out["pct_from_low"] = r2(pct(close, lo));
  double rp = hi > lo ? (close - lo) / (hi - lo) * 100.0 : NaN;
  out["range_position_pct"] = r2(rp);
  std::string basis = year ? "52주" : "조회 구간(" + std::to_string(n) + "봉)";
  if (!ok(rp)) out["position_label"] = nullptr;
  else if (rp >= 90) out["position_label"] = basis + " 고점권";
  else if (rp <= 10) out["position_label"] = basis + " 저점권";
  else if (rp >= 50) out["position_label"] = basis + " 중상단";
  else out["position_label"] = basis + " 중하단";
  return out;
}

json ind_candle(Ctx& c, const Opts&) {
  size_t n = c.n();
  json out{{"date", c.last_date()}};
  if (n == 0) {
    out["type"] = nullptr;
    out["type_label"] = nullptr;
    out["insufficient"] = insufficient(2, n);
    return out;
  }
  size_t i = n - 1;
  double o = c.s.open[i], h = c.s.high[i], l = c.s.low[i], cl = c.s.close[i];
  double body = std::fabs(cl - o), range = h - l;
  double upper = h - std::max(o, cl), lower = std::min(o, cl) - l;
  out["open"] = r2(o);
  out["high"] = r2(h);
  out["low"] = r2(l);
  out["close"] = r2(cl);
  out["color"] = cl > o ? "bullish" : (cl < o ? "bearish" : "neutral");
  out["color_label"] = cl > o ? "양봉" : (cl < o ? "음봉" : "보합");
  out["change_pct"] = n >= 2 ? r2(pct(cl, c.s.close[i - 1])) : json(nullptr);
  out["body_pct_of_range"] = range > 0 ? r2(body / range * 100) : json(nullptr);
  out["upper_shadow_pct_of_range"] = range > 0 ? r2(upper / range * 100) : json(nullptr);
  out["lower_shadow_pct_of_range"] = range > 0 ? r2(lower / range * 100) : json(nullptr);
  // Prior trend: close of the previous bar against the close five bars before it.
  int trend = 0;
  if (n >= 7) {
    double d = pct(c.s.close[i - 1], c.s.close[i - 6]);
    trend = d > 1.0 ? 1 : (d < -1.0 ? -1 : 0);
  }
  json pats = json::array();
  auto add = [&](const char* t, const char* lbl) { pats.push_back({{"type", t}, {"type_label", lbl}}); };
  if (n >= 2) {
    double po = c.s.open[i - 1], pc = c.s.close[i - 1];
    if (pc < po && cl > o && o <= pc && cl >= po && body > std::fabs(pc - po)) add("bullish_engulfing", "상승장악형");
    if (pc > po && cl < o && o >= pc && cl <= po && body > std::fabs(pc - po)) add("bearish_engulfing", "하락장악형");
  }
  if (range > 0) {
    if (body <= 0.1 * range) {
      add("doji", "도지");
    } else if (lower >= 2 * body && upper <= 0.5 * body) {
      if (trend < 0) add("hammer", "망치형(하락 후 아래꼬리)");
      else if (trend > 0) add("hanging_man", "교수형(상승 후 아래꼬리)");
      else add("long_lower_shadow", "긴 아래꼬리");
    } else if (upper >= 2 * body && lower <= 0.5 * body) {
      if (trend > 0) add("shooting_star", "유성형(상승 후 위꼬리)");
      else if (trend < 0) add("inverted_hammer", "역망치형(하락 후 위꼬리)");
      else add("long_upper_shadow", "긴 위꼬리");
    } else if (body >= 0.9 * range) {
      add(cl > o ? "bullish_marubozu" : "bearish_marubozu", cl > o ? "장대양봉(꼬리 거의 없음)" : "장대음봉(꼬리 거의 없음)");
    }
  }
  if (n >= 2) {
    if (l > c.s.high[i - 1]) add("gap_up", "상승 갭(전봉 고가 위)");
    else if (h < c.s.low[i - 1]) add("gap_down", "하락 갭(전봉 저가 아래)");
  }
  out["patterns"] = pats;
  if (pats.empty()) {
    out["type"] = "none";
    out["type_label"] = "특이 패턴 없음";
  } else {
    out["type"] = pats[0]["type"];
    out["type_label"] = pats[0]["type_label"];
  }
  if (n < 2) out["insufficient"] = insufficient(2, n);
  return out;
}

// ---- structural indicators --------------------------------------------------

json level_json(double price, int touches, const std::string& last_date, double close) {
  return json{{"price", r2(price)}, {"touches", touches}, {"last_date", last_date},
              {"distance_pct", r2(pct(price, close))}};
}

json ind_support_resistance(Ctx& c, const Opts& o) {
  int w = o.whole("window", 10, 1, 250);
  double tol_pct = o.real("tolerance_pct", 1.5, 0.0, 20.0);
  size_t n = c.n();
  json out{{"window", w}, {"tolerance_pct", tol_pct}, {"date", c.last_date()}};
  double close = last(c.s.close);
  struct Pivot { double price; size_t idx; };
  std::vector<Pivot> piv;
  if (n >= (size_t)(2 * w + 1)) {
    for (size_t i = w; i + w < n; ++i) {
      bool is_hi = true, is_lo = true;
      for (size_t j = i - w; j <= i + w && (is_hi || is_lo); ++j) {
        if (j == i) continue;
        // The first bar of a flat top/bottom is the pivot.
        if (c.s.high[j] > c.s.high[i] || (j < i && c.s.high[j] == c.s.high[i])) is_hi = false;
        if (c.s.low[j] < c.s.low[i] || (j < i && c.s.low[j] == c.s.low[i])) is_lo = false;
      }
      if (is_hi) piv.push_back({c.s.high[i], i});
      if (is_lo) piv.push_back({c.s.low[i], i});
    }
  } else {
    out["insufficient"] = insufficient(2 * w + 1, n);
  }
  std::sort(piv.begin(), piv.end(), [](auto& a, auto& b) { return a.price < b.price; });
  struct Level { double sum = 0; int touches = 0; size_t last_idx = 0; double mean() const { return sum / touches; } };
  std::vector<Level> levels;
  for (const auto& p : piv) {
    if (!levels.empty() && std::fabs(p.price / levels.back().mean() - 1.0) * 100.0 <= tol_pct) {
      auto& L = levels.back();
      L.sum += p.price;
      ++L.touches;
      L.last_idx = std::max(L.last_idx, p.idx);
    } else {
      levels.push_back({p.price, 1, p.idx});
    }
  }
  std::vector<const Level*> sup, res;
  for (const auto& L : levels) (L.mean() <= close ? sup : res).push_back(&L);
  std::sort(sup.begin(), sup.end(), [](auto a, auto b) { return a->mean() > b->mean(); });
  std::sort(res.begin(), res.end(), [](auto a, auto b) { return a->mean() < b->mean(); });
  json js = json::array(), jr = json::array();
  for (size_t i = 0; i < sup.size() && i < 3; ++i)
    js.push_back(level_json(sup[i]->mean(), sup[i]->touches, c.s.dates[sup[i]->last_idx], close));
  for (size_t i = 0; i < res.size() && i < 3; ++i)
    jr.push_back(level_json(res[i]->mean(), res[i]->touches, c.s.dates[res[i]->last_idx], close));
  out["close"] = r2(close);
  out["pivots_found"] = piv.size();
  out["supports"] = js;
  out["resistances"] = jr;
  out["nearest_support"] = js.empty() ? json(nullptr) : js[0];
  out["nearest_resistance"] = jr.empty() ? json(nullptr) : jr[0];
  return out;
}

json ind_volume_profile(Ctx& c, const Opts& o) {
  int bins = o.whole("bins", 10, 2, 100);
  size_t n = c.n();
  int lookback = o.whole("lookback", (int)std::max<size_t>(n, 1), 1, 100000);
  size_t from = n > (size_t)lookback ? n - lookback : 0;
  json out{{"bins", bins}, {"bars", n - from}, {"date", c.last_date()}};
  double lo = INFINITY, hi = -INFINITY, total = 0;
  for (size_t i = from; i < n; ++i) {
    lo = std::min(lo, c.s.low[i]);
    hi = std::max(hi, c.s.high[i]);
  }
  std::vector<double> vol(bins, 0.0);
  int missing = 0;
  if (n > from && hi > lo) {
    double width = (hi - lo) / bins;
    for (size_t i = from; i < n; ++i) {
      double v = c.s.volume[i];
      if (!ok(v)) { ++missing; continue; }
      double bl = c.s.low[i], bh = c.s.high[i];
      if (bh <= bl) {
        int b = std::min(bins - 1, (int)((bl - lo) / width));
        vol[b] += v;
      } else {
        // Spread the bar's volume evenly over its high-low range.
        int b0 = std::max(0, std::min(bins - 1, (int)((bl - lo) / width)));
        int b1 = std::max(0, std::min(bins - 1, (int)((bh - lo) / width)));
        for (int b = b0; b <= b1; ++b) {
          double a = std::max(bl, lo + b * width), z = std::min(bh, lo + (b + 1) * width);
          if (z > a) vol[b] += v * (z - a) / (bh - bl);
        }
      }
      total += v;
    }
  }
  if (missing) out["missing_volume_bars"] = missing;
  if (!(total > 0)) {
    for (auto key : {"range_low", "range_high", "poc", "value_area_low", "value_area_high", "close_position",
                     "close_position_label"})
      out[key] = nullptr;
    out["profile"] = json::array();
    if (n < 20) out["insufficient"] = insufficient(20, n);
    return out;
  }
  double width = (hi - lo) / bins;
  int poc = (int)(std::max_element(vol.begin(), vol.end()) - vol.begin());
  // Value area: from the point of control, add the larger neighbour until 70 %.
  int a = poc, z = poc;
  double acc = vol[poc];
  while (acc < 0.7 * total && (a > 0 || z < bins - 1)) {
    double left = a > 0 ? vol[a - 1] : -1, right = z < bins - 1 ? vol[z + 1] : -1;
    if (right >= left) acc += vol[++z];
    else acc += vol[--a];
  }
  double val = lo + a * width, vah = lo + (z + 1) * width, close = last(c.s.close);
  out["range_low"] = r2(lo);
  out["range_high"] = r2(hi);
  out["poc"] = r2(lo + (poc + 0.5) * width);
  out["poc_volume_pct"] = r2(vol[poc] / total * 100);
  out["value_area_low"] = r2(val);
  out["value_area_high"] = r2(vah);
  out["close"] = r2(close);
  out["close_vs_poc_pct"] = r2(pct(close, lo + (poc + 0.5) * width));
  if (close > vah) out["close_position"] = "above_value_area", out["close_position_label"] = "매물대(가치영역) 위";
  else if (close < val) out["close_position"] = "below_value_area", out["close_position_label"] = "매물대(가치영역) 아래";
  else out["close_position"] = "inside_value_area", out["close_position_label"] = "매물대(가치영역) 안";
  json prof = json::array();
  for (int b = 0; b < bins; ++b)
    prof.push_back({{"low", r2(lo + b * width)}, {"high", r2(lo + (b + 1) * width)}, {"volume_pct", r2(vol[b] / total * 100)}});
  out["profile"] = prof;
  if (n < 20) out["insufficient"] = insufficient(20, n);
  return out;
}

json ind_price_channel(Ctx& c, const Opts& o) {
  int period = o.whole("period", 20, 2, 1000);
  int atr_p = o.whole("atr_period", 14, 1, 500);
  size_t n = c.n();
  json out{{"period", period}, {"date", c.last_date()}};
  double close = last(c.s.close);
  auto chan = [&](size_t end_excl, double& up, double& lo) {
    up = -INFINITY, lo = INFINITY;
    for (size_t i = end_excl - period; i < end_excl; ++i) up = std::max(up, c.s.high[i]), lo = std::min(lo, c.s.low[i]);
  };
  if (n < (size_t)period) {
    for (auto key : {"upper", "lower", "middle", "width_pct", "position_pct", "breakout", "breakout_label"})
      out[key] = nullptr;
    out["insufficient"] = insufficient(period, n);
  } else {
    double up, lo;
    chan(n, up, lo);
    out["upper"] = r2(up);
    out["lower"] = r2(lo);
    out["middle"] = r2((up + lo) / 2);
    out["close"] = r2(close);
    out["width_pct"] = r2(close > 0 ? (up - lo) / close * 100 : NaN);
    out["position_pct"] = r2(up > lo ? (close - lo) / (up - lo) * 100 : NaN);
    if (n >= (size_t)period + 1) {
      // Breakout against the channel of the bars before the last one.
      double pu, pl;
      chan(n - 1, pu, pl);
      out["prev_upper"] = r2(pu);
      out["prev_lower"] = r2(pl);
      if (close > pu) out["breakout"] = "upper", out["breakout_label"] = "채널 상단 돌파";
      else if (close < pl) out["breakout"] = "lower", out["breakout_label"] = "채널 하단 이탈";
      else out["breakout"] = "none", out["breakout_label"] = "채널 안";
    } else {
      out["breakout"] = nullptr;
      out["breakout_label"] = nullptr;
    }
  }
  auto atr = atr_series(c.s, atr_p);
  double av = last(atr);
  out["atr_period"] = atr_p;
  out["atr"] = r2(av);
  out["atr_pct"] = r2(ok(av) && close > 0 ? av / close * 100 : NaN);
  return out;
}

using IndFn = json (*)(Ctx&, const Opts&);
const std::map<std::string, IndFn>& table() {
  static const std::map<std::string, IndFn> t = {
      {"ma", ind_ma},
      {"ma_phase", ind_ma_phase},
      {"ma_slope", ind_ma_slope},
      {"ma_cross", ind_ma_cross},
      {"rsi", ind_rsi},
      {"macd", ind_macd},
      {"bollinger", ind_bollinger},
      {"stochastic", ind_stochastic},
      {"obv", ind_obv},
      {"volume", ind_volume},
      {"position", ind_position},
      {"candle", ind_candle},
      {"support_resistance", ind_support_resistance},
      {"volume_profile", ind_volume_profile},
      {"price_channel", ind_price_channel},
  };
  return t;
}

}  // namespace

Series to_series(const json& rows) {
  Series s;
  if (!rows.is_array()) return s;
  size_t n = rows.size();
  s.dates.reserve(n);
  s.open.reserve(n), s.high.reserve(n), s.low.reserve(n), s.close.reserve(n), s.volume.reserve(n);
  for (const auto& r : rows) {
    if (!r.is_object()) continue;
    s.dates.push_back(date_text(r));
    s.open.push_back(cell(r, "open"));
    s.high.push_back(cell(r, "high"));
    s.low.push_back(cell(r, "low"));
    s.close.push_back(cell(r, "close"));
    s.volume.push_back(cell(r, "volume"));
  }
  return s;
}

std::vector<double> sma(const std::vector<double>& v, int n) {
  std::vector<double> out(v.size(), NaN);
  if (n < 1) return out;
  double sum = 0;
  int bad = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (ok(v[i])) sum += v[i];
    else ++bad;
    if (i >= (size_t)n) {
      if (ok(v[i - n])) sum -= v[i - n];
      else --bad;
    }
    if (i + 1 >= (size_t)n && bad == 0) out[i] = sum / n;
  }
  // Re-sum each window every so often would be exact; a running sum drifts by
  // far less than the 2-decimal rounding of the results.
  return out;
}

std::vector<double> ema(const std::vector<double>& v, int n) {
  std::vector<double> out(v.size(), NaN);
  if (n < 1) return out;
  size_t f = first_finite(v);
  if (f + n > v.size()) return out;
  double sum = 0;
  for (size_t i = f; i < f + n; ++i) {
    if (!ok(v[i])) return out;
    sum += v[i];
  }
  double k = 2.0 / (n + 1), prev = sum / n;
  out[f + n - 1] = prev;
  for (size_t i = f + n; i < v.size(); ++i) {
    if (!ok(v[i])) break;
    prev = (v[i] - prev) * k + prev;
    out[i] = prev;
  }
  return out;
}

std::vector<double> rsi_series(const std::vector<double>& c, int p) {
  std::vector<double> out(c.size(), NaN);
  if (p < 1 || c.size() < (size_t)p + 1) return out;
  double g = 0, l = 0;
  for (size_t i = 1; i <= (size_t)p; ++i) {
    double d = c[i] - c[i - 1];
    if (!ok(d)) return out;
    if (d > 0) g += d; else l -= d;
  }
  g /= p, l /= p;
  auto value = [](double ag, double al) {
    if (al == 0) return ag == 0 ? NaN : 100.0;
    return 100.0 - 100.0 / (1.0 + ag / al);
  };
  out[p] = value(g, l);
  for (size_t i = p + 1; i < c.size(); ++i) {
    double d = c[i] - c[i - 1];
    if (!ok(d)) break;
    g = (g * (p - 1) + (d > 0 ? d : 0)) / p;
    l = (l * (p - 1) + (d < 0 ? -d : 0)) / p;
    out[i] = value(g, l);
  }
  return out;
}

std::vector<double> atr_series(const Series& s, int p) {
  size_t n = s.size();
  std::vector<double> out(n, NaN);
  if (p < 1 || n < (size_t)p + 1) return out;
  auto tr = [&](size_t i) {
    double a = s.high[i] - s.low[i];
    double b = std::fabs(s.high[i] - s.close[i - 1]);
    double c = std::fabs(s.low[i] - s.close[i - 1]);
    return std::max(a, std::max(b, c));
  };
  double sum = 0;
  for (size_t i = 1; i <= (size_t)p; ++i) sum += tr(i);
  double a = sum / p;
  out[p] = a;
  for (size_t i = p + 1; i < n; ++i) {
    a = (a * (p - 1) + tr(i)) / p;
    out[i] = a;
  }
  return out;
}

std::optional<double> compute_rsi(const std::vector<double>& closes, int period) {
  auto r = rsi_series(closes, period);
  double v = last(r);
  if (!ok(v)) return std::nullopt;
  return fmt::round_to(v, 2);
}

json compute_ma_cross(const std::vector<double>& closes, const std::vector<std::string>& dates, int sp, int lp,
                      const std::string& timeframe) {
  if (sp < 1 || lp <= sp) throw ValueError("이동평균 교차는 짧은 기간 < 긴 기간이어야 합니다");
  size_t n = closes.size();
  json out{{"short", sp}, {"long", lp}};
  std::string ago = timeframe == "day" ? "days_ago" : "bars_ago";
  if (n < (size_t)lp) {
    out["ma_short"] = nullptr;
    out["ma_long"] = nullptr;
    out["state"] = nullptr;
    out["state_label"] = nullptr;
    out["type"] = nullptr;
    out["type_label"] = "판정 불가 (봉 부족)";
    out["cross_date"] = nullptr;
    out[ago] = nullptr;
    out["lookback_bars"] = 0;
    out["insufficient"] = insufficient(lp, n);
    return out;
  }
  auto ms = sma(closes, sp), ml = sma(closes, lp);
  double a = ms[n - 1], b = ml[n - 1];
  out["ma_short"] = r2(a);
  out["ma_long"] = r2(b);
  std::string sn = ma_name(sp, timeframe), ln = ma_name(lp, timeframe);
  if (a > b) out["state"] = "short_above", out["state_label"] = sn + "이 " + ln + " 위";
  else if (a < b) out["state"] = "short_below", out["state_label"] = sn + "이 " + ln + " 아래";
  else out["state"] = "equal", out["state_label"] = sn + "과 " + ln + " 같음";
  auto [idx, dir] = last_cross(ms, ml, (size_t)lp - 1);
  if (idx >= 0) {
    out["type"] = dir > 0 ? "golden_cross" : "dead_cross";
    out["type_label"] = dir > 0 ? "골든크로스" : "데드크로스";
    out["cross_date"] = idx < (long)dates.size() ? json(dates[idx]) : json(nullptr);
    out[ago] = (long)n - 1 - idx;
  } else {
    out["type"] = nullptr;
    out["type_label"] = "조회 구간 내 교차 없음";
    out["cross_date"] = nullptr;
    out[ago] = nullptr;
  }
  out["lookback_bars"] = n - (lp - 1);
  return out;
}

json compute_indicators(const json& rows, const std::vector<std::string>& include, const json& params,
                        const std::string& timeframe, const std::string& currency) {
  return compute_indicators(to_series(rows), include, params, timeframe, currency);
}

json compute_indicators(const Series& s, const std::vector<std::string>& include, const json& params,
                        const std::string& timeframe, const std::string& currency) {
  Ctx ctx{s, timeframe, currency, {}};
  json out = json::object();
  for (const auto& name : include) {
    if (out.contains(name)) continue;
    try {
      auto it = table().find(name);
      if (it == table().end()) throw ValueError("지원하지 않는 지표: " + name);
      Opts o{name, nullptr};
      if (params.is_object()) {
        auto p = params.find(name);
        if (p != params.end() && !p->is_null()) {
          if (!p->is_object()) throw ValueError("params." + name + " 는 매핑이어야 합니다: " + p->dump());
          o.o = &*p;
        }
      }
      out[name] = it->second(ctx, o);
    } catch (const std::exception& e) {
      out[name] = json{{"error", exception_class_name(e) + ": " + e.what()}};
    }
  }
  return out;
}

}  // namespace tessaro::indicators
