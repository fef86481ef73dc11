// Toolsets (selection, refusal of tools that are off, the instructions that
// follow them, the size of what an assistant reads) and the fixed sets and
// ranges shown in the tool schemas.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>

#include "server/arg_rules.hpp"
#include "server/mcp.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "server/toolsets.hpp"
#include "sources/naver/naver.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::server;
using tessaro::testing::FixtureServer;
using tessaro::testing::ScopedEnv;
using tessaro::testing::TempHome;

namespace {

// Restores `all` whatever the test did.
struct Selection {
  explicit Selection(const std::string& text) { select_toolsets(text); }
  ~Selection() { reset_toolsets(); }
};

std::vector<std::string> listed_names() {
  std::vector<std::string> out;
  for (const auto& t : tools_list()) out.push_back(t["name"].get<std::string>());
  return out;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const json* listed(const json& tools, const std::string& name) {
  for (const auto& t : tools)
    if (t["name"] == name) return &t;
  return nullptr;
}

// What the assistant reads before its first question: the tool list and the instructions.
size_t context_bytes() { return tools_list().dump().size() + instructions().size(); }

}  // namespace

TEST(Toolsets, EveryCatalogueToolBelongsToOneKnownToolset) {
  std::set<std::string> sets;
  for (const auto& t : toolsets()) sets.insert(t.name);
  EXPECT_EQ(sets.size(), toolsets().size());
  std::set<std::string> used;
  for (const auto& entry : catalogue()) {
    const std::string& set = toolset_of(entry.name);
    EXPECT_TRUE(sets.count(set)) << entry.name << " has no toolset";
    used.insert(set);
  }
  EXPECT_EQ(used, sets);   // no empty toolset
  for (const auto& d : default_toolsets()) EXPECT_TRUE(sets.count(d)) << d;
  EXPECT_EQ(toolset_of("no_such_tool"), "");
}

TEST(Toolsets, SelectionTextAllDefaultNamesAndUnknownNames) {
  std::set<std::string> all;
  for (const auto& t : toolsets()) all.insert(t.name);
  EXPECT_EQ(parse_toolsets(""), all);
  EXPECT_EQ(parse_toolsets(" , "), all);
  EXPECT_EQ(parse_toolsets("all"), all);
  EXPECT_EQ(parse_toolsets("default"), std::set<std::string>(default_toolsets().begin(), default_toolsets().end()));
  EXPECT_EQ(parse_toolsets(" US , kr_quotes,us"), (std::set<std::string>{"us", "kr_quotes"}));
  std::set<std::string> with_us(default_toolsets().begin(), default_toolsets().end());
  with_us.insert("us");
  EXPECT_EQ(parse_toolsets("default,us"), with_us);
  try {
    parse_toolsets("us,kr_quote,bogus");
    FAIL() << "unknown names accepted";
  } catch (const ToolsetError& e) {
    std::string m = e.what();
    EXPECT_TRUE(has(m, "kr_quote, bogus")) << m;
    EXPECT_TRUE(has(m, "kr_quotes")) << m;   // the valid names are listed
  }
  // A refused selection keeps the one in force.
  Selection s("us");
  EXPECT_THROW(select_toolsets("nope"), ToolsetError);
  EXPECT_EQ(selected_toolsets_text(), "us");
  EXPECT_FALSE(tool_enabled("get_price"));
}

TEST(Toolsets, ListingKeepsAlwaysOnToolsAndCatalogueOrder) {
  EXPECT_EQ(listed_names().size(), catalogue().size());   // all by default
  Selection s("us");
  std::vector<std::string> expected;
  for (const auto& entry : catalogue()) {
    bool always = std::find(always_on_tools().begin(), always_on_tools().end(), entry.name) != always_on_tools().end();
    if (always || toolset_of(entry.name) == "us") expected.push_back(entry.name);
  }
  EXPECT_EQ(listed_names(), expected);
  for (const char* t : {"get_market_clock", "tessaro_status", "search", "search_stock", "watchlist"})
    EXPECT_TRUE(std::find(expected.begin(), expected.end(), t) != expected.end()) << t;
  EXPECT_TRUE(tool_enabled("get_us_price"));
  EXPECT_FALSE(tool_enabled("get_metrics_summary"));   // server toolset, not always on
}

TEST(Toolsets, CallOfToolThatIsOffIsRefusedNamingItsToolset) {
  Selection s("us");
  ToolReply r = run_tool("get_price", json{{"code", "005930"}});
  EXPECT_TRUE(r.is_error);
  EXPECT_TRUE(has(r.text, "⚠️")) << r.text;
  EXPECT_TRUE(has(r.text, "'kr_quotes'")) << r.text;
  // Refused before the argument checks: a bad argument does not change the answer.
  EXPECT_EQ(run_tool("get_price", json::object()).text, r.text);
  try {
    call_tool("get_flow", json{{"code", "005930"}});
    FAIL() << "tool that is off was run";
  } catch (const ArgumentError& e) {
    EXPECT_TRUE(has(e.what(), "'kr_flow'")) << e.what();
  }
  // Unknown names are still unknown, not "off".
  EXPECT_THROW(run_tool("no_such_tool", json::object()), UnknownToolError);
}

TEST(Toolsets, InstructionsKeepEveryRuleAndDropRowsAndRolesOfToolsThatAreOff) {
  const std::string full = instructions();
  ASSERT_TRUE(has(full, "| \"수급\" | `get_flow` |"));
  std::string us_only;
  {
    Selection s("us");
    us_only = instructions();
  }
  EXPECT_EQ(instructions(), full);   // back to all: the full text, unchanged
  // Sections and quoted rules stay, in order.
  size_t at = 0;
  for (const char* part : {"## 1.", "## 2.", "종목명을 찾을 수 없습니다. 6자리 코드를 알려 주세요", "## 3.", "그대로 인용하라",
                           "## 4.", "20시 마감가(애프터마켓 포함)", "## 5.", "## 6.", "## 7.", "watchlist(action=\"list\")",
                           "## 8.", "같은 도구를 두 번 연달아", "## 9.", "## 10.", "📢 Orvane 안내:"}) {
    size_t pos = us_only.find(part, at);
    ASSERT_NE(pos, std::string::npos) << part;
    at = pos;
  }
  // Rows and roles of tools that are off go; those of tools that are on stay.
  EXPECT_FALSE(has(us_only, "`get_flow`"));
  EXPECT_FALSE(has(us_only, "| `get_price` × N |"));
  EXPECT_FALSE(has(us_only, "- `get_financial`:"));
  EXPECT_FALSE(has(us_only, "`get_consensus`에는"));
  EXPECT_TRUE(has(us_only, "| `get_us_price` × N | `get_us_multi_price` |"));
  EXPECT_TRUE(has(us_only, "`get_us_*` 도구"));
  EXPECT_TRUE(has(us_only, "- 미국 도구:\n  - 티커 규칙"));
  EXPECT_TRUE(has(us_only, "- `get_market_clock`:"));   // always on
  EXPECT_LT(us_only.size(), full.size());

  Selection s("server");
  const std::string server_only = instructions();
  EXPECT_FALSE(has(server_only, "| 대신 | 사용 |"));    // a table left without rows goes whole
  EXPECT_TRUE(has(server_only, "같은 도구를 두 번 연달아"));
  // A block whose tools are all off keeps the rules that name no tool.
  EXPECT_TRUE(has(server_only, "- 미국 도구:\n  - 티커 규칙: 6자리면 한국, 영문 1~5자면 미국.")) << server_only;
  EXPECT_FALSE(has(server_only, "`get_us_search`"));
  EXPECT_FALSE(has(server_only, "- 분석 도구:"));
}

// The default toolsets (Korean quotes, research, news) keep every rule that still
// applies and point no request at a tool that is off.
TEST(Toolsets, DefaultInstructionsKeepTheTickerAndThemeRulesAndNameOnlyToolsThatAreOn) {
  Selection s("default");
  const std::string text = instructions();
  EXPECT_TRUE(has(text, "티커 규칙: 6자리면 한국, 영문 1~5자면 미국.")) << text;
  EXPECT_TRUE(has(text, "- 테마 탐색과 검증은 다르다: ")) << text;
  EXPECT_TRUE(has(text, "모든 숫자는 다시 도구로 확인한다")) << text;
  EXPECT_TRUE(has(text, "`watchlist(action=\"list\")`의 코드를 받아 `get_multi_stocks`에 한 번에 넘긴다.")) << text;
  // No backticked tool in the text is off.
  for (size_t pos = 0;;) {
    size_t open = text.find('`', pos);
    if (open == std::string::npos) break;
    size_t close = text.find('`', open + 1);
    ASSERT_NE(close, std::string::npos);
    std::string inside = text.substr(open + 1, close - open - 1);
    size_t len = 0;
    while (len < inside.size() && ((inside[len] >= 'a' && inside[len] <= 'z') || inside[len] == '_')) ++len;
    std::string name = inside.substr(0, len);
    if (find_tool(name) && inside.find('*') == std::string::npos) EXPECT_TRUE(tool_enabled(name)) << name;
    pos = close + 1;
  }
}

// Prints what an assistant reads before its first question, for all tools, the
// default set and each toolset alone (always-on tools included); tokens are
// estimated as bytes / 3, a fair rate for this mix of Korean text and JSON.
TEST(Toolsets, ContextSizePerToolsetIsMeasuredAndBounded) {
  const size_t all = context_bytes();
  std::printf("%-12s %6s %8s %8s\n", "toolsets", "tools", "bytes", "~tokens");
  std::printf("%-12s %6zu %8zu %8zu\n", "all", tools_list().size(), all, all / 3);
  size_t default_bytes = 0;
  for (const std::string& name : std::vector<std::string>{"default"}) {
    Selection s(name);
    default_bytes = context_bytes();
    std::printf("%-12s %6zu %8zu %8zu\n", name.c_str(), tools_list().size(), default_bytes, default_bytes / 3);
  }
  for (const auto& set : toolsets()) {
    Selection s(set.name);
    size_t b = context_bytes();
    std::printf("%-12s %6zu %8zu %8zu\n", set.name.c_str(), tools_list().size(), b, b / 3);
    EXPECT_LT(b, all / 2) << set.name;
  }
  EXPECT_LE(default_bytes * 3, all);
  // The whole catalogue stays near its measured size (about 114 kB with every
  // argument's description in its schema and the JSON tools' output schemas): a
  // description or schema that grows by kilobytes shows here.
  EXPECT_LT(all, 122'000u);
}

TEST(ArgumentRules, SchemaCarriesEnumsRangesAndHints) {
  json tools = tools_list();
  const json* chart = listed(tools, "get_chart");
  ASSERT_NE(chart, nullptr);
  const json& props = (*chart)["inputSchema"]["properties"];
  EXPECT_EQ(props["timeframe"]["enum"], json::array({"day", "week", "month"}));
  EXPECT_EQ(props["timeframe"]["default"], "day");
  // count is clamped to 500, never refused: no maximum a client would enforce
  // (count 501 is a good call), the clamp told in the description instead.
  EXPECT_FALSE(props["count"].contains("maximum"));
  EXPECT_TRUE(props["count"].value("description", std::string()).find("500보다 크면 500으로 맞춰 씁니다") !=
              std::string::npos)
      << props["count"];
  const json* ind = listed(tools, "get_indicators");
  ASSERT_NE(ind, nullptr);
  const json& include = (*ind)["inputSchema"]["properties"]["include"];
  EXPECT_TRUE(include["anyOf"][0]["items"]["enum"].is_array());   // optional list: enum on its items
  const json& days = (*ind)["inputSchema"]["properties"]["days"];
  EXPECT_FALSE(days.contains("minimum"));   // days 29 is answered with 30 bars' worth, not refused
  EXPECT_FALSE(days.contains("maximum"));
  EXPECT_TRUE(days.value("description", std::string()).find("30보다 작으면 30") != std::string::npos) << days;
  // No property anywhere declares a bound its tool only clamps.
  for (const auto& t : tools)
    for (const auto& [arg, schema] : t["inputSchema"]["properties"].items()) {
      const Range* r = argument_range(t["name"].get<std::string>(), arg);
      if (schema.contains("minimum") || schema.contains("maximum"))
        EXPECT_TRUE(r && r->refused) << t["name"] << "." << arg;
    }
  const json* wl = listed(tools, "watchlist");
  ASSERT_NE(wl, nullptr);
  // The check folds case: the enum holds both cases, and "" (the list) too.
  json actions = (*wl)["inputSchema"]["properties"]["action"]["enum"];
  for (const char* v : {"", "list", "LIST", "clear", "CLEAR"})
    EXPECT_TRUE(std::find(actions.begin(), actions.end(), v) != actions.end()) << v;

  for (const auto& t : tools) {
    const std::string name = t["name"];
    const json& ann = t["annotations"];
    bool offline = std::find(offline_tools().begin(), offline_tools().end(), name) != offline_tools().end();
    EXPECT_EQ(ann["openWorldHint"].get<bool>(), !offline) << name;
    bool writer = !ann["readOnlyHint"].get<bool>();
    EXPECT_EQ(ann["idempotentHint"].get<bool>(), !writer || name == "watchlist") << name;
  }
  EXPECT_FALSE((*listed(tools, "get_market_clock"))["annotations"]["openWorldHint"].get<bool>());
  EXPECT_TRUE((*listed(tools, "get_price"))["annotations"]["openWorldHint"].get<bool>());
}

// For every argument with a fixed set: the schema enum is the set the tool
// checks against. Each enum value gets past the tool's check, and a value outside
// is refused by it. The sources answer from a loopback server that knows nothing,
// so a value that passes ends in a lookup failure, never in the refusal.
TEST(ArgumentRules, EveryEnumValuePassesTheToolsCheckAndOthersAreRefused) {
  TempHome home;
  FixtureServer srv;
  ScopedEnv naver{"TESSARO_NAVER_BASE_URL", srv.base_url()};
  ScopedEnv yahoo{"TESSARO_YAHOO_BASE_URL", srv.base_url()};
  ScopedEnv sec{"TESSARO_SEC_BASE_URL", srv.base_url()};
  ScopedEnv timeout{"TESSARO_HTTP_TIMEOUT_S", "1"};
  const json fillers = {{"code", "005930"}, {"codes", {"005930"}}, {"ticker", "AAPL"}, {"symbol", "005930"}, {"nid", "12345"}};
  // Arguments a tool needs in practice besides its required ones.
  const std::map<std::string, json> extra = {{"export_to_excel", {{"code", "005930"}}},
                                             {"get_detailed_investor_flow", {{"code", "005930"}}},
                                             {"get_supply_pressure", {{"code", "005930"}}}};
  std::atomic<int> asked{0};   // requests for chart bars
  srv.route("/fchart.stock.naver.com/sise.nhn", [&](const tessaro::testing::FixtureRequest&) {
    ++asked;
    return tessaro::testing::reply(404, "");
  });
  std::atomic<int> us_asked{0};   // requests for US chart history
  srv.route("/query2.finance.yahoo.com/v8/finance/chart/AAPL", [&](const tessaro::testing::FixtureRequest&) {
    ++us_asked;
    return tessaro::testing::reply(404, "");
  });
  const json tools = tools_list();
  auto rules = arguments_with_choices();
  ASSERT_GE(rules.size(), 20u);
  for (const auto& [tool, arg] : rules) {
    SCOPED_TRACE(tool + "." + arg);
    const ToolEntry* entry = find_tool(tool);
    ASSERT_NE(entry, nullptr);
    const ParamDecl* decl = nullptr;
    json base = json::object();
    for (const auto& p : entry->params) {
      if (p.name == arg) decl = &p;
      else if (p.required && fillers.contains(p.name)) base[p.name] = fillers[p.name];
    }
    ASSERT_NE(decl, nullptr) << "no such argument";
    if (extra.count(tool)) base.update(extra.at(tool));
    const bool list = decl->type == "list[str]";

    // The schema shows exactly what the set accepts.
    const Choices* choices = argument_choices(tool, arg);
    const json* t = listed(tools, tool);
    ASSERT_NE(t, nullptr);
    json schema = t->at("inputSchema")["properties"][arg];
    if (schema.contains("anyOf")) schema = schema["anyOf"][0];
    json shown = list ? schema["items"]["enum"] : schema["enum"];
    EXPECT_EQ(shown, choices->spellings());

    auto call = [&](const std::string& v) {
      json args = base;
      args[arg] = list ? json::array({v}) : json(v);
      return run_tool(tool, args).text;
    };
    // Unknown pressure kinds are answered kind by kind by the broker layer (a failed
    // block from the same pressure_kinds() list), which needs a connected broker.
    if (tool == "get_supply_pressure" && (arg == "kind" || arg == "kinds")) continue;
    // The daily-bar tools pass a timeframe on as given; the chart source is the
    // check, and it asks the feed only for the timeframes of the enum.
    if (arg == "timeframe") {
      for (const auto& v : shown) {
        int before = asked.load();
        try {
          naver::get_ohlcv("005930", v.get<std::string>(), 5);
        } catch (const std::exception&) {   // the feed's 404: what counts is that it was asked
        }
        EXPECT_GT(asked, before) << v;
      }
      int before = asked.load();
      EXPECT_EQ(naver::get_ohlcv("005930", "hour", 5), json::array());
      EXPECT_EQ(asked, before);
      continue;
    }
    // So does get_us_chart with its period and interval: the history source asks
    // Yahoo only for those of the enum.
    if (tool == "get_us_chart") {
      for (const auto& v : shown) {
        int before = us_asked.load();
        call(v.get<std::string>());
        EXPECT_GT(us_asked, before) << v;
      }
      int before = us_asked.load();
      call("zz_not_a_choice");
      EXPECT_EQ(us_asked, before);
      continue;
    }

    const std::string bogus = "zz_not_a_choice";
    const std::string refused = call(bogus);
    // The refusal up to the value it names, or its first line when it names none.
    size_t at = refused.find(bogus);
    const std::string marker = at != std::string::npos ? refused.substr(0, at) : refused.substr(0, refused.find('\n'));
    ASSERT_FALSE(marker.empty()) << refused;
    for (const auto& v : shown) {
      std::string reply = call(v.get<std::string>());
      EXPECT_FALSE(has(reply, marker)) << "'" << v.get<std::string>() << "' refused:\n" << reply;
    }
  }
}

TEST(ArgumentRules, ChoicesFoldAndRangesClamp) {
  Choices lower{{"list", "add"}, Fold::Lower, {""}};
  EXPECT_TRUE(lower.accepts("  ADD "));
  EXPECT_TRUE(lower.accepts(""));
  EXPECT_FALSE(lower.accepts("addx"));
  EXPECT_EQ(lower.read(" Add "), "add");
  EXPECT_EQ(lower.spellings(), json::array({"", "list", "add", "LIST", "ADD"}));
  Choices exact{{"KR", "US"}};
  EXPECT_FALSE(exact.accepts("kr"));
  EXPECT_EQ(exact.spellings(), json::array({"KR", "US"}));
  Range r{30, 500};
  EXPECT_EQ(r.clamp(5), 30);
  EXPECT_EQ(r.clamp(9000), 500);
  EXPECT_EQ((Range{std::nullopt, 500}.clamp(-3)), -3);
}
