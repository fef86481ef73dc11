#pragma once
// The outputSchema of a tool that answers with one JSON document: its own
// properties, and the result meta every such document carries under `_meta`.
// The host sends that document as the reply's structuredContent too.
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::server {

json json_reply_schema(json properties, const std::vector<std::string>& required);

// Property schemas the documents share.
json string_or_null();
json object_schema();
json array_schema();

}  // namespace tessaro::server
