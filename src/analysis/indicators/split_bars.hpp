#pragma once
// Splits off bars that are not real trades: trading-halt placeholders (no volume
// and a flat or zero price), rows with missing prices, impossible ranges.
#include "core/json.hpp"

namespace tessaro::indicators {

struct SplitBars {
  json valid = json::array();      // rows kept, order unchanged
  json excluded = json::array();   // each the original row plus "reason"
};

SplitBars split_valid_bars(const json& rows);

}  // namespace tessaro::indicators
