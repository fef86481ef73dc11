#pragma once
// screen_chart: the market-wide chart-condition screen (daily bars, optionally
// refined on intraday bars through the broker layer). The sources are passed in
// so the pipeline can be driven without the network.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "server/registry.hpp"
#include "sources/market_data/screen_intraday.hpp"

namespace tessaro::tools::screen {

inline const std::vector<std::string> SCREEN_INTERVALS = {"1m",  "3m",  "5m",   "10m", "15m",
                                                          "30m", "60m", "120m", "240m"};
inline constexpr int SCREEN_INTRADAY_MAX_CALLS = 6;
inline constexpr int SCREEN_INTRADAY_RETRIES = 3;
inline constexpr int SCREEN_INTRADAY_CONCURRENCY = 5;
inline constexpr int SCREEN_DAILY_CONCURRENCY = 10;

struct Sources {
  std::function<json(const std::string& market, int page, int count)> market_cap_page;
  std::function<json()> management_codes;
  std::function<json()> alert_codes;
  std::function<json(const std::string& code, int count)> daily_bars;
  // Readies today's forming bar of many codes before daily_bars reads them
  // (batched quotes where only today's bar is missing); empty: nothing to ready.
  std::function<void(const std::vector<std::string>& codes, int count)> today_bars;
  std::function<json(const screener::IntradayRequest&)> intraday;
  double retry_base_seconds = 0.6;   // wait = base x attempt number
};
Sources default_sources();

// (candidates {code, name, market}, dropped counts by reason)
std::pair<std::vector<json>, json> screen_chart_universe(const Sources& src, const std::string& market, int top_n,
                                            const std::vector<std::string>& exclude, double cap_min,
                                            std::vector<std::string>* failed_markets = nullptr,
                                            std::vector<std::string>* failed_filters = nullptr);

// Intraday rows {date, open, high, low, close, volume} in time order, and whether
// the fetch ran to the end (false: cut short, retrying later gives more).
std::pair<json, bool> screen_chart_intraday_rows(const Sources& src, const std::string& code, const std::string& interval,
                                    int need_bars);

std::string screen_chart(const server::Args& a, const Sources& src);

}  // namespace tessaro::tools::screen
