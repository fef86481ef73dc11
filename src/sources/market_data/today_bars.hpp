#pragma once
// Today's forming daily bar for many stocks at once, from the polling quote feed.
//
// When a stock's daily series is cached up to the last trading day before today,
// only today's bar is missing; one polling request answers that for a batch of
// codes, where the chart would cost one request per stock. The quote's KRX block
// gives open, high, low, close (the price) and the KRX volume (never NXT or
// KRX+NXT) and the trade time, whose date is the bar's date. The bar is kept in
// memory only, as forming, so the chart's own bar replaces it once the day is
// final (the cache asks the chart again after its TTL or at the day's end).
//
// A batch that fails leaves its stocks to their own chart request: those are
// fetched here, the ledger names the failed batch and the chart standing in.
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::bars_cache {

inline constexpr size_t TODAY_QUOTE_BATCH = 30;

// What one prefetch did (benchmarks and tests).
struct TodayBarsReport {
  size_t wanted = 0;           // codes whose series lacked only today's bar
  size_t from_quote = 0;       // served from the quote feed
  size_t batches = 0;          // polling requests sent
  size_t failed_batches = 0;
  std::vector<std::string> chart_fallback;   // codes of failed batches, asked of the chart instead
};

// Prepares today's daily bar of `codes` so that get_ohlcv(code, "day", count)
// that follows is served from memory. Codes the quote cannot stand for (not in
// the answer, halted, no trade today yet that the cache can confirm) are left
// as they were: get_ohlcv asks the chart for them as always.
TodayBarsReport prefetch_today_bars(const std::vector<std::string>& codes, int count);

// The daily row {date, open, high, low, close, volume} one polling item stands
// for, and its trade time; nullopt with `why` when it cannot stand for the
// chart's bar (halted, before the open, a value missing or unreadable).
struct QuoteBar {
  json row;
  std::string traded_at;   // "2026-09-29T20:00:00+09:00"
};
std::optional<QuoteBar> quote_bar(const json& item, std::string* why = nullptr);

// ---- the cache's side (daily_bars.cpp) -------------------------------------------
// A series that lacks only today's bar: its final bars reach the last trading day
// before today, and they can make up `count` with today's bar.
struct TodayGap {
  std::string today;            // "YYYY-MM-DD", KST
  std::string last_final_day;   // the last final bar's date
  double last_final_close = 0;
  bool close_known = false;
};
std::optional<TodayGap> today_gap(const std::string& code, int count);
// Sets the series' bars after its final ones to `row` (none: no bar today yet),
// fetched now. False when the series changed since today_gap or `row` does not
// follow its final bars.
bool put_today_bar(const std::string& code, const TodayGap& gap, const std::optional<json>& row, int count);

}  // namespace tessaro::bars_cache
