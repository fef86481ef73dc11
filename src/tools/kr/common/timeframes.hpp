#pragma once
// The bar timeframes of the Korean daily-bar tools, as the chart source serves
// them. The tools pass a timeframe on unchecked; the source answers any other
// with no bars.
#include "server/arg_rules.hpp"
#include "sources/naver/timeframes.hpp"

namespace tessaro::tools {

inline const server::Choices& daily_timeframes() {
  static const server::Choices c{[] { return naver::ohlcv_timeframes(); }};
  return c;
}

}  // namespace tessaro::tools
