// What the registry and the argument rules do with what a caller sends: a value
// outside a closed set is refused before any request, and an argument the tool
// does not take is named in the reply instead of passing unseen.
#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/arg_rules.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

// Every source host on one loopback server that counts what it is asked.
struct AllHosts {
  NaverEnv env{"2026-12-08 10:00"};
  AllUpstreams upstream;
  int total_hits() const { return upstream.server().total_hits(); }
};

// A valid value for each required argument of the catalogue, by name.
json sample_value(const server::ParamDecl& p) {
  static const json samples = {
      {"code", "005930"},        {"symbol", "005930"},   {"ticker", "AAPL"},         {"query", "삼성전자"},
      {"codes", {"005930"}},     {"tickers", {"AAPL"}},  {"event_date", "2026-09-01"}, {"data_type", "chart"},
      {"nid", "1"},              {"accession_no", "0000320193-26-000001"},              {"theme_name", "반도체"},
      {"sector_name", "반도체"}, {"sector_key", "technology"},                         {"file_path", "x.xlsx"},
      {"title", "제목"},         {"rows", json::array({json{{"코드", "005930"}}})}};
  if (samples.contains(p.name)) return samples[p.name];
  if (p.type == "int") return 1;
  if (p.type == "float") return 1.0;
  if (p.type == "bool") return false;
  if (p.type == "list[str]") return json::array({"x"});
  return "x";
}

}  // namespace

// For every closed set the schema declares, a value outside it sends nothing
// upstream (a source would read it as some default) and is never answered as data.
TEST(ClosedArgumentSets, ValueOutsideTheSetIsRefusedBeforeAnyRequest) {
  auto sets = server::arguments_with_choices();
  ASSERT_GE(sets.size(), 10u);
  for (const auto& [tool, arg] : sets) {
    const server::ToolEntry* entry = server::find_tool(tool);
    ASSERT_NE(entry, nullptr) << tool;
    const server::ParamDecl* decl = nullptr;
    json args = json::object();
    for (const auto& p : entry->params) {
      if (p.name == arg) decl = &p;
      // What the tool asks for first (a code, a ticker) is given even where it is optional.
      else if (p.required || p.name == "code" || p.name == "ticker" || p.name == "symbol") args[p.name] = sample_value(p);
    }
    ASSERT_NE(decl, nullptr) << tool << "." << arg;
    args[arg] = decl->type == "list[str]" ? json::array({"bogus_value"}) : json("bogus_value");
    AllHosts hosts;
    std::string r = server::call_tool(tool, args);
    EXPECT_EQ(hosts.total_hits(), 0) << tool << "." << arg << " asked upstream: " << r;
    json m = meta_of(r);
    if (m.is_object()) EXPECT_NE(m.value("data_completeness", json()), "complete") << tool << "." << arg << ": " << r;
  }
}

// The sets that used to reach the source unchecked.
TEST(ClosedArgumentSets, ListToolsDeclareTheirMarketsAndSortKeys) {
  for (auto [tool, arg] : std::vector<std::pair<const char*, const char*>>{{"screen_by_flow", "market"},
                                                                           {"screen_by_flow", "sort_by"},
                                                                           {"get_volume_ranking", "market"},
                                                                           {"get_volume_ranking", "sort_by"},
                                                                           {"get_change_ranking", "market"},
                                                                           {"get_change_ranking", "direction"},
                                                                           {"screen_chart", "cross"},
                                                                           {"screen_chart", "macd"},
                                                                           {"screen_chart", "ma_trend"},
                                                                           {"screen_chart", "macd_zone"},
                                                                           {"screen_chart", "ma_order"}})
  {
    EXPECT_NE(server::argument_choices(tool, arg), nullptr) << tool << "." << arg;
    const server::ToolEntry* entry = server::find_tool(tool);
    json args = json::object();
    for (const auto& p : entry->params)
      if (p.required) args[p.name] = sample_value(p);
    args[arg] = "bogus_value";
    AllHosts hosts;
    std::string r = server::call_tool(tool, args);
    EXPECT_TRUE(fmt::starts_with(r, "⚠️ " + std::string(arg)) && contains(r, "bogus_value")) << tool << "." << arg << ": " << r;
    EXPECT_EQ(hosts.total_hits(), 0) << tool << "." << arg;
  }
  EXPECT_TRUE(server::argument_pattern("screen_chart", "exclude").has_value());
  // Lower-case markets are the markets, not ALL.
  NaverEnv hosts{"2026-12-08 10:00"};
  hosts.srv.route("/stock.naver.com/api/domestic/market/stock/default",
                      reply(200, json::array({{{"itemcode", "005930"}, {"itemname", "삼성전자"}, {"nowPrice", "1"},
                                               {"prevChangeRate", "1"}, {"tradeVolume", "1"},
                                               {"tradeAmount", "1"}}}).dump()));
  server::call_tool("get_volume_ranking", {{"market", "kosdaq"}, {"count", 1}});
  EXPECT_EQ(hosts.srv.last_request("/stock.naver.com/api/domestic/market/stock/default").params.at("marketType"),
            "KOSDAQ");
}

// A misspelt argument name: the call runs on its defaults, so the reply says which
// name was ignored and what was probably meant — first, before the text.
TEST(UnknownArguments, AreNamedInTheReply) {
  AllHosts hosts;
  std::string r = server::call_tool("get_market_clock", {{"verbose", true}});
  EXPECT_TRUE(fmt::starts_with(r, "⚠️ get_market_clock 이(가) 받지 않는 인자는 무시했습니다: 'verbose'. 이 도구는 인자를 받지 "
                                  "않습니다.\n\n"))
      << r;
  // A required argument missing because its name was misspelt: the refusal says both.
  r = server::run_tool("get_chart", {{"cod", "005930"}}).text;
  EXPECT_TRUE(contains(r, "⚠️ get_chart: 필수 인자 'code'이(가) 없습니다.")) << r;
  EXPECT_TRUE(contains(r, "'cod' → 'code'")) << r;
  EXPECT_EQ(hosts.total_hits(), 0);
  // Known arguments only: nothing is added.
  r = server::call_tool("get_market_clock", json::object());
  EXPECT_FALSE(contains(r, "받지 않는 인자")) << r;
}
