#pragma once
// Where the chart screen's second stage gets intraday bars: one dataset call of
// the broker bar layer (at most ten trading days of finished bars ending at a
// reference date). The broker layer installs its fetcher with set_intraday_fetch();
// until one is installed every call raises RouterError, which the screen reports
// as "no broker connected" rather than as missing bars.
#include <functional>
#include <string>

#include "core/errors.hpp"
#include "core/json.hpp"
#include "sources/market_data/market_data.hpp"

namespace tessaro::screener {

// Failures of the bar layer, as the screen sees them.
using market_data::BrokerApiError;   // a broker error (rate limit and the like): worth retrying
using market_data::RouterError;      // no provider can serve the request
using market_data::SymbolMappingError;

struct IntradayRequest {
  std::string symbol;
  std::string market = "KR";
  std::string interval;        // "1m" .. "240m"
  std::string trading_date;    // "YYYY-MM-DD": the newest day to include
  int row_limit = 500;
  std::string session = "regular";
  bool completed_only = true;
  std::string source = "auto";
};

// {bars: [{start_at, open, high, low, close, volume}], coverage: {failure_status, complete}}
using IntradayFetch = std::function<json(const IntradayRequest&)>;

void set_intraday_fetch(IntradayFetch fn);   // empty fn restores the default
json fetch_intraday_dataset(const IntradayRequest& req);

inline constexpr const char* NO_BROKER_TEXT = "연결된 증권사가 없습니다 (국내 분봉 제공자 없음)";

}  // namespace tessaro::screener
