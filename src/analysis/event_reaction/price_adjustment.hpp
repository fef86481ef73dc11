#pragma once
#include "core/json.hpp"

namespace tessaro::event_reaction {

// What the daily bars of the Korean web source are: split-adjusted prices
// ("수정주가"); dividends are not adjusted.
json price_adjustment_meta();

}  // namespace tessaro::event_reaction
