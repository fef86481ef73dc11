#pragma once
// JSON-RPC 2.0 framing: reading one message off the wire (with the limits checked
// before a document is built) and the shapes of what goes back.
#include <cstddef>
#include <optional>
#include <string>

#include "core/json.hpp"

namespace tessaro::mcp {

// Limits checked before a message is built into a document.
inline constexpr size_t MAX_MESSAGE_BYTES = 8u << 20;
inline constexpr int MAX_NESTING = 256;

// One message off the wire: the document, or the error reply owed for it (null
// when nothing is owed, e.g. an unreadable notification). Invalid UTF-8 and
// unpaired UTF-16 surrogate escapes are read as U+FFFD.
struct Incoming {
  std::optional<json> message;
  json error;
};
// `text` may be cut at MAX_MESSAGE_BYTES by the transport; `truncated` says so.
Incoming read_message(std::string text, bool truncated = false);

json error_response(const json& id, int code, const std::string& message, const json& data = nullptr);
json result_response(const json& id, json result);

// Request ids are strings or numbers: null is no id in any MCP revision.
bool valid_id(const json& id);

}  // namespace tessaro::mcp
