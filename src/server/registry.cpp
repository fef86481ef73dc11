#include "server/registry.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <mutex>

#include "core/errors.hpp"
#include "core/format.hpp"
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
    if (v.is_number_integer()) return v;
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
    // Huge values are clamped here; each tool clamps to its own range afterwards.
    constexpr double lim = 9.0e15;
    if (d > lim) d = lim;
    if (d < -lim) d = -lim;
    return (long long)d;
  }
  if (t == "float") {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) {
      auto n = fmt::parse_number(v.get<std::string>());
      if (n) return *n;
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

std::string call_tool(const std::string& name, const json& arguments) {
  const ToolEntry* entry = find_tool(name);
  if (!entry) throw ArgumentError("Unknown tool: " + name);
  if (!arguments.is_null() && !arguments.is_object()) throw ArgumentError("arguments must be an object");
  json args = json::object();
  for (const auto& p : entry->params) {
    auto it = arguments.is_object() ? arguments.find(p.name) : arguments.end();
    if (arguments.is_object() && it != arguments.end()) {
      args[p.name] = coerce(name, p, *it);
    } else if (p.required) {
      throw ArgumentError("⚠️ " + name + ": 필수 인자 '" + p.name + "'이(가) 없습니다.");
    } else {
      args[p.name] = p.default_value;
    }
  }
  const ToolFn* fn = find_body(name);
  Args a(std::move(args));
  auto body = [&]() -> std::string {
    if (!fn) return NOT_READY_TEXT;
    return (*fn)(a);
  };
  auto recorded = [&]() { return metrics::track(name, body); };
  switch (entry->wrapper) {
    case Wrapper::Safe:
      return safe_tool(recorded);
    case Wrapper::SafeUS:
      return safe_us_tool(recorded);
    case Wrapper::None:
      return recorded();
  }
  return recorded();
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
