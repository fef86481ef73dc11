#pragma once
// The one JSON type of the project: key order is kept, because replies show it.
#include <nlohmann/json.hpp>

namespace tessaro {
using json = nlohmann::ordered_json;

// Compact dump with non-ASCII left as UTF-8 (separators "," and ":").
std::string dump_compact(const json& j);
}  // namespace tessaro
