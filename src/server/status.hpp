#pragma once
// The server's own health: version, both markets, recent calls, writable folders.
// Reads local records only; never calls the network.
#include <string>

#include "core/json.hpp"

namespace tessaro::server {

json build_status();
std::string format_status(const json& status);

}  // namespace tessaro::server
