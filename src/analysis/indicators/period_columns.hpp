#pragma once
// Price and period columns of one stock's daily bars: the latest price and
// volume, the period's high and low with their dates, drawdown and recovery,
// the period return and the average volume.
#include "core/json.hpp"

namespace tessaro::indicators {

// bars: daily rows oldest first. Null when no bar is a real trade.
json period_columns(const json& bars);

}  // namespace tessaro::indicators
