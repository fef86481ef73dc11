#pragma once
// The bar timeframes of the Korean daily-bar tools (daily, weekly, monthly bars).
#include <string>
#include <vector>

#include "server/arg_rules.hpp"

namespace tessaro::tools {

inline const server::Choices& daily_timeframes() {
  static const server::Choices c{{"day", "week", "month"}};
  return c;
}

inline std::string timeframe_refusal(const std::string& given) {
  std::string names;
  for (const auto& v : daily_timeframes().values()) names += (names.empty() ? "" : "/") + v;
  return "⚠️ timeframe은 " + names + " 중 하나여야 합니다 (받음: '" + given + "').";
}

}  // namespace tessaro::tools
