// The Streamable HTTP transport at the HTTP level: what a session needs, what is
// refused and with which status, and the checks against other sites and strangers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/json.hpp"
#include "mcp/http_transport.hpp"
#include "mcp/protocol.hpp"
#include "server/mcp.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::mcp;
using tessaro::server::tool_host;

namespace {

const char* kInit =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)"
    R"("clientInfo":{"name":"t","version":"1"}}})";

struct Live {
  HttpServer server;
  httplib::Client client;
  explicit Live(HttpOptions opt = {}) : server(with_any_port(std::move(opt)), tool_host()), client("127.0.0.1", start()) {}

  static HttpOptions with_any_port(HttpOptions o) {
    o.port = 0;
    return o;
  }
  int start() {
    if (!server.start()) throw std::runtime_error("cannot bind");
    return server.port();
  }
  httplib::Result post(const std::string& body, httplib::Headers h = {}, const char* type = "application/json") {
    if (!h.count("Accept")) h.emplace("Accept", "application/json, text/event-stream");
    return client.Post("/mcp", h, body, type);
  }
  std::string open_session(httplib::Headers h = {}) {
    auto r = post(kInit, h);
    if (!r || r->status != 200) return "";
    return r->get_header_value("Mcp-Session-Id");
  }
};

httplib::Headers in(const std::string& session) { return {{"Mcp-Session-Id", session}}; }

}  // namespace

TEST(HttpChecks, LoopbackHostsAndHostHeaders) {
  for (const char* h : {"127.0.0.1", "localhost", "LOCALHOST", "::1", "[::1]", "127.1.2.3"}) EXPECT_TRUE(is_loopback_host(h)) << h;
  for (const char* h : {"0.0.0.0", "::", "192.168.0.2", "127.0.0.1.evil.example", "127.evil", "localhost.evil.example",
                        "127.0.0.256", "1127.0.0.1", ""})
    EXPECT_FALSE(is_loopback_host(h)) << h;
  for (const char* h : {"localhost:8765", "127.0.0.1", "[::1]:80", "127.0.0.1:1"}) EXPECT_TRUE(loopback_host_header(h)) << h;
  for (const char* h : {"evil.example.com", "evil.example.com:8765", "", "[::1", "127.0.0.1.nip.io:80"})
    EXPECT_FALSE(loopback_host_header(h)) << h;
}

TEST(HttpChecks, OriginsOfLoopbackPagesOnlyUnlessListedOrBound) {
  HttpOptions opt;
  for (const char* o : {"http://localhost:3000", "http://127.0.0.1", "https://localhost", "http://[::1]:8080", "HTTP://LOCALHOST:1/"})
    EXPECT_TRUE(origin_allowed(o, opt)) << o;
  for (const char* o : {"http://evil.example.com", "null", "", "file://", "http://localhost.evil.example",
                        "http://127.0.0.1.evil.example:80", "http://localhost@evil.example", "ftp://localhost",
                        "http://localhost/path"})
    EXPECT_FALSE(origin_allowed(o, opt)) << o;
  opt.allowed_origins = {"https://claude.example"};
  EXPECT_TRUE(origin_allowed("https://claude.example", opt));
  EXPECT_FALSE(origin_allowed("https://claude.example.evil", opt));
  // Served on a named address, pages of that address may call it; 0.0.0.0 names nobody.
  opt.host = "mybox.lan";
  EXPECT_TRUE(origin_allowed("http://mybox.lan:8765", opt));
  opt.host = "0.0.0.0";
  EXPECT_FALSE(origin_allowed("http://0.0.0.0:8765", opt));
}

TEST(HttpChecks, TokenComparison) {
  EXPECT_TRUE(token_equals("abc", "abc"));
  EXPECT_FALSE(token_equals("abd", "abc"));
  EXPECT_FALSE(token_equals("ab", "abc"));
  EXPECT_FALSE(token_equals("abcd", "abc"));
  EXPECT_FALSE(token_equals("", "abc"));
  EXPECT_FALSE(token_equals(std::string("abc\0", 4), "abc"));
}

TEST(HttpChecks, ServeArguments) {
  tessaro::testing::ScopedEnv token("TESSARO_HTTP_TOKEN", "tok");
  tessaro::testing::ScopedEnv origins("TESSARO_HTTP_ORIGINS", " https://a.example , ,https://b.example");
  bool http = false;
  HttpOptions o;
  EXPECT_FALSE(parse_serve_args({"--http", "--host", "0.0.0.0", "--port=9000"}, http, o));
  EXPECT_TRUE(http);
  EXPECT_EQ(o.host, "0.0.0.0");
  EXPECT_EQ(o.port, 9000);
  EXPECT_EQ(o.token, "tok");
  EXPECT_EQ(o.allowed_origins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
  EXPECT_FALSE(refuse_reason(o));   // a token is set

  HttpOptions d;
  EXPECT_FALSE(parse_serve_args({}, http, d));
  EXPECT_FALSE(http);   // plain `serve` is stdio
  EXPECT_EQ(d.host, "127.0.0.1");
  EXPECT_EQ(d.port, 8765);
  for (auto bad : std::vector<std::vector<std::string>>{
           {"--http", "--port", "70000"}, {"--http", "--port"}, {"--http", "--port", "-1"}, {"--port", "1"},
           {"--http", "--verbose"}, {"--http=yes"}, {"--http", "--host", ""}}) {
    HttpOptions x;
    EXPECT_TRUE(parse_serve_args(bad, http, x)) << bad.back();
  }
}

TEST(HttpChecks, PublicAddressNeedsAToken) {
  HttpOptions o;
  o.host = "0.0.0.0";
  auto why = refuse_reason(o);
  ASSERT_TRUE(why);
  EXPECT_NE(why->find("TESSARO_HTTP_TOKEN"), std::string::npos);
  o.host = "localhost";
  EXPECT_FALSE(refuse_reason(o));
  o.host = "192.168.1.5";
  o.token = "t";
  EXPECT_FALSE(refuse_reason(o));
}

TEST(HttpTransport, SessionLifecycle) {
  Live live;
  auto r = live.post(kInit);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
  std::string sid = r->get_header_value("Mcp-Session-Id");
  EXPECT_EQ(sid.size(), 32u);
  EXPECT_EQ(json::parse(r->body)["result"]["protocolVersion"], "2025-06-18");
  EXPECT_NE(live.open_session(), sid);   // every initialize opens a new session

  // After initialize the session header is required: missing 400, unknown 404.
  const std::string ping = R"({"jsonrpc":"2.0","id":2,"method":"ping"})";
  EXPECT_EQ(live.post(ping)->status, 400);
  EXPECT_EQ(live.post(ping, in("0123456789abcdef0123456789abcdef"))->status, 404);
  r = live.post(ping, in(sid));
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(json::parse(r->body), json::parse(R"({"jsonrpc":"2.0","id":2,"result":{}})"));

  // Notifications and replies are taken without a body.
  r = live.post(R"({"jsonrpc":"2.0","method":"notifications/initialized"})", in(sid));
  EXPECT_EQ(r->status, 202);
  EXPECT_EQ(r->body, "");

  // The protocol version header: a known revision passes, an unknown one is 400.
  auto h = in(sid);
  h.emplace("MCP-Protocol-Version", "2025-03-26");
  EXPECT_EQ(live.post(ping, h)->status, 200);
  h = in(sid);
  h.emplace("MCP-Protocol-Version", "1999-01-01");
  EXPECT_EQ(live.post(ping, h)->status, 400);

  // The server never speaks first: GET is 405 and says what is allowed.
  auto g = live.client.Get("/mcp", in(sid));
  EXPECT_EQ(g->status, 405);
  EXPECT_EQ(g->get_header_value("Allow"), "POST, DELETE");

  // DELETE ends the session; it is unknown afterwards.
  EXPECT_EQ(live.client.Delete("/mcp")->status, 400);
  EXPECT_EQ(live.client.Delete("/mcp", in(sid))->status, 200);
  EXPECT_EQ(live.post(ping, in(sid))->status, 404);
  EXPECT_EQ(live.client.Delete("/mcp", in(sid))->status, 404);
}

TEST(HttpTransport, ToolCallAnsweredAsJsonWithoutProgress) {
  tessaro::testing::ScopedEnv now("TESSARO_NOW", "2026-09-16T10:15:00+09:00");
  Live live;
  std::string sid = live.open_session();
  // A progress token on a call that sends no progress: one plain JSON reply.
  auto r = live.post(
      R"({"jsonrpc":"2.0","id":"c1","method":"tools/call","params":{"name":"get_market_clock","arguments":{},"_meta":{"progressToken":7}}})",
      in(sid));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
  json reply = json::parse(r->body);
  EXPECT_EQ(reply["id"], "c1");
  EXPECT_EQ(reply["result"]["isError"], false);
  EXPECT_NE(reply["result"]["content"][0]["text"].get<std::string>().find("2026-09-16"), std::string::npos);
}

TEST(HttpTransport, RefusesWhatIsNotOneJsonRpcMessage) {
  HttpOptions opt;
  opt.max_body = 4096;
  Live live(opt);
  std::string sid = live.open_session();
  ASSERT_FALSE(sid.empty());

  EXPECT_EQ(live.post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", in(sid), "text/plain")->status, 415);
  auto h = in(sid);
  h.emplace("Accept", "text/html");
  EXPECT_EQ(live.post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", h)->status, 406);

  auto r = live.post(R"({"jsonrpc":"2.0","id":3,"method":)", in(sid));
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(json::parse(r->body)["error"]["code"], -32700);

  std::string big = R"({"jsonrpc":"2.0","id":4,"method":"ping","params":{"pad":")" + std::string(8000, 'x') + "\"}}";
  EXPECT_EQ(live.post(big, in(sid))->status, 413);

  // initialize inside a batch, or as a notification, opens nothing.
  EXPECT_EQ(live.post(std::string("[") + kInit + "]", in(sid))->status, 400);
  EXPECT_EQ(live.post(R"({"jsonrpc":"2.0","method":"initialize","params":{}})")->status, 400);
  EXPECT_EQ(live.server.session_count(), 1u);
}

TEST(HttpTransport, HostOriginAndTokenChecksComeFirst) {
  HttpOptions opt;
  opt.token = "right-token";
  Live live(opt);
  auto with = [](std::initializer_list<std::pair<std::string, std::string>> kv) {
    httplib::Headers h;
    for (auto& [k, v] : kv) h.emplace(k, v);
    return h;
  };
  // No token, a wrong one, another scheme: 401 with the challenge, and nothing opened.
  for (auto h : {with({}), with({{"Authorization", "Bearer wrong-token"}}), with({{"Authorization", "Basic right-token"}}),
                 with({{"Authorization", "Bearer right-toke"}})}) {
    auto r = live.post(kInit, h);
    EXPECT_EQ(r->status, 401);
    EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Bearer");
    EXPECT_EQ(r->body.find("right-token"), std::string::npos);
  }
  EXPECT_EQ(live.server.session_count(), 0u);
  std::string sid = live.open_session(with({{"Authorization", "Bearer right-token"}}));
  ASSERT_FALSE(sid.empty());
  // The token is asked on every request, not only at initialize.
  EXPECT_EQ(live.post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", in(sid))->status, 401);
  EXPECT_EQ(live.client.Delete("/mcp", in(sid))->status, 401);

  // A rebinding page: its Host or its Origin is not ours.
  EXPECT_EQ(live.post(kInit, with({{"Authorization", "Bearer right-token"}, {"Origin", "http://evil.example.com"}}))->status, 403);
  EXPECT_EQ(live.post(kInit, with({{"Authorization", "Bearer right-token"}, {"Host", "evil.example.com"}}))->status, 403);
  EXPECT_EQ(live.server.session_count(), 1u);
}

TEST(HttpTransport, OnAllAddressesTheTokenGuardsAndForeignPagesStayOut) {
  HttpOptions opt;
  opt.host = "0.0.0.0";
  opt.token = "tok";
  Live live(opt);
  httplib::Headers auth{{"Authorization", "Bearer tok"}};
  EXPECT_EQ(live.post(kInit)->status, 401);
  // Reached by another name (the machine's), the Host is not held against it...
  auto named = auth;
  named.emplace("Host", "mybox.lan:8765");
  EXPECT_EQ(live.post(kInit, named)->status, 200);
  // ...but a page of another site still is refused.
  auto page = auth;
  page.emplace("Origin", "http://evil.example.com");
  EXPECT_EQ(live.post(kInit, page)->status, 403);
}

TEST(HttpTransport, IdleSessionsEnd) {
  HttpOptions opt;
  opt.session_idle = std::chrono::seconds(1);
  Live live(opt);
  std::string idle = live.open_session();
  std::string used = live.open_session();
  const std::string ping = R"({"jsonrpc":"2.0","id":2,"method":"ping"})";
  for (int i = 0; i < 6; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(live.post(ping, in(used))->status, 200) << i;
  }
  EXPECT_EQ(live.post(ping, in(idle))->status, 404);
  EXPECT_EQ(live.server.session_count(), 1u);
}

TEST(HttpTransport, AtTheLimitTheSessionUnusedLongestMakesRoom) {
  HttpOptions opt;
  opt.max_sessions = 2;
  Live live(opt);
  const std::string ping = R"({"jsonrpc":"2.0","id":2,"method":"ping"})";
  std::string first = live.open_session();
  std::string second = live.open_session();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(live.post(ping, in(first))->status, 200);   // `second` is now the one unused longest
  std::string third = live.open_session();
  ASSERT_FALSE(third.empty());
  EXPECT_EQ(live.post(ping, in(second))->status, 404);
  EXPECT_EQ(live.post(ping, in(first))->status, 200);
  EXPECT_EQ(live.post(ping, in(third))->status, 200);
  // An initialize the server refuses opens nothing.
  auto r = live.post(R"({"jsonrpc":"2.0","id":{"x":1},"method":"initialize","params":{}})");
  EXPECT_EQ(r->get_header_value("Mcp-Session-Id"), "");
  EXPECT_TRUE(json::parse(r->body).contains("error"));
  EXPECT_EQ(live.server.session_count(), 2u);
}

// What the transport waits on: `done` after the last message of each dispatch, also
// when nothing is sent; cancel_all ends a session's calls without replies.
TEST(DispatcherDone, RunsAfterTheLastMessageAndOnCancel) {
  tessaro::testing::NaverEnv env;
  const std::string slow = "/polling.finance.naver.com/api/realtime/domestic/stock/005930";
  env.srv.route(slow, tessaro::testing::reply(503, "x"));
  env.srv.delay(slow, 3000);
  std::mutex m;
  std::vector<std::string> events;
  auto sink = [&](const json& j) {
    std::lock_guard<std::mutex> lk(m);
    events.push_back("msg " + (j.contains("id") ? j["id"].dump() : std::string("-")));
  };
  auto done = [&](std::string what) {
    return [&, what] {
      std::lock_guard<std::mutex> lk(m);
      events.push_back("done " + what);
    };
  };
  Dispatcher d(tool_host());
  d.dispatch(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}, sink, done("note"));
  d.dispatch(json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "ping"}}, sink, done("ping"));
  {
    std::lock_guard<std::mutex> lk(m);
    EXPECT_EQ(events, (std::vector<std::string>{"done note", "msg 1", "done ping"}));
    events.clear();
  }
  d.dispatch(json{{"jsonrpc", "2.0"}, {"id", 2}, {"method", "tools/call"},
                  {"params", {{"name", "get_market_clock"}, {"arguments", json::object()}}}},
             sink, done("clock"));
  d.dispatch(json{{"jsonrpc", "2.0"}, {"id", 3}, {"method", "tools/call"},
                  {"params", {{"name", "get_price"}, {"arguments", {{"code", "005930"}}}}}},
             sink, done("price"));
  for (int k = 0; k < 100; ++k) {
    {
      std::lock_guard<std::mutex> lk(m);
      if (events.size() >= 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto t0 = std::chrono::steady_clock::now();
  d.cancel_all();
  d.wait_idle();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
  std::lock_guard<std::mutex> lk(m);
  // The clock answered, then its done; the cancelled price call: done, no reply.
  EXPECT_EQ(events, (std::vector<std::string>{"msg 2", "done clock", "done price"}));
}

// ---- The modern era over HTTP ---------------------------------------------------------

namespace {

const char* kModernList =
    R"({"jsonrpc":"2.0","id":5,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}}}})";

httplib::Headers modern_headers(const std::string& method, const std::string& name = "") {
  httplib::Headers h{{"MCP-Protocol-Version", "2026-07-28"}, {"Mcp-Method", method}};
  if (!name.empty()) h.emplace("Mcp-Name", name);
  return h;
}

std::string modern_call(const std::string& id, const std::string& tool, const std::string& args = "{}") {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + args +
         R"(,"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}}}})";
}

int error_code(const httplib::Result& r) { return json::parse(r->body)["error"].value("code", 0); }

}  // namespace

TEST(HttpModern, ServedWithoutASessionBesideLegacySessions) {
  Live live;
  std::string sid = live.open_session();
  auto r = live.post(kModernList, modern_headers("tools/list"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Mcp-Session-Id"), "");   // none minted or echoed
  json res = json::parse(r->body)["result"];
  EXPECT_EQ(res["tools"].size(), 73u);
  EXPECT_EQ(res["resultType"], "complete");
  EXPECT_EQ(res["_meta"]["io.modelcontextprotocol/serverInfo"]["name"], "tessaro-mcp");
  // A session id on a modern request is ignored, even an unknown one.
  auto h = modern_headers("tools/list");
  h.emplace("Mcp-Session-Id", "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(live.post(kModernList, h)->status, 200);
  EXPECT_EQ(live.server.session_count(), 1u);
  // The legacy session still works on the same endpoint.
  EXPECT_EQ(live.post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", in(sid))->status, 200);
}

TEST(HttpModern, HeadersMustRepeatTheBody) {
  Live live;
  // The version header: missing, different, or modern over a body without _meta.
  EXPECT_EQ(error_code(live.post(kModernList, {{"Mcp-Method", "tools/list"}})), HEADER_MISMATCH);
  auto other = modern_headers("tools/list");
  other.erase("MCP-Protocol-Version");
  other.emplace("MCP-Protocol-Version", "2025-06-18");
  auto r = live.post(kModernList, other);
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(error_code(r), HEADER_MISMATCH);
  r = live.post(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})", modern_headers("tools/list"));
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(error_code(r), HEADER_MISMATCH);
  // Mcp-Method: missing or naming another method.
  EXPECT_EQ(error_code(live.post(kModernList, {{"MCP-Protocol-Version", "2026-07-28"}})), HEADER_MISMATCH);
  EXPECT_EQ(error_code(live.post(kModernList, modern_headers("tools/call"))), HEADER_MISMATCH);
  // Mcp-Name: missing, another tool, plain or in its base64 form.
  std::string call = modern_call("3", "get_market_clock");
  EXPECT_EQ(error_code(live.post(call, modern_headers("tools/call"))), HEADER_MISMATCH);
  r = live.post(call, modern_headers("tools/call", "get_price"));
  EXPECT_EQ(r->status, 400);
  EXPECT_NE(r->body.find("get_price"), std::string::npos);
  EXPECT_EQ(live.post(call, modern_headers("tools/call", "get_market_clock"))->status, 200);
  EXPECT_EQ(live.post(call, modern_headers("tools/call", "=?base64?Z2V0X21hcmtldF9jbG9jaw==?="))->status, 200);
  EXPECT_EQ(error_code(live.post(call, modern_headers("tools/call", "=?base64?Z2V0X3ByaWNl?="))), HEADER_MISMATCH);
  EXPECT_EQ(error_code(live.post(call, modern_headers("tools/call", "=?base64?***?="))), HEADER_MISMATCH);
  // resources/read names its uri.
  std::string read =
      R"({"jsonrpc":"2.0","id":4,"method":"resources/read","params":{"uri":"tessaro://watchlist","_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})";
  EXPECT_EQ(live.post(read, modern_headers("resources/read", "tessaro://watchlist"))->status, 200);
  EXPECT_EQ(error_code(live.post(read, modern_headers("resources/read", "tessaro://other"))), HEADER_MISMATCH);
}

TEST(HttpModern, RefusalsAModernClientRecognises) {
  Live live;
  // An unknown revision: 400 with the supported ones, in the body or the header alone.
  std::string old = kModernList;
  old.replace(old.find("2026-07-28"), 10, "1900-01-01");
  auto h = modern_headers("tools/list");
  h.erase("MCP-Protocol-Version");
  h.emplace("MCP-Protocol-Version", "1900-01-01");
  auto r = live.post(old, h);
  EXPECT_EQ(r->status, 400);
  json e = json::parse(r->body)["error"];
  EXPECT_EQ(e["code"], UNSUPPORTED_PROTOCOL_VERSION);
  EXPECT_EQ(e["data"]["requested"], "1900-01-01");
  EXPECT_EQ(e["data"]["supported"][0], "2026-07-28");
  r = live.post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", {{"MCP-Protocol-Version", "1900-01-01"}});
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(error_code(r), UNSUPPORTED_PROTOCOL_VERSION);
  // A method the server does not have: 404 with Method not found.
  std::string none = kModernList;
  none.replace(none.find("tools/list"), 10, "prompts/zzz");
  r = live.post(none, modern_headers("prompts/zzz"));
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(error_code(r), -32601);
  // A batch is one error, whatever it holds.
  r = live.post(std::string("[") + kModernList + "]", modern_headers("tools/list"));
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(error_code(r), -32600);
}

// ---- Refusals and load ------------------------------------------------------------------

namespace {

// A plain TCP connection: what a client that writes the head and the body
// separately sends, and the raw replies.
struct RawConn {
  int fd = -1;
  explicit RawConn(int port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~RawConn() { ::close(fd); }
  void send_all(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += size_t(n);
    }
  }
  // One response: the status line's code and the body, or 0 when the connection closed.
  std::pair<int, std::string> response() {
    std::string buf;
    char c[4096];
    size_t head_end;
    while ((head_end = buf.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = ::recv(fd, c, sizeof c, 0);
      if (n <= 0) return {0, ""};
      buf.append(c, size_t(n));
    }
    std::string head = lower(buf.substr(0, head_end));
    size_t len = 0;
    if (auto p = head.find("content-length:"); p != std::string::npos) len = std::stoul(head.substr(p + 15));
    while (buf.size() < head_end + 4 + len) {
      ssize_t n = ::recv(fd, c, sizeof c, 0);
      if (n <= 0) break;
      buf.append(c, size_t(n));
    }
    int status = std::stoi(buf.substr(9, 3));
    rest = buf.substr(std::min(buf.size(), head_end + 4 + len));
    return {status, buf.substr(head_end + 4, len)};
  }
  std::string rest;
  static std::string lower(std::string s) {
    for (auto& ch : s) ch = char(std::tolower((unsigned char)ch));
    return s;
  }
};

std::string post_head(size_t body_len, const std::string& extra = "") {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Accept: application/json, text/event-stream\r\n" +
         extra + "Content-Length: " + std::to_string(body_len) + "\r\n\r\n";
}

}  // namespace

TEST(HttpRefusals, ARefusalLeavesItsConnectionUsableWhenTheBodyCameLater) {
  HttpOptions opt;
  opt.token = "right-token";
  Live live(opt);
  for (const char* wrong : {"", "Authorization: Bearer wrong\r\n", "Origin: http://evil.example.com\r\nAuthorization: Bearer right-token\r\n"}) {
    RawConn c(live.server.port());
    std::string body = kInit;
    c.send_all(post_head(body.size(), wrong));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));   // the body in a write of its own
    c.send_all(body);
    auto [status, text] = c.response();
    EXPECT_TRUE(status == 401 || status == 403) << status << " " << wrong;
    // The next request on the same connection is read as itself.
    c.send_all(post_head(body.size(), "Authorization: Bearer right-token\r\n") + body);
    auto [next, reply] = c.response();
    EXPECT_EQ(next, 200) << reply;
    EXPECT_EQ(json::parse(reply)["result"]["serverInfo"]["name"], "tessaro-mcp");
  }
}

TEST(HttpLoad, ACallThatNeedsNoNetworkAnswersAtOnceBehindManySlowOnes) {
  tessaro::testing::NaverEnv env;
  tessaro::testing::ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "20");
  const std::string slow = "/polling.finance.naver.com/api/realtime/domestic/stock/005930";
  env.srv.route(slow, tessaro::testing::reply(503, "x"));
  env.srv.delay(slow, 6000);
  Live live;
  const int kSlow = 150;
  std::vector<std::thread> callers;
  std::atomic<int> answered{0};
  for (int i = 0; i < kSlow; ++i)
    callers.emplace_back([&, i] {
      httplib::Client c("127.0.0.1", live.server.port());
      c.set_read_timeout(30);
      auto r = c.Post("/mcp", modern_headers("tools/call", "get_price"),
                      modern_call(std::to_string(100 + i), "get_price", R"({"code":"005930"})"), "application/json");
      if (r) ++answered;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));   // all of them sent and waiting
  EXPECT_EQ(answered.load(), 0);
  auto t0 = std::chrono::steady_clock::now();
  httplib::Client quick("127.0.0.1", live.server.port());
  auto list = quick.Post("/mcp", modern_headers("tools/list"), kModernList, "application/json");
  auto clock = quick.Post("/mcp", modern_headers("tools/call", "get_market_clock"), modern_call("1", "get_market_clock"),
                          "application/json");
  auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_TRUE(list && clock);
  EXPECT_EQ(list->status, 200);
  EXPECT_EQ(clock->status, 200);
  EXPECT_LT(took, std::chrono::seconds(1));
  live.server.stop();   // cancels the slow calls
  for (auto& t : callers) t.join();
}

TEST(HttpLoad, BeyondTheCallLimitTheServerSaysSoAtOnce) {
  tessaro::testing::NaverEnv env;
  tessaro::testing::ScopedEnv timeout("TESSARO_HTTP_TIMEOUT_S", "20");
  const std::string slow = "/polling.finance.naver.com/api/realtime/domestic/stock/005930";
  env.srv.route(slow, tessaro::testing::reply(503, "x"));
  env.srv.delay(slow, 4000);
  HttpOptions opt;
  opt.max_calls = 3;
  Live live(opt);
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i)
    callers.emplace_back([&, i] {
      httplib::Client c("127.0.0.1", live.server.port());
      c.set_read_timeout(30);
      c.Post("/mcp", modern_headers("tools/call", "get_price"), modern_call(std::to_string(i), "get_price", R"({"code":"005930"})"),
             "application/json");
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto t0 = std::chrono::steady_clock::now();
  auto r = live.post(modern_call("9", "get_market_clock"), modern_headers("tools/call", "get_market_clock"));
  ASSERT_TRUE(r);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(r->status, 503);
  EXPECT_FALSE(r->get_header_value("Retry-After").empty());
  EXPECT_EQ(json::parse(r->body)["id"], 9);
  // What is not a tool call is still served.
  EXPECT_EQ(live.post(kModernList, modern_headers("tools/list"))->status, 200);
  live.server.stop();
  for (auto& t : callers) t.join();
}

TEST(HttpLatency, APingDoesNotWaitForTheClientsDelayedAcknowledgement) {
  // The floor: a bare HTTP server on the same machine, replying the same way.
  httplib::Server floor;
  floor.set_tcp_nodelay(true);
  floor.Post("/mcp", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"jsonrpc":"2.0","id":2,"result":{}})", "application/json");
  });
  int floor_port = floor.bind_to_any_port("127.0.0.1");
  std::thread floor_thread([&] { floor.listen_after_bind(); });
  Live live;
  std::string sid = live.open_session();
  auto median_ms = [](httplib::Client& c, const httplib::Headers& h) {
    std::vector<double> ms;
    for (int i = 0; i < 15; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      auto r = c.Post("/mcp", h, R"({"jsonrpc":"2.0","id":2,"method":"ping"})", "application/json");
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      if (!r) return 1e9;
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  };
  // The client sends its head and body at once too, so only the server's replies
  // can wait on an acknowledgement.
  httplib::Client to_floor("127.0.0.1", floor_port);
  for (httplib::Client* c : {&to_floor, &live.client}) {
    c->set_keep_alive(true);
    c->set_tcp_nodelay(true);
  }
  double base = median_ms(to_floor, {});
  double ours = median_ms(live.client, {{"Mcp-Session-Id", sid}, {"Accept", "application/json, text/event-stream"}});
  floor.stop();
  floor_thread.join();
  // Nagle against a delayed acknowledgement costs some 40 ms a reply.
  EXPECT_LT(ours, base + 20.0) << "floor " << base << " ms, ping " << ours << " ms";
}

// A chunked body names no length; over the limit it is still too large (413),
// not a malformed request.
TEST(HttpTransport, ChunkedBodyOverTheLimitIsTooLarge) {
  HttpOptions opt;
  opt.max_body = 4096;
  Live live(opt);
  std::string sid = live.open_session();
  ASSERT_FALSE(sid.empty());
  std::string big = R"({"jsonrpc":"2.0","id":5,"method":"ping","params":{"pad":")" + std::string(8000, 'x') + "\"}}";
  httplib::Headers h = in(sid);
  h.emplace("Accept", "application/json, text/event-stream");
  auto r = live.client.Post(
      "/mcp", h,
      [&](size_t, httplib::DataSink& sink) {
        for (size_t at = 0; at < big.size(); at += 1000) sink.write(big.data() + at, std::min<size_t>(1000, big.size() - at));
        sink.done();
        return true;
      },
      "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
}
