#pragma once
// Renderers of the US screener, sector and ETF tools (pure: source record in, reply
// out), exposed for tests.
#include <string>

#include "core/json.hpp"

namespace tessaro::tools::us {

// common_stock, warrant, right, unit, adr, etf, fund, index, cryptocurrency, future,
// currency or unknown. An unknown type is never a common stock.
std::string classify_us_security(const json& row);
std::string render_us_screener(const std::string& preset, const json& result, bool common_stock_only);
std::string render_us_sector(const std::string& sector_key, const json& sector, int top_n);
std::string render_us_etf_info(const std::string& ticker, const json& etf);

}  // namespace tessaro::tools::us
