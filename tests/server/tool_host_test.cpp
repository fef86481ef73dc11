// The tool host behind the protocol: argument descriptions from each tool's
// description, a JSON tool's document as its structuredContent, the watchlist
// resource, and numbers too large for any argument.
#include <gtest/gtest.h>

#include "mcp/jsonrpc.hpp"
#include "mcp/protocol.hpp"
#include "server/arg_docs.hpp"
#include "server/mcp.hpp"
#include "server/registry.hpp"
#include "sources/watchlist.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::server;

namespace {

json call(const std::string& tool, const json& args, bool modern = false) {
  json params = {{"name", tool}, {"arguments", args}};
  if (modern) params["_meta"] = {{mcp::PROTOCOL_VERSION_KEY, mcp::MODERN_PROTOCOL}};
  return handle_message({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}});
}

json rpc(const std::string& method, json params, bool modern) {
  if (modern) params["_meta"] = {{mcp::PROTOCOL_VERSION_KEY, mcp::MODERN_PROTOCOL}};
  return handle_message({{"jsonrpc", "2.0"}, {"id", 2}, {"method", method}, {"params", params}});
}

}  // namespace

TEST(ArgumentDocs, ArgsSectionsPlainLinesAndSharedLines) {
  const std::string doc =
      "요약 한 줄.\n\n"
      "code: 이 줄은 Args 밖이지만 인자 줄입니다\n"
      "note: 인자가 아닌 이름은 건너뜁니다\n\n"
      "Args:\n"
      "    days: 조회 일수 (기본 20,\n"
      "        최대 100)\n"
      "    venue, session: get_intraday_chart 와 같음\n"
      "    code: 두 번째 설명은 쓰이지 않습니다\n"
      "끝.";
  auto d = argument_docs(doc, {"code", "days", "venue", "session", "missing"});
  EXPECT_EQ(d.at("code"), "이 줄은 Args 밖이지만 인자 줄입니다");
  EXPECT_EQ(d.at("days"), "조회 일수 (기본 20, 최대 100)");
  EXPECT_EQ(d.at("venue"), "get_intraday_chart 와 같음");
  EXPECT_EQ(d.at("session"), "get_intraday_chart 와 같음");
  EXPECT_FALSE(d.count("missing"));
  EXPECT_FALSE(d.count("note"));
}

TEST(ArgumentDocs, EveryPropertyOfEveryToolIsDescribedFromItsDescription) {
  int props = 0;
  for (const auto& t : tools_list()) {
    const std::string description = t["description"];
    for (const auto& [name, schema] : t["inputSchema"]["properties"].items()) {
      ++props;
      ASSERT_TRUE(schema.contains("description")) << t["name"] << "." << name;
      std::string d = schema["description"];
      EXPECT_FALSE(d.empty()) << t["name"] << "." << name;
      // The words are the description's own (its first 20 bytes, at least).
      EXPECT_NE(description.find(d.substr(0, std::min<size_t>(d.size(), 20))), std::string::npos) << t["name"] << "." << name;
    }
  }
  EXPECT_EQ(props, 233);
}

TEST(StructuredResults, AJsonToolsDocumentIsItsStructuredContent) {
  tessaro::testing::ScopedEnv now("TESSARO_NOW", "2026-09-16T10:15:00+09:00");
  // The soundness of a Korean code is answered without a request.
  json r = call("get_financial_soundness", {{"symbol", "005930"}}, true)["result"];
  ASSERT_FALSE(r["isError"].get<bool>()) << r.dump();
  ASSERT_TRUE(r.contains("structuredContent"));
  EXPECT_EQ(r["structuredContent"], json::parse(r["content"][0]["text"].get<std::string>()));
  EXPECT_EQ(r["structuredContent"]["market"], "KR");
  // The schema the tool declares says what the document holds.
  for (const auto& t : tools_list()) {
    if (t["name"] != "get_financial_soundness") continue;
    ASSERT_TRUE(t.contains("outputSchema"));
    for (const auto& k : t["outputSchema"]["required"]) EXPECT_TRUE(r["structuredContent"].contains(k)) << k;
  }
  // A reply in words from such a tool holds no document: it is an error reply.
  json refused = call("get_indicators", {{"code", ""}})["result"];
  EXPECT_TRUE(refused["isError"].get<bool>()) << refused.dump();
  EXPECT_FALSE(refused.contains("structuredContent"));
  // A text tool has neither.
  json clock = call("get_market_clock", json::object())["result"];
  EXPECT_FALSE(clock.contains("structuredContent"));
  EXPECT_FALSE(clock["isError"].get<bool>());
}

TEST(StructuredResults, TheJsonToolsDeclareOutputSchemas) {
  std::vector<std::string> with;
  for (const auto& t : tools_list())
    if (t.contains("outputSchema")) with.push_back(t["name"]);
  for (const char* n : {"get_indicators", "get_indicators_bulk", "get_intraday_indicators", "get_detailed_investor_flow",
                        "get_supply_pressure", "get_financial_soundness", "get_us_liquidity", "get_us_multi_diagnosis"})
    EXPECT_NE(std::find(with.begin(), with.end(), n), with.end()) << n;
}

TEST(Resources, TheWatchlistIsReadOnlyAndReadAsItStandsInBothEras) {
  tessaro::testing::TempHome home;
  wl::add("005930", "삼성전자");
  for (bool modern : {false, true}) {
    json list = rpc("resources/list", json::object(), modern)["result"];
    bool listed = false;
    for (const auto& r : list["resources"]) listed = listed || r["uri"] == "tessaro://watchlist";
    EXPECT_TRUE(listed) << list.dump();
    json read = rpc("resources/read", {{"uri", "tessaro://watchlist"}}, modern)["result"];
    json doc = json::parse(read["contents"][0]["text"].get<std::string>());
    EXPECT_EQ(doc["count"], 1);
    EXPECT_EQ(doc["items"][0]["code"], "005930");
    EXPECT_EQ(read["contents"][0]["mimeType"], "application/json");
    // Nothing may keep a copy: it changes with every watchlist call.
    EXPECT_EQ(read.contains("ttlMs"), modern);
    if (modern) {
      EXPECT_EQ(read["ttlMs"], 0);
      EXPECT_EQ(read["cacheScope"], "private");
    }
    EXPECT_EQ(rpc("resources/read", {{"uri", "tessaro://nothing"}}, modern)["error"]["code"], modern ? -32602 : -32002);
  }
  wl::add("000660", "SK하이닉스");
  json doc = json::parse(rpc("resources/read", {{"uri", "tessaro://watchlist"}}, true)["result"]["contents"][0]["text"].get<std::string>());
  EXPECT_EQ(doc["count"], 2);
}

TEST(HugeNumbers, AnOverflowingLiteralIsRefusedAsAnArgument) {
  mcp::Incoming in = mcp::read_message(
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"get_chart","arguments":{"code":"005930","count":1e999}}})");
  ASSERT_TRUE(in.message) << in.error.dump();
  json r = handle_message(*in.message);
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_TRUE(r["result"]["isError"].get<bool>());
  EXPECT_EQ(r["result"]["content"][0]["text"], "⚠️ get_chart: 인자 'count' 은(는) 정수여야 합니다.");
  // A number argument too.
  json f = call("screen_chart", {{"ma_spread_max", "1e999"}})["result"];
  EXPECT_TRUE(f["isError"].get<bool>());
  EXPECT_NE(f["content"][0]["text"].get<std::string>().find("'ma_spread_max' 은(는) 숫자여야 합니다"), std::string::npos);
}

TEST(StructuredResults, RevisionsBefore2025_06_18GetNeitherSchemasNorDocuments) {
  auto init = [](const std::string& v) {
    return handle_message({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"}, {"params", {{"protocolVersion", v}}}});
  };
  auto listed = [](const std::string& name) {
    json r = handle_message({{"jsonrpc", "2.0"}, {"id", 2}, {"method", "tools/list"}});
    for (const auto& t : r["result"]["tools"])
      if (t["name"] == name) return t;
    return json();
  };
  init("2025-03-26");
  json old = listed("get_financial_soundness");
  ASSERT_TRUE(old.is_object());
  EXPECT_FALSE(old.contains("outputSchema"));
  EXPECT_FALSE(old.contains("title"));
  EXPECT_FALSE(call("get_financial_soundness", {{"symbol", "005930"}})["result"].contains("structuredContent"));
  init("2025-11-25");   // what the other tests of this process expect
  json now = listed("get_financial_soundness");
  EXPECT_TRUE(now.contains("outputSchema"));
  EXPECT_EQ(now["title"], "Get Financial Soundness");
  EXPECT_TRUE(call("get_financial_soundness", {{"symbol", "005930"}})["result"].contains("structuredContent"));
}
