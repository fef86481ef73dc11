#include "analysis/indicators/period_columns.hpp"

#include <optional>
#include <string>

#include "analysis/indicators/split_bars.hpp"

namespace tessaro::indicators {

// Price and period columns of one stock's daily bars (oldest first); halt
// placeholders and rows with missing prices are no trades and stay out.
json period_columns(const json& bars) {
  json traded = indicators::split_valid_bars(bars).valid;
  if (!traded.is_array() || traded.empty()) return nullptr;
  auto num = [](const json& r, const char* k) -> std::optional<double> {
    auto it = r.find(k);
    if (it == r.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
  };
  std::optional<double> hi, lo, first_close, last_close, last_volume;
  std::string hi_date, lo_date;
  double vol_sum = 0;
  size_t vol_n = 0, n = 0;
  for (const auto& r : traded) {
    auto h = num(r, "high"), l = num(r, "low"), c = num(r, "close"), v = num(r, "volume");
    if (!c) continue;
    ++n;
    std::string d = r.contains("date") && r["date"].is_string() ? r["date"].get<std::string>() : "";
    if (h && (!hi || *h > *hi)) hi = h, hi_date = d;
    if (l && (!lo || *l < *lo)) lo = l, lo_date = d;
    if (!first_close) first_close = c;
    last_close = c;
    last_volume = v;
    if (v) vol_sum += *v, ++vol_n;
  }
  if (!last_close) return nullptr;
  auto pct = [](std::optional<double> a, std::optional<double> b) -> json {
    return a && b && *b > 0 ? json((*a / *b - 1) * 100) : json(nullptr);
  };
  auto opt = [](std::optional<double> v) { return v ? json(*v) : json(nullptr); };
  return {{"current_price", *last_close},
          {"volume", opt(last_volume)},
          {"high", opt(hi)},
          {"high_date", hi ? json(hi_date) : json(nullptr)},
          {"low", opt(lo)},
          {"low_date", lo ? json(lo_date) : json(nullptr)},
          {"drawdown_pct", pct(last_close, hi)},
          {"recovery_pct", pct(last_close, lo)},
          {"period_return_pct", pct(last_close, first_close)},
          {"avg_volume", vol_n ? json(vol_sum / double(vol_n)) : json(nullptr)},
          {"bars_count", n}};
}

}  // namespace tessaro::indicators
