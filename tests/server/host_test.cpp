#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "mcp/protocol.hpp"
#include "server/mcp.hpp"
#include "server/meta.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::server;

namespace {
const char* kNext = UNKNOWN_ERROR_NEXT;
}

TEST(CauseText, BareClassHiddenQueriesAndCodePointCut) {
  EXPECT_EQ(cause_text(ReadTimeout("")), "ReadTimeout");
  EXPECT_EQ(cause_text(ConnectError("   ")), "ConnectError");
  ConnectError e("failed for url 'https://x.example/api?key=SECRET&b=2' then more");
  EXPECT_EQ(cause_text(e), "ConnectError: failed for url 'https://x.example/api?…' then more");
  EXPECT_EQ(cause_text(ValueError("see http://h/p?a=1 b")), "ValueError: see http://h/p?… b");   // up to the first blank
  std::string long_text;
  for (int i = 0; i < 500; ++i) long_text += "가";
  std::string body = cause_text(ValueError(long_text)).substr(std::string("ValueError: ").size());
  EXPECT_EQ(fmt::cp_len(body), 161u);
  EXPECT_TRUE(fmt::ends_with(body, "…"));
  std::string exact(160, 'a');   // exactly 160 is kept whole
  EXPECT_EQ(cause_text(ValueError(exact)), "ValueError: " + exact);
}

TEST(SafeTool, ClausesInOrder) {
  auto run = [](auto thrower) { return safe_tool([&]() -> std::string { thrower(); return ""; }); };
  // A read timeout is an HTTP error too, but the timeout clause wins.
  EXPECT_EQ(run([] { throw ReadTimeout("timed out"); }),
            "⚠️ 네이버 증권 응답이 지연되고 있습니다. 잠시 후 다시 시도해 주세요.\n(원인: ReadTimeout: timed out)");
  EXPECT_EQ(run([] { throw ConnectError(""); }),
            "⚠️ 네이버 증권에 연결할 수 없습니다. 인터넷 연결을 확인해 주세요.\n(원인: ConnectError)");
  EXPECT_EQ(run([] { throw HTTPStatusError("Server Error '500'", 500); }),
            "⚠️ 네트워크 오류가 발생했습니다: HTTPStatusError\n(원인: HTTPStatusError: Server Error '500')");
  std::string parse = run([] { throw NaverParseError("missing closePrice"); });
  auto lines = tessaro::testing::lines_of(parse);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "⚠️ 네이버 증권 페이지를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).");
  EXPECT_EQ(lines[1], "(원인: NaverParseError: missing closePrice)");
  EXPECT_EQ(lines[3] + "\n" + lines[4], PARSE_FAIL_NEXT);
  // Other failures show only the class name, never the detail.
  EXPECT_EQ(run([] { throw std::invalid_argument("secret detail"); }),
            std::string("⚠️ ") + kNext + "\n(원인: ValueError)");
  EXPECT_EQ(run([] { throw std::out_of_range("x"); }), std::string("⚠️ ") + kNext + "\n(원인: IndexError)");
}

TEST(SafeUsTool, YahooWordingWithoutCause) {
  EXPECT_EQ(safe_us_tool([]() -> std::string { throw ConnectTimeout("x"); }),
            "⚠️ Yahoo Finance 응답이 지연되고 있습니다. 잠시 후 다시 시도해 주세요.");
  EXPECT_EQ(safe_us_tool([]() -> std::string { throw ConnectError("x"); }),
            "⚠️ Yahoo Finance에 연결할 수 없습니다. 인터넷 연결을 확인해 주세요.");
  // No separate HTTP or parse clause on the US side.
  EXPECT_EQ(safe_us_tool([]() -> std::string { throw HTTPStatusError("x", 404); }),
            std::string("⚠️ ") + kNext + "\n(원인: HTTPStatusError)");
  EXPECT_EQ(safe_us_tool([] { return std::string("ok"); }), "ok");
}

TEST(Catalogue, UniqueNamesWrappersAndWriteTools) {
  const auto& cat = catalogue();
  ASSERT_EQ(cat.size(), 73u);
  std::set<std::string> names;
  for (const auto& s : cat) names.insert(s.name);
  EXPECT_EQ(names.size(), cat.size());
  EXPECT_EQ(find_tool("tessaro_status")->wrapper, Wrapper::None);
  EXPECT_EQ(find_tool("get_us_price")->wrapper, Wrapper::SafeUS);
  EXPECT_EQ(find_tool("get_financial_soundness")->wrapper, Wrapper::SafeUS);
  EXPECT_NO_THROW(check_write_tools());
}

TEST(ToolsList, SchemaShowsTypesDefaultsAndWriteHints) {
  json tools = tools_list();
  ASSERT_EQ(tools.size(), catalogue().size());
  const json* sc = nullptr;
  for (const auto& t : tools) {
    bool writes = t["name"] == "watchlist" || t["name"] == "export_to_excel" || t["name"] == "scan_to_excel" ||
                  t["name"] == "save_analysis_to_excel" || t["name"] == "export_us_to_excel";
    EXPECT_EQ(t["annotations"]["readOnlyHint"].get<bool>(), !writes) << t["name"];
    if (t["name"] == "get_indicators") sc = &t;
  }
  ASSERT_NE(sc, nullptr);
  const json& props = (*sc)["inputSchema"]["properties"];
  EXPECT_EQ(props["days"]["default"], 260);
  EXPECT_EQ(props["include"]["anyOf"][0]["items"]["type"], "string");   // optional list of text
  EXPECT_TRUE(props["include"]["default"].is_null());
  EXPECT_EQ((*sc)["inputSchema"]["required"], json::array({"code"}));
}

TEST(Registry, ArgumentChecks) {
  EXPECT_THROW(call_tool("no_such_tool", json::object()), ArgumentError);
  EXPECT_THROW(call_tool("get_chart", json::object()), ArgumentError);                       // code missing
  EXPECT_THROW(call_tool("get_chart", json{{"code", 5930}}), ArgumentError);                 // not a string
  EXPECT_THROW(call_tool("get_chart", json{{"code", "005930"}, {"count", 1.5}}), ArgumentError);
  EXPECT_THROW(call_tool("get_flow_batch", json{{"codes", "005930"}}), ArgumentError);       // not a list
  EXPECT_THROW(call_tool("get_flow_batch", json{{"codes", json::array({1, 2})}}), ArgumentError);
  EXPECT_THROW(call_tool("get_indicators", json{{"code", "005930"}, {"params", json::array()}}), ArgumentError);
}

TEST(Mcp, ProtocolNegotiationAndErrors) {
  auto init = [](const std::string& v) {
    return handle_message(json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"},
                               {"params", {{"protocolVersion", v}, {"capabilities", json::object()}}}});
  };
  EXPECT_EQ(init("2024-11-05")["result"]["protocolVersion"], "2024-11-05");
  EXPECT_EQ(init("2025-03-26")["result"]["protocolVersion"], "2025-03-26");
  EXPECT_EQ(init("1999-01-01")["result"]["protocolVersion"], mcp::LATEST_LEGACY_PROTOCOL);
  json r = init("2025-06-18")["result"];
  EXPECT_EQ(r["serverInfo"]["name"], "tessaro-mcp");
  EXPECT_GT(fmt::cp_len(r["instructions"].get<std::string>()), 7500u);
  EXPECT_EQ(handle_message(json{{"jsonrpc", "2.0"}, {"id", 2}, {"method", "bogus"}})["error"]["code"], -32601);
  EXPECT_TRUE(handle_message(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}).is_null());
  json bad = handle_message(json{{"jsonrpc", "2.0"}, {"id", 3}, {"method", "tools/call"},
                                 {"params", {{"name", "get_chart"}, {"arguments", {{"code", json::array()}}}}}});
  EXPECT_TRUE(bad["result"]["isError"].get<bool>());
}

TEST(Mcp, ServeKeepsServingAfterGarbage) {
  std::istringstream in(
      "{not json\n"
      "[]\n"
      "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"tools/call\",\"params\":{\"name\":\"nope\"}}\n");
  std::ostringstream out;
  serve(in, out);
  std::vector<json> lines;
  std::stringstream ss(out.str());
  for (std::string l; std::getline(ss, l);) lines.push_back(json::parse(l));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["error"]["code"], -32700);
  EXPECT_EQ(lines[1]["error"]["code"], -32600);
  EXPECT_EQ(lines[2]["result"], json::object());
  EXPECT_EQ(lines[3]["error"]["code"], -32602);   // an unknown tool
}

TEST(DeliverNotices, JsonRepliesCarryTheNoticeUnderUserNotice) {
  std::string out = deliver_notices(R"({"a":1,"_meta":{"warnings":["w"]}})", {"📢 Orvane 안내:\n---\n  점검 예정  \n"});
  json j = json::parse(out);
  EXPECT_EQ(j["_meta"]["warnings"], json::array({"w", "📢 Orvane 안내: 점검 예정"}));
  EXPECT_EQ(j["_meta"]["user_notice"], "📢 Orvane 안내: 점검 예정");
  // No notice: the reply is untouched, without the key.
  EXPECT_EQ(deliver_notices(R"({"a":1})", {""}), R"({"a":1})");
  // Text replies get the notice after a blank line.
  EXPECT_EQ(deliver_notices("본문", {"📢 안내"}), "본문\n\n📢 안내");
}
