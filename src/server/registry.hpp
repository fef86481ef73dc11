#pragma once
// Registration table. A tool file defines its tools and registers them:
//
//   namespace {
//   std::string get_price(const tessaro::server::Args& a) { ... }
//   const tessaro::server::ToolRegistration reg_get_price{"get_price", kGetPriceDoc, get_price};
//   }
//
// Argument names, types, defaults, the wrapper and the listing order come from the
// catalogue (server/catalogue.cpp); the registry fills defaults and checks types
// before the body runs, so a body reads every argument it declares.
#include <functional>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::server {

class Args {
 public:
  explicit Args(json j) : j_(std::move(j)) {}
  const json& raw() const { return j_; }
  bool has(const std::string& k) const;       // present and not null
  std::string str(const std::string& k) const;          // "" when null
  std::optional<std::string> opt_str(const std::string& k) const;
  long long integer(const std::string& k) const;
  std::optional<long long> opt_int(const std::string& k) const;
  double number(const std::string& k) const;
  bool boolean(const std::string& k) const;
  std::optional<std::vector<std::string>> str_list(const std::string& k) const;
  const json& value(const std::string& k) const;        // null json when absent

 private:
  json j_;
};

using ToolFn = std::function<std::string(const Args&)>;

struct ToolRegistration {
  // description: the tool's documentation text shown to the assistant.
  ToolRegistration(const char* name, const char* description, ToolFn fn);
};

// What a tool declares beside its arguments, in tools/list: an output schema (its
// replies then carry the same document as structuredContent) and `_meta` (for
// example the view an MCP Apps host renders for it). Several registrations for
// one tool merge; a later key wins.
struct ToolDecor {
  json output_schema = nullptr;   // object or null
  json meta = nullptr;            // object or null
};
struct ToolDecorRegistration {
  ToolDecorRegistration(const char* name, ToolDecor decor);
};
// Null fields where the tool declares nothing.
ToolDecor tool_decor(const std::string& name);

enum class Wrapper { Safe, SafeUS, None };

struct ParamDecl {
  std::string name;
  std::string type;      // "str", "int", "float", "bool", "list[str]", "list[dict]", "dict"
  json default_value;    // absent (discarded) when required; null for "default none"
  bool required = false;
};

struct ToolEntry {
  std::string name;
  Wrapper wrapper = Wrapper::Safe;
  std::vector<ParamDecl> params;
  std::string fallback_description;
};

// Catalogue order, all 73 tools.
const std::vector<ToolEntry>& catalogue();
const ToolEntry* find_tool(const std::string& name);

// The registered body and description for a name (nullptr when not built yet).
const ToolFn* find_body(const std::string& name);
std::string description_of(const std::string& name);

// Tools that write to disk; check_write_tools() throws when one is not registered.
const std::vector<std::string>& write_tools();
void check_write_tools();
// Tools that answer from the clock and local files alone (no network).
const std::vector<std::string>& offline_tools();

// Runs a tool by name the way the host does: defaults, type checks, error wrapper,
// usage recorder. Throws ArgumentError for unknown tools or bad argument types.
std::string call_tool(const std::string& name, const json& arguments);

struct ArgumentError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr const char* NOT_READY_TEXT = "⚠️ 이 도구는 아직 준비되지 않았습니다.";

}  // namespace tessaro::server
