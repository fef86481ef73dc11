#pragma once
// MCP over JSON-RPC 2.0, whatever the transport: the protocol's own methods and
// the dispatch of everything else to a Host. The dispatcher knows no tool: what a
// request does beyond the protocol is the host's answer. A transport reads
// messages (read_message guards them), hands each to Dispatcher::dispatch with a
// sink for what goes back, and writes what the sink receives. Standard
// input/output, one message a line, is the transport of serve().
#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/json.hpp"
#include "mcp/jsonrpc.hpp"

namespace tessaro::mcp {

// Two eras of the protocol. A modern request names its revision in its own
// `_meta` and is served statelessly; a legacy client opens with `initialize`,
// which fixes the revision for its stdio process or HTTP session.
inline constexpr const char* MODERN_PROTOCOL = "2026-07-28";
inline constexpr const char* LATEST_LEGACY_PROTOCOL = "2025-11-25";
bool modern_protocol(const std::string& version);
bool legacy_protocol(const std::string& version);
bool protocol_supported(const std::string& version);   // either era
// Every revision served, the modern ones first.
json supported_versions();

inline constexpr const char* PROTOCOL_VERSION_KEY = "io.modelcontextprotocol/protocolVersion";
inline constexpr const char* SERVER_INFO_KEY = "io.modelcontextprotocol/serverInfo";
// The revision a request names in params._meta, when it names one (a string or not).
const json* requested_version(const json& message);

// The JSON-RPC error codes of the protocol.
inline constexpr int HEADER_MISMATCH = -32020;
inline constexpr int UNSUPPORTED_PROTOCOL_VERSION = -32022;
// The UnsupportedProtocolVersionError for a request that named `requested`.
json unsupported_version_error(const json& id, const std::string& requested);

// A request refused with a JSON-RPC error.
struct RpcError : std::runtime_error {
  int code;
  json data;
  RpcError(int c, const std::string& message, json d = nullptr) : std::runtime_error(message), code(c), data(std::move(d)) {}
};

// How one request is served: its era and revision.
struct RequestInfo {
  bool modern = false;
  std::string version;   // the request's revision (legacy: the one initialize agreed)
};

// What the server offers beyond the protocol itself.
class Host {
 public:
  virtual ~Host() = default;
  virtual json server_info() const = 0;      // {"name", "title", "version"}
  virtual json capabilities() const = 0;     // the server capabilities object
  virtual std::string instructions() const = 0;
  // The result of one request, or null when no reply is owed (a cancelled call).
  // Throws RpcError; a method the host does not serve is RpcError -32601. Runs
  // inside the request's call context (cancellation, progress). A cacheable
  // result carries its `ttlMs` and `cacheScope`; the era decides what goes out.
  virtual json answer(const std::string& method, const json& params, const RequestInfo& info) = 0;
  // Whether a method may take long: it then runs on a thread of its own.
  virtual bool runs_long(const std::string& method) const = 0;
};

// Responses and notifications for one message go to its sink, each a whole
// JSON-RPC message. A sink may be called from any thread, one message at a time
// per call, and must write each message whole.
using Sink = std::function<void(const json&)>;

// Runs messages: long requests each on their own thread with their own call
// context (cancellation, progress), everything else at once. One dispatcher
// serves one client connection (request ids and cancellation are per connection).
class Dispatcher {
 public:
  explicit Dispatcher(Host& host);
  ~Dispatcher();   // waits for the calls in flight
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // `done`, when given, runs once after the last message for `message` went to
  // the sink (also when nothing goes out: notifications, a cancelled call).
  // Returns what cancels this one request (a no-op once it is answered).
  std::function<void()> dispatch(json message, Sink sink, std::function<void()> done = {});
  // Handles one message on the calling thread; the response, or null when none
  // is sent (notifications, cancelled calls).
  json handle(const json& message);
  // Cancels every call in flight (the connection is going away).
  void cancel_all();
  // Blocks until no call is in flight.
  void wait_idle();

  struct State;   // the connection's calls and agreed revision (protocol.cpp)

 private:
  std::shared_ptr<State> state_;
};

// Serves until `in` reaches end of file, then waits for the calls in flight.
// Each message is written to `out` as one line.
void serve(std::istream& in, std::ostream& out, Host& host);

}  // namespace tessaro::mcp
