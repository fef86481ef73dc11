// The tool host: the catalogue's tools and the registered resources behind the
// MCP protocol (mcp/), which knows nothing of either.
#include "server/mcp.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <vector>
#include <string_view>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "mcp/protocol.hpp"
#include "server/arg_docs.hpp"
#include "server/arg_rules.hpp"
#include "server/registry.hpp"
#include "server/resources.hpp"
#include "server/tool_call.hpp"
#include "server/toolsets.hpp"

namespace tessaro::server {

namespace {

json type_schema(const std::string& t) {
  if (t == "str") return {{"type", "string"}};
  if (t == "int") return {{"type", "integer"}};
  if (t == "float") return {{"type", "number"}};
  if (t == "bool") return {{"type", "boolean"}};
  if (t == "list[str]") return {{"type", "array"}, {"items", {{"type", "string"}}}};
  if (t == "list[dict]")
    return {{"type", "array"}, {"items", {{"type", "object"}, {"additionalProperties", true}}}};
  if (t == "dict") return {{"type", "object"}, {"additionalProperties", true}};
  return json::object();
}

std::string title_of(const std::string& name) {
  std::string t;
  bool up = true;
  for (char c : name) {
    if (c == '_') {
      t.push_back(' ');
      up = true;
    } else {
      t.push_back(up ? char(std::toupper((unsigned char)c)) : c);
      up = false;
    }
  }
  return t;
}

// Each argument's words, read once per tool from its description.
const std::map<std::string, std::string>& docs_of(const ToolEntry& entry) {
  static std::mutex m;
  static std::map<std::string, std::map<std::string, std::string>> cache;
  std::lock_guard<std::mutex> lk(m);
  auto it = cache.find(entry.name);
  if (it == cache.end()) {
    std::vector<std::string> names;
    for (const auto& p : entry.params) names.push_back(p.name);
    it = cache.emplace(entry.name, argument_docs(description_of(entry.name), names)).first;
  }
  return it->second;
}

json input_schema(const ToolEntry& entry) {
  json props = json::object();
  json required = json::array();
  const auto& docs = docs_of(entry);
  for (const auto& p : entry.params) {
    json s;
    json typed = type_schema(p.type);
    add_argument_rules(entry.name, p.name, p.type, typed);
    // The rules' own words (how a value is clamped) follow the argument's description.
    std::string rule_note;
    if (typed.contains("description") && typed["description"].is_string()) {
      rule_note = typed["description"].get<std::string>();
      typed.erase("description");
    }
    if (p.required) {
      s = typed;
      s["title"] = title_of(p.name);
      required.push_back(p.name);
    } else if (p.default_value.is_null()) {
      s = json{{"anyOf", json::array({typed, json{{"type", "null"}}})}, {"default", nullptr},
               {"title", title_of(p.name)}};
    } else {
      s = typed;
      s["default"] = p.default_value;
      s["title"] = title_of(p.name);
    }
    std::string words = docs.count(p.name) ? docs.at(p.name) : std::string();
    if (!rule_note.empty()) words = words.empty() ? rule_note : words + " " + rule_note;
    if (!words.empty()) s["description"] = words;
    props[p.name] = std::move(s);
  }
  json schema = {{"type", "object"}, {"properties", props}};
  if (!required.empty()) schema["required"] = required;
  return schema;
}

json call_result(const ToolReply& reply) {
  json r{{"content", json::array({json{{"type", "text"}, {"text", reply.text}}})}};
  if (reply.structured) r["structuredContent"] = *reply.structured;
  r["isError"] = reply.is_error;
  return r;
}

json call_result(const std::string& text, bool is_error) { return call_result(ToolReply{text, is_error, std::nullopt}); }

// A tool that declares an outputSchema answers with a document. A reply whose
// text is that document (the JSON tools) carries it as structuredContent too,
// the very text parsed, so the two cannot differ; a tool whose text is Markdown
// hands its document in itself (set_structured_result). A reply with no
// document is a refusal or a failure told in words: an error reply, so that no
// client looks for the document it does not hold.
void attach_document(const std::string& name, ToolReply& reply) {
  if (!tool_decor(name).output_schema.is_object() || reply.is_error) return;
  if (!reply.structured) {
    json doc = json::parse(reply.text, nullptr, false);
    if (doc.is_object()) reply.structured = std::move(doc);
  }
  if (!reply.structured) reply.is_error = true;
}

// tools/call. Null when the call was cancelled: no reply goes out then.
json answer_tools_call(const json& params) {
  if (!params.is_object() || !params.contains("name") || !params["name"].is_string())
    throw mcp::RpcError(-32602, "Invalid params: ⚠️ 호출할 도구 이름(name)이 필요합니다.");
  std::string name = params["name"].get<std::string>();
  json args = params.contains("arguments") ? params["arguments"] : json::object();
  try {
    ToolReply reply = run_tool(name, args);
    if (call_cancelled()) return nullptr;
    attach_document(name, reply);
    return call_result(reply);
  } catch (const UnknownToolError& e) {
    throw mcp::RpcError(-32602, e.what());
  } catch (const Cancelled&) {
    return nullptr;
  } catch (const std::exception& e) {
    // The wrappers catch tool failures; this is only reached by tessaro_status
    // misbehaving or a bug in the host layer itself.
    if (call_cancelled()) return nullptr;
    return call_result(std::string("⚠️ 도구 실행 실패: ") + exception_class_name(e), true);
  }
}

json resources_list() {
  json out = json::array();
  for (const auto& r : resources()) {
    json e{{"uri", r.uri}, {"name", r.name}};
    if (!r.title.empty()) e["title"] = r.title;
    if (!r.description.empty()) e["description"] = r.description;
    if (!r.mime_type.empty()) e["mimeType"] = r.mime_type;
    if (r.meta.is_object()) e["_meta"] = r.meta;
    out.push_back(std::move(e));
  }
  return out;
}

// Resource not found is -32002 in every revision that has resources.
json answer_resources_read(const json& params) {
  if (!params.is_object() || !params.contains("uri") || !params["uri"].is_string())
    throw mcp::RpcError(-32602, "Invalid params: ⚠️ 읽을 리소스의 uri가 필요합니다.");
  std::string uri = params["uri"].get<std::string>();
  const ResourceDecl* r = find_resource(uri);
  if (!r) throw mcp::RpcError(-32002, "Resource not found: " + uri);
  try {
    json c{{"uri", r->uri}};
    if (!r->mime_type.empty()) c["mimeType"] = r->mime_type;
    c["text"] = r->read ? r->read() : std::string();
    if (r->meta.is_object()) c["_meta"] = r->meta;
    return json{{"contents", json::array({std::move(c)})}, {"ttlMs", r->ttl_ms}, {"cacheScope", r->cache_scope}};
  } catch (const std::exception& e) {
    // Our own errors say what failed in words (the watchlist file that cannot be read).
    const auto* ours = dynamic_cast<const Error*>(&e);
    throw mcp::RpcError(-32603, std::string("⚠️ 리소스를 읽지 못했습니다: ") + (ours ? e.what() : exception_class_name(e)));
  }
}

}  // namespace

json tools_list() {
  json tools = json::array();
  const auto& writes = write_tools();
  for (const auto& entry : catalogue()) {
    if (!tool_enabled(entry.name)) continue;
    bool writes_disk = std::find(writes.begin(), writes.end(), entry.name) != writes.end();
    bool offline = std::find(offline_tools().begin(), offline_tools().end(), entry.name) != offline_tools().end();
    // Repeating a call changes nothing more, except for the workbook writers, whose
    // every call saves a new file; the watchlist keeps a set.
    bool idempotent = !writes_disk || entry.name == "watchlist";
    json tool{{"name", entry.name},
              {"description", description_of(entry.name)},
              {"inputSchema", input_schema(entry)}};
    ToolDecor decor = tool_decor(entry.name);
    if (decor.output_schema.is_object()) tool["outputSchema"] = decor.output_schema;
    tool["annotations"] = {{"title", title_of(entry.name)},
                           {"readOnlyHint", !writes_disk},
                           {"idempotentHint", idempotent},
                           {"openWorldHint", !offline}};
    if (decor.meta.is_object()) tool["_meta"] = decor.meta;
    tools.push_back(std::move(tool));
  }
  return tools;
}


namespace {

// The tool and resource lists do not change while the process lives.
constexpr long long kListTtlMs = 3600000;

// Tool titles, output schemas and structured results came with 2025-06-18.
bool structured_era(const mcp::RequestInfo& info) { return info.modern || info.version >= "2025-06-18"; }

class ToolHost final : public mcp::Host {
 public:
  json server_info() const override {
    return json{{"name", "tessaro-mcp"}, {"title", "Tessaro"}, {"version", TESSARO_VERSION}};
  }
  json capabilities() const override {
    return json{{"tools", {{"listChanged", false}}}, {"resources", {{"listChanged", false}}}};
  }
  std::string instructions() const override { return server::instructions(); }
  bool runs_long(const std::string& method) const override { return method == "tools/call"; }

  json answer(const std::string& method, const json& params, const mcp::RequestInfo& info) override {
    // Lists fit on one page, so no cursor is one of ours.
    auto no_cursor = [&](const char* what) {
      if (params.is_object() && params.contains("cursor") && !params["cursor"].is_null())
        throw mcp::RpcError(-32602, std::string("Invalid params: ⚠️ 알 수 없는 cursor입니다 (") + what + " 목록은 한 페이지입니다).");
    };
    if (method == "tools/list") {
      no_cursor("도구");
      // The list is fixed for the life of the process and the same for everyone.
      json tools = tools_list();
      // Revisions from 2025-06-18 on give a tool a display title of its own and
      // know output schemas; the older ones get neither.
      for (auto& t : tools) {
        if (structured_era(info)) t["title"] = t["annotations"]["title"];
        else t.erase("outputSchema");
      }
      return json{{"tools", std::move(tools)}, {"ttlMs", kListTtlMs}, {"cacheScope", "public"}};
    }
    if (method == "tools/call") {
      json r = answer_tools_call(params);
      if (r.is_object() && !structured_era(info)) r.erase("structuredContent");
      return r;
    }
    if (method == "resources/list") {
      no_cursor("리소스");
      return json{{"resources", resources_list()}, {"ttlMs", kListTtlMs}, {"cacheScope", "public"}};
    }
    if (method == "resources/templates/list") {
      no_cursor("리소스 템플릿");
      return json{{"resourceTemplates", json::array()}, {"ttlMs", kListTtlMs}, {"cacheScope", "public"}};
    }
    if (method == "resources/read") return answer_resources_read(params);
    throw mcp::RpcError(-32601, "Method not found: " + method);
  }
};

}  // namespace

mcp::Host& tool_host() {
  static ToolHost host;
  return host;
}

json handle_message(const json& msg) {
  static mcp::Dispatcher dispatcher(tool_host());
  return dispatcher.handle(msg);
}

void serve(std::istream& in, std::ostream& out) { mcp::serve(in, out, tool_host()); }

}  // namespace tessaro::server
