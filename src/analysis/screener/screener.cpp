#include "analysis/screener/screener.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "core/format.hpp"

namespace tessaro::screener {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string num_text(double v, int decimals) { return fmt::fixed(v, decimals, true); }

std::optional<double> get_num(const json& m, const char* key) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::string text_of(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return v.dump();
}

std::vector<double> sma_series(const std::vector<double>& x, int n) {
  std::vector<double> out(x.size(), std::nan(""));
  double s = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    s += x[i];
    if (i >= size_t(n)) s -= x[i - size_t(n)];
    if (i + 1 >= size_t(n)) out[i] = s / n;
  }
  return out;
}

std::vector<double> ema_series(const std::vector<double>& x, int n) {
  std::vector<double> out(x.size(), std::nan(""));
  if (x.size() < size_t(n)) return out;
  double k = 2.0 / (n + 1);
  double e = 0;
  for (int i = 0; i < n; ++i) e += x[size_t(i)];
  e /= n;
  out[size_t(n - 1)] = e;
  for (size_t i = size_t(n); i < x.size(); ++i) {
    e = x[i] * k + e * (1 - k);
    out[i] = e;
  }
  return out;
}

// Bars ago (0 = the last bar) of the most recent cross of a over b within
// `within` bars: golden when a was below b one bar before and is above now.
std::optional<std::pair<int, std::string>> last_cross(const std::vector<double>& a, const std::vector<double>& b,
                                                      int within) {
  size_t n = a.size();
  for (int ago = 0; ago < within; ++ago) {
    if (n < size_t(ago) + 2) break;
    size_t i = n - 1 - size_t(ago);
    double a0 = a[i - 1], b0 = b[i - 1], a1 = a[i], b1 = b[i];
    if (std::isnan(a0) || std::isnan(b0) || std::isnan(a1) || std::isnan(b1)) break;
    if (a0 < b0 && a1 > b1) return std::make_pair(ago, std::string("골든크로스"));
    if (a0 > b0 && a1 < b1) return std::make_pair(ago, std::string("데드크로스"));
  }
  return std::nullopt;
}

// A closed condition's words (trimmed, lower-cased) and what each means.
using WordTable = std::vector<std::pair<std::string, std::string>>;

const WordTable& cross_table() {
  static const WordTable t = {{"골든크로스", "골든크로스"}, {"골든", "골든크로스"}, {"golden", "골든크로스"},
                              {"gc", "골든크로스"},         {"golden_cross", "골든크로스"},
                              {"데드크로스", "데드크로스"}, {"데드", "데드크로스"}, {"dead", "데드크로스"},
                              {"dc", "데드크로스"},         {"dead_cross", "데드크로스"}};
  return t;
}
const WordTable& trend_table() {
  static const WordTable t = {{"상승", "상승"}, {"up", "상승"},   {"rising", "상승"},
                              {"하락", "하락"}, {"down", "하락"}, {"falling", "하락"}};
  return t;
}
const WordTable& macd_zone_table() {
  static const WordTable t = {{"0선위", "0선위"},     {"0선 위", "0선위"},     {"above", "0선위"}, {"위", "0선위"},
                              {"양수", "0선위"},      {"0선아래", "0선아래"}, {"0선 아래", "0선아래"},
                              {"below", "0선아래"},   {"아래", "0선아래"},    {"음수", "0선아래"}};
  return t;
}
std::vector<std::string> words_of(const WordTable& t) {
  std::vector<std::string> out;
  for (const auto& [w, _] : t) out.push_back(w);
  return out;
}
// Null for an empty text; throws when the text is none of the table's words.
json table_value(const WordTable& t, const json& v, const std::string& refusal) {
  if (v.is_null()) return nullptr;
  std::string s = fmt::lower(fmt::trim(text_of(v)));
  if (s.empty()) return nullptr;
  for (const auto& [w, meaning] : t)
    if (s == w) return meaning;
  throw ScreenerInputError(refusal + text_of(v));
}

json cross_value(const json& v, const char* what) {
  return table_value(cross_table(), v, std::string(what) + " 는 골든크로스 또는 데드크로스 중 하나여야 합니다: ");
}

struct Bound {
  const char* key;
  const char* label;
  bool is_max;
  const char* measure;
  const char* unit;
  int decimals;
};

// Numeric bound conditions: key -> measurement key and wording.
const std::vector<Bound>& bounds() {
  static const std::vector<Bound> b = {
      {"ma_spread_max", "이평폭", true, "ma_spread", "%", 2},
      {"volatility_pct_max", "변동성", true, "volatility_pct", "백분위", 0},
      {"contraction_max", "고저폭축소", true, "contraction", "배", 2},
      {"dist_center_max", "이평이격", true, "dist_center", "%", 2},
      {"price_min", "주가", false, "close", "원", 0},
      {"price_max", "주가", true, "close", "원", 0},
      {"volume_ratio_min", "거래량배수", false, "volume_ratio", "배", 2},
      {"volume_ratio_max", "거래량배수", true, "volume_ratio", "배", 2},
      {"change_min", "등락률", false, "change_pct", "%", 2},
      {"change_max", "등락률", true, "change_pct", "%", 2},
      {"range_position_min", "구간위치", false, "range_position", "", 0},
      {"range_position_max", "구간위치", true, "range_position", "", 0},
      {"rsi_min", "RSI", false, "rsi", "", 1},
      {"rsi_max", "RSI", true, "rsi", "", 1},
  };
  return b;
}
const Bound* find_bound(const std::string& key) {
  for (const auto& b : bounds())
    if (key == b.key) return &b;
  return nullptr;
}

// Whether one condition holds; nullopt when the measurement lacks the value.
std::optional<bool> holds(const std::string& key, const json& m, const json& cond) {
  const json& c = cond.at(key);
  if (const Bound* b = find_bound(key)) {
    auto v = get_num(m, b->measure);
    if (!v || !c.is_number()) return std::nullopt;
    return b->is_max ? *v <= c.get<double>() : *v >= c.get<double>();
  }
  if (key == "ma_order") {
    if (!m.contains("ma_order") || !m["ma_order"].is_string()) return std::nullopt;
    return m["ma_order"] == c;
  }
  if (key == "above_ma" || key == "below_ma") {
    auto close = get_num(m, "close");
    std::string p = std::to_string(c.get<long long>());
    if (!close || !m.contains("all_ma") || !m["all_ma"].contains(p) || !m["all_ma"][p].is_number()) return std::nullopt;
    double ma = m["all_ma"][p].get<double>();
    return key == "above_ma" ? *close > ma : *close < ma;
  }
  if (key == "cross") {
    if (!m.contains("cross")) return std::nullopt;
    return m["cross"].is_string() && m["cross"] == c;
  }
  if (key == "ma_trend") {
    if (!m.contains("ma_trend") || !m["ma_trend"].is_string()) return std::nullopt;
    return m["ma_trend"] == c;
  }
  if (key == "new_high") return m.value("is_new_high", false);
  if (key == "new_low") return m.value("is_new_low", false);
  if (key == "macd") {
    if (!m.contains("macd_cross")) return std::nullopt;
    return m["macd_cross"].is_string() && m["macd_cross"] == c;
  }
  if (key == "macd_zone") {
    auto v = get_num(m, "macd");
    if (!v) return std::nullopt;
    return c == "0선위" ? *v > 0 : *v < 0;
  }
  return std::nullopt;
}

}  // namespace

// ---- parsers ------------------------------------------------------------------

std::vector<int> parse_ma_set(const std::string& text) {
  std::vector<int> out;
  std::string cur;
  auto flush = [&] {
    std::string t = fmt::trim(cur);
    cur.clear();
    if (t.empty()) return;
    auto v = fmt::parse_number(t);
    if (!v || std::floor(*v) != *v) throw ScreenerInputError("이평 기간은 정수여야 합니다: " + t);
    int p = int(*v);
    if (p < MIN_MA_PERIOD || p > MAX_MA_PERIOD)
      throw ScreenerInputError("이평 기간은 " + std::to_string(MIN_MA_PERIOD) + " ~ " + std::to_string(MAX_MA_PERIOD) +
                               " 사이여야 합니다: " + t);
    if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
  };
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '/') flush();
    else cur.push_back(c);
  }
  flush();
  if (out.empty()) throw ScreenerInputError("이평 기간을 하나 이상 적어 주세요 (예: \"5,20,60\").");
  if (out.size() > size_t(MAX_MA_COUNT))
    throw ScreenerInputError("이평은 최대 " + std::to_string(MAX_MA_COUNT) + "개까지입니다: " + text);
  std::sort(out.begin(), out.end());
  return out;
}

std::pair<int, int> parse_ma_pair(const std::string& text) {
  std::vector<int> p = parse_ma_set(text);
  if (p.size() != 2) throw ScreenerInputError("cross_ma 는 짧은선,긴선 두 개여야 합니다 (예: \"5,20\"): " + text);
  return {p[0], p[1]};
}

json parse_cross(const json& value) { return cross_value(value, "cross"); }
json parse_macd(const json& value) { return cross_value(value, "macd"); }

json parse_trend(const json& value) {
  return table_value(trend_table(), value, "ma_trend 는 상승 또는 하락 중 하나여야 합니다: ");
}

json parse_macd_zone(const json& value) {
  return table_value(macd_zone_table(), value, "macd_zone 은 0선위 또는 0선아래 중 하나여야 합니다: ");
}

std::vector<std::string> CROSS_WORDS() { return words_of(cross_table()); }
std::vector<std::string> TREND_WORDS() { return words_of(trend_table()); }
std::vector<std::string> MACD_ZONE_WORDS() { return words_of(macd_zone_table()); }
const std::vector<std::string>& MA_ORDERS() {
  static const std::vector<std::string> o = {"정배열", "역배열", "뒤엉킴"};
  return o;
}

std::string exclude_pattern() {
  std::string item = "(" + fmt::join(EXCLUDE_KINDS(), "|") + ")";
  // "기본", "없음", "none" in any case, or a comma list of kinds (empty items ignored).
  return "^(\\s*(기본|없음|[Nn][Oo][Nn][Ee])?\\s*|[\\s,]*" + item + "\\s*(,[\\s,]*" + item + "\\s*)*[\\s,]*)$";
}

const std::vector<std::string>& EXCLUDE_KINDS() {
  static const std::vector<std::string> k = {"관리종목", "우선주", "거래정지", "스팩", "리츠펀드", "시장경보"};
  return k;
}
const std::vector<std::string>& DEFAULT_EXCLUDE() { return EXCLUDE_KINDS(); }

std::set<std::string> parse_exclude(const std::string& text) {
  std::string t = fmt::trim(text);
  if (t.empty() || t == "기본") return {DEFAULT_EXCLUDE().begin(), DEFAULT_EXCLUDE().end()};
  if (t == "없음" || fmt::lower(t) == "none") return {};
  std::set<std::string> out;
  std::string cur;
  auto flush = [&] {
    std::string k = fmt::trim(cur);
    cur.clear();
    if (k.empty()) return;
    if (std::find(EXCLUDE_KINDS().begin(), EXCLUDE_KINDS().end(), k) == EXCLUDE_KINDS().end())
      throw ScreenerInputError("exclude 에 알 수 없는 항목이 있습니다: " + k + " (사용 가능: 기본, 없음, " +
                               fmt::join(EXCLUDE_KINDS(), ", ") + ")");
    out.insert(k);
  };
  for (char c : t) {
    if (c == ',') flush();
    else cur.push_back(c);
  }
  flush();
  return out;
}

const json& PRESETS() {
  static const json p = {
      {"이평수렴", {{"ma_spread_max", 2.5}}},
      {"정배열", {{"ma_order", "정배열"}}},
      {"역배열", {{"ma_order", "역배열"}}},
      {"변동성수축", {{"volatility_pct_max", 20.0}, {"contraction_max", 0.7}}},
  };
  return p;
}

json resolve_conditions(const json& preset, const json& overrides) {
  json cond = json::object();
  if (preset.is_string() && !fmt::trim(preset.get<std::string>()).empty()) {
    std::string name = fmt::trim(preset.get<std::string>());
    if (!PRESETS().contains(name)) {
      std::vector<std::string> names;
      for (auto it = PRESETS().begin(); it != PRESETS().end(); ++it) names.push_back(it.key());
      throw ScreenerInputError("알 수 없는 프리셋입니다: " + name + " (사용 가능: " + fmt::join(names, ", ") + ")");
    }
    cond = PRESETS()[name];
  }
  if (overrides.is_object())
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
      if (!it->is_null()) cond[it.key()] = *it;
  if (cond.contains("ma_order")) {
    std::string o = text_of(cond["ma_order"]);
    if (std::find(MA_ORDERS().begin(), MA_ORDERS().end(), o) == MA_ORDERS().end())
      throw ScreenerInputError("ma_order 는 정배열, 역배열, 뒤엉킴 중 하나여야 합니다: " + o);
  }
  for (const char* base : {"price", "volume_ratio", "change", "range_position", "rsi"}) {
    std::string lo = std::string(base) + "_min", hi = std::string(base) + "_max";
    if (cond.contains(lo) && cond.contains(hi) && cond[lo].is_number() && cond[hi].is_number() &&
        cond[lo].get<double>() > cond[hi].get<double>())
      throw ScreenerInputError(lo + " (" + fmt::pyfloat(cond[lo].get<double>()) + ") 이 " + hi + " (" +
                               fmt::pyfloat(cond[hi].get<double>()) + ") 보다 큽니다.");
  }
  for (const char* k : {"range_position_min", "range_position_max"})
    if (cond.contains(k) && cond[k].is_number() && (cond[k].get<double>() < 0 || cond[k].get<double>() > 100))
      throw ScreenerInputError(std::string(k) + " 는 0 ~ 100 사이여야 합니다.");
  for (const char* k : {"rsi_min", "rsi_max"})
    if (cond.contains(k) && cond[k].is_number() && (cond[k].get<double>() < 0 || cond[k].get<double>() > 100))
      throw ScreenerInputError(std::string(k) + " 는 0 ~ 100 사이여야 합니다.");
  return cond;
}

int bars_needed(const std::vector<int>& periods) {
  int longest = periods.empty() ? 20 : *std::max_element(periods.begin(), periods.end());
  // The band-width history of the volatility percentile wants some depth too.
  return std::max(longest, BAND_PERIOD) + 60;
}

// ---- measurement ------------------------------------------------------------------

json evaluate(const json& rows, const EvalParams& p) {
  if (!rows.is_array()) return nullptr;
  std::vector<double> o, h, l, c, v;
  std::string last_date;
  for (const auto& r : rows) {
    auto num = [&](const char* k) {
      auto it = r.find(k);
      return it != r.end() && it->is_number() ? it->get<double>() : std::nan("");
    };
    double cl = num("close");
    if (std::isnan(cl) || cl <= 0) continue;
    // A halted day comes with zero (or no) open/high/low: it traded at its close.
    auto or_close = [&](double x) { return std::isnan(x) || x <= 0 ? cl : x; };
    o.push_back(or_close(num("open")));
    h.push_back(or_close(num("high")));
    l.push_back(or_close(num("low")));
    c.push_back(cl);
    v.push_back(num("volume"));   // NaN when the row has none: unknown, not zero
    auto d = r.find("date");
    last_date = d != r.end() ? text_of(*d) : "";
  }
  size_t n = c.size();
  std::vector<int> all = p.ma_periods;
  for (int e : p.extra_ma) all.push_back(e);
  if (p.cross_pair) {
    all.push_back(p.cross_pair->first);
    all.push_back(p.cross_pair->second);
  }
  if (p.trend_ma) all.push_back(*p.trend_ma);
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  int longest = all.empty() ? 1 : all.back();
  int tail = 1;
  if (p.cross_pair) tail = std::max(tail, 2);
  if (p.trend_ma) tail = std::max(tail, p.trend_count + 1);
  if (n < size_t(longest + tail - 1) || n < 2) return nullptr;

  json m = json::object();
  m["last_date"] = last_date;
  double close = c.back();
  m["close"] = close;
  std::map<int, std::vector<double>> series;
  json all_ma = json::object(), ma = json::object();
  for (int per : all) {
    series[per] = sma_series(c, per);
    all_ma[std::to_string(per)] = series[per].back();
  }
  for (int per : p.ma_periods) ma[std::to_string(per)] = series[per].back();
  m["all_ma"] = all_ma;
  m["ma"] = ma;

  // Spread, centre distance and order of the stage's moving averages.
  std::vector<double> vals;
  for (int per : p.ma_periods) vals.push_back(series[per].back());
  if (!vals.empty()) {
    double mx = *std::max_element(vals.begin(), vals.end()), mn = *std::min_element(vals.begin(), vals.end());
    double centre = 0;
    for (double x : vals) centre += x;
    centre /= double(vals.size());
    m["ma_spread"] = close > 0 ? json((mx - mn) / close * 100.0) : json(nullptr);
    m["dist_center"] = centre > 0 ? json(std::fabs(close - centre) / centre * 100.0) : json(nullptr);
    bool desc = true, asc = true;
    for (size_t i = 1; i < vals.size(); ++i) {
      if (!(vals[i - 1] > vals[i])) desc = false;
      if (!(vals[i - 1] < vals[i])) asc = false;
    }
    m["ma_order"] = vals.size() < 2 ? json(nullptr) : desc ? json("정배열") : asc ? json("역배열") : json("뒤엉킴");
  }

  // Volatility: percentile of the latest 20-bar band width in the stock's own history.
  if (n >= size_t(BAND_PERIOD) + 1) {
    std::vector<double> widths;
    for (size_t i = size_t(BAND_PERIOD) - 1; i < n; ++i) {
      double s = 0, s2 = 0;
      for (size_t j = i + 1 - size_t(BAND_PERIOD); j <= i; ++j) {
        s += c[j];
        s2 += c[j] * c[j];
      }
      double mean = s / BAND_PERIOD, var = std::max(0.0, s2 / BAND_PERIOD - mean * mean);
      widths.push_back(mean > 0 ? 4 * std::sqrt(var) / mean : 0);
    }
    double last = widths.back();
    size_t le = 0;
    for (double w : widths)
      if (w <= last) ++le;
    m["volatility_pct"] = 100.0 * double(le) / double(widths.size());
  } else {
    m["volatility_pct"] = nullptr;
  }

  // Range contraction: high-low range of the last N bars over that of the N before.
  int cw = std::max(1, p.contraction_window);
  if (n >= size_t(2 * cw)) {
    auto range_of = [&](size_t from, size_t to) {
      double hi = -kInf, lo = kInf;
      for (size_t i = from; i < to; ++i) {
        hi = std::max(hi, h[i]);
        lo = std::min(lo, l[i]);
      }
      return hi - lo;
    };
    double recent = range_of(n - size_t(cw), n), before = range_of(n - size_t(2 * cw), n - size_t(cw));
    m["contraction"] = before > 0 ? json(recent / before) : json(nullptr);
  } else {
    m["contraction"] = nullptr;
  }

  m["cross_bars_ago"] = nullptr;
  m["cross"] = nullptr;
  if (p.cross_pair) {
    auto x = last_cross(series[p.cross_pair->first], series[p.cross_pair->second], p.cross_within);
    if (x) {
      m["cross_bars_ago"] = x->first;
      m["cross"] = x->second;
    }
  }

  // Volume against its moving average (the current bar included).
  int vm = std::max(1, p.volume_ma);
  if (n >= size_t(vm) && !std::isnan(v.back())) {
    double s = 0;
    int known = 0;
    for (size_t i = n - size_t(vm); i < n; ++i)
      if (!std::isnan(v[i])) s += v[i], ++known;
    double avg = known ? s / known : 0;
    m["volume_ratio"] = avg > 0 ? json(v.back() / avg) : json(nullptr);
  } else {
    m["volume_ratio"] = nullptr;
  }

  m["ma_trend"] = nullptr;
  if (p.trend_ma) {
    const auto& s = series[*p.trend_ma];
    bool up = true, down = true;
    for (int k = 0; k < p.trend_count; ++k) {
      double a = s[n - 1 - size_t(k)], b = s[n - 2 - size_t(k)];
      if (std::isnan(a) || std::isnan(b)) { up = down = false; break; }
      if (!(a > b)) up = false;
      if (!(a < b)) down = false;
    }
    m["ma_trend"] = up ? "상승" : down ? "하락" : "횡보";
  }

  m["is_new_high"] = false;
  m["is_new_low"] = false;
  // Highest and lowest close of a window of the last `days` bars (the latest included).
  auto extreme = [&](int days, bool high) -> std::optional<double> {
    if (days < 2 || n < size_t(days)) return std::nullopt;
    double x = high ? -kInf : kInf;
    for (size_t i = n - size_t(days); i < n; ++i) x = high ? std::max(x, c[i]) : std::min(x, c[i]);
    return x;
  };
  if (p.high_low_days) {
    const int low_window = p.low_days.value_or(*p.high_low_days);
    if (auto hi = extreme(*p.high_low_days, true)) {
      m["is_new_high"] = close >= *hi;
      m["new_high_ref"] = *hi;
    }
    if (auto lo = extreme(low_window, false)) {
      m["is_new_low"] = close <= *lo;
      m["new_low_ref"] = *lo;
    }
  }

  int cd = std::max(1, p.change_days);
  m["change_pct"] = n > size_t(cd) && c[n - 1 - size_t(cd)] > 0 ? json((close / c[n - 1 - size_t(cd)] - 1) * 100)
                                                                 : json(nullptr);
  int rd = std::max(2, p.range_days);
  {
    size_t from = n > size_t(rd) ? n - size_t(rd) : 0;
    double hi = -kInf, lo = kInf;
    for (size_t i = from; i < n; ++i) {
      hi = std::max(hi, h[i]);
      lo = std::min(lo, l[i]);
    }
    m["range_position"] = hi > lo ? json((close - lo) / (hi - lo) * 100) : json(nullptr);
  }

  // MACD 12/26/9 on EMAs, as the indicator tools compute it.
  m["macd"] = nullptr;
  m["macd_cross"] = nullptr;
  m["macd_cross_bars_ago"] = nullptr;
  if (n >= size_t(MACD_SLOW + MACD_SIGNAL)) {
    auto fast = ema_series(c, MACD_FAST), slow = ema_series(c, MACD_SLOW);
    std::vector<double> line;
    for (size_t i = size_t(MACD_SLOW) - 1; i < n; ++i) line.push_back(fast[i] - slow[i]);
    auto signal = ema_series(line, MACD_SIGNAL);
    m["macd"] = line.back();
    auto x = last_cross(line, signal, p.macd_within);
    if (x) {
      m["macd_cross_bars_ago"] = x->first;
      m["macd_cross"] = x->second;
    }
  }

  // RSI with Wilder smoothing.
  int rp = std::max(2, p.rsi_period);
  m["rsi"] = nullptr;
  if (n > size_t(rp)) {
    double gain = 0, loss = 0;
    for (int i = 1; i <= rp; ++i) {
      double d = c[size_t(i)] - c[size_t(i - 1)];
      (d > 0 ? gain : loss) += std::fabs(d);
    }
    gain /= rp;
    loss /= rp;
    for (size_t i = size_t(rp) + 1; i < n; ++i) {
      double d = c[i] - c[i - 1];
      gain = (gain * (rp - 1) + std::max(d, 0.0)) / rp;
      loss = (loss * (rp - 1) + std::max(-d, 0.0)) / rp;
    }
    m["rsi"] = loss == 0 ? (gain == 0 ? 50.0 : 100.0) : 100 - 100 / (1 + gain / loss);
  }
  return m;
}

bool matches(const json& m, const json& conditions) {
  if (!m.is_object() || !conditions.is_object()) return false;
  for (auto it = conditions.begin(); it != conditions.end(); ++it) {
    auto h = holds(it.key(), m, conditions);
    if (!h || !*h) return false;
  }
  return true;
}

namespace {
// The sort key of a condition set: the first ranking condition present.
struct Rank {
  const char* cond;
  const char* measure;
  bool ascending;
  const char* label;
};
const std::vector<Rank>& ranks() {
  static const std::vector<Rank> r = {
      {"ma_spread_max", "ma_spread", true, "이평폭 작은 순"},
      {"volatility_pct_max", "volatility_pct", true, "변동성 낮은 순"},
      {"contraction_max", "contraction", true, "고저폭축소 작은 순"},
      {"dist_center_max", "dist_center", true, "이평이격 작은 순"},
      {"volume_ratio_min", "volume_ratio", false, "거래량배수 큰 순"},
      {"change_min", "change_pct", false, "등락률 높은 순"},
      {"change_max", "change_pct", true, "등락률 낮은 순"},
      {"rsi_max", "rsi", true, "RSI 낮은 순"},
      {"rsi_min", "rsi", false, "RSI 높은 순"},
      {"range_position_max", "range_position", true, "구간위치 낮은 순"},
      {"range_position_min", "range_position", false, "구간위치 높은 순"},
      {"cross", "cross_bars_ago", true, "크로스 최근 순"},
      {"macd", "macd_cross_bars_ago", true, "MACD크로스 최근 순"},
  };
  return r;
}
}  // namespace

double rank_score(const json& m, const json& conditions) {
  for (const auto& r : ranks()) {
    if (!conditions.contains(r.cond)) continue;
    auto v = get_num(m, r.measure);
    if (!v) return kInf;
    return r.ascending ? *v : -*v;
  }
  return 0;  // no ranking condition: keep the market-cap order
}

std::string sort_label(const json& conditions) {
  for (const auto& r : ranks())
    if (conditions.contains(r.cond)) return r.label;
  return "시가총액 큰 순";
}

bool is_preferred_share(const std::string& code, const std::string& name) {
  // Preferred shares end in a non-zero digit or a letter code and carry 우 in their name.
  bool code_pref = code.size() == 6 && code.back() != '0';
  bool name_pref = fmt::ends_with(name, "우") || fmt::ends_with(name, "우B") || fmt::ends_with(name, "우C") ||
                   name.find("우(전환)") != std::string::npos || fmt::ends_with(name, "1우") ||
                   fmt::ends_with(name, "2우B");
  return code_pref && name_pref;
}

bool is_spac(const std::string& name) {
  return name.find("스팩") != std::string::npos || name.find("기업인수목적") != std::string::npos;
}

// ---- wording ------------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> condition_labels(const json& conditions, const std::string& unit,
                                                                  const json& spans) {
  std::vector<std::pair<std::string, std::string>> out;
  if (!conditions.is_object()) return out;
  auto span = [&](const char* k) -> std::string {
    return spans.is_object() && spans.contains(k) ? std::to_string(spans[k].get<long long>()) : "";
  };
  for (auto it = conditions.begin(); it != conditions.end(); ++it) {
    const std::string& k = it.key();
    const json& v = *it;
    std::string label;
    if (const Bound* b = find_bound(k)) {
      std::string name = b->label;
      if ((k == "change_min" || k == "change_max") && !span("change_days").empty())
        name = span("change_days") + unit + " 등락률";
      if ((k == "range_position_min" || k == "range_position_max") && !span("range_days").empty())
        name = span("range_days") + unit + " 구간위치";
      double x = v.is_number() ? v.get<double>() : 0;
      // Past 1e15 a bound is written out in full digits, never as "1e+62".
      std::string num = std::fabs(x) >= 1e15    ? fmt::fixed(x, 0, true)
                        : b->decimals == 0      ? fmt::thousands(fmt::round_ll(x))
                                                : fmt::pyfloat(fmt::round_to(x, b->decimals));
      label = name + (b->is_max ? " ≤ " : " ≥ ") + num + b->unit;
    } else if (k == "ma_order") {
      label = text_of(v);
    } else if (k == "above_ma") {
      label = "종가 > " + std::to_string(v.get<long long>()) + unit + "선";
    } else if (k == "below_ma") {
      label = "종가 < " + std::to_string(v.get<long long>()) + unit + "선";
    } else if (k == "cross") {
      label = text_of(v);
    } else if (k == "ma_trend") {
      std::string ma = span("ma_trend_ma"), cnt = span("ma_trend_count");
      label = (ma.empty() ? std::string("이평") : ma + unit + "선") + " " + text_of(v) +
              (cnt.empty() ? "" : " (" + cnt + "봉 연속)");
    } else if (k == "new_high") {
      label = std::to_string(v.get<long long>()) + unit + " 신고가";
    } else if (k == "new_low") {
      label = std::to_string(v.get<long long>()) + unit + " 신저가";
    } else if (k == "macd") {
      label = "MACD " + text_of(v);
    } else if (k == "macd_zone") {
      label = "MACD " + text_of(v);
    } else {
      label = k;
    }
    out.push_back({k, label});
  }
  return out;
}

std::string describe_conditions(const json& conditions, const std::string& unit, const json& spans) {
  std::vector<std::string> parts;
  for (const auto& [k, label] : condition_labels(conditions, unit, spans)) parts.push_back(label);
  return parts.empty() ? "조건 없음" : fmt::join(parts, ", ");
}

double condition_gap(const std::string& key, const json& m, const json& conditions) {
  if (!conditions.contains(key)) return kInf;
  if (const Bound* b = find_bound(key)) {
    auto v = get_num(m, b->measure);
    const json& c = conditions[key];
    if (!v || !c.is_number()) return kInf;
    double bound = c.get<double>();
    double gap = b->is_max ? *v - bound : bound - *v;
    double scale = std::fabs(bound) > 1e-9 ? std::fabs(bound) : 1.0;
    return std::max(0.0, gap) / scale;
  }
  if (key == "above_ma" || key == "below_ma") {
    auto close = get_num(m, "close");
    std::string p = std::to_string(conditions[key].get<long long>());
    if (!close || !m.contains("all_ma") || !m["all_ma"].contains(p) || !m["all_ma"][p].is_number()) return kInf;
    double ma = m["all_ma"][p].get<double>();
    double gap = key == "above_ma" ? ma - *close : *close - ma;
    return ma > 0 ? std::max(0.0, gap) / ma : kInf;
  }
  auto h = holds(key, m, conditions);
  if (!h) return kInf;
  if (*h) return 0.0;
  // A categorical condition that failed: how far, so that the nearest stock is
  // named, not the first one measured. Between 0 (met) and 1 (the opposite).
  auto close = get_num(m, "close");
  if (key == "new_high" || key == "new_low") {
    auto ref = get_num(m, key == "new_high" ? "new_high_ref" : "new_low_ref");
    if (!close || !ref || *ref <= 0) return 1.0;
    return std::min(1.0, std::fabs(*ref - *close) / *ref);
  }
  if (key == "ma_order" && m.contains("ma") && m["ma"].is_object()) {
    // Share of neighbouring averages (shorter before longer) in the wrong order.
    std::vector<std::pair<int, double>> mas;
    for (const auto& [per, v] : m["ma"].items())
      if (v.is_number()) mas.push_back({std::atoi(per.c_str()), v.get<double>()});
    std::sort(mas.begin(), mas.end());
    if (mas.size() < 2) return 1.0;
    const bool want_desc = conditions[key] == "정배열";
    int wrong = 0;
    for (size_t i = 1; i < mas.size(); ++i)
      if (want_desc ? !(mas[i - 1].second > mas[i].second) : !(mas[i - 1].second < mas[i].second)) ++wrong;
    return double(wrong) / double(mas.size() - 1);
  }
  if (key == "ma_trend") return m.value("ma_trend", json()) == "횡보" ? 0.5 : 1.0;
  if (key == "macd_zone") {
    auto v = get_num(m, "macd");
    if (!v || !close || *close <= 0) return 1.0;
    return std::min(1.0, std::fabs(*v) / *close);
  }
  return 1.0;
}

std::string condition_actual(const std::string& key, const json& m, const json& conditions) {
  if (const Bound* b = find_bound(key)) {
    auto v = get_num(m, b->measure);
    if (!v) return std::string(b->label) + " -";
    std::string num = b->decimals == 0 ? fmt::thousands(fmt::round_ll(*v)) : num_text(*v, b->decimals);
    return std::string(b->label) + " " + num + b->unit;
  }
  if (key == "ma_order") return m.contains("ma_order") && m["ma_order"].is_string() ? m["ma_order"].get<std::string>() : "-";
  if (key == "above_ma" || key == "below_ma") {
    std::string p = std::to_string(conditions[key].get<long long>());
    auto close = get_num(m, "close");
    if (close && m.contains("all_ma") && m["all_ma"].contains(p) && m["all_ma"][p].is_number()) {
      double ma = m["all_ma"][p].get<double>();
      return "종가 " + fmt::thousands(fmt::round_ll(*close)) + " / " + p + "선 " + fmt::thousands(fmt::round_ll(ma));
    }
    return "-";
  }
  if (key == "cross") return m.contains("cross") && m["cross"].is_string() ? m["cross"].get<std::string>() : "크로스 없음";
  if (key == "macd") return m.contains("macd_cross") && m["macd_cross"].is_string() ? m["macd_cross"].get<std::string>() : "크로스 없음";
  if (key == "macd_zone") {
    auto v = get_num(m, "macd");
    return v ? "MACD " + fmt::thousands(fmt::round_ll(*v)) : "-";
  }
  if (key == "ma_trend") return m.contains("ma_trend") && m["ma_trend"].is_string() ? m["ma_trend"].get<std::string>() : "-";
  if (key == "new_high") return m.value("is_new_high", false) ? "신고가" : "신고가 아님";
  if (key == "new_low") return m.value("is_new_low", false) ? "신저가" : "신저가 아님";
  return "-";
}

std::string format_percentile(const json& value) {
  if (!value.is_number()) return "-";
  return std::to_string(fmt::round_ll(value.get<double>())) + "%";
}

std::string describe_dropped(const json& dropped) {
  if (!dropped.is_object() || dropped.empty()) return "";
  std::vector<std::string> parts;
  long long total = 0;
  for (auto it = dropped.begin(); it != dropped.end(); ++it) {
    long long n = it->is_number() ? it->get<long long>() : 0;
    if (n <= 0) continue;
    total += n;
    parts.push_back(it.key() + " " + fmt::thousands(n));
  }
  if (parts.empty()) return "";
  return "후보에서 뺀 종목 " + fmt::thousands(total) + "개 (" + fmt::join(parts, " · ") + ")";
}

}  // namespace tessaro::screener
