#pragma once
// Helpers of the move-context tool, visible for tests.
#include <string>

#include "core/json.hpp"

namespace tessaro::tools::news {

// " — 최근 n거래일 평균(avg주)의 x.x배" against the up to 20 bars before today
// (rows oldest first, "date" in any day form); "" when there is nothing to compare.
std::string volume_ratio_text(const json& rows, const std::string& today_compact, double today_volume);
// "{:,}" of a number ("+" sign for positives with plus).
std::string with_commas(const json& v, bool plus);

}  // namespace tessaro::tools::news
