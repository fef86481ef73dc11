#include "server/registry.hpp"
#include "server/tool_call.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/secrets.hpp"
#include "server/arg_rules.hpp"
#include "server/meta.hpp"
#include "server/toolsets.hpp"
#include "server/wrappers.hpp"
#include "sources/metrics.hpp"

namespace tessaro::server {

namespace {

struct Entry {
  std::string description;
  ToolFn fn;
};

std::map<std::string, Entry>& table() {
  static std::map<std::string, Entry> t;
  return t;
}

[[noreturn]] void bad(const std::string& tool, const std::string& arg, const std::string& why) {
  throw ArgumentError("⚠️ " + tool + ": 인자 '" + arg + "' " + why);
}

json coerce(const std::string& tool, const ParamDecl& p, const json& v) {
  if (v.is_null()) {
    if (p.required) bad(tool, p.name, "값이 필요합니다 (null 불가).");
    return nullptr;
  }
  const std::string& t = p.type;
  if (t == "str") {
    if (v.is_string()) return v;
    bad(tool, p.name, "은(는) 문자열이어야 합니다.");
  }
  if (t == "int") {
    // Huge values are clamped here; each tool clamps to its own range afterwards.
    constexpr double lim = 9.0e15;
    if (v.is_number_unsigned()) return (long long)std::min<double>(double(v.get<unsigned long long>()), lim);
    if (v.is_number_integer()) return (long long)std::clamp<double>(double(v.get<long long>()), -lim, lim);
    double d;
    if (v.is_number_float()) {
      d = v.get<double>();
    } else if (v.is_string()) {
      auto n = fmt::parse_number(v.get<std::string>());
      if (!n) bad(tool, p.name, "은(는) 정수여야 합니다.");
      d = *n;
    } else {
      bad(tool, p.name, "은(는) 정수여야 합니다.");
    }
    if (!std::isfinite(d) || std::floor(d) != d) bad(tool, p.name, "은(는) 정수여야 합니다.");
    if (d > lim) d = lim;
    if (d < -lim) d = -lim;
    return (long long)d;
  }
  if (t == "float") {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) {
      auto n = fmt::parse_number(v.get<std::string>());
      if (n && std::isfinite(*n)) return *n;
    }
    bad(tool, p.name, "은(는) 숫자여야 합니다.");
  }
  if (t == "bool") {
    if (v.is_boolean()) return v;
    if (v.is_number_integer() && (v.get<long long>() == 0 || v.get<long long>() == 1)) return v.get<long long>() == 1;
    if (v.is_string()) {
      std::string s = fmt::lower(v.get<std::string>());
      if (s == "true" || s == "1" || s == "yes") return true;
      if (s == "false" || s == "0" || s == "no") return false;
    }
    bad(tool, p.name, "은(는) true/false 여야 합니다.");
  }
  if (t == "list[str]") {
    if (!v.is_array()) bad(tool, p.name, "은(는) 문자열 목록이어야 합니다 (예: [\"005930\"]).");
    json out = json::array();
    for (const auto& e : v) {
      if (!e.is_string()) bad(tool, p.name, "의 항목은 모두 문자열이어야 합니다.");
      out.push_back(e);
    }
    return out;
  }
  if (t == "list[dict]") {
    if (!v.is_array()) bad(tool, p.name, "은(는) 객체 목록이어야 합니다.");
    for (const auto& e : v)
      if (!e.is_object()) bad(tool, p.name, "의 항목은 모두 객체여야 합니다.");
    return v;
  }
  if (t == "dict") {
    if (!v.is_object()) bad(tool, p.name, "은(는) 객체여야 합니다.");
    return v;
  }
  return v;
}

}  // namespace

ToolRegistration::ToolRegistration(const char* name, const char* description, ToolFn fn) {
  table()[name] = Entry{description ? description : "", std::move(fn)};
}

namespace {
std::mutex& decor_mutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, ToolDecor>& decors() {
  static std::map<std::string, ToolDecor> m;
  return m;
}
void merge_object(json& into, const json& from) {
  if (!from.is_object()) return;
  if (!into.is_object()) into = json::object();
  for (auto it = from.begin(); it != from.end(); ++it) into[it.key()] = it.value();
}
}  // namespace

ToolDecorRegistration::ToolDecorRegistration(const char* name, ToolDecor decor) {
  std::lock_guard<std::mutex> lk(decor_mutex());
  ToolDecor& d = decors()[name];
  merge_object(d.output_schema, decor.output_schema);
  merge_object(d.meta, decor.meta);
}

ToolDecor tool_decor(const std::string& name) {
  std::lock_guard<std::mutex> lk(decor_mutex());
  auto it = decors().find(name);
  return it == decors().end() ? ToolDecor{} : it->second;
}

const ToolFn* find_body(const std::string& name) {
  auto it = table().find(name);
  return it == table().end() ? nullptr : &it->second.fn;
}

std::string description_of(const std::string& name) {
  auto it = table().find(name);
  if (it != table().end() && !it->second.description.empty()) return it->second.description;
  const ToolEntry* s = find_tool(name);
  return s ? s->fallback_description : "";
}

void check_write_tools() {
  for (const auto& w : write_tools())
    if (!find_tool(w)) throw std::logic_error("write tool not in the catalogue: " + w);
}

namespace {

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// The names given that the tool does not take, in the order given.
std::vector<std::string> unknown_arguments(const ToolEntry& entry, const json& arguments) {
  std::vector<std::string> out;
  if (!arguments.is_object()) return out;
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    bool known = std::any_of(entry.params.begin(), entry.params.end(), [&](const ParamDecl& p) { return p.name == it.key(); });
    if (!known) out.push_back(it.key());
  }
  return out;
}

// "⚠️ … 모르는 인자 'cod'는 무시했습니다 ('code'를 뜻했다면 그 이름으로 …)": the call ran
// without them, so a default the user did not mean may have applied.
std::string unknown_arguments_note(const ToolEntry& entry, const std::vector<std::string>& unknown) {
  std::vector<std::string> quoted, guesses;
  for (const auto& u : unknown) {
    quoted.push_back("'" + u + "'");
    const ParamDecl* best = nullptr;
    size_t best_d = 0;
    for (const auto& p : entry.params) {
      size_t d = edit_distance(fmt::lower(u), p.name);
      if (!best || d < best_d) best = &p, best_d = d;
    }
    if (best && best_d <= std::max<size_t>(2, best->name.size() / 3)) guesses.push_back("'" + u + "' → '" + best->name + "'");
  }
  std::vector<std::string> names;
  for (const auto& p : entry.params) names.push_back(p.name);
  std::string note = "⚠️ " + entry.name + " 이(가) 받지 않는 인자는 무시했습니다: " + fmt::join(quoted, ", ") + ".";
  if (!guesses.empty()) note += " 혹시 " + fmt::join(guesses, ", ") + " 인가요?";
  note += names.empty() ? " 이 도구는 인자를 받지 않습니다." : " 받는 인자: " + fmt::join(names, ", ") + ".";
  return note;
}

}  // namespace

// Null is "not given" everywhere: the default applies, a required argument is refused.
json prepare_arguments(const ToolEntry& entry, const json& arguments) {
  const std::string& name = entry.name;
  if (!arguments.is_null() && !arguments.is_object())
    throw ArgumentError("⚠️ " + name + ": 인자(arguments)는 JSON 객체여야 합니다 (예: {\"code\": \"005930\"}).");
  json args = json::object();
  for (const auto& p : entry.params) {
    const json* given = nullptr;
    if (arguments.is_object()) {
      auto it = arguments.find(p.name);
      if (it != arguments.end() && !(it->is_null() && !p.required)) given = &*it;
    }
    if (given) {
      args[p.name] = coerce(name, p, *given);
    } else if (p.required) {
      std::string refusal = "⚠️ " + name + ": 필수 인자 '" + p.name + "'이(가) 없습니다.";
      auto unknown = unknown_arguments(entry, arguments);
      if (!unknown.empty()) refusal += "\n" + unknown_arguments_note(entry, unknown);
      throw ArgumentError(refusal);
    } else {
      args[p.name] = p.default_value;
    }
  }
  return args;
}

namespace {

ToolReply run_entry(const ToolEntry& entry, const json& arguments) {
  const std::string& name = entry.name;
  // Every call has a context, also one run from the command line or a test:
  // its ledger and structured result belong to this call alone.
  std::optional<CallContext> own;
  std::optional<CallScope> own_scope;
  if (!current_call()) {
    own.emplace();
    own_scope.emplace(&*own);
  }
  Args a(prepare_arguments(entry, arguments));
  const ToolFn* fn = find_body(name);
  auto body = [&]() -> std::string {
    if (!fn) return NOT_READY_TEXT;
    // An identifier that cannot be what its argument names never reaches the body
    // (and so never an upstream address or a file path).
    if (auto refused = shape_refusal(name, a.raw())) return *refused;
    return (*fn)(a);
  };
  auto recorded = [&]() { return metrics::track(name, body); };
  ToolReply reply;
  switch (entry.wrapper) {
    case Wrapper::Safe:
      reply.text = safe_tool(recorded, &reply.is_error);
      break;
    case Wrapper::SafeUS:
      reply.text = safe_us_tool(recorded, &reply.is_error);
      break;
    case Wrapper::None:
      reply.text = recorded();
      break;
  }
  // No reply carries a secret the process sent or holds, whatever a tool or an
  // upstream put in it.
  reply.text = secrets::mask(std::move(reply.text));
  reply.structured = current_call()->structured();
  if (reply.structured && secrets::count() > 0) {
    std::string doc = reply.structured->dump();
    if (secrets::holds_secret(doc)) reply.structured = json::parse(secrets::mask(doc));
  }
  // An argument the tool does not take is named first in the reply (in a JSON
  // reply, among its meta warnings), so a misspelt one never passes unseen.
  if (auto unknown = unknown_arguments(entry, arguments); !unknown.empty()) {
    std::string note = unknown_arguments_note(entry, unknown);
    size_t first = reply.text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && reply.text[first] == '{') reply.text = deliver_notices(reply.text, {note});
    else reply.text = note + "\n\n" + reply.text;
  }
  return reply;
}

const ToolEntry& known_tool(const std::string& name) {
  const ToolEntry* entry = find_tool(name);
  if (!entry)
    throw UnknownToolError("⚠️ 알 수 없는 도구입니다: '" + name + "'. tools/list에 있는 도구 이름으로 다시 호출해 주세요.");
  return *entry;
}

}  // namespace

std::string call_tool(const std::string& name, const json& arguments) {
  const ToolEntry& entry = known_tool(name);
  if (!tool_enabled(name)) throw ArgumentError(disabled_tool_text(name));
  return run_entry(entry, arguments).text;
}

ToolReply run_tool(const std::string& name, const json& arguments) {
  const ToolEntry& entry = known_tool(name);
  // A tool outside the selected toolsets is refused before anything runs (no
  // argument checks, no usage entry).
  if (!tool_enabled(name)) return ToolReply{disabled_tool_text(name), true};
  try {
    return run_entry(entry, arguments);
  } catch (const UnknownToolError&) {
    throw;
  } catch (const ArgumentError& e) {
    return ToolReply{e.what(), true};
  }
}

// ---- Args -----------------------------------------------------------------

bool Args::has(const std::string& k) const {
  auto it = j_.find(k);
  return it != j_.end() && !it->is_null();
}
const json& Args::value(const std::string& k) const {
  static const json null_json = nullptr;
  auto it = j_.find(k);
  return it == j_.end() ? null_json : *it;
}
std::string Args::str(const std::string& k) const {
  const json& v = value(k);
  return v.is_string() ? v.get<std::string>() : "";
}
std::optional<std::string> Args::opt_str(const std::string& k) const {
  const json& v = value(k);
  if (v.is_string()) return v.get<std::string>();
  return std::nullopt;
}
long long Args::integer(const std::string& k) const {
  const json& v = value(k);
  if (v.is_number()) return v.get<long long>();
  return 0;
}
std::optional<long long> Args::opt_int(const std::string& k) const {
  const json& v = value(k);
  if (v.is_number()) return v.get<long long>();
  return std::nullopt;
}
double Args::number(const std::string& k) const {
  const json& v = value(k);
  return v.is_number() ? v.get<double>() : 0.0;
}
bool Args::boolean(const std::string& k) const {
  const json& v = value(k);
  return v.is_boolean() && v.get<bool>();
}
std::optional<std::vector<std::string>> Args::str_list(const std::string& k) const {
  const json& v = value(k);
  if (!v.is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& e : v)
    if (e.is_string()) out.push_back(e.get<std::string>());
  return out;
}

}  // namespace tessaro::server
