#pragma once
// Reading a US tool reply: the same text/meta split as the Korean tool replies.
#include <string>

#include "support/naver_env.hpp"

namespace tessaro::testing {

inline bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
inline std::string reply_body(const std::string& reply) { return body_of(reply); }
inline json reply_meta(const std::string& reply) { return meta_of(reply); }

}  // namespace tessaro::testing
