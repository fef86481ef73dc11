#include "mcp/protocol.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <istream>
#include <map>
#include <mutex>
#include <ostream>
#include <system_error>
#include <thread>

#include "core/call_context.hpp"

namespace tessaro::mcp {

namespace {

const char* kModern[] = {"2026-07-28"};
const char* kLegacy[] = {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};

// How long a client may keep what these answers say: the server's identity,
// capabilities and instructions do not change while the process lives.
constexpr long long kDiscoverTtlMs = 3600000;

// Results a client may cache: they carry `ttlMs` and `cacheScope` in the modern era.
bool cacheable(const std::string& method) {
  return method == "server/discover" || method == "tools/list" || method == "prompts/list" ||
         method == "resources/list" || method == "resources/templates/list" || method == "resources/read";
}

// The progress token of a request, or null.
json progress_token(const json& params) {
  if (!params.is_object()) return nullptr;
  auto m = params.find("_meta");
  if (m == params.end() || !m->is_object()) return nullptr;
  auto t = m->find("progressToken");
  if (t == m->end() || !(t->is_string() || t->is_number_integer())) return nullptr;
  return *t;
}

}  // namespace

bool modern_protocol(const std::string& v) {
  return std::any_of(std::begin(kModern), std::end(kModern), [&](const char* s) { return v == s; });
}
bool legacy_protocol(const std::string& v) {
  return std::any_of(std::begin(kLegacy), std::end(kLegacy), [&](const char* s) { return v == s; });
}
bool protocol_supported(const std::string& v) { return modern_protocol(v) || legacy_protocol(v); }

json supported_versions() {
  json out = json::array();
  for (const char* v : kModern) out.push_back(v);
  for (const char* v : kLegacy) out.push_back(v);
  return out;
}

const json* requested_version(const json& msg) {
  if (!msg.is_object()) return nullptr;
  auto p = msg.find("params");
  if (p == msg.end() || !p->is_object()) return nullptr;
  auto m = p->find("_meta");
  if (m == p->end() || !m->is_object()) return nullptr;
  auto v = m->find(PROTOCOL_VERSION_KEY);
  return v == m->end() ? nullptr : &*v;
}

json unsupported_version_error(const json& id, const std::string& requested) {
  return error_response(id, UNSUPPORTED_PROTOCOL_VERSION, "Unsupported protocol version",
                        json{{"supported", supported_versions()}, {"requested", requested}});
}

// ---- One message -----------------------------------------------------------------

struct Dispatcher::State {
  Host& host;
  explicit State(Host& h) : host(h) {}
  std::mutex m;
  std::condition_variable idle;
  size_t running = 0;
  // Calls in flight by request id (its JSON text), for notifications/cancelled.
  std::multimap<std::string, std::shared_ptr<CallContext>> calls;
  // The revision `initialize` agreed on for this connection (legacy era), if any.
  std::string legacy_version;
};

namespace {

std::string legacy_version_of(Dispatcher::State& st) {
  std::lock_guard<std::mutex> lk(st.m);
  return st.legacy_version.empty() ? LATEST_LEGACY_PROTOCOL : st.legacy_version;
}

json initialize_result(Dispatcher::State& st, const json& params) {
  std::string asked = params.is_object() && params.contains("protocolVersion") && params["protocolVersion"].is_string()
                          ? params["protocolVersion"].get<std::string>()
                          : "";
  // A legacy client offered a revision we do not speak (a modern one included):
  // we answer with the latest legacy one, and the client decides.
  std::string version = legacy_protocol(asked) ? asked : LATEST_LEGACY_PROTOCOL;
  {
    std::lock_guard<std::mutex> lk(st.m);
    st.legacy_version = version;
  }
  return json{{"protocolVersion", version},
              {"capabilities", st.host.capabilities()},
              {"serverInfo", st.host.server_info()},
              {"instructions", st.host.instructions()}};
}

json discover_result(Host& host) {
  return json{{"supportedVersions", supported_versions()},
              {"capabilities", host.capabilities()},
              {"instructions", host.instructions()},
              {"ttlMs", kDiscoverTtlMs},
              {"cacheScope", "public"}};
}

// What the era adds to (or takes from) a result.
json shaped(json result, const std::string& method, const RequestInfo& info, Host& host) {
  if (!result.is_object()) return result;
  if (!info.modern) {
    result.erase("ttlMs");
    result.erase("cacheScope");
    result.erase("resultType");
    return result;
  }
  result["resultType"] = "complete";
  if (cacheable(method)) {
    if (!result.contains("ttlMs")) result["ttlMs"] = 0;
    if (!result.contains("cacheScope")) result["cacheScope"] = "private";
  }
  json& meta = result["_meta"];
  if (!meta.is_object()) meta = json::object();
  meta[SERVER_INFO_KEY] = host.server_info();
  return result;
}

// One message, on the calling thread.
json handle_message(Dispatcher::State& st, const json& msg) {
  if (!msg.is_object()) return error_response(nullptr, -32600, "Invalid Request");
  bool has_id = msg.contains("id");
  json id = has_id ? msg["id"] : json(nullptr);
  if (has_id && !valid_id(id)) {
    if (msg.contains("result") || msg.contains("error")) return nullptr;  // a reply to us
    return error_response(nullptr, -32600, "Invalid Request: ⚠️ 요청의 id는 문자열이나 숫자여야 합니다 (null 불가).");
  }
  if (!msg.contains("method") || !msg["method"].is_string()) {
    if (has_id && (msg.contains("result") || msg.contains("error"))) return nullptr;  // a reply to us
    return error_response(id, -32600, "Invalid Request");
  }
  std::string method = msg["method"].get<std::string>();
  json params = msg.contains("params") ? msg["params"] : json::object();
  if (!has_id) return nullptr;  // notifications: initialized, cancelled, ...

  // The era of this request: a revision named in its _meta, or the connection's.
  RequestInfo info;
  if (const json* v = requested_version(msg)) {
    if (!v->is_string()) return unsupported_version_error(id, v->dump());
    std::string version = v->get<std::string>();
    if (!protocol_supported(version)) return unsupported_version_error(id, version);
    info.modern = modern_protocol(version);
    info.version = info.modern ? version : legacy_version_of(st);
  } else {
    info.version = legacy_version_of(st);
  }

  try {
    json r;
    if (method == "initialize") {
      r = initialize_result(st, params);
      info.modern = false;
    } else if (method == "server/discover") {
      r = discover_result(st.host);
      info.modern = true;
    } else if (!info.modern && method == "ping") {
      r = json::object();
    } else if (!info.modern && method == "logging/setLevel") {
      // Taken and kept to nothing: the server sends no log messages.
      if (!params.is_object() || !params.contains("level") || !params["level"].is_string())
        throw RpcError(-32602, "Invalid params: ⚠️ level이 필요합니다.");
      r = json::object();
    } else {
      r = st.host.answer(method, params, info);
    }
    if (r.is_null()) return nullptr;
    return result_response(id, shaped(std::move(r), method, info, st.host));
  } catch (const RpcError& e) {
    // "Resource not found" became Invalid params in the modern era.
    int code = info.modern && e.code == -32002 ? -32602 : e.code;
    return error_response(id, code, e.what(), e.data);
  } catch (const Cancelled&) {
    return nullptr;
  }
}

}  // namespace

// ---- Dispatching -------------------------------------------------------------


namespace {

// Batches were part of one older revision only, and MCP dropped them: every
// revision served here takes one message at a time.
json batch_refusal() {
  return error_response(nullptr, -32600, "Invalid Request: ⚠️ JSON-RPC 배치는 받지 않습니다. 요청을 하나씩 보내 주세요.");
}

}  // namespace

Dispatcher::Dispatcher(Host& host) : state_(std::make_shared<State>(host)) {}

json Dispatcher::handle(const json& msg) {
  if (msg.is_array()) return batch_refusal();
  return handle_message(*state_, msg);
}

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

std::function<void()> Dispatcher::dispatch(json msg, Sink sink, std::function<void()> done) {
  auto st = state_;
  // Off the caller's thread for long requests, at once otherwise.
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
    sink(batch_refusal());
    return [] {};
  }

  if (msg.is_object() && msg.value("method", json()) == "notifications/cancelled") {
    const json& params = msg.contains("params") ? msg["params"] : json();
    if (params.is_object() && params.contains("requestId")) {
      std::string key = params["requestId"].dump();
      std::lock_guard<std::mutex> lk(st->m);
      auto [b, e] = st->calls.equal_range(key);
      for (auto it = b; it != e; ++it) it->second->cancel();
    }
    return [] {};
  }

  bool is_call = msg.is_object() && msg.contains("id") && valid_id(msg["id"]) && msg.contains("method") &&
                 msg["method"].is_string() && st->host.runs_long(msg["method"].get<std::string>());
  if (!is_call) {
    json r = handle_message(*st, msg);
    if (!r.is_null()) sink(r);
    return [] {};
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
  start([st, ctx, slot, msg = std::move(msg), out, finish]() mutable {
    auto last = std::move(finish);
    json r;
    {
      CallScope scope(ctx.get());
      r = handle_message(*st, msg);
    }
    {
      std::lock_guard<std::mutex> lk(st->m);
      st->calls.erase(slot);
    }
    if (!r.is_null() && !ctx->cancelled()) out(r);
    last.reset();
  });
  std::weak_ptr<CallContext> weak = ctx;
  return [weak] {
    if (auto c = weak.lock()) c->cancel();
  };
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

void serve(std::istream& in, std::ostream& out, Host& host) {
  std::mutex om;
  // The one writer: each message is one line, written whole under the lock.
  Sink write = [&out, &om](const json& j) {
    std::string line = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard<std::mutex> lk(om);
    out << line << '\n';
    out.flush();
  };
  Dispatcher dispatcher(host);
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

}  // namespace tessaro::mcp
