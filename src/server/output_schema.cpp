#include "server/output_schema.hpp"

namespace tessaro::server {

namespace {

// The result meta of a JSON reply (the same block a text reply ends with).
json meta_schema() {
  return json{{"type", "object"},
              {"properties",
               {{"as_of", {{"type", "string"}}},
                {"data_as_of", {{"type", json::array({"string", "null"})}}},
                {"data_basis", {{"type", json::array({"string", "null"})}}},
                {"data_completeness", {{"enum", json::array({"complete", "partial", "none"})}}},
                {"market", {{"type", json::array({"string", "null"})}}},
                {"warnings", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                {"user_notice", {{"type", "string"}}}}},
              {"required", json::array({"as_of", "data_completeness", "warnings"})}};
}

}  // namespace

json string_or_null() { return json{{"type", json::array({"string", "null"})}}; }
json object_schema() { return json{{"type", "object"}}; }
json array_schema() { return json{{"type", "array"}}; }

json json_reply_schema(json properties, const std::vector<std::string>& required) {
  if (!properties.is_object()) properties = json::object();
  properties["_meta"] = meta_schema();
  json req = json::array();
  for (const auto& r : required) req.push_back(r);
  req.push_back("_meta");
  return json{{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(req)}};
}

}  // namespace tessaro::server
