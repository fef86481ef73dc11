// The host under hostile or unusual clients: null arguments, malformed and
// oversized messages, cancellation, progress and calls that must not wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/call_context.hpp"
#include "core/parallel.hpp"
#include "mcp/jsonrpc.hpp"
#include "mcp/protocol.hpp"
#include "server/mcp.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "sources/http.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::server;
using namespace tessaro::mcp;
using tessaro::server::handle_message;
using tessaro::server::serve;
using tessaro::testing::contains;

namespace {

json sample_of(const std::string& type) {
  if (type == "str") return "005930";
  if (type == "int") return 3;
  if (type == "float") return 1.5;
  if (type == "bool") return true;
  if (type == "list[str]") return json::array({"005930"});
  if (type == "list[dict]") return json::array({json::object()});
  return json::object();
}

bool has_hangul(const std::string& s) {
  // U+AC00..U+D7A3 start with the bytes EA..ED in UTF-8.
  for (unsigned char c : s)
    if (c >= 0xEA && c <= 0xED) return true;
  return false;
}

json call_msg(const json& id, const std::string& tool, const json& args) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", args}}}};
}

// A sink that keeps what it was given.
struct Collected {
  std::mutex m;
  std::vector<json> got;
  Sink sink() {
    return [this](const json& j) {
      std::lock_guard<std::mutex> lk(m);
      got.push_back(j);
    };
  }
  std::vector<json> snapshot() {
    std::lock_guard<std::mutex> lk(m);
    return got;
  }
};

}  // namespace

// Null stands for "not given" in every argument slot of every tool.
TEST(NullArguments, EveryDefaultTakesOverAndRequiredOnesAreRefused) {
  int checked = 0;
  for (const auto& tool : catalogue()) {
    json base = json::object();
    for (const auto& p : tool.params)
      if (p.required) base[p.name] = sample_of(p.type);
    json expected = prepare_arguments(tool, base);
    for (const auto& p : tool.params) {
      json with = base;
      with[p.name] = nullptr;
      if (p.required) {
        EXPECT_THROW(prepare_arguments(tool, with), ArgumentError) << tool.name << "." << p.name;
        ToolReply r = run_tool(tool.name, with);
        EXPECT_TRUE(r.is_error);
        EXPECT_TRUE(r.text.rfind("⚠️ ", 0) == 0 && contains(r.text, p.name)) << r.text;
      } else {
        EXPECT_EQ(prepare_arguments(tool, with), expected) << tool.name << "." << p.name;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 100);   // the screen alone has 43
  // Concrete slots named in reports from the field.
  json chart = prepare_arguments(*find_tool("get_chart"), {{"code", "005930"}, {"count", nullptr}, {"timeframe", nullptr}});
  EXPECT_EQ(chart["count"], 120);
  EXPECT_EQ(chart["timeframe"], "day");
  json screen = prepare_arguments(*find_tool("screen_chart"), {{"universe_top", nullptr}});
  EXPECT_EQ(screen["universe_top"], 300);
}

TEST(ToolCalls, RefusalsUnknownToolsAndHugeNumbers) {
  ToolReply r = run_tool("get_chart", json::array({"005930"}));
  EXPECT_TRUE(r.is_error);
  EXPECT_TRUE(r.text.rfind("⚠️ get_chart", 0) == 0 && has_hangul(r.text)) << r.text;
  EXPECT_THROW(run_tool("no_such_tool", json::object()), UnknownToolError);

  json unknown = handle_message(call_msg(4, "no_such_tool", json::object()));
  EXPECT_EQ(unknown["error"]["code"], -32602);
  std::string msg = unknown["error"]["message"];
  EXPECT_TRUE(contains(msg, "no_such_tool") && has_hangul(msg)) << msg;

  json nonobj = handle_message(call_msg(5, "get_chart", "005930"));
  EXPECT_TRUE(nonobj["result"]["isError"].get<bool>());
  EXPECT_TRUE(has_hangul(nonobj["result"]["content"][0]["text"].get<std::string>()));

  json cursor = handle_message(json{{"jsonrpc", "2.0"}, {"id", 6}, {"method", "tools/list"}, {"params", {{"cursor", "x"}}}});
  EXPECT_EQ(cursor["error"]["code"], -32602);
  EXPECT_EQ(handle_message(json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", "tools/list"}})["result"]["tools"].size(),
            catalogue().size());

  // An integer beyond 64 signed bits stays huge and positive (no wrap to -1).
  json big = json::parse(R"({"code":"005930","count":18446744073709551615})");
  EXPECT_GT(prepare_arguments(*find_tool("get_chart"), big)["count"].get<long long>(), 1000000000LL);
}

TEST(ToolCalls, WrapperErrorRepliesAreMarkedAsErrors) {
  tessaro::testing::NaverEnv env;
  env.srv.route("/polling.finance.naver.com/api/realtime/domestic/stock/005930", tessaro::testing::reply(503, "down"));
  json r = handle_message(call_msg(1, "get_price", {{"code", "005930"}}));
  EXPECT_TRUE(r["result"]["isError"].get<bool>());
  EXPECT_TRUE(contains(r["result"]["content"][0]["text"].get<std::string>(), "⚠️ 종목코드 005930의 현재가 조회 실패"));
  json ok = handle_message(call_msg(2, "get_market_clock", json::object()));
  EXPECT_FALSE(ok["result"]["isError"].get<bool>());
}

TEST(ReadMessage, SurrogatesAndBadBytesBecomeReplacementCharacters) {
  auto q_of = [](const std::string& text) {
    Incoming in = read_message(text);
    EXPECT_TRUE(in.message.has_value()) << text << " -> " << in.error.dump();
    return in.message ? (*in.message)["params"]["q"].get<std::string>() : std::string();
  };
  EXPECT_EQ(q_of(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"q":"a\ud83d"}})"), "a\xEF\xBF\xBD");
  EXPECT_EQ(q_of(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"q":"\ude00b"}})"), "\xEF\xBF\xBD" "b");
  EXPECT_EQ(q_of(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"q":"\ud83d\ude00"}})"), "😀");
  EXPECT_EQ(q_of(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"q":"\\ud83d"}})"), "\\ud83d");   // not an escape
  EXPECT_EQ(q_of("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"params\":{\"q\":\"x\xFFy\"}}"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(q_of(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"q":"삼성\ud83d"}})"), "삼성\xEF\xBF\xBD");
}

TEST(ReadMessage, DeepAndOversizedMessagesAreRefusedWithTheirId) {
  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  Incoming req = read_message(R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"get_chart","arguments":{"code":)" +
                              deep + "}}}");
  ASSERT_FALSE(req.message);
  EXPECT_EQ(req.error["id"], 42);
  EXPECT_EQ(req.error["error"]["code"], -32600);
  EXPECT_TRUE(has_hangul(req.error["error"]["message"].get<std::string>()));
  // A notification gets no answer; a bare deep array gets one without an id.
  EXPECT_TRUE(read_message(R"({"jsonrpc":"2.0","method":"notifications/x","params":)" + deep + "}").error.is_null());
  Incoming bare = read_message(deep);
  EXPECT_TRUE(bare.error["id"].is_null());
  EXPECT_EQ(bare.error["error"]["code"], -32600);
  // Up to the limit the message is read.
  std::string ok = std::string(MAX_NESTING - 3, '[') + std::string(MAX_NESTING - 3, ']');
  EXPECT_TRUE(read_message(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"a":)" + ok + "}}").message);
  // A message cut at the size limit, and a broken one whose id was readable.
  Incoming cut = read_message(R"({"jsonrpc":"2.0","id":"big","method":"tools/call","params":{"q":"aaaa)", true);
  EXPECT_EQ(cut.error["id"], "big");
  Incoming broken = read_message(R"({"jsonrpc":"2.0","id":9,"method":"ping",)");
  EXPECT_EQ(broken.error["id"], 9);
  EXPECT_EQ(broken.error["error"]["code"], -32700);
}

TEST(Serve, OneLinePerMessageAndOneAnswerPerId) {
  std::ostringstream script;
  std::string deep = std::string(5000, '[');
  for (int i = 0; i < 120; ++i) {
    switch (i % 4) {
      case 0: script << R"({"jsonrpc":"2.0","id":)" << i << R"(,"method":"ping"})" << "\n"; break;
      case 1: script << call_msg(i, "get_market_clock", nullptr).dump() << "\n"; break;
      case 2: script << R"({"jsonrpc":"2.0","id":)" << i << R"(,"method":"ping","params":{"x":)" << deep << "\n"; break;
      case 3: script << call_msg(i, "get_chart", {{"code", nullptr}}).dump() << "\n\n"; break;
    }
  }
  std::istringstream in(script.str());
  std::ostringstream out;
  serve(in, out);
  std::map<int, int> answers;
  std::stringstream ss(out.str());
  for (std::string line; std::getline(ss, line);) {
    ASSERT_FALSE(line.empty());
    json j = json::parse(line);
    ++answers[j["id"].get<int>()];
    if (j["id"].get<int>() % 4 == 3) EXPECT_TRUE(j["result"]["isError"].get<bool>());
  }
  ASSERT_EQ(answers.size(), 120u);
  for (auto& [id, n] : answers) EXPECT_EQ(n, 1) << id;
}

// ---- call context: cancellation and progress ---------------------------------

TEST(CallContext, CancelledMapStartsNoNewItems) {
  CallContext ctx;
  CallScope scope(&ctx);
  std::atomic<int> ran{0};
  auto errs = parallel_for(50, 2, [&](size_t i) {
    if (++ran == 4) ctx.cancel();
  });
  EXPECT_LE(ran.load(), 5);   // the two workers finish what they hold
  int cancelled = 0;
  for (auto& e : errs) {
    if (!e) continue;
    try {
      std::rethrow_exception(e);
    } catch (const Cancelled&) {
      ++cancelled;
    }
  }
  EXPECT_EQ(cancelled + ran.load(), 50);
}

TEST(CallContext, CancelAbortsTheTransferAndStopsNewRequests) {
  tessaro::testing::FixtureServer srv;
  srv.route("/slow", tessaro::testing::reply(200, "{}"));
  srv.delay("/slow", 5000);
  CallContext ctx;
  auto t0 = std::chrono::steady_clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ctx.cancel();
  });
  bool cancelled = false;
  {
    CallScope scope(&ctx);
    try {
      http::get(http::Url::given(srv.base_url() + "/slow"), {}, 10.0);
    } catch (const Cancelled&) {
      cancelled = true;
    }
  }
  canceller.join();
  EXPECT_TRUE(cancelled);
  // Far sooner than the five-second answer.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3500));
  int hits = srv.hits("/slow");
  CallScope scope(&ctx);
  EXPECT_THROW(http::get(http::Url::given(srv.base_url() + "/slow")), Cancelled);
  EXPECT_EQ(srv.hits("/slow"), hits);
}

TEST(CallContext, ProgressGrowsAcrossStagesAndOnlyTheOuterMapReports) {
  std::vector<std::tuple<double, double, std::string>> seen;
  std::mutex m;
  CallContext ctx(
      [&](double p, double total, const std::string& message) {
        std::lock_guard<std::mutex> lk(m);
        seen.emplace_back(p, total, message);
      },
      std::chrono::milliseconds(0));
  CallScope scope(&ctx);
  parallel_for(3, 3, [](size_t) {});   // outside a stage: quiet
  EXPECT_TRUE(seen.empty());
  {
    ProgressStage stage("일봉 조회");
    parallel_for(6, 1, [](size_t) { parallel_for(4, 4, [](size_t) {}); });
  }
  {
    ProgressStage stage("분봉 조회");
    parallel_for(3, 1, [](size_t) {});
  }
  for (size_t k = 0; k < 4; ++k) report_progress("분봉 보충", k, 4);
  // The loop's step 0 would not move past what the stages reached: it is skipped.
  ASSERT_EQ(seen.size(), 6u + 3u + 3u);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(std::get<0>(seen[i]), std::get<0>(seen[i - 1])) << i;
  EXPECT_EQ(std::get<0>(seen[5]), 6);
  EXPECT_EQ(std::get<1>(seen[5]), 6);
  EXPECT_EQ(std::get<2>(seen[5]), "일봉 조회 6/6");
  EXPECT_EQ(std::get<0>(seen[8]), 9);
  EXPECT_EQ(std::get<1>(seen[8]), 9);
  EXPECT_EQ(std::get<0>(seen.back()), 12);
  EXPECT_EQ(std::get<1>(seen.back()), 13);
  EXPECT_EQ(std::get<2>(seen.back()), "분봉 보충 3/4");
  // Without a progress channel nothing is computed or sent.
  CallContext quiet;
  CallScope s2(&quiet);
  ProgressStage stage("x");
  EXPECT_NO_THROW(parallel_for(5, 5, [](size_t) {}));
}

TEST(Dispatcher, CancelledCallSendsNothingAndAQuickCallIsNotHeldBack) {
  tessaro::testing::NaverEnv env;
  env.srv.route("/polling.finance.naver.com/api/realtime/domestic/stock/005930", tessaro::testing::reply(503, "x"));
  env.srv.delay("/polling.finance.naver.com/api/realtime/domestic/stock/005930", 3000);
  Collected c;
  Dispatcher d(tool_host());
  for (int i = 0; i < 30; ++i) d.dispatch(call_msg(i, "get_price", {{"code", "005930"}}), c.sink());
  d.dispatch(call_msg("clock", "get_market_clock", json::object()), c.sink());
  // The clock call needs no network: it is answered while all thirty still wait.
  for (int k = 0; k < 100 && c.snapshot().empty(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto first = c.snapshot();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first[0]["id"], "clock");
  for (int i = 0; i < 30; ++i)
    d.dispatch(json{{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", i}}}}, c.sink());
  d.wait_idle();
  EXPECT_EQ(c.snapshot().size(), 1u);   // no reply for any cancelled call
}
