#include "analysis/indicators/split_bars.hpp"

#include <optional>

namespace tessaro::indicators {

namespace {
std::optional<double> num(const json& row, const char* key) {
  auto it = row.find(key);
  if (it == row.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}
}  // namespace

SplitBars split_valid_bars(const json& rows) {
  SplitBars out;
  if (!rows.is_array()) return out;
  for (const auto& row : rows) {
    auto o = num(row, "open"), h = num(row, "high"), l = num(row, "low"), c = num(row, "close");
    auto v = num(row, "volume");
    const char* reason = nullptr;
    if (!c || *c <= 0) {
      reason = "missing_close";
    } else if (!o || !h || !l || *o <= 0 || *h <= 0 || *l <= 0) {
      // Halted days are often written with open/high/low 0 and the last close carried.
      reason = (v && *v == 0) ? "trading_halt_placeholder" : "missing_price";
    } else if (*h < *l || *h < std::max(*o, *c) - 1e-9 || *l > std::min(*o, *c) + 1e-9) {
      reason = "inconsistent_range";
    } else if (v && *v == 0 && *o == *h && *h == *l && *l == *c) {
      reason = "trading_halt_placeholder";
    }
    if (reason) {
      json ex = row;
      ex["reason"] = reason;
      out.excluded.push_back(std::move(ex));
    } else {
      out.valid.push_back(row);
    }
  }
  return out;
}

}  // namespace tessaro::indicators
