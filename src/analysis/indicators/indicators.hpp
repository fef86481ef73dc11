#pragma once
// The indicator engine: standard technical indicators over OHLCV rows (oldest
// first) reduced to verdict values, one result mapping per indicator name.
//
// Definitions: simple moving averages; RSI with Wilder smoothing; MACD on EMAs
// seeded with the simple average of their first n values; Bollinger bands with
// the population standard deviation; slow stochastic (fast %K smoothed, %D the
// average of slow %K); OBV; ATR with Wilder smoothing. A value that cannot be
// computed is null, never 0. An indicator that fails (bad parameter, broken
// input) yields {"error": "..."} instead of throwing.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::indicators {

// Snapshot indicators, then the structural ones.
extern const std::vector<std::string> AVAILABLE_INDICATORS;
bool is_available(const std::string& name);

// Bars in one year by timeframe: day 252, week 52, month 12. Intraday
// timeframes have no entry (no 52-week window).
extern const std::map<std::string, int> BARS_PER_YEAR;
std::optional<int> bars_per_year(const std::string& timeframe);

// A parameter as a whole number the way the tools read it: an integral number,
// a real (truncated) or a text of digits; nullopt for anything else.
std::optional<long long> param_whole(const json& v);
// The items of a list parameter: an array's elements, a text's comma-separated
// parts (trimmed, empty ones dropped), or the single value itself.
std::vector<json> param_items(const json& v);

// Columns of the rows. Prices and volume are NaN where a row lacks them.
struct Series {
  std::vector<std::string> dates;
  std::vector<double> open, high, low, close, volume;
  size_t size() const { return close.size(); }
};
Series to_series(const json& rows);

// rows: array of {date, open, high, low, close, volume}, oldest first (placeholder
// bars already removed). params: {indicator: {param: value}} or null. currency
// "KRW" or "USD" names the trade-value key (trade_value_est_krw / _usd).
json compute_indicators(const json& rows, const std::vector<std::string>& include,
                        const json& params = nullptr, const std::string& timeframe = "day",
                        const std::string& currency = "KRW");
json compute_indicators(const Series& s, const std::vector<std::string>& include,
                        const json& params = nullptr, const std::string& timeframe = "day",
                        const std::string& currency = "KRW");

// ---- building blocks (NaN where undefined) ---------------------------------
std::vector<double> sma(const std::vector<double>& v, int n);
// EMA with multiplier 2/(n+1), seeded at index n-1 with the simple average of the
// first n values; NaN inputs before the first finite value are skipped.
std::vector<double> ema(const std::vector<double>& v, int n);
std::vector<double> rsi_series(const std::vector<double>& closes, int period = 14);
std::vector<double> atr_series(const Series& s, int period = 14);

// Latest Wilder RSI rounded to 2 decimals; nullopt with fewer than period + 1 closes.
std::optional<double> compute_rsi(const std::vector<double>& closes, int period = 14);

// State of a short/long simple-average pair and its latest cross:
// {short, long, state, state_label, type, type_label, cross_date, days_ago|bars_ago,
//  lookback_bars, ma_short, ma_long}. "days_ago" for daily bars, "bars_ago" otherwise.
json compute_ma_cross(const std::vector<double>& closes, const std::vector<std::string>& dates,
                      int short_period, int long_period, const std::string& timeframe = "day");

}  // namespace tessaro::indicators
