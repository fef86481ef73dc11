#pragma once
// Running a tool for the host: the reply with its error flag, and the arguments
// as the body receives them. An argument given as null counts as not given: its
// default applies, and a required one is refused (call_tool and run_tool alike).
#include <optional>
#include <string>

#include "core/json.hpp"
#include "server/registry.hpp"

namespace tessaro::server {

// A tool's reply and whether it is an error reply (an argument refusal or an error
// text of the wrappers).
struct ToolReply {
  std::string text;
  bool is_error = false;
  std::optional<json> structured;   // the call's structured result, when the tool gave one
};

struct UnknownToolError : ArgumentError {
  using ArgumentError::ArgumentError;
};

// Throws UnknownToolError only; argument refusals come back as error replies.
ToolReply run_tool(const std::string& name, const json& arguments);

// Every declared argument present, coerced to its type, defaults filled. Throws
// ArgumentError with the Korean refusal.
json prepare_arguments(const ToolEntry& entry, const json& arguments);

}  // namespace tessaro::server
