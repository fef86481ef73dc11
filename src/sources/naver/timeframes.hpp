#pragma once
// The bar timeframes the Naver chart feed serves. Any other timeframe gets no
// bars (an empty series, no request made).
#include <algorithm>
#include <string>
#include <vector>

namespace tessaro::naver {

inline const std::vector<std::string>& ohlcv_timeframes() {
  static const std::vector<std::string> v = {"day", "week", "month"};
  return v;
}

inline bool is_ohlcv_timeframe(const std::string& timeframe) {
  const auto& v = ohlcv_timeframes();
  return std::find(v.begin(), v.end(), timeframe) != v.end();
}

}  // namespace tessaro::naver
