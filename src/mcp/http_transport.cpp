#include "mcp/http_transport.hpp"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <mutex>
#include <random>
#include <thread>

#include "core/json.hpp"
#include "mcp/jsonrpc.hpp"
#include "mcp/protocol.hpp"

namespace tessaro::mcp {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = char(std::tolower((unsigned char)c));
  return out;
}

bool parse_port(const std::string& s, int& port) {
  if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  port = std::stoi(s);
  return port <= 65535;
}

// host[:port] of an authority, without brackets around an IPv6 address.
std::string host_of_authority(std::string_view a) {
  if (!a.empty() && a.front() == '[') {
    auto close = a.find(']');
    if (close == std::string_view::npos) return "";
    std::string_view rest = a.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return "";
    return std::string(a.substr(1, close - 1));
  }
  auto colon = a.find(':');
  return std::string(colon == std::string_view::npos ? a : a.substr(0, colon));
}

std::string random_session_id() {
  unsigned char bytes[16];
  bool ok = false;
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    ok = std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
    std::fclose(f);
  }
  if (!ok) {
    std::random_device rd;
    for (auto& b : bytes) b = static_cast<unsigned char>(rd());
  }
  static const char* hex = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id.push_back(hex[b >> 4]);
    id.push_back(hex[b & 15]);
  }
  return id;
}

json http_error(int code, const std::string& message) {
  return json{{"jsonrpc", "2.0"}, {"id", nullptr}, {"error", {{"code", code}, {"message", message}}}};
}

void reply_json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

bool accepts(const std::string& accept, const char* type) {
  if (accept.empty()) return true;
  std::string a = lower(accept);
  std::string t = type;
  return a.find(t) != std::string::npos || a.find("*/*") != std::string::npos ||
         a.find(t.substr(0, t.find('/')) + "/*") != std::string::npos;
}

bool is_request(const json& m) { return m.is_object() && m.contains("id") && m.contains("method"); }
bool is_notification(const json& m) { return m.is_object() && m.contains("method") && !m.contains("id"); }

// What one POSTed request has produced so far: notifications, then its reply.
struct Pending {
  std::mutex m;
  std::condition_variable cv;
  std::deque<json> out;
  bool done = false;

  void push(const json& j) {
    std::lock_guard<std::mutex> lk(m);
    out.push_back(j);
    cv.notify_all();
  }
  void finish() {
    std::lock_guard<std::mutex> lk(m);
    done = true;
    cv.notify_all();
  }
};

// How long a request may take to be answered as plain JSON, and how often a
// quiet stream is written to: a closed one is noticed by the second write after
// it closed, so this bounds how long a cancelled request runs on.
constexpr int kFirstReplyWaitMs = 300;
constexpr int kKeepAliveMs = 200;

std::string sse_event(const json& j) {
  return "event: message\ndata: " + j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
}

}  // namespace

// ---- Options and checks -----------------------------------------------------------

bool is_loopback_host(std::string_view host) {
  std::string h = lower(host);
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (h == "localhost" || h == "::1") return true;
  // 127.0.0.0/8 written as four decimal parts ("127.0.0.1.evil.example" is a name).
  int parts = 0;
  size_t i = 0;
  while (i < h.size()) {
    size_t j = i;
    while (j < h.size() && j - i < 3 && h[j] >= '0' && h[j] <= '9') ++j;
    if (j == i || std::stoi(h.substr(i, j - i)) > 255) return false;
    ++parts;
    if (j == h.size()) break;
    if (h[j] != '.') return false;
    i = j + 1;
    if (i == h.size()) return false;
  }
  return parts == 4 && h.rfind("127.", 0) == 0;
}

bool loopback_host_header(std::string_view host) {
  std::string h = host_of_authority(host);
  return !h.empty() && is_loopback_host(h);
}

bool origin_allowed(std::string_view origin, const HttpOptions& opt) {
  std::string o = lower(origin);
  while (!o.empty() && o.back() == '/') o.pop_back();
  for (const auto& a : opt.allowed_origins) {
    std::string l = lower(a);
    while (!l.empty() && l.back() == '/') l.pop_back();
    if (!l.empty() && l == o) return true;
  }
  std::string_view rest;
  if (o.rfind("http://", 0) == 0) rest = std::string_view(o).substr(7);
  else if (o.rfind("https://", 0) == 0) rest = std::string_view(o).substr(8);
  else return false;   // "null", other schemes
  if (rest.find('/') != std::string_view::npos || rest.find('@') != std::string_view::npos) return false;
  std::string host = host_of_authority(rest);
  if (host.empty()) return false;
  if (is_loopback_host(host)) return true;
  // A server bound to a named address serves pages of that address.
  return !is_loopback_host(opt.host) && opt.host != "0.0.0.0" && opt.host != "::" && host == lower(opt.host);
}

bool token_equals(std::string_view given, std::string_view expected) {
  // Every byte of the longer string is looked at, whatever matched before.
  size_t n = std::max(given.size(), expected.size());
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = i < given.size() ? (unsigned char)given[i] : 0;
    unsigned char b = i < expected.size() ? (unsigned char)expected[i] : 0;
    diff |= a ^ b;
  }
  return diff == 0;
}

std::optional<std::string> parse_serve_args(const std::vector<std::string>& args, bool& http, HttpOptions& out) {
  http = false;
  bool host_given = false, port_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::string value;
    bool has_value = false;
    if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      has_value = true;
    }
    if (a == "--http" && !has_value) {
      http = true;
    } else if (a == "--host" || a == "--port") {
      if (!has_value) {
        if (i + 1 >= args.size()) return a + " needs a value";
        value = args[++i];
      }
      if (a == "--host") {
        if (value.empty()) return "--host needs a value";
        out.host = value;
        host_given = true;
      } else {
        if (!parse_port(value, out.port)) return "--port must be a number from 0 to 65535, not '" + value + "'";
        port_given = true;
      }
    } else {
      return "unknown option for serve: '" + args[i] + "'";
    }
  }
  if (!http && (host_given || port_given)) return "--host and --port go with --http";
  if (const char* t = std::getenv("TESSARO_HTTP_TOKEN")) out.token = t;
  if (const char* o = std::getenv("TESSARO_HTTP_ORIGINS")) {
    std::string list = o;
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      item.erase(0, item.find_first_not_of(" \t"));
      item.erase(item.find_last_not_of(" \t") + 1);
      if (!item.empty()) out.allowed_origins.push_back(item);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  if (const char* s = std::getenv("TESSARO_HTTP_SESSION_IDLE_S")) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end && *end == '\0' && v > 0) out.session_idle = std::chrono::seconds(v);
  }
  return std::nullopt;
}

std::optional<std::string> refuse_reason(const HttpOptions& opt) {
  if (!is_loopback_host(opt.host) && opt.token.empty())
    return "--host " + opt.host +
           " is reachable from other machines: set TESSARO_HTTP_TOKEN (clients send it as 'Authorization: Bearer "
           "TOKEN') or serve on 127.0.0.1";
  return std::nullopt;
}

// ---- Server -------------------------------------------------------------------------

namespace {

struct Session {
  explicit Session(Host& host) : dispatcher(host) {}
  Dispatcher dispatcher;
  std::atomic<long long> last_used{0};   // steady clock, milliseconds
  std::shared_ptr<std::atomic<int>> in_flight = std::make_shared<std::atomic<int>>(0);
};

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Every connection gets a thread of its own, up to `cap`; beyond, connections
// wait for the next free one. A POST whose call waits on the network holds its
// connection's thread and nothing else, so a request that needs no network
// never queues behind slow ones (the calls themselves run on threads of their
// own, counted against HttpOptions::max_calls).
class ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(size_t cap) : cap_(std::max<size_t>(cap, 1)) {}
  ~ConnectionThreads() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lk(m_);
    if (running_ >= cap_) {
      waiting_.push_back(std::move(fn));
      return;
    }
    ++running_;
    lk.unlock();
    try {
      std::thread([this, fn = std::move(fn)]() mutable { work(std::move(fn)); }).detach();
    } catch (const std::system_error&) {
      lk.lock();
      --running_;
      waiting_.push_back(std::move(fn));   // a thread that ends takes it
    }
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lk(m_);
    idle_.wait(lk, [&] { return running_ == 0 && waiting_.empty(); });
  }

 private:
  void work(std::function<void()> fn) {
    for (;;) {
      try {
        fn();
      } catch (...) {
      }
      std::lock_guard<std::mutex> lk(m_);
      if (waiting_.empty()) {
        if (--running_ == 0) idle_.notify_all();
        return;
      }
      fn = std::move(waiting_.front());
      waiting_.pop_front();
    }
  }

  size_t cap_;
  std::mutex m_;
  std::condition_variable idle_;
  size_t running_ = 0;
  std::deque<std::function<void()>> waiting_;
};

// Standard base64 (RFC 4648), as the `=?base64?…?=` header form carries it.
std::optional<std::string> base64_decode(std::string_view in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  std::string out;
  unsigned buf = 0;
  int bits = 0;
  for (char c : in) {
    int v = value(c);
    if (v < 0) return std::nullopt;
    buf = (buf << 6) | unsigned(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(char((buf >> bits) & 0xFF));
    }
  }
  if (bits >= 6) return std::nullopt;   // one character too many
  return out;
}

// A header value as the client meant it: the base64 form decoded, a plain value
// as it stands (visible ASCII, space and tab only). Nothing when malformed.
std::optional<std::string> header_value(const std::string& raw) {
  static const std::string open = "=?base64?", close = "?=";
  if (raw.size() >= open.size() + close.size() && raw.compare(0, open.size(), open) == 0 &&
      raw.compare(raw.size() - close.size(), close.size(), close) == 0)
    return base64_decode(std::string_view(raw).substr(open.size(), raw.size() - open.size() - close.size()));
  for (unsigned char c : raw)
    if (!(c == '\t' || (c >= 0x20 && c <= 0x7E))) return std::nullopt;
  return raw;
}

// The HTTP status a modern request's JSON-RPC error goes out with.
int modern_error_status(const json& reply) {
  if (!reply.is_object() || !reply.contains("error")) return 200;
  int code = reply["error"].value("code", 0);
  if (code == UNSUPPORTED_PROTOCOL_VERSION || code == HEADER_MISMATCH) return 400;
  if (code == -32601) return 404;
  return 200;
}

}  // namespace

struct HttpServer::Impl {
  HttpOptions opt;
  Host& host;
  httplib::Server svr;
  int bound_port = -1;
  std::thread listener;
  std::atomic<bool> listen_ended{false};

  // Modern requests carry everything they need: one dispatcher serves them all.
  Dispatcher modern;
  std::atomic<size_t> calls_in_flight{0};

  mutable std::mutex m;
  std::map<std::string, std::shared_ptr<Session>> sessions;
  std::vector<std::shared_ptr<Session>> retired;   // ended, their calls still finishing
  std::condition_variable sweep_cv;
  bool stopping = false;
  std::thread sweeper;

  Impl(HttpOptions o, Host& h) : opt(std::move(o)), host(h), modern(h) {
    if (opt.max_body == 0) opt.max_body = MAX_MESSAGE_BYTES;
    svr.new_task_queue = [this] { return new ConnectionThreads(opt.max_connections); };
    svr.set_payload_max_length(opt.max_body);
    // Header and body go out in separate writes: without this each reply waits
    // for the client's delayed acknowledgement.
    svr.set_tcp_nodelay(true);
    // An idle kept-alive connection holds a thread: let it go soon.
    svr.set_keep_alive_timeout(5);
    svr.set_read_timeout(30);
    // The guards run in the handlers, after the body was read: a refusal sent
    // before it would leave the body on the connection, read as the next request.
    svr.Post("/mcp", [this](const httplib::Request& req, httplib::Response& res) {
      if (guard(req, res)) post(req, res);
    });
    svr.Get("/mcp", [this](const httplib::Request& req, httplib::Response& res) {
      if (!guard(req, res)) return;
      // The server never sends first (no server requests, no list changes).
      res.set_header("Allow", "POST, DELETE");
      reply_json(res, 405, http_error(-32000, "Method Not Allowed: ⚠️ 이 서버는 먼저 보내는 메시지가 없어 GET 스트림을 열지 않습니다."));
    });
    svr.Delete("/mcp", [this](const httplib::Request& req, httplib::Response& res) {
      if (guard(req, res)) del(req, res);
    });
  }

  // DNS-rebinding and token checks. False: answered here.
  bool guard(const httplib::Request& req, httplib::Response& res) {
    if (is_loopback_host(opt.host) && !loopback_host_header(req.get_header_value("Host"))) {
      reply_json(res, 403, http_error(-32000, "Forbidden: ⚠️ 허용되지 않은 Host입니다."));
      return false;
    }
    if (req.has_header("Origin") && !origin_allowed(req.get_header_value("Origin"), opt)) {
      reply_json(res, 403, http_error(-32000, "Forbidden: ⚠️ 허용되지 않은 Origin입니다."));
      return false;
    }
    if (!opt.token.empty()) {
      std::string auth = req.get_header_value("Authorization");
      std::string given;
      if (auth.size() > 7 && lower(auth.substr(0, 7)) == "bearer ") given = auth.substr(7);
      if (!token_equals(given, opt.token)) {
        res.set_header("WWW-Authenticate", "Bearer");
        reply_json(res, 401, http_error(-32001, "Unauthorized: ⚠️ 인증 토큰이 없거나 맞지 않습니다."));
        return false;
      }
    }
    return true;
  }

  // The session a request names: null after answering 400 (none named) or 404 (unknown or ended).
  std::shared_ptr<Session> session_of(const httplib::Request& req, httplib::Response& res) {
    std::string id = req.get_header_value("Mcp-Session-Id");
    if (id.empty()) {
      reply_json(res, 400, http_error(-32000, "Bad Request: ⚠️ Mcp-Session-Id 헤더가 필요합니다 (initialize로 먼저 세션을 여세요)."));
      return nullptr;
    }
    std::lock_guard<std::mutex> lk(m);
    auto it = sessions.find(id);
    if (it == sessions.end()) {
      reply_json(res, 404, http_error(-32001, "Session not found: ⚠️ 없거나 끝난 세션입니다. initialize로 새 세션을 여세요."));
      return nullptr;
    }
    it->second->last_used = now_ms();
    return it->second;
  }

  void post(const httplib::Request& req, httplib::Response& res) {
    std::string ctype = lower(req.get_header_value("Content-Type"));
    if (ctype.rfind("application/json", 0) != 0) {
      reply_json(res, 415, http_error(-32000, "Unsupported Media Type: ⚠️ Content-Type은 application/json이어야 합니다."));
      return;
    }
    std::string accept = req.get_header_value("Accept");
    bool json_ok = accepts(accept, "application/json");
    bool sse_ok = accepts(accept, "text/event-stream");
    if (!json_ok && !sse_ok) {
      reply_json(res, 406, http_error(-32000, "Not Acceptable: ⚠️ Accept에 application/json과 text/event-stream이 필요합니다."));
      return;
    }
    // A chunked body names no length up front: it is measured once read.
    if (req.body.size() > opt.max_body) {
      reply_json(res, 413, http_error(-32600, "Payload Too Large: ⚠️ 요청이 너무 큽니다 (한 메시지는 " +
                                                  std::to_string(opt.max_body) + "바이트까지)."));
      return;
    }
    Incoming in = read_message(req.body);
    if (!in.message) {
      reply_json(res, 400, in.error.is_null() ? http_error(-32700, "Parse error: ⚠️ 요청을 JSON으로 읽을 수 없습니다.") : in.error);
      return;
    }
    json msg = std::move(*in.message);
    if (!msg.is_object()) {
      // A batch, or no message at all: the dispatcher words the refusal.
      reply_json(res, 400, modern.handle(msg));
      return;
    }
    json id = msg.contains("id") && valid_id(msg["id"]) ? msg["id"] : json(nullptr);
    std::string header_version = req.get_header_value("MCP-Protocol-Version");
    const json* body_version = requested_version(msg);

    // The era: a modern request names a modern revision in its _meta (and the
    // header repeats it); anything else is a legacy client's, in its session.
    if (body_version && body_version->is_string() && !protocol_supported(body_version->get<std::string>())) {
      reply_json(res, 400, unsupported_version_error(id, body_version->get<std::string>()));
      return;
    }
    bool is_modern = body_version && body_version->is_string() && modern_protocol(body_version->get<std::string>());
    if (!is_modern && modern_protocol(header_version)) {
      reply_json(res, 400, error_response(id, HEADER_MISMATCH,
                                          "Header mismatch: MCP-Protocol-Version " + header_version +
                                              " needs the same revision in the body's _meta (" + PROTOCOL_VERSION_KEY + ")"));
      return;
    }
    if (is_modern) return post_modern(req, res, std::move(msg), id, header_version, json_ok, sse_ok);

    if (!header_version.empty() && !protocol_supported(header_version)) {
      reply_json(res, 400, unsupported_version_error(id, header_version));
      return;
    }
    if (msg.value("method", json()) == "initialize") return initialize(msg, res);
    auto session = session_of(req, res);
    if (!session) return;
    bool has_request = is_request(msg);
    if (!has_request) {
      // Notifications and replies: taken, nothing to answer.
      session->dispatcher.dispatch(std::move(msg), [](const json&) {});
      res.status = 202;
      return;
    }
    bool counted = false;
    if (!take_call_slot(msg, res, counted)) return;
    run(session->dispatcher, session, std::move(msg), res, json_ok, sse_ok, false, counted);
  }

  // A modern request: its headers must repeat what its body says.
  void post_modern(const httplib::Request& req, httplib::Response& res, json msg, const json& id,
                   const std::string& header_version, bool json_ok, bool sse_ok) {
    std::string body_version = (*requested_version(msg)).get<std::string>();
    auto mismatch = [&](const std::string& why) { reply_json(res, 400, error_response(id, HEADER_MISMATCH, "Header mismatch: " + why)); };
    if (header_version != body_version) {
      mismatch(header_version.empty() ? "the MCP-Protocol-Version header is missing"
                                      : "MCP-Protocol-Version header value '" + header_version +
                                            "' does not match body value '" + body_version + "'");
      return;
    }
    if (!is_request(msg)) {
      // Notifications of the modern era have no meaning over HTTP (closing the
      // stream cancels): taken, nothing done.
      res.status = 202;
      return;
    }
    std::string method = msg["method"].is_string() ? msg["method"].get<std::string>() : "";
    if (!req.has_header("Mcp-Method")) return mismatch("the Mcp-Method header is missing");
    std::string header_method = req.get_header_value("Mcp-Method");
    if (header_method != method)
      return mismatch("Mcp-Method header value '" + header_method + "' does not match body value '" + method + "'");
    const char* name_field = method == "tools/call" || method == "prompts/get" ? "name"
                             : method == "resources/read"                      ? "uri"
                                                                               : nullptr;
    if (name_field) {
      const json& params = msg.contains("params") ? msg["params"] : json();
      std::string body_name = params.is_object() && params.contains(name_field) && params[name_field].is_string()
                                  ? params[name_field].get<std::string>()
                                  : "";
      if (!req.has_header("Mcp-Name")) return mismatch("the Mcp-Name header is missing");
      auto header_name = header_value(req.get_header_value("Mcp-Name"));
      if (!header_name) return mismatch("the Mcp-Name header value is malformed");
      if (*header_name != body_name)
        return mismatch("Mcp-Name header value '" + *header_name + "' does not match body value '" + body_name + "'");
    }
    bool counted = false;
    if (!take_call_slot(msg, res, counted)) return;
    run(modern, nullptr, std::move(msg), res, json_ok, sse_ok, true, counted);
  }

  // A tool call takes one of the max_calls slots; without one the server says so
  // at once (503 with Retry-After) instead of letting the request wait.
  bool take_call_slot(const json& msg, httplib::Response& res, bool& counted) {
    counted = false;
    if (!msg["method"].is_string() || !host.runs_long(msg["method"].get<std::string>())) return true;
    if (++calls_in_flight > opt.max_calls) {
      --calls_in_flight;
      res.set_header("Retry-After", "5");
      reply_json(res, 503, error_response(msg.contains("id") && valid_id(msg["id"]) ? msg["id"] : json(nullptr), -32000,
                                          "Service Unavailable: ⚠️ 처리 중인 호출이 너무 많습니다. 잠시 후 다시 시도하세요."));
      return false;
    }
    counted = true;
    return true;
  }

  // Runs one request and answers it: as JSON when it is over soon (or the client
  // takes no stream), else as an SSE stream of its notifications and its reply.
  // A modern request's stream closing early cancels it.
  void run(Dispatcher& dispatcher, std::shared_ptr<Session> session, json msg, httplib::Response& res, bool json_ok,
           bool sse_ok, bool modern_era, bool counted) {
    auto pending = std::make_shared<Pending>();
    std::shared_ptr<std::atomic<int>> in_flight = session ? session->in_flight : nullptr;
    if (in_flight) ++*in_flight;
    auto cancel = dispatcher.dispatch(
        std::move(msg), [pending](const json& j) { pending->push(j); },
        [this, pending, in_flight, counted] {
          pending->finish();
          if (in_flight) --*in_flight;
          if (counted) --calls_in_flight;
        });

    std::unique_lock<std::mutex> lk(pending->m);
    pending->cv.wait_for(lk, std::chrono::milliseconds(kFirstReplyWaitMs), [&] { return pending->done || !pending->out.empty(); });
    // A stream when the client takes nothing else, when progress came first, or
    // when nothing came yet (the reply may be pushed a moment before `done`).
    bool quiet = pending->out.empty() && !pending->done;
    bool progress_first = !pending->out.empty() && is_notification(pending->out.front());
    bool streams = sse_ok && (!json_ok || progress_first || quiet);
    if (!streams) {
      // One reply as JSON (notifications dropped for a client that takes no stream).
      pending->cv.wait(lk, [&] { return pending->done; });
      json reply;
      for (auto& j : pending->out)
        if (!is_notification(j)) reply = std::move(j);
      if (session) session->last_used = now_ms();
      if (reply.is_null()) res.status = 202;   // cancelled: no reply is owed
      else reply_json(res, modern_era ? modern_error_status(reply) : 200, reply);
      return;
    }
    lk.unlock();
    res.status = 200;
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider("text/event-stream", [pending, session, cancel, modern_era](size_t, httplib::DataSink& sink) {
      std::unique_lock<std::mutex> lk(pending->m);
      for (;;) {
        bool any = pending->cv.wait_for(lk, std::chrono::milliseconds(kKeepAliveMs),
                                        [&] { return pending->done || !pending->out.empty(); });
        if (!any) {
          // Nothing to say yet: a comment line, which also finds out whether the
          // client is still there.
          lk.unlock();
          bool ok = sink.write(":\n\n", 3);
          lk.lock();
          if (!ok) {
            if (modern_era) cancel();   // the stream closed: that is the cancellation
            return false;
          }
          continue;
        }
        while (!pending->out.empty()) {
          std::string ev = sse_event(pending->out.front());
          pending->out.pop_front();
          lk.unlock();
          bool ok = sink.write(ev.data(), ev.size());
          lk.lock();
          if (!ok) {
            if (modern_era) cancel();
            return false;   // a legacy call still ends on its own
          }
        }
        if (pending->done) break;
      }
      lk.unlock();
      if (session) session->last_used = now_ms();
      sink.done();
      return true;
    });
  }

  void initialize(json msg, httplib::Response& res) {
    if (!msg.contains("id")) {
      reply_json(res, 400, http_error(-32600, "Invalid Request: ⚠️ initialize는 id가 있는 요청이어야 합니다."));
      return;
    }
    auto session = std::make_shared<Session>(host);
    session->last_used = now_ms();
    std::string id = random_session_id();
    json reply;
    session->dispatcher.dispatch(std::move(msg), [&reply](const json& j) { reply = j; });
    if (!reply.contains("result")) {   // refused (a bad id): no session for it
      reply_json(res, 200, reply);
      return;
    }
    {
      std::lock_guard<std::mutex> lk(m);
      if (sessions.size() >= opt.max_sessions && !retire_least_recent_idle()) {
        res.set_header("Retry-After", "60");
        reply_json(res, 503, http_error(-32000, "Service Unavailable: ⚠️ 열린 세션이 너무 많습니다. 잠시 후 다시 시도하세요."));
        return;
      }
      sessions.emplace(id, session);
    }
    res.set_header("Mcp-Session-Id", id);
    reply_json(res, 200, reply);
  }

  // At the session limit the session unused longest, with no call running, makes
  // room (under `m`). False when every session has a call running.
  bool retire_least_recent_idle() {
    auto oldest = sessions.end();
    for (auto it = sessions.begin(); it != sessions.end(); ++it)
      if (*it->second->in_flight == 0 && (oldest == sessions.end() || it->second->last_used < oldest->second->last_used))
        oldest = it;
    if (oldest == sessions.end()) return false;
    retired.push_back(std::move(oldest->second));
    sessions.erase(oldest);
    sweep_cv.notify_all();
    return true;
  }

  void del(const httplib::Request& req, httplib::Response& res) {
    auto session = session_of(req, res);
    if (!session) return;
    end_session(req.get_header_value("Mcp-Session-Id"));
    res.status = 200;
  }

  void end_session(const std::string& id) {
    std::lock_guard<std::mutex> lk(m);
    auto it = sessions.find(id);
    if (it == sessions.end()) return;
    it->second->dispatcher.cancel_all();
    retired.push_back(std::move(it->second));
    sessions.erase(it);
    sweep_cv.notify_all();
  }

  // Ends idle sessions and lets go of ended ones once their calls are over. The
  // Dispatcher of an ended session is destroyed here, never on a call's thread.
  void sweep_loop() {
    auto every = std::chrono::seconds(std::clamp<long long>(opt.session_idle.count() / 4, 1, 30));
    std::unique_lock<std::mutex> lk(m);
    while (!stopping) {
      sweep_cv.wait_for(lk, every);
      long long now = now_ms();
      long long idle_ms = std::chrono::duration_cast<std::chrono::milliseconds>(opt.session_idle).count();
      for (auto it = sessions.begin(); it != sessions.end();) {
        if (*it->second->in_flight == 0 && now - it->second->last_used >= idle_ms) {
          retired.push_back(std::move(it->second));
          it = sessions.erase(it);
        } else {
          ++it;
        }
      }
      std::vector<std::shared_ptr<Session>> done;
      for (auto it = retired.begin(); it != retired.end();) {
        if (*(*it)->in_flight == 0) {
          done.push_back(std::move(*it));
          it = retired.erase(it);
        } else {
          ++it;
        }
      }
      lk.unlock();
      done.clear();
      lk.lock();
    }
  }
};

HttpServer::HttpServer(HttpOptions opt, Host& host) : impl_(std::make_unique<Impl>(std::move(opt), host)) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start() {
  auto& d = *impl_;
  d.bound_port = d.opt.port == 0 ? d.svr.bind_to_any_port(d.opt.host) : (d.svr.bind_to_port(d.opt.host, d.opt.port) ? d.opt.port : -1);
  if (d.bound_port < 0) return false;
  d.sweeper = std::thread([&d] { d.sweep_loop(); });
  d.listener = std::thread([&d] {
    d.svr.listen_after_bind();
    d.listen_ended = true;
  });
  // Serving before we return: a stop() that came earlier would find nothing to stop.
  for (int i = 0; i < 5000 && !d.svr.is_running() && !d.listen_ended; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

int HttpServer::port() const { return impl_->bound_port; }

size_t HttpServer::session_count() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->sessions.size();
}

void HttpServer::wait() {
  if (impl_->listener.joinable()) impl_->listener.join();
}

void HttpServer::stop() {
  auto& d = *impl_;
  {
    std::lock_guard<std::mutex> lk(d.m);
    if (d.stopping) return;
    d.stopping = true;
    for (auto& [id, s] : d.sessions) s->dispatcher.cancel_all();
    d.modern.cancel_all();
    d.sweep_cv.notify_all();
  }
  d.svr.stop();
  if (d.listener.joinable()) d.listener.join();
  if (d.sweeper.joinable()) d.sweeper.join();
}

int serve_http(const HttpOptions& opt, Host& host) {
  if (auto why = refuse_reason(opt)) {
    std::cerr << "tessaro-mcp: " << *why << "\n";
    return 2;
  }
  HttpServer server(opt, host);
  if (!server.start()) {
    std::cerr << "tessaro-mcp: cannot listen on " << opt.host << ":" << opt.port << "\n";
    return 1;
  }
  std::string shown = opt.host.find(':') != std::string::npos && opt.host.front() != '[' ? "[" + opt.host + "]" : opt.host;
  std::cerr << "tessaro-mcp: serving MCP over HTTP at http://" << shown << ":" << server.port() << "/mcp"
            << (opt.token.empty() ? "" : " (bearer token required)") << std::endl;
  server.wait();
  return 0;
}

}  // namespace tessaro::mcp
