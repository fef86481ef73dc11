#pragma once
// The chart screener: argument parsers, presets, per-stock measurement on daily
// or intraday bars, condition matching, ranking and the wording of conditions.
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/json.hpp"

namespace tessaro::screener {

class ScreenerInputError : public ValueError {
 public:
  using ValueError::ValueError;
  const char* class_name() const override { return "ScreenerInputError"; }
};

inline constexpr int MIN_MA_PERIOD = 2;
inline constexpr int MAX_MA_PERIOD = 240;
inline constexpr int MAX_MA_COUNT = 5;
inline constexpr int MACD_FAST = 12;
inline constexpr int MACD_SLOW = 26;
inline constexpr int MACD_SIGNAL = 9;
inline constexpr int DAILY_CONTRACTION_WINDOW = 5;
inline constexpr int INTRADAY_CONTRACTION_WINDOW = 20;
inline constexpr int BAND_PERIOD = 20;

std::vector<int> parse_ma_set(const std::string& text);
std::pair<int, int> parse_ma_pair(const std::string& text);
// "골든크로스"/"golden" -> "골든크로스", "데드크로스"/"dead" -> "데드크로스"; null stays null.
json parse_cross(const json& value);
json parse_macd(const json& value);   // the same words; a refusal names macd
// The words the closed conditions take, as their parsers compare them (trimmed,
// lower-cased): cross and macd, ma_trend, macd_zone; ma_order is compared as given.
std::vector<std::string> CROSS_WORDS();
std::vector<std::string> TREND_WORDS();
std::vector<std::string> MACD_ZONE_WORDS();
const std::vector<std::string>& MA_ORDERS();
// An ECMAScript pattern of every text parse_exclude takes.
std::string exclude_pattern();
json parse_trend(const json& value);       // "상승" / "하락"
json parse_macd_zone(const json& value);   // "0선위" / "0선아래"
// "기본" -> the default set, "없음" -> nothing, else a comma list of kinds.
std::set<std::string> parse_exclude(const std::string& text);
const std::vector<std::string>& EXCLUDE_KINDS();
const std::vector<std::string>& DEFAULT_EXCLUDE();

// Preset name -> conditions, in a fixed order.
const json& PRESETS();
// Preset conditions overlaid with every non-null override; validates values and
// contradictory bounds.
json resolve_conditions(const json& preset, const json& overrides);

int bars_needed(const std::vector<int>& periods);

struct EvalParams {
  std::vector<int> ma_periods;
  std::vector<int> extra_ma;
  std::optional<std::pair<int, int>> cross_pair;
  int cross_within = 1;
  int volume_ma = 20;
  std::optional<int> trend_ma;
  int trend_count = 2;
  std::optional<int> high_low_days;
  // The new-low window when it differs from the new-high one (both asked).
  std::optional<int> low_days;
  int change_days = 1;
  int range_days = 60;
  int macd_within = 1;
  int rsi_period = 14;
  int contraction_window = DAILY_CONTRACTION_WINDOW;
};

// rows: oldest first, each {date, open, high, low, close, volume}. Null when the
// bars do not suffice for the moving averages asked for.
json evaluate(const json& rows, const EvalParams& p);
bool matches(const json& measurement, const json& conditions);
double rank_score(const json& measurement, const json& conditions);
std::string sort_label(const json& conditions);

bool is_preferred_share(const std::string& code, const std::string& name);
bool is_spac(const std::string& name);

std::string describe_conditions(const json& conditions, const std::string& unit, const json& spans);
std::vector<std::pair<std::string, std::string>> condition_labels(const json& conditions, const std::string& unit,
                                                                  const json& spans);
double condition_gap(const std::string& key, const json& measurement, const json& conditions);
std::string condition_actual(const std::string& key, const json& measurement, const json& conditions);
std::string format_percentile(const json& value);
std::string describe_dropped(const json& dropped);

}  // namespace tessaro::screener
