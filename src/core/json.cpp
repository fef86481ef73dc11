#include "core/json.hpp"

namespace tessaro {
std::string dump_compact(const json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
}  // namespace tessaro
