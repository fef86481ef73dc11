#pragma once
// The tool host behind the MCP protocol of mcp/: the catalogue's tools
// (tools/list, tools/call) and the registered resources, with the server's
// identity and instructions.
#include <iosfwd>
#include <string>

#include "core/json.hpp"

namespace tessaro::mcp {
class Host;
}

namespace tessaro::server {

// The tools/list entry of every catalogue tool, in catalogue order.
json tools_list();
// The server instructions shown to the assistant.
const std::string& instructions();

// The one tool host of the process.
mcp::Host& tool_host();

// Serves the tool host over standard input/output until `in` ends.
void serve(std::istream& in, std::ostream& out);

// Handles one parsed message synchronously (tests); returns the response or null
// when none is sent (notifications, cancelled calls).
json handle_message(const json& msg);

}  // namespace tessaro::server
