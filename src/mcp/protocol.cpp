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

const char* kSupported[] = {"2025-06-18", "2025-03-26", "2024-11-05"};

// The progress token of a request, or null.
json progress_token(const json& params) {
  if (!params.is_object()) return nullptr;
  auto m = params.find("_meta");
  if (m == params.end() || !m->is_object()) return nullptr;
  auto t = m->find("progressToken");
  if (t == m->end() || !(t->is_string() || t->is_number_integer())) return nullptr;
  return *t;
}

json initialize_result(Host& host, const json& params) {
  std::string asked = params.is_object() && params.contains("protocolVersion") && params["protocolVersion"].is_string()
                          ? params["protocolVersion"].get<std::string>()
                          : "";
  std::string version = protocol_supported(asked) ? asked : LATEST_PROTOCOL;
  return json{{"protocolVersion", version},
              {"capabilities", host.capabilities()},
              {"serverInfo", host.server_info()},
              {"instructions", host.instructions()}};
}

// One message, on the calling thread.
json handle_message(Host& host, const json& msg) {
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

  if (method == "initialize") return result_response(id, initialize_result(host, params));
  if (method == "ping") return result_response(id, json::object());
  try {
    json r = host.answer(method, params);
    if (r.is_null()) return nullptr;
    return result_response(id, std::move(r));
  } catch (const RpcError& e) {
    return error_response(id, e.code, e.what(), e.data);
  } catch (const Cancelled&) {
    return nullptr;
  }
}

}  // namespace

bool protocol_supported(const std::string& v) {
  return std::any_of(std::begin(kSupported), std::end(kSupported), [&](const char* s) { return v == s; });
}

// ---- Dispatching -------------------------------------------------------------

struct Dispatcher::State {
  Host& host;
  explicit State(Host& h) : host(h) {}
  std::mutex m;
  std::condition_variable idle;
  size_t running = 0;
  // Calls in flight by request id (its JSON text), for notifications/cancelled.
  std::multimap<std::string, std::shared_ptr<CallContext>> calls;
};

Dispatcher::Dispatcher(Host& host) : state_(std::make_shared<State>(host)) {}

json Dispatcher::handle(const json& msg) { return handle_message(state_->host, msg); }

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
    start([st, msg = std::move(msg), sink, finish]() mutable {
      auto last = std::move(finish);
      json out = json::array();
      for (const auto& m : msg) {
        json r = handle_message(st->host, m);
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

  bool is_call = msg.is_object() && msg.contains("id") && valid_id(msg["id"]) && msg.contains("method") &&
                 msg["method"].is_string() && st->host.runs_long(msg["method"].get<std::string>());
  if (!is_call) {
    json r = handle_message(st->host, msg);
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
  start([st, ctx, slot, msg = std::move(msg), out, finish]() mutable {
    auto last = std::move(finish);
    json r;
    {
      CallScope scope(ctx.get());
      r = handle_message(st->host, msg);
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
