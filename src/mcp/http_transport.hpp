#pragma once
// MCP over Streamable HTTP, both eras on one endpoint, /mcp. POST carries one
// JSON-RPC message and is answered with JSON, or with an SSE stream when the
// request sends progress or is not over soon.
// Modern (2026-07-28): no session; the MCP-Protocol-Version, Mcp-Method and
// Mcp-Name headers must repeat the body (else 400 HeaderMismatch), and closing the
// stream cancels the request.
// Legacy (initialize-based): the session id is issued at initialize and required
// after it; DELETE ends a session. GET answers 405 (the server never speaks first).
// Each session has its own Dispatcher, so request ids and cancellation are per
// session while the tools, their bounds and caches are shared.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::mcp {

class Host;

struct HttpOptions {
  std::string host = "127.0.0.1";
  int port = 8765;                                  // 0: any free port
  std::string token;                                // bearer token; empty: none asked
  std::vector<std::string> allowed_origins;         // exact origins allowed beside loopback ones
  std::chrono::seconds session_idle{1800};          // a session unused this long ends
  size_t max_sessions = 256;                        // beyond: the one unused longest (and idle) ends
  size_t max_body = 0;                              // 0: MAX_MESSAGE_BYTES
  size_t max_calls = 512;                           // tool calls running at once; beyond: 503
  size_t max_connections = 1024;                    // connections served at once; beyond: they wait
};

// Reads `serve` arguments after the command word (--http, --host H, --port N) and
// the environment (TESSARO_HTTP_TOKEN, TESSARO_HTTP_ORIGINS, TESSARO_HTTP_SESSION_IDLE_S).
// Returns the error text for a bad command line; `http` tells whether --http was given.
std::optional<std::string> parse_serve_args(const std::vector<std::string>& args, bool& http, HttpOptions& out);

// Why the options cannot be served (a public address without a token), or nothing.
std::optional<std::string> refuse_reason(const HttpOptions& opt);

bool is_loopback_host(std::string_view host);
// An Origin header value the server accepts (loopback, the bound host, or listed).
bool origin_allowed(std::string_view origin, const HttpOptions& opt);
// A Host header value the server accepts when it listens on loopback.
bool loopback_host_header(std::string_view host);
// Equality in time that depends only on the lengths.
bool token_equals(std::string_view given, std::string_view expected);

class HttpServer {
 public:
  HttpServer(HttpOptions opt, Host& host);
  ~HttpServer();   // stops
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and starts serving on a thread of its own; false when the address
  // cannot be bound. port() is the bound port afterwards.
  bool start();
  int port() const;
  void stop();
  // Serves on the calling thread until stop().
  void wait();
  size_t session_count() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// `tessaro-mcp serve --http ...`: serves until the process is ended.
int serve_http(const HttpOptions& opt, Host& host);

}  // namespace tessaro::mcp
