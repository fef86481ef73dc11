#pragma once
// Splitting a US tool reply into its text and its result meta.
#include <string>

#include "core/json.hpp"
#include "core/result_meta.hpp"

namespace tessaro::testing {

inline bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The reply without the meta block.
inline std::string reply_body(const std::string& reply) {
  auto p = reply.find(std::string("\n\n") + rmeta::START_MARKER);
  return p == std::string::npos ? reply : reply.substr(0, p);
}

// The meta object, or null when the reply has none.
inline json reply_meta(const std::string& reply) {
  std::string start = std::string(rmeta::START_MARKER) + "\n";
  auto a = reply.find(start);
  if (a == std::string::npos) return nullptr;
  a += start.size();
  auto b = reply.find(std::string("\n") + rmeta::END_MARKER, a);
  return json::parse(reply.substr(a, b - a));
}

}  // namespace tessaro::testing
