#pragma once
// MCP over newline-delimited JSON-RPC 2.0 on stdin/stdout.
#include <iosfwd>
#include <string>

#include "core/json.hpp"

namespace tessaro::server {

inline constexpr const char* LATEST_PROTOCOL = "2025-06-18";
bool protocol_supported(const std::string& version);

// The tools/list entry of every catalogue tool, in catalogue order.
json tools_list();
// The server instructions shown to the assistant.
const std::string& instructions();

// Serves until `in` reaches end of file. Tool calls run on a worker pool; every
// response is written whole as one line.
void serve(std::istream& in, std::ostream& out, int workers = 8);

// Handles one parsed message synchronously (tests); returns the response or null
// for notifications.
json handle_message(const json& msg);

}  // namespace tessaro::server
