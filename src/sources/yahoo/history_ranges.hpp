#pragma once
// The ranges (periods) and bar intervals the Yahoo chart history serves. Any
// other period or interval gets no bars (an empty series, no request made).
#include <string>
#include <vector>

namespace tessaro::us {

inline const std::vector<std::string>& history_ranges() {
  static const std::vector<std::string> v = {"1d", "5d", "1mo", "3mo", "6mo", "1y", "2y", "5y", "10y", "ytd", "max"};
  return v;
}

inline const std::vector<std::string>& history_intervals() {
  static const std::vector<std::string> v = {"1m", "2m",  "5m",  "15m", "30m", "60m", "90m",
                                             "1h", "1d", "5d", "1wk", "1mo", "3mo"};
  return v;
}

}  // namespace tessaro::us
