#pragma once
// The server's side of the bar layer: which brokers may be named, what the
// connected broker can do, argument checks of the intraday tools, the assembly of
// several trading days of minute bars into one dataset (with the disk cache of
// finished broker days), the labels of the last bar and the error reply.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "sources/market_data/market_data.hpp"
#include "sources/market_data/public_brokers.hpp"

namespace tessaro::intraday {

using market_data::EXPERIMENTAL_BROKER_ENV;
inline constexpr int INTRADAY_MAX_FETCH_DAYS = 10;
using market_data::experimental_brokers;   // {"toss"}

using market_data::broker_is_public;
using market_data::public_intraday_sources;   // registry order
// KR minute-bar endpoint label of a broker ("domestic_minute", ...).
std::string broker_kr_endpoint(const std::string& broker);

// {data_source_mode, active_provider, active_profile, routing_generation,
//  connection_generation, state_v2}
json broker_state();
// {connected, kr_intraday, us_intraday, kr_daily, us_daily}
json broker_capabilities(const json& state);

std::string intraday_tz(const std::string& market);
mt::Instant intraday_now(const std::string& market);
std::string intraday_no_data_note(const std::string& day);
// {bar_forming, data_as_of, warnings}; unfinished_dropped: bars still forming
// that completed_only left out (the dataset coverage's unfinished_bars_dropped).
json intraday_bar_labels(const std::string& market, const std::vector<market_data::Bar>& bars,
                         const std::string& trading_date, mt::Instant now, int unfinished_dropped = 0);
// The KRX closing auction's own bar: the one stamped at the regular close of its
// day (15:30; 16:30 on the exam day).
bool is_closing_auction_bar(const std::string& market, const market_data::Bar& bar);
mt::Day previous_trading_day(const std::string& market, mt::Day day);
bool trading_day_completed(const std::string& market, mt::Day day, mt::Instant now);

// The disk cache of finished broker trading days (home directory read at each call).
market_data::ProviderCache intraday_disk_cache();
json broker_day_cache_key(const std::string& provider, const std::string& profile, const std::string& market,
                          const std::string& symbol, const std::string& venue, const std::string& session,
                          const std::string& trading_date);
std::optional<std::vector<market_data::Bar>> load_cached_broker_day(const market_data::ProviderCache& cache,
                                                                    const json& key);
void store_broker_day(const market_data::ProviderCache& cache, const json& key,
                      const std::vector<market_data::Bar>& bars);

struct DatasetRequest {
  std::string symbol;
  std::string market = "KR";
  std::string interval = "5m";
  std::string trading_date;   // "YYYY-MM-DD"
  int row_limit = 120;
  std::optional<std::string> venue;
  std::string session = "regular";
  bool completed_only = true;
  std::string source = "auto";
  std::optional<mt::Instant> now;
};
// (dataset, route meta). Throws market_data::ProviderError subclasses.
std::pair<market_data::BarDataset, json> fetch_intraday_dataset(const DatasetRequest& r);

// Meta of a bars reply: kr_meta (code) for KR, us_meta (ticker) for US;
// regular_session adds the KRX regular price session.
json bars_meta(const std::string& market, const std::string& symbol, const json& data_as_of, bool bar_forming,
               const std::string& completeness, const std::vector<std::string>& warnings, const json& coverage,
               const json& extra, bool regular_session = true);
json intraday_meta_extra(const market_data::BarDataset& ds, const json& route_meta);
std::string intraday_error_result(const std::string& symbol, const std::string& market, const std::string& message,
                                  const std::string& provider_status, const std::string& trading_date);

struct Validation {
  std::optional<std::string> error;
  std::optional<std::string> trading_date;
};
Validation validate_intraday_args(const std::string& market, const std::string& interval, const std::string& source,
                                  const std::optional<std::string>& date_str, const std::string& session = "regular");

// Routes the chart screen's second stage through this layer.
void install_screen_fetch();

}  // namespace tessaro::intraday
