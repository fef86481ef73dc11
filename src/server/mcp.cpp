#include "server/mcp.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <mutex>
#include <ostream>
#include <string_view>
#include <system_error>
#include <thread>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "server/arg_rules.hpp"
#include "server/registry.hpp"
#include "server/resources.hpp"
#include "server/tool_call.hpp"
#include "server/toolsets.hpp"

namespace tessaro::server {

namespace {

const char* kSupported[] = {"2025-06-18", "2025-03-26", "2024-11-05"};

json error_response(const json& id, int code, const std::string& message) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

json result_response(const json& id, json result) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

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

json input_schema(const ToolEntry& entry) {
  json props = json::object();
  json required = json::array();
  for (const auto& p : entry.params) {
    json s;
    json typed = type_schema(p.type);
    add_argument_rules(entry.name, p.name, p.type, typed);
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

// Request ids are strings or numbers (null tolerated); anything else is no id.
bool valid_id(const json& id) { return id.is_string() || id.is_number() || id.is_null(); }

// The progress token of a request, or null.
json progress_token(const json& params) {
  if (!params.is_object()) return nullptr;
  auto m = params.find("_meta");
  if (m == params.end() || !m->is_object()) return nullptr;
  auto t = m->find("progressToken");
  if (t == m->end() || !(t->is_string() || t->is_number_integer())) return nullptr;
  return *t;
}

// tools/call. Returns null when the call was cancelled: no reply goes out then.
json handle_tools_call(const json& id, const json& params) {
  if (!params.is_object() || !params.contains("name") || !params["name"].is_string())
    return error_response(id, -32602, "Invalid params: ⚠️ 호출할 도구 이름(name)이 필요합니다.");
  std::string name = params["name"].get<std::string>();
  json args = params.contains("arguments") ? params["arguments"] : json::object();
  try {
    ToolReply reply = run_tool(name, args);
    if (call_cancelled()) return nullptr;
    return result_response(id, call_result(reply));
  } catch (const UnknownToolError& e) {
    return error_response(id, -32602, e.what());
  } catch (const Cancelled&) {
    return nullptr;
  } catch (const std::exception& e) {
    // The wrappers catch tool failures; this is only reached by tessaro_status
    // misbehaving or a bug in the host layer itself.
    if (call_cancelled()) return nullptr;
    return result_response(id, call_result(std::string("⚠️ 도구 실행 실패: ") + exception_class_name(e), true));
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
json handle_resources_read(const json& id, const json& params) {
  if (!params.is_object() || !params.contains("uri") || !params["uri"].is_string())
    return error_response(id, -32602, "Invalid params: ⚠️ 읽을 리소스의 uri가 필요합니다.");
  std::string uri = params["uri"].get<std::string>();
  const ResourceDecl* r = find_resource(uri);
  if (!r) return error_response(id, -32002, "Resource not found: " + uri);
  try {
    json c{{"uri", r->uri}};
    if (!r->mime_type.empty()) c["mimeType"] = r->mime_type;
    c["text"] = r->read ? r->read() : std::string();
    if (r->meta.is_object()) c["_meta"] = r->meta;
    return result_response(id, json{{"contents", json::array({std::move(c)})}});
  } catch (const std::exception& e) {
    return error_response(id, -32603, std::string("⚠️ 리소스를 읽지 못했습니다: ") + exception_class_name(e));
  }
}

json initialize_result(const json& params) {
  std::string asked = params.is_object() && params.contains("protocolVersion") && params["protocolVersion"].is_string()
                          ? params["protocolVersion"].get<std::string>()
                          : "";
  std::string version = protocol_supported(asked) ? asked : LATEST_PROTOCOL;
  return json{{"protocolVersion", version},
              {"capabilities", {{"tools", {{"listChanged", false}}}, {"resources", {{"listChanged", false}}}}},
              {"serverInfo", {{"name", "tessaro-mcp"}, {"title", "Tessaro"}, {"version", TESSARO_VERSION}}},
              {"instructions", instructions()}};
}

}  // namespace

bool protocol_supported(const std::string& v) {
  return std::any_of(std::begin(kSupported), std::end(kSupported), [&](const char* s) { return v == s; });
}

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

json handle_message(const json& msg) {
  if (!msg.is_object()) return error_response(nullptr, -32600, "Invalid Request");
  bool has_id = msg.contains("id");
  json id = has_id ? msg["id"] : json(nullptr);
  if (has_id && !valid_id(id)) return error_response(nullptr, -32600, "Invalid Request: id");
  if (!msg.contains("method") || !msg["method"].is_string()) {
    if (has_id && (msg.contains("result") || msg.contains("error"))) return nullptr;  // a reply to us
    return error_response(id, -32600, "Invalid Request");
  }
  std::string method = msg["method"].get<std::string>();
  json params = msg.contains("params") ? msg["params"] : json::object();
  if (!has_id) return nullptr;  // notifications: initialized, cancelled, ...

  if (method == "initialize") return result_response(id, initialize_result(params));
  if (method == "ping") return result_response(id, json::object());
  if (method == "tools/list") {
    // Every tool fits on one page, so no cursor is one of ours.
    if (params.is_object() && params.contains("cursor") && !params["cursor"].is_null())
      return error_response(id, -32602, "Invalid params: ⚠️ 알 수 없는 cursor입니다 (도구 목록은 한 페이지입니다).");
    return result_response(id, json{{"tools", tools_list()}});
  }
  if (method == "tools/call") return handle_tools_call(id, params);
  if (method == "resources/list") return result_response(id, json{{"resources", resources_list()}});
  if (method == "resources/templates/list") return result_response(id, json{{"resourceTemplates", json::array()}});
  if (method == "resources/read") return handle_resources_read(id, params);
  return error_response(id, -32601, "Method not found: " + method);
}

// ---- Reading messages ---------------------------------------------------------

namespace {

void put_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Invalid UTF-8 sequences become U+FFFD.
std::string repair_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(char(c));
      ++i;
      continue;
    }
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (ok && len >= 3) {
      unsigned char c1 = s[i + 1];
      if (c == 0xE0 && c1 < 0xA0) ok = false;          // overlong
      if (c == 0xED && c1 > 0x9F) ok = false;          // encoded surrogate
      if (c == 0xF0 && c1 < 0x90) ok = false;          // overlong
      if (c == 0xF4 && c1 > 0x8F) ok = false;          // beyond U+10FFFF
    }
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      put_replacement(out);
      ++i;
    }
  }
  return out;
}

int hex4(std::string_view s, size_t at) {
  if (at + 4 > s.size()) return -1;
  int v = 0;
  for (size_t k = 0; k < 4; ++k) {
    char ch = s[at + k];
    int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// "\ud83d" without its low half (text cut inside an emoji) becomes "\ufffd"; a
// lone low half too. Every backslash of valid JSON opens an escape, so a plain
// left-to-right scan finds them all.
std::string repair_surrogate_escapes(std::string_view s) {
  if (s.find("\\u") == std::string_view::npos && s.find("\\U") == std::string_view::npos) return std::string(s);
  std::string out;
  out.reserve(s.size());
  size_t i = 0, n = s.size();
  while (i < n) {
    if (s[i] != '\\' || i + 1 >= n) {
      out.push_back(s[i++]);
      continue;
    }
    if (s[i + 1] != 'u') {
      out.append(s.substr(i, 2));
      i += 2;
      continue;
    }
    int cu = hex4(s, i + 2);
    if (cu < 0) {
      out.append(s.substr(i, 2));
      i += 2;
      continue;
    }
    if (cu >= 0xD800 && cu <= 0xDBFF) {
      int lo = i + 7 < n && s[i + 6] == '\\' && s[i + 7] == 'u' ? hex4(s, i + 8) : -1;
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        out.append(s.substr(i, 12));
        i += 12;
      } else {
        out += "\\ufffd";
        i += 6;
      }
    } else if (cu >= 0xDC00 && cu <= 0xDFFF) {
      out += "\\ufffd";
      i += 6;
    } else {
      out.append(s.substr(i, 6));
      i += 6;
    }
  }
  return out;
}

// Walks a message without building it: checks the nesting depth and picks up the
// top-level "id" and whether a "method" is there. The walk itself keeps no
// recursion, so any depth is safe to look at.
struct Prescan : nlohmann::json_sax<json> {
  int depth = 0;
  bool too_deep = false;
  bool top_is_object = false;
  bool id_next = false, has_id = false, has_method = false;
  json id;

  bool scalar(json v) {
    if (id_next && depth == 1) {
      id = std::move(v);
      has_id = true;
    }
    id_next = false;
    return true;
  }
  bool open() {
    if (depth == 0) top_is_object = false;
    id_next = false;
    if (++depth > MAX_NESTING) {
      too_deep = true;
      return false;
    }
    return true;
  }
  bool null() override { return scalar(nullptr); }
  bool boolean(bool v) override { return scalar(v); }
  bool number_integer(number_integer_t v) override { return scalar(v); }
  bool number_unsigned(number_unsigned_t v) override { return scalar(v); }
  bool number_float(number_float_t v, const string_t&) override { return scalar(v); }
  bool string(string_t& v) override { return scalar(v); }
  bool binary(binary_t&) override { return scalar(nullptr); }
  bool start_object(std::size_t) override {
    bool top = depth == 0;
    bool ok = open();
    if (top) top_is_object = true;
    return ok;
  }
  bool key(string_t& k) override {
    if (depth == 1) {
      id_next = k == "id";
      if (k == "method") has_method = true;
    }
    return true;
  }
  bool end_object() override {
    --depth;
    return true;
  }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

// The error reply for a message we will not build: with its id when one was read,
// nothing for what looks like a notification.
json refuse(const Prescan& p, int code, const std::string& message) {
  if (p.has_id && valid_id(p.id)) return error_response(p.id, code, message);
  if (p.top_is_object && p.has_method && !p.has_id) return nullptr;
  return error_response(nullptr, code, message);
}

}  // namespace

Incoming read_message(std::string text, bool truncated) {
  Incoming in;
  text = repair_surrogate_escapes(repair_utf8(text));
  Prescan scan;
  bool ok = json::sax_parse(text, &scan, nlohmann::detail::input_format_t::json, true);
  if (truncated) {
    in.error = refuse(scan, -32600,
                      "Invalid Request: ⚠️ 요청이 너무 큽니다 (한 메시지는 " + std::to_string(MAX_MESSAGE_BYTES >> 20) +
                          " MiB까지).");
    return in;
  }
  if (scan.too_deep) {
    in.error = refuse(scan, -32600,
                      "Invalid Request: ⚠️ 요청의 중첩이 너무 깊습니다 (" + std::to_string(MAX_NESTING) + "단계까지).");
    return in;
  }
  if (!ok) {
    json e = error_response(nullptr, -32700, "Parse error: ⚠️ 요청을 JSON으로 읽을 수 없습니다.");
    if (scan.has_id && valid_id(scan.id)) e["id"] = scan.id;
    in.error = std::move(e);
    return in;
  }
  try {
    in.message = json::parse(text);
  } catch (const json::exception&) {
    in.error = error_response(nullptr, -32700, "Parse error: ⚠️ 요청을 JSON으로 읽을 수 없습니다.");
  }
  return in;
}

// ---- Dispatching -------------------------------------------------------------

struct Dispatcher::State {
  std::mutex m;
  std::condition_variable idle;
  size_t running = 0;
  // Calls in flight by request id (its JSON text), for notifications/cancelled.
  std::multimap<std::string, std::shared_ptr<CallContext>> calls;
};

Dispatcher::Dispatcher() : state_(std::make_shared<State>()) {}

Dispatcher::~Dispatcher() { wait_idle(); }

void Dispatcher::wait_idle() {
  std::unique_lock<std::mutex> lk(state_->m);
  state_->idle.wait(lk, [&] { return state_->running == 0; });
}

namespace {

// One message at a time per sink: a call's notifications and its reply never interleave.
Sink serialized(Sink sink) {
  auto m = std::make_shared<std::mutex>();
  return [m, sink = std::move(sink)](const json& j) {
    std::lock_guard<std::mutex> lk(*m);
    sink(j);
  };
}

}  // namespace

void Dispatcher::cancel_all() {
  std::lock_guard<std::mutex> lk(state_->m);
  for (auto& [key, ctx] : state_->calls) ctx->cancel();
}

namespace {

// Runs a function when it goes out of scope, however the scope is left.
struct AtExit {
  std::function<void()> fn;
  AtExit() = default;
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;
  ~AtExit() {
    if (fn) try {
        fn();
      } catch (...) {
      }
  }
};

}  // namespace

void Dispatcher::dispatch(json msg, Sink sink, std::function<void()> done) {
  auto st = state_;
  // Off the caller's thread for batches and tool calls, at once otherwise.
  auto finish = std::make_shared<AtExit>();
  finish->fn = std::move(done);
  auto start = [st](std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lk(st->m);
      ++st->running;
    }
    auto run = [st, job = std::move(job)] {
      try {
        job();
      } catch (...) {
      }
      std::lock_guard<std::mutex> lk(st->m);
      if (--st->running == 0) st->idle.notify_all();
    };
    try {
      std::thread(run).detach();
    } catch (const std::system_error&) {
      run();   // no thread to be had: answer it here rather than not at all
    }
  };

  if (msg.is_array()) {
    // Batches (older protocol revisions) are answered as one array, in order,
    // after all of their messages ran.
    if (msg.empty()) {
      sink(error_response(nullptr, -32600, "Invalid Request"));
      return;
    }
    start([msg = std::move(msg), sink, finish]() mutable {
      auto last = std::move(finish);
      json out = json::array();
      for (const auto& m : msg) {
        json r = handle_message(m);
        if (!r.is_null()) out.push_back(std::move(r));
      }
      if (!out.empty()) sink(out);
      last.reset();
    });
    return;
  }

  if (msg.is_object() && msg.value("method", json()) == "notifications/cancelled") {
    const json& params = msg.contains("params") ? msg["params"] : json();
    if (params.is_object() && params.contains("requestId")) {
      std::string key = params["requestId"].dump();
      std::lock_guard<std::mutex> lk(st->m);
      auto [b, e] = st->calls.equal_range(key);
      for (auto it = b; it != e; ++it) it->second->cancel();
    }
    return;
  }

  bool is_call = msg.is_object() && msg.contains("id") && valid_id(msg["id"]) &&
                 msg.value("method", json()) == "tools/call";
  if (!is_call) {
    json r = handle_message(msg);
    if (!r.is_null()) sink(r);
    return;
  }

  json id = msg["id"];
  json params = msg.contains("params") ? msg["params"] : json();
  Sink out = serialized(std::move(sink));
  json token = progress_token(params);
  CallContext::ProgressFn progress;
  if (!token.is_null()) {
    progress = [out, token](double p, double total, const std::string& message) {
      auto number = [](double v) { return v == std::floor(v) && std::abs(v) < 9e15 ? json((long long)v) : json(v); };
      json n = {{"jsonrpc", "2.0"},
                {"method", "notifications/progress"},
                {"params",
                 {{"progressToken", token}, {"progress", number(p)}, {"total", number(total)}, {"message", message}}}};
      out(n);
    };
  }
  auto ctx = std::make_shared<CallContext>(std::move(progress));
  std::string key = id.dump();
  std::multimap<std::string, std::shared_ptr<CallContext>>::iterator slot;
  {
    std::lock_guard<std::mutex> lk(st->m);
    slot = st->calls.emplace(key, ctx);
  }
  start([st, ctx, slot, id = std::move(id), params = std::move(params), out, finish]() mutable {
    auto last = std::move(finish);
    json r;
    {
      CallScope scope(ctx.get());
      r = handle_tools_call(id, params);
    }
    {
      std::lock_guard<std::mutex> lk(st->m);
      st->calls.erase(slot);
    }
    if (!r.is_null() && !ctx->cancelled()) out(r);
    last.reset();
  });
}

// ---- Standard input/output ------------------------------------------------------

namespace {

// Reads one line (without its end) keeping at most `cap` bytes; `cut` tells
// whether more were there. False at end of input with nothing read.
bool read_line(std::streambuf* sb, std::string& line, size_t cap, bool& cut) {
  line.clear();
  cut = false;
  bool any = false;
  for (;;) {
    int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) return any;
    any = true;
    if (c == '\n') return true;
    if (line.size() < cap) line.push_back(char(c));
    else cut = true;
  }
}

}  // namespace

void serve(std::istream& in, std::ostream& out) {
  std::mutex om;
  // The one writer: each message is one line, written whole under the lock.
  Sink write = [&out, &om](const json& j) {
    std::string line = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard<std::mutex> lk(om);
    out << line << '\n';
    out.flush();
  };
  Dispatcher dispatcher;
  std::streambuf* sb = in.rdbuf();
  std::string line;
  bool cut = false;
  while (sb && read_line(sb, line, MAX_MESSAGE_BYTES, cut)) {
    if (!cut && line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Incoming msg = read_message(std::move(line), cut);
    if (!msg.message) {
      if (!msg.error.is_null()) write(msg.error);
      continue;
    }
    dispatcher.dispatch(std::move(*msg.message), write);
  }
  // Calls already received still get their answer.
  dispatcher.wait_idle();
}

}  // namespace tessaro::server
