#pragma once
// Which brokers may be named: the experimental ones (Toss) only when
// ORVANE_ENABLE_EXPERIMENTAL_BROKERS=1.
#include <string>
#include <vector>

namespace tessaro::market_data {

inline constexpr const char* EXPERIMENTAL_BROKER_ENV = "ORVANE_ENABLE_EXPERIMENTAL_BROKERS";

const std::vector<std::string>& experimental_brokers();   // {"toss"}
bool broker_is_public(const std::string& provider);
std::vector<std::string> public_intraday_sources();       // registry order

}  // namespace tessaro::market_data
