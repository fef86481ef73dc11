// The protocol floor on its own, with a host that knows two methods: how a
// request's era is decided and what each era's answers look like.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/call_context.hpp"
#include "mcp/jsonrpc.hpp"
#include "mcp/protocol.hpp"

using namespace tessaro;
using namespace tessaro::mcp;

namespace {

// "list" is cacheable (tools/list), "slow" runs long and reports progress until cancelled.
class FakeHost : public Host {
 public:
  std::vector<RequestInfo> seen;
  json server_info() const override { return {{"name", "fake"}, {"version", "1"}}; }
  json capabilities() const override { return {{"tools", json::object()}}; }
  std::string instructions() const override { return "be nice"; }
  bool runs_long(const std::string& m) const override { return m == "tools/call"; }
  json answer(const std::string& method, const json& params, const RequestInfo& info) override {
    seen.push_back(info);
    if (method == "tools/list") return {{"tools", json::array()}, {"ttlMs", 5000}, {"cacheScope", "public"}};
    if (method == "resources/read") throw RpcError(-32002, "Resource not found: x");
    if (method == "tools/call") {
      CallContext* ctx = current_call();
      for (int i = 1; i <= 200 && !ctx->cancelled(); ++i) {
        report_progress("step", i, 200);
        ctx->sleep_for(std::chrono::milliseconds(10));
      }
      if (ctx->cancelled()) return nullptr;
      return {{"content", json::array()}};
    }
    throw RpcError(-32601, "Method not found: " + method);
  }
};

json request(const json& id, const std::string& method, json params = json::object()) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}
json modern_meta(const std::string& v = MODERN_PROTOCOL) {
  return {{"_meta", {{PROTOCOL_VERSION_KEY, v}, {"io.modelcontextprotocol/clientCapabilities", json::object()}}}};
}

}  // namespace

TEST(Eras, AModernRequestIsServedWithoutInitialize) {
  FakeHost host;
  Dispatcher d(host);
  json r = d.handle(request(1, "tools/list", modern_meta()))["result"];
  EXPECT_EQ(r["resultType"], "complete");
  EXPECT_EQ(r["_meta"][SERVER_INFO_KEY]["name"], "fake");
  EXPECT_EQ(r["ttlMs"], 5000);
  EXPECT_EQ(r["cacheScope"], "public");
  ASSERT_EQ(host.seen.size(), 1u);
  EXPECT_TRUE(host.seen[0].modern);
  EXPECT_EQ(host.seen[0].version, MODERN_PROTOCOL);

  json disc = d.handle(request("d", "server/discover", modern_meta()))["result"];
  EXPECT_EQ(disc["supportedVersions"][0], MODERN_PROTOCOL);
  EXPECT_NE(std::find(disc["supportedVersions"].begin(), disc["supportedVersions"].end(), "2025-11-25"),
            disc["supportedVersions"].end());
  EXPECT_EQ(disc["capabilities"], host.capabilities());
  EXPECT_EQ(disc["instructions"], "be nice");
  EXPECT_GT(disc["ttlMs"].get<long long>(), 0);
  EXPECT_EQ(disc["cacheScope"], "public");
  EXPECT_EQ(disc["resultType"], "complete");
  EXPECT_EQ(disc["_meta"][SERVER_INFO_KEY]["name"], "fake");
}

TEST(Eras, AnUnknownVersionIsRefusedNamingTheSupportedOnes) {
  FakeHost host;
  Dispatcher d(host);
  for (const json& v : {json("1900-01-01"), json(20260728)}) {
    json params = modern_meta();
    params["_meta"][PROTOCOL_VERSION_KEY] = v;
    json e = d.handle(request(7, "tools/list", params));
    EXPECT_EQ(e["id"], 7);
    EXPECT_EQ(e["error"]["code"], UNSUPPORTED_PROTOCOL_VERSION);
    EXPECT_EQ(e["error"]["data"]["supported"], supported_versions());
    EXPECT_EQ(e["error"]["data"]["requested"], v.is_string() ? v.get<std::string>() : v.dump());
  }
  EXPECT_TRUE(host.seen.empty());   // the host never saw them
}

TEST(Eras, LegacyRequestsKeepTheirShapeAndTheMethodsTheModernEraDropped) {
  FakeHost host;
  Dispatcher d(host);
  auto init = [&](const std::string& v) {
    return d.handle(request(1, "initialize", {{"protocolVersion", v}, {"capabilities", json::object()}}))["result"];
  };
  EXPECT_EQ(init("2025-11-25")["protocolVersion"], "2025-11-25");
  EXPECT_EQ(init(MODERN_PROTOCOL)["protocolVersion"], LATEST_LEGACY_PROTOCOL);   // initialize is legacy only
  EXPECT_EQ(init("1999-01-01")["protocolVersion"], LATEST_LEGACY_PROTOCOL);
  EXPECT_EQ(init("2025-03-26")["protocolVersion"], "2025-03-26");

  json r = d.handle(request(2, "tools/list"))["result"];
  EXPECT_FALSE(r.contains("ttlMs") || r.contains("cacheScope") || r.contains("resultType") || r.contains("_meta"));
  EXPECT_EQ(host.seen.back().version, "2025-03-26");   // the revision initialize agreed
  EXPECT_FALSE(host.seen.back().modern);

  EXPECT_EQ(d.handle(request(3, "ping"))["result"], json::object());
  EXPECT_EQ(d.handle(request(4, "logging/setLevel", {{"level", "info"}}))["result"], json::object());
  EXPECT_EQ(d.handle(request(5, "ping", modern_meta()))["error"]["code"], -32601);
  EXPECT_EQ(d.handle(request(6, "logging/setLevel", modern_meta()))["error"]["code"], -32601);
  // Resource not found: -32002 before 2026-07-28, Invalid params after.
  EXPECT_EQ(d.handle(request(8, "resources/read"))["error"]["code"], -32002);
  EXPECT_EQ(d.handle(request(9, "resources/read", modern_meta()))["error"]["code"], -32602);
}

TEST(Eras, BatchesAndNullIdsAreInvalidInEveryRevision) {
  FakeHost host;
  Dispatcher d(host);
  std::vector<json> out;
  std::mutex m;
  auto sink = [&](const json& j) {
    std::lock_guard<std::mutex> lk(m);
    out.push_back(j);
  };
  d.dispatch(json::array({request(1, "tools/list"), request(2, "tools/list")}), sink);
  d.dispatch(request(nullptr, "tools/list"), sink);
  d.dispatch(request(nullptr, "tools/call", {{"name", "x"}}), sink);
  d.wait_idle();
  ASSERT_EQ(out.size(), 3u);
  for (const auto& e : out) {
    EXPECT_TRUE(e.is_object()) << e.dump();   // one error, never an array of answers
    EXPECT_EQ(e["error"]["code"], -32600) << e.dump();
    EXPECT_TRUE(e["id"].is_null());
  }
  EXPECT_TRUE(host.seen.empty());
  // What read_message makes of a huge number: a string the argument checks refuse.
  Incoming in = read_message(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":1e999,"b":-2E+400,"c":"1e999","d":1.5e3}})");
  ASSERT_TRUE(in.message) << in.error.dump();
  EXPECT_EQ((*in.message)["params"]["a"], "1e999");
  EXPECT_EQ((*in.message)["params"]["b"], "-2E+400");
  EXPECT_EQ((*in.message)["params"]["c"], "1e999");
  EXPECT_EQ((*in.message)["params"]["d"], 1500.0);
}

TEST(Eras, AModernCallReportsProgressOnItsOwnTokenAndStopsWhenCancelled) {
  FakeHost host;
  Dispatcher d(host);
  std::mutex m;
  std::vector<json> out;
  std::atomic<bool> done{false};
  json params = modern_meta();
  params["name"] = "slow";
  params["_meta"]["progressToken"] = "tok";
  auto cancel = d.dispatch(request(11, "tools/call", params),
                           [&](const json& j) {
                             std::lock_guard<std::mutex> lk(m);
                             out.push_back(j);
                           },
                           [&] { done = true; });
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard<std::mutex> lk(m);
      if (out.size() >= 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  cancel();
  d.wait_idle();
  EXPECT_TRUE(done);
  std::lock_guard<std::mutex> lk(m);
  ASSERT_GE(out.size(), 2u);
  for (const auto& j : out) {
    EXPECT_EQ(j["method"], "notifications/progress") << j.dump();   // and no reply after the cancel
    EXPECT_EQ(j["params"]["progressToken"], "tok");
  }
  EXPECT_TRUE(host.seen.at(0).modern);
}
