#pragma once
// MCP over JSON-RPC 2.0. The dispatcher below knows no transport: a transport
// reads messages (read_message guards them), hands each to Dispatcher::dispatch
// with a sink for what goes back, and writes what the sink receives. Standard
// input/output, one message a line, is the transport of serve().
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "core/json.hpp"

namespace tessaro::server {

inline constexpr const char* LATEST_PROTOCOL = "2025-06-18";
bool protocol_supported(const std::string& version);

// The tools/list entry of every catalogue tool, in catalogue order.
json tools_list();
// The server instructions shown to the assistant.
const std::string& instructions();

// Limits checked before a message is built into a document.
inline constexpr size_t MAX_MESSAGE_BYTES = 8u << 20;
inline constexpr int MAX_NESTING = 256;

// One message off the wire: the document, or the error reply owed for it (null
// when nothing is owed, e.g. an unreadable notification). Invalid UTF-8 and
// unpaired UTF-16 surrogate escapes are read as U+FFFD.
struct Incoming {
  std::optional<json> message;
  json error;
};
// `text` may be cut at MAX_MESSAGE_BYTES by the transport; `truncated` says so.
Incoming read_message(std::string text, bool truncated = false);

// Responses and notifications for one message go to its sink, each a whole
// JSON-RPC message. A sink may be called from any thread, one message at a time
// per call, and must write each message whole.
using Sink = std::function<void(const json&)>;

// Runs messages: tool calls each on their own thread with their own call context
// (cancellation, progress), everything else at once. One dispatcher serves one
// client connection (request ids and cancellation are per connection).
class Dispatcher {
 public:
  Dispatcher();
  ~Dispatcher();   // waits for the calls in flight
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // `done`, when given, runs once after the last message for `message` went to
  // the sink (also when nothing goes out: notifications, a cancelled call).
  void dispatch(json message, Sink sink, std::function<void()> done = {});
  // Cancels every call in flight (the connection is going away).
  void cancel_all();
  // Blocks until no call is in flight.
  void wait_idle();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Serves until `in` reaches end of file, then waits for the calls in flight.
// Each message is written to `out` as one line.
void serve(std::istream& in, std::ostream& out);

// Handles one parsed message synchronously (tests); returns the response or null
// when none is sent (notifications, cancelled calls).
json handle_message(const json& msg);

}  // namespace tessaro::server
