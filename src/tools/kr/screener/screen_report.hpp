#pragma once
// The chart screen's reply: one renderer for the daily and the two-stage
// (daily, then intraday) screen, and the advisers that explain a thin result.
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"

namespace tessaro::tools::screen {

// (candidate {code, name, market}, measurement)
using Pair = std::pair<json, json>;

inline constexpr int SCREEN_NARROW_HINT = 5;

struct RenderArgs {
  std::string timeframe_label;
  std::string unit;            // "일" daily, "봉" intraday
  std::vector<int> periods;
  json conditions = json::object();
  std::vector<json> universe;
  std::vector<Pair> evaluated;
  std::vector<Pair> matched;   // rank order
  int count = 30;
  long long requested_count = 30;   // as asked, before the 1..100 clamp
  std::string market;
  int universe_top = 300;
  json dropped = json::object();
  std::vector<std::string> warnings;
  std::string completeness;
  std::string stage_line;      // "" = the default funnel text
  json extra = nullptr;
  long long page = 1;
  std::string coverage_reason = "indicator_error";
  json spans = nullptr;
};

// 조건검색 결과를 표로. 1단계·2단계가 같은 모양으로 나가게 한 곳에 모은다.
std::string screen_chart_render(const RenderArgs& a);
std::vector<std::string> screen_chart_breakdown(const json& conditions, const std::vector<Pair>& evaluated,
                                   const std::string& unit, const json& spans);
std::vector<std::string> screen_chart_relax_hint(const json& conditions, const std::vector<Pair>& evaluated,
                                    const std::string& unit, const json& spans);
std::vector<std::string> screen_chart_near_miss(const json& conditions, const std::vector<Pair>& evaluated,
                                   const std::string& unit, const json& spans, int limit = 4);

}  // namespace tessaro::tools::screen
