// Bars each indicator needs, the engine's folded errors, and 억원 market caps.
#include <gtest/gtest.h>

#include "server/tool_helpers.hpp"

using namespace tessaro;

TEST(KrCommonIndicators, CoverageRequirementsAndShortfalls) {
  // The plain shortfall (ma_cross, volume over 120 bars) is checked on the get_indicators reply.
  EXPECT_EQ(server::indicator_coverage(json{"rsi"}, 30, json{{"rsi", {{"period", 21}}}}, "day")["required_bars"]["rsi"], 22);
  // A non-numeric override drops that requirement silently.
  EXPECT_FALSE(server::indicator_coverage(json{"rsi"}, 30, json{{"rsi", {{"period", "x"}}}}, "day")["required_bars"].contains("rsi"));
  EXPECT_EQ(server::indicator_coverage(json{"ma"}, 100, json{{"ma", {{"periods", {5, 200}}}}}, "day")["insufficient"], json{"ma200"});

  // The 52-week requirement follows the timeframe; intraday has no year.
  EXPECT_EQ(server::indicator_coverage(json{"position"}, 60, nullptr, "week")["required_bars"], (json{{"position_52w", 52}}));
  json m = server::indicator_coverage(json{"position"}, 60, nullptr, "5m");
  EXPECT_EQ(m["required_bars"], (json{{"position_lookback", 2}}));
  // Equal is enough.
  EXPECT_TRUE(server::indicator_coverage(json{"candle"}, 2, nullptr, "day")["insufficient"].empty());
  EXPECT_TRUE(server::indicator_coverage(nullptr, 2, nullptr, "day")["required_bars"].empty());
}

TEST(KrCommonIndicators, ErrorListAndMarketCap) {
  json result = {{"rsi", {{"error", "ValueError: x"}}}, {"ma", {{"ma5", 1}}}, {"macd", {{"error", ""}}}};
  EXPECT_EQ(server::indicator_error_list(result), (json{{{"indicator", "rsi"}, {"error", "ValueError: x"}}}));

  EXPECT_EQ(server::market_cap_eok("1,543조 4,176억원"), 15434176.0);
  EXPECT_EQ(server::market_cap_eok("500억"), 500.0);
  EXPECT_EQ(server::market_cap_eok("1.5조"), 15000.0);
  EXPECT_TRUE(server::market_cap_eok("12345").is_null());
  EXPECT_TRUE(server::market_cap_eok(12345).is_null());
  EXPECT_TRUE(server::market_cap_eok("0억").is_null());
  EXPECT_TRUE(server::market_cap_eok(nullptr).is_null());
}
