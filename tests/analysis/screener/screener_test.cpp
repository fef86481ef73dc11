#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "analysis/screener/screener.hpp"

using namespace tessaro;
using namespace tessaro::screener;

namespace {
json bars(const std::vector<double>& closes, double volume = 1000) {
  json rows = json::array();
  for (size_t i = 0; i < closes.size(); ++i) {
    char d[16];
    std::snprintf(d, sizeof d, "2026%04zu", 101 + i);
    rows.push_back({{"date", d}, {"open", closes[i]}, {"high", closes[i] + 1}, {"low", closes[i] - 1},
                    {"close", closes[i]}, {"volume", volume}});
  }
  return rows;
}
}  // namespace

TEST(ScreenerParse, BadInputGetsClearText) {
  EXPECT_EQ(parse_ma_set("20, 5,60"), (std::vector<int>{5, 20, 60}));
  // Wrong period counts and ranges are checked on the screen_chart reply.
  EXPECT_THROW(parse_ma_set("abc"), ScreenerInputError);
  EXPECT_THROW(parse_ma_pair("5,20,60"), ScreenerInputError);
  EXPECT_EQ(parse_cross("golden"), "골든크로스");
  EXPECT_THROW(parse_cross("sideways"), ScreenerInputError);
  EXPECT_EQ(parse_exclude("없음").size(), 0u);
  EXPECT_EQ(parse_exclude("기본").size(), 6u);
  EXPECT_THROW(parse_exclude("우선주,없는것"), ScreenerInputError);
  EXPECT_THROW(resolve_conditions(nullptr, json{{"price_min", 5000.0}, {"price_max", 1000.0}}), ScreenerInputError);
  json c = resolve_conditions("이평수렴", json{{"ma_spread_max", 4.0}, {"rsi_max", nullptr}});
  EXPECT_EQ(c, json({{"ma_spread_max", 4.0}}));   // explicit arguments override the preset, nulls don't
}

TEST(ScreenerEvaluate, TooFewBarsIsNullNotAMatch) {
  EvalParams p;
  p.ma_periods = {5, 20, 60};
  EXPECT_TRUE(evaluate(bars(std::vector<double>(59, 100)), p).is_null());
  EXPECT_FALSE(evaluate(bars(std::vector<double>(60, 100)), p).is_null());
}

TEST(ScreenerEvaluate, CrossExactlyAtTheWindowEdge) {
  // Falling then rising: 5-day line crosses above the 20-day line at a known bar.
  std::vector<double> c;
  for (int i = 0; i < 40; ++i) c.push_back(200 - i);
  for (int i = 0; i < 12; ++i) c.push_back(161 + 6 * i);
  EvalParams p;
  p.ma_periods = {5, 20};
  p.cross_pair = std::make_pair(5, 20);
  p.cross_within = 60;
  json m = evaluate(bars(c), p);
  ASSERT_TRUE(m["cross_bars_ago"].is_number());
  int ago = m["cross_bars_ago"].get<int>();
  EXPECT_EQ(m["cross"], "골든크로스");
  // A window of exactly ago+1 bars still sees it; one bar less does not.
  p.cross_within = ago + 1;
  EXPECT_EQ(evaluate(bars(c), p)["cross_bars_ago"], ago);
  p.cross_within = ago;
  EXPECT_TRUE(evaluate(bars(c), p)["cross"].is_null());
  EXPECT_FALSE(matches(evaluate(bars(c), p), json{{"cross", "골든크로스"}}));
}

TEST(ScreenerMatch, BoundsAreInclusiveAndMissingValuesFail) {
  json m = {{"ma_spread", 2.5}, {"close", 10000.0}, {"rsi", nullptr}, {"all_ma", {{"20", 9000.0}}}};
  EXPECT_TRUE(matches(m, json{{"ma_spread_max", 2.5}}));
  EXPECT_FALSE(matches(m, json{{"ma_spread_max", 2.49}}));
  EXPECT_TRUE(matches(m, json{{"price_min", 10000.0}, {"price_max", 10000.0}}));
  EXPECT_FALSE(matches(m, json{{"rsi_max", 70.0}}));        // unknown RSI never passes
  EXPECT_TRUE(matches(m, json{{"above_ma", 20}}));
  EXPECT_FALSE(matches(m, json{{"below_ma", 20}}));
  EXPECT_FALSE(matches(m, json{{"above_ma", 60}}));         // MA not computed
  EXPECT_DOUBLE_EQ(condition_gap("ma_spread_max", json{{"ma_spread", 3.0}}, json{{"ma_spread_max", 2.0}}), 0.5);
  EXPECT_EQ(condition_actual("ma_spread_max", json{{"ma_spread", 3.0}}, json::object()), "이평폭 3.00%");
}

TEST(ScreenerEvaluate, FlatSeriesIndicators) {
  std::vector<double> c(100, 100);
  c.back() = 110;   // a jump on the last bar
  EvalParams p;
  p.ma_periods = {5, 20, 60};
  p.high_low_days = 20;
  json m = evaluate(bars(c, 500), p);
  EXPECT_TRUE(m["is_new_high"].get<bool>());
  EXPECT_FALSE(m["is_new_low"].get<bool>());
  EXPECT_NEAR(m["change_pct"].get<double>(), 10.0, 1e-9);
  EXPECT_NEAR(m["volume_ratio"].get<double>(), 1.0, 1e-9);
  EXPECT_EQ(m["ma_order"], "정배열");   // 5 > 20 > 60 after the jump
  EXPECT_GT(m["rsi"].get<double>(), 99.0);
  // A last bar without a volume has no volume ratio (not 0x), so an upper bound does not pass.
  json rows = bars(c, 500);
  rows.back()["volume"] = nullptr;
  json q = evaluate(rows, p);
  EXPECT_TRUE(q["volume_ratio"].is_null());
  EXPECT_FALSE(matches(q, json{{"volume_ratio_max", 1.0}}));
}

TEST(ScreenerEvaluate, HaltedBarsTradeAtTheirClose) {
  // A halted day comes with zero open/high/low and no volume; it must not drag the
  // range low to 0 (which would put every stock at the top of its range).
  json rows = bars(std::vector<double>(80, 100));
  rows[70]["open"] = 0;
  rows[70]["high"] = 0;
  rows[70]["low"] = 0;
  rows[70]["volume"] = 0;
  rows[79]["close"] = 100.5;
  EvalParams p;
  p.ma_periods = {5, 20};
  p.range_days = 20;
  json m = evaluate(rows, p);
  ASSERT_TRUE(m["range_position"].is_number());
  EXPECT_NEAR(m["range_position"].get<double>(), 75.0, 1e-9);   // low 99, high 101
  ASSERT_TRUE(m["contraction"].is_number());
  EXPECT_NEAR(m["contraction"].get<double>(), 1.0, 1e-9);
  // A bar without any close is skipped, not read as 0.
  rows[75]["close"] = nullptr;
  EXPECT_EQ(evaluate(rows, p)["last_date"], rows[79]["date"]);
}

// A bound past any real value is written in digits, never in exponent notation.
TEST(ScreenerLabels, HugeBoundIsWrittenOut) {
  auto labels = condition_labels(json{{"ma_spread_max", 1e62}, {"price_min", 5000.0}}, "일", json::object());
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels[0].second.find("e+"), std::string::npos) << labels[0].second;
  EXPECT_TRUE(std::regex_match(labels[0].second, std::regex("이평폭 ≤ [1-9][0-9]{0,2}(,[0-9]{3}){20}%")))
      << labels[0].second;
  EXPECT_EQ(labels[1].second, "주가 ≥ 5,000원");
}
