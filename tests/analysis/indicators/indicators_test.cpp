// The indicator engine against an independent implementation (the fixture's
// reference values come from the npm package "technicalindicators", see
// tests/fixtures/indicators/make_reference.mjs) and against values worked out by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "analysis/indicators/indicators.hpp"
#include "analysis/indicators/split_bars.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
namespace ind = tessaro::indicators;

namespace {

json reference_fixture() {
  static const json j = json::parse(::tessaro::testing::read_fixture("indicators/ind_reference_day.json"));
  return j;
}

// Rows with a date per bar (weekdays are not needed by the engine).
json rows_from_closes(const std::vector<double>& closes, double spread = 1.0, double volume = 1000) {
  json rows = json::array();
  for (size_t i = 0; i < closes.size(); ++i) {
    double c = closes[i];
    double o = i ? closes[i - 1] : c;
    rows.push_back({{"date", "2026-01-" + std::to_string(10 + i)}, {"open", o}, {"high", std::max(o, c) + spread},
                    {"low", std::min(o, c) - spread}, {"close", c}, {"volume", volume}});
  }
  return rows;
}

void expect_tail_near(const std::vector<double>& ours, const json& ref, double tol, const char* what) {
  ASSERT_GE(ours.size(), ref.size()) << what;
  size_t off = ours.size() - ref.size();
  for (size_t i = 0; i < ref.size(); ++i)
    EXPECT_NEAR(ours[off + i], ref[i].get<double>(), tol) << what << " at tail index " << i;
}

}  // namespace

TEST(IndicatorsReference, SeriesMatchIndependentImplementationAfterHaltRemoval) {
  json fx = reference_fixture();
  const json& ref = fx["reference"];
  auto split = ind::split_valid_bars(fx["rows"]);
  ASSERT_EQ(split.excluded.size(), 3u) << "three halted placeholder days";
  ASSERT_EQ(split.valid.size(), ref["valid_bars"].get<size_t>());
  auto s = ind::to_series(split.valid);
  EXPECT_EQ(s.dates.front(), "2025-08-04");   // YYYYMMDD rows come out dashed

  for (int p : {5, 20, 60, 120})
    expect_tail_near(ind::sma(s.close, p), ref["sma"][std::to_string(p)], 1e-6, "sma");
  expect_tail_near(ind::ema(s.close, 12), ref["ema12"], 1e-6, "ema12");
  // The reference rounds RSI to two decimals.
  auto rsi = ind::rsi_series(s.close, 14);
  expect_tail_near(rsi, ref["rsi14"], 0.0051, "rsi14");
  size_t defined = 0;
  for (double v : rsi) defined += std::isfinite(v);
  EXPECT_EQ(defined, ref["rsi_count14"].get<size_t>()) << "RSI starts after period + 1 closes";
  expect_tail_near(ind::atr_series(s, 14), ref["atr14"], 1e-6, "atr14");
}

TEST(IndicatorsReference, VerdictValuesMatchIndependentImplementation) {
  json fx = reference_fixture();
  const json& ref = fx["reference"];
  auto valid = ind::split_valid_bars(fx["rows"]).valid;
  json r = ind::compute_indicators(valid, ind::AVAILABLE_INDICATORS, nullptr, "day");
  for (const auto& name : ind::AVAILABLE_INDICATORS) {
    ASSERT_TRUE(r.contains(name)) << name;
    EXPECT_FALSE(r[name].contains("error")) << name << ": " << r[name].dump();
  }
  const json& m = ref["macd"].back();
  EXPECT_NEAR(r["macd"]["macd"].get<double>(), m["MACD"].get<double>(), 0.006);
  EXPECT_NEAR(r["macd"]["signal"].get<double>(), m["signal"].get<double>(), 0.006);
  EXPECT_NEAR(r["macd"]["histogram"].get<double>(), m["histogram"].get<double>(), 0.006);
  EXPECT_NEAR(r["macd"]["prev_histogram"].get<double>(), ref["macd"][ref["macd"].size() - 2]["histogram"].get<double>(), 0.006);

  const json& b = ref["bollinger"].back();
  EXPECT_NEAR(r["bollinger"]["upper"].get<double>(), b["upper"].get<double>(), 0.006);
  EXPECT_NEAR(r["bollinger"]["middle"].get<double>(), b["middle"].get<double>(), 0.006);
  EXPECT_NEAR(r["bollinger"]["lower"].get<double>(), b["lower"].get<double>(), 0.006);
  EXPECT_NEAR(r["bollinger"]["percent_b"].get<double>(), b["pb"].get<double>(), 1e-4);

  EXPECT_NEAR(r["stochastic"]["k"].get<double>(), ref["stoch_slow_k"].back().get<double>(), 0.006);
  EXPECT_NEAR(r["stochastic"]["d"].get<double>(), ref["stoch_slow_d"].back().get<double>(), 0.006);
  EXPECT_NEAR(r["rsi"]["value"].get<double>(), ref["rsi14"].back().get<double>(), 0.0051);
  EXPECT_EQ(r["obv"]["value"].get<double>(), ref["obv"].back().get<double>());
  const json& obv = ref["obv"];
  EXPECT_EQ(r["obv"]["change_window"].get<double>(),
            obv.back().get<double>() - obv[obv.size() - 21].get<double>());
  EXPECT_NEAR(r["ma"]["ma20"].get<double>(), ref["sma"]["20"].back().get<double>(), 0.006);
  EXPECT_NEAR(r["price_channel"]["atr"].get<double>(), ref["atr14"].back().get<double>(), 0.006);
  // 317 valid bars: a full year is there, and the daily key is days_ago.
  EXPECT_FALSE(r["position"]["high_52w"].is_null());
  EXPECT_TRUE(r["volume"]["volume_rank_252b"].is_number());
  EXPECT_FALSE(r["ma_cross"]["ma20_60"].contains("bars_ago"));
}

TEST(IndicatorsHand, RsiWilderSmoothingOnAShortSeries) {
  // Changes +1 +1 -1 +1 +1 with period 2: 100, then 50, 75, 87.5.
  auto r = ind::rsi_series({1, 2, 3, 2, 3, 4}, 2);
  EXPECT_TRUE(std::isnan(r[0]) && std::isnan(r[1]));
  EXPECT_DOUBLE_EQ(r[2], 100.0);
  EXPECT_DOUBLE_EQ(r[3], 50.0);
  EXPECT_DOUBLE_EQ(r[4], 75.0);
  EXPECT_DOUBLE_EQ(r[5], 87.5);
  EXPECT_EQ(ind::compute_rsi({1, 2, 3, 2, 3, 4}, 2), 87.5);
  EXPECT_FALSE(ind::compute_rsi({1, 2}, 2).has_value()) << "needs period + 1 closes";
  // A flat series has no RSI (0/0), not 0 or 50.
  EXPECT_FALSE(ind::compute_rsi({5, 5, 5, 5}, 2).has_value());
}

TEST(IndicatorsHand, MaCrossDatesAndAgeKeyByTimeframe) {
  std::vector<std::string> dates = {"d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7"};
  // ma2 - ma3 at d2..d5: -0.5, -0.17, +0.67, +0.83 -> golden cross on d4.
  json g = ind::compute_ma_cross({10, 9, 8, 9, 11, 12}, dates, 2, 3, "day");
  EXPECT_EQ(g["type"], "golden_cross");
  EXPECT_EQ(g["cross_date"], "d4");
  EXPECT_EQ(g["days_ago"], 1);
  EXPECT_EQ(g["state"], "short_above");
  // Then 9, 7: ma2 10.5 vs ma3 10.67 on d6 -> dead cross on d6.
  json d = ind::compute_ma_cross({10, 9, 8, 9, 11, 12, 9, 7}, dates, 2, 3, "week");
  EXPECT_EQ(d["type"], "dead_cross");
  EXPECT_EQ(d["cross_date"], "d6");
  EXPECT_EQ(d["bars_ago"], 1);
  EXPECT_FALSE(d.contains("days_ago"));
  EXPECT_EQ(d["state_label"], "2주선이 3주선 아래");   // weekly wording
  // Too short: no verdict and no invented cross.
  json s = ind::compute_ma_cross({1, 2}, dates, 2, 3, "day");
  EXPECT_TRUE(s["type"].is_null());
  EXPECT_TRUE(s["state"].is_null());
  EXPECT_THROW(ind::compute_ma_cross({1, 2, 3}, dates, 3, 3, "day"), std::exception);
}

TEST(IndicatorsHand, BollingerPopulationDeviationAndZones) {
  std::vector<double> c;
  for (int i = 1; i <= 20; ++i) c.push_back(i);
  json r = ind::compute_indicators(rows_from_closes(c, 0.5), {"bollinger"});
  // mean 10.5, population variance (20^2 - 1) / 12 = 33.25.
  double sd = std::sqrt(33.25);
  EXPECT_NEAR(r["bollinger"]["middle"].get<double>(), 10.5, 1e-9);
  EXPECT_NEAR(r["bollinger"]["upper"].get<double>(), 10.5 + 2 * sd, 0.005);
  EXPECT_NEAR(r["bollinger"]["lower"].get<double>(), 10.5 - 2 * sd, 0.005);
  EXPECT_EQ(r["bollinger"]["zone"], "upper_half");
  c.back() = 60;   // a spike far above the band of the others
  r = ind::compute_indicators(rows_from_closes(c, 0.5), {"bollinger"}, json{{"bollinger", {{"k", 1}}}});
  EXPECT_EQ(r["bollinger"]["zone"], "above_upper");
}

TEST(IndicatorsHand, SlowStochasticSmoothsFastK) {
  // k_period 3: fast %K at bars 2..5 from highs/lows of 3 bars.
  json rows = json::array();
  std::vector<std::array<double, 3>> hlc = {{10, 8, 9}, {11, 9, 10}, {12, 10, 11}, {12, 9, 9}, {13, 10, 12}, {14, 11, 14}};
  for (size_t i = 0; i < hlc.size(); ++i)
    rows.push_back({{"date", "2026-02-0" + std::to_string(i + 1)}, {"open", hlc[i][2]}, {"high", hlc[i][0]},
                    {"low", hlc[i][1]}, {"close", hlc[i][2]}, {"volume", 1}});
  // fast %K: b2 (11-8)/(12-8)=75, b3 (9-9)/(12-9)=0, b4 (12-9)/(13-9)=75, b5 (14-9)/(14-9)=100.
  // slow %K (2): b3 37.5, b4 37.5, b5 87.5; slow %D (2): b4 37.5, b5 62.5.
  json r = ind::compute_indicators(rows, {"stochastic"}, json{{"stochastic", {{"k_period", 3}, {"slow_k_period", 2}, {"d_period", 2}}}});
  EXPECT_DOUBLE_EQ(r["stochastic"]["k"].get<double>(), 87.5);
  EXPECT_DOUBLE_EQ(r["stochastic"]["d"].get<double>(), 62.5);
  EXPECT_DOUBLE_EQ(r["stochastic"]["prev_k"].get<double>(), 37.5);
  EXPECT_EQ(r["stochastic"]["zone"], "overbought");
  EXPECT_EQ(r["stochastic"]["state"], "k_above_d");
}

TEST(IndicatorsHand, VolumeKeysRankAndTradeValue) {
  std::vector<double> c(260, 100.0);
  json rows = rows_from_closes(c);
  for (size_t i = 0; i < rows.size(); ++i) rows[i]["volume"] = 1000 + (double)i;   // rising volume
  rows[100]["volume"] = 999999;   // one bigger day inside the last 252
  rows.back()["volume"] = 5000;
  json r = ind::compute_indicators(rows, {"volume"}, nullptr, "day", "KRW")["volume"];
  EXPECT_EQ(r["latest"], 5000);
  EXPECT_EQ(r["latest_date"], rows.back()["date"]);
  EXPECT_EQ(r["volume_rank_252b"], 2) << "only the 999999 day is larger";
  // last 20 volumes: 1240..1258 and 5000.
  double avg = (5000.0 + (1240 + 1258) * 19 / 2.0) / 20;
  EXPECT_NEAR(r["avg_20b"].get<double>(), std::round(avg), 0.5);
  EXPECT_NEAR(r["ratio_vs_avg_20b"].get<double>(), 5000 / avg, 0.006);
  EXPECT_EQ(r["trade_value_est_krw"], 500000);
  EXPECT_FALSE(r.contains("trade_value_est_usd"));
  json us = ind::compute_indicators(rows, {"volume"}, nullptr, "5m", "USD")["volume"];
  EXPECT_EQ(us["trade_value_est_usd"], 500000.0);

  // Under 252 bars the 252-bar rank is missing, not 1; a missing volume stays missing.
  json shorter = rows_from_closes(std::vector<double>(30, 50.0));
  shorter.back().erase("volume");
  json s = ind::compute_indicators(shorter, {"volume"})["volume"];
  EXPECT_TRUE(s["volume_rank_252b"].is_null());
  EXPECT_TRUE(s["latest"].is_null());
  EXPECT_TRUE(s["ratio_vs_avg_20b"].is_null());
  EXPECT_TRUE(s["trade_value_est_krw"].is_null());
}

TEST(IndicatorsHand, PositionYearWindowByTimeframe) {
  std::vector<double> c(300, 100.0);
  c[10] = 200;    // older than a year of daily bars
  c[200] = 150;   // inside the last 252 bars
  c[290] = 80;
  json rows = rows_from_closes(c, 0);
  json p = ind::compute_indicators(rows, {"position"}, nullptr, "day")["position"];
  EXPECT_EQ(p["high_52w"], 150.0);
  EXPECT_EQ(p["low_52w"], 80.0);
  EXPECT_EQ(p["lookback_high"], 200.0);
  EXPECT_EQ(p["high_date"], rows[201]["date"]) << "bar 201 opens at 150 (previous close)";
  EXPECT_EQ(p["bars_since_high"], 98);
  EXPECT_EQ(p["bars_since_low"], 8);
  EXPECT_EQ(p["basis"], "52w");

  // 60 weekly bars hold a year (52); the same 60 as daily bars do not.
  json weekly = rows_from_closes(std::vector<double>(60, 10.0));
  EXPECT_FALSE(ind::compute_indicators(weekly, {"position"}, nullptr, "week")["position"]["high_52w"].is_null());
  json daily = ind::compute_indicators(weekly, {"position"}, nullptr, "day")["position"];
  EXPECT_TRUE(daily["high_52w"].is_null());
  EXPECT_TRUE(daily["low_52w"].is_null());
  EXPECT_EQ(daily["lookback_high"], 11.0);
  EXPECT_EQ(daily["basis"], "lookback");
  EXPECT_TRUE(ind::compute_indicators(rows, {"position"}, nullptr, "5m")["position"]["high_52w"].is_null());
}

TEST(IndicatorsHand, MaPhaseAndSlope) {
  std::vector<double> up;
  for (int i = 0; i < 150; ++i) up.push_back(100 + i);
  json r = ind::compute_indicators(rows_from_closes(up), {"ma_phase", "ma_slope", "ma"});
  EXPECT_EQ(r["ma_phase"]["phase"], "bullish_alignment");
  EXPECT_EQ(r["ma_phase"]["close_above_count"], 4);
  EXPECT_EQ(r["ma_slope"]["ma20"]["direction"], "up");
  EXPECT_EQ(r["ma_slope"]["ma120"]["direction"], "up");
  // ma5 over 245..249 = 247; ma240 needs 240 bars.
  EXPECT_DOUBLE_EQ(r["ma"]["ma5"].get<double>(), 247.0);
  EXPECT_TRUE(r["ma"]["ma240"].is_null());
  EXPECT_TRUE(r["ma"]["close_vs_ma_pct"]["ma240"].is_null());

  std::vector<double> down(up.rbegin(), up.rend());
  EXPECT_EQ(ind::compute_indicators(rows_from_closes(down), {"ma_phase"})["ma_phase"]["phase"], "bearish_alignment");
  // 70 bars: 120 is left out and said so.
  json partial = ind::compute_indicators(rows_from_closes(std::vector<double>(up.begin(), up.begin() + 70)), {"ma_phase", "ma_slope"});
  EXPECT_EQ(partial["ma_phase"]["phase_label"], "정배열 (5>20>60, 120 미산출)");
  EXPECT_TRUE(partial["ma_slope"]["ma60"]["slope_pct"].is_null());
}

TEST(IndicatorsHand, CandlePatterns) {
  // Previous bar bearish 105 -> 100, last bar bullish 99 -> 107 engulfs it.
  json rows = json::array({
      {{"date", "2026-03-02"}, {"open", 105}, {"high", 106}, {"low", 99.5}, {"close", 100}, {"volume", 10}},
      {{"date", "2026-03-03"}, {"open", 99}, {"high", 107.5}, {"low", 98.5}, {"close", 107}, {"volume", 10}},
  });
  json c = ind::compute_indicators(rows, {"candle"})["candle"];
  EXPECT_EQ(c["type"], "bullish_engulfing");
  EXPECT_EQ(c["change_pct"], 7.0);
  // Doji opening above the previous high: doji and a gap up.
  rows[1] = {{"date", "2026-03-03"}, {"open", 110}, {"high", 112}, {"low", 108}, {"close", 110.1}, {"volume", 10}};
  c = ind::compute_indicators(rows, {"candle"})["candle"];
  ASSERT_EQ(c["patterns"].size(), 2u);
  EXPECT_EQ(c["patterns"][0]["type"], "doji");
  EXPECT_EQ(c["patterns"][1]["type"], "gap_up");
}

TEST(IndicatorsHand, StructuralLevelsChannelAndProfile) {
  // Zig-zag between 100 and 120 every 12 bars, last close 110.
  std::vector<double> c;
  for (int k = 0; k < 6; ++k) {
    for (int i = 0; i < 12; ++i) c.push_back(100 + 20.0 * i / 11);
    for (int i = 0; i < 12; ++i) c.push_back(120 - 20.0 * i / 11);
  }
  for (int i = 0; i < 6; ++i) c.push_back(100 + i * 2);
  json rows = rows_from_closes(c, 0.5);
  json r = ind::compute_indicators(rows, {"support_resistance", "price_channel", "volume_profile"});
  const json& sr = r["support_resistance"];
  ASSERT_FALSE(sr["nearest_support"].is_null()) << sr.dump();
  ASSERT_FALSE(sr["nearest_resistance"].is_null());
  EXPECT_NEAR(sr["nearest_support"]["price"].get<double>(), 99.5, 0.6);
  EXPECT_NEAR(sr["nearest_resistance"]["price"].get<double>(), 120.5, 0.6);
  EXPECT_GE(sr["nearest_resistance"]["touches"].get<int>(), 5);

  const json& pc = r["price_channel"];
  EXPECT_EQ(pc["breakout"], "none");
  EXPECT_NEAR(pc["lower"].get<double>(), 99.5, 1e-9);

  // A close above every high of the 20 bars before it breaks the channel upward.
  c.push_back(130);
  json b = ind::compute_indicators(rows_from_closes(c, 0.5), {"price_channel"})["price_channel"];
  EXPECT_EQ(b["breakout"], "upper");

  // Volume concentrated on bars around 100 puts the point of control there.
  for (auto& row : rows) row["volume"] = row["close"].get<double>() < 102 ? 100000 : 1000;
  json vp = ind::compute_indicators(rows, {"volume_profile"})["volume_profile"];
  EXPECT_LT(vp["poc"].get<double>(), 102.0);
  double sum = 0;
  for (const auto& bin : vp["profile"]) sum += bin["volume_pct"].get<double>();
  EXPECT_NEAR(sum, 100.0, 0.1);
}

TEST(IndicatorsErrors, FailedIndicatorIsAnEntryNotAThrow) {
  json rows = rows_from_closes(std::vector<double>(40, 10.0));
  json params = {{"rsi", {{"period", "x"}}}, {"macd", {{"fast", 30}}}, {"bollinger", 5}};
  json r;
  ASSERT_NO_THROW(r = ind::compute_indicators(rows, {"rsi", "macd", "bollinger", "nope", "volume"}, params));
  for (const char* bad : {"rsi", "macd", "bollinger", "nope"}) EXPECT_TRUE(r[bad].contains("error")) << bad;
  EXPECT_FALSE(r["volume"].contains("error"));
  // Text digits are whole numbers the way the coverage counts them.
  json ok = ind::compute_indicators(rows, {"rsi"}, json{{"rsi", {{"period", "21"}}}});
  EXPECT_EQ(ok["rsi"]["period"], 21);
  EXPECT_EQ(ind::param_whole(json(21.7)), 21);
  EXPECT_FALSE(ind::param_whole(json("2x")).has_value());
  EXPECT_FALSE(ind::param_whole(json(true)).has_value());
}

TEST(IndicatorsErrors, ShortOrEmptyHistoryGivesNullsNotZeros) {
  json r = ind::compute_indicators(rows_from_closes({10, 11, 12}), ind::AVAILABLE_INDICATORS);
  for (const auto& name : ind::AVAILABLE_INDICATORS) EXPECT_FALSE(r[name].contains("error")) << name;
  EXPECT_TRUE(r["rsi"]["value"].is_null());
  EXPECT_EQ(r["rsi"]["insufficient"]["required"], 15);
  EXPECT_TRUE(r["macd"]["macd"].is_null());
  EXPECT_TRUE(r["bollinger"]["upper"].is_null());
  EXPECT_TRUE(r["obv"]["change_window"].is_null());
  EXPECT_TRUE(r["ma_phase"]["phase"].is_null());
  json e = ind::compute_indicators(json::array(), ind::AVAILABLE_INDICATORS);
  for (const auto& name : ind::AVAILABLE_INDICATORS) EXPECT_FALSE(e[name].contains("error")) << name << e[name].dump();
  EXPECT_TRUE(e["volume"]["latest"].is_null());
}

TEST(IndicatorsHand, FlatRangeStochasticSaysWhyItHasNoValue) {
  // Thirty bars of one price (a halted stock): the highest high equals the lowest
  // low, so %K is undefined there. It stays null, with the reason, never 0 or 50.
  json rows = json::array();
  for (int i = 0; i < 30; ++i)
    rows.push_back({{"date", "2026-03-" + std::to_string(10 + i)}, {"open", 5000}, {"high", 5000}, {"low", 5000},
                    {"close", 5000}, {"volume", 0}});
  json st = ind::compute_indicators(rows, {"stochastic"})["stochastic"];
  EXPECT_TRUE(st["k"].is_null()) << st.dump();
  EXPECT_FALSE(st.contains("insufficient")) << "thirty bars are enough for 12/5/3";
  EXPECT_EQ(st["unavailable_reason"], "flat_range") << st.dump();
  EXPECT_NE(st.value("note", std::string()).find("최고가와 최저가가 같아"), std::string::npos);
  // A moving series has no such reason.
  std::vector<double> c;
  for (int i = 0; i < 30; ++i) c.push_back(100 + (i % 7));
  json moving = ind::compute_indicators(rows_from_closes(c), {"stochastic"})["stochastic"];
  EXPECT_TRUE(moving["k"].is_number());
  EXPECT_FALSE(moving.contains("unavailable_reason"));
}
