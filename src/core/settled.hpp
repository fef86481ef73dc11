#pragma once
#include <cmath>

namespace tessaro::fmt {

// A computed ratio rounded far below display precision, for comparing against a
// bound (5 % over the median is exactly 5, not 5.000000000000004).
inline double settled(double v) { return std::round(v * 1e9) / 1e9; }

}  // namespace tessaro::fmt
