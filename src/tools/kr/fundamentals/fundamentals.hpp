#pragma once
// Helpers of the financial-statement tools, visible for their tests.
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "core/json.hpp"

namespace tessaro::tools::fundamentals {

// (period label, cell) of the latest confirmed (no "(E)") non-empty cell of one
// indicator series laid out as periods.annual then periods.quarterly; ("", "")
// when there is none.
std::pair<std::string, std::string> latest_confirmed(const json& periods, const json& values);

// {consistency: "uniform"|"mixed"|"unknown", periods, oldest, newest} over the
// reference period of each entity (nullopt or "" = none).
json period_coverage_of(const std::map<std::string, std::optional<std::string>>& periods_by_entity);

}  // namespace tessaro::tools::fundamentals
