#include "sources/market_data/public_brokers.hpp"

#include <algorithm>

#include "core/files.hpp"
#include "sources/market_data/market_data.hpp"

namespace tessaro::market_data {

const std::vector<std::string>& experimental_brokers() {
  static const std::vector<std::string> v = {"toss"};
  return v;
}

bool broker_is_public(const std::string& provider) {
  const auto& ex = experimental_brokers();
  if (std::find(ex.begin(), ex.end(), provider) == ex.end()) return true;
  return env_or(EXPERIMENTAL_BROKER_ENV, "") == "1";
}

std::vector<std::string> public_intraday_sources() {
  std::vector<std::string> out;
  for (const auto& id : ids())
    if (broker_is_public(id)) out.push_back(id);
  return out;
}

}  // namespace tessaro::market_data
