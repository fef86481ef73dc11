// Every tool that builds an upstream address or a file path from an argument,
// called with values that try to leave their place (a climb, a query, a
// fragment, an encoded climb, a NUL, a full URL, an absolute path): the loopback
// upstream never sees the value in a path, and an identifier that cannot be what
// its argument names is refused with a "⚠️" reply before anything is sent.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/clock.hpp"
#include "server/registry.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

struct Injection {
  std::string value, marker;   // the marker must never show in a path the upstream saw
};

const std::vector<Injection>& injections() {
  static const std::vector<Injection> v = {
      {"../zzA?y", "zzA"},          {"zzB#frag", "zzB"},         {"%2e%2e/zzC", "zzC"},
      {std::string("zzD\0x", 5), "zzD"}, {"https://zzE.example/p", "zzE"}, {"/etc/zzF", "zzF"},
      {"..", ".."},
  };
  return v;
}

struct Case {
  std::string tool, arg;
  json base;            // the other arguments, valid
  bool list = false;    // the argument is a list
  bool refused = true;  // a shape check answers "⚠️" before the body
};

std::vector<Case> cases() {
  std::vector<Case> c;
  for (const char* t : {"get_chart", "get_price", "get_flow", "get_financial", "get_indicators", "get_sector_valuation",
                        "get_detailed_investor_flow", "get_supply_pressure", "get_consensus"})
    c.push_back({t, "code", json::object()});
  c.push_back({"get_event_reaction", "code", {{"event_date", "2026-11-02"}}, false, false});
  c.push_back({"get_event_reactions", "code", json::object(), false, false});
  c.push_back({"export_to_excel", "code", {{"data_type", "chart"}}});
  for (const char* t : {"get_etf_info", "get_news", "get_move_context", "get_disclosure", "get_reports"})
    c.push_back({t, "code", json::object(), false, false});
  for (const char* t : {"get_financial_batch", "get_multi_stocks", "get_multi_chart_stats", "get_indicators_bulk",
                        "scan_to_excel"})
    c.push_back({t, "codes", json::object(), true});
  c.push_back({"get_flow_batch", "codes", json::object(), true, false});
  c.push_back({"save_analysis_to_excel", "detail_codes", {{"title", "t"}, {"rows", json::array({{{"a", 1}}})}}, true});
  for (const char* t : {"get_us_price", "get_us_info", "get_us_chart", "get_us_financials", "get_us_earnings",
                        "get_us_analyst", "get_us_dividends", "get_us_options", "get_us_insider", "get_us_holders",
                        "get_us_short", "get_us_filings", "get_us_news", "get_us_etf_info", "get_us_liquidity",
                        "get_us_financial_statement", "export_us_to_excel"})
    c.push_back({t, "ticker", json::object()});
  c.push_back({"get_us_event_reaction", "ticker", {{"event_date", "2026-10-30"}}});
  c.push_back({"get_us_filing_detail", "ticker", {{"accession_no", "0000320193-24-000123"}}});
  c.push_back({"get_us_filing_detail", "accession_no", {{"ticker", "AAPL"}}});
  c.push_back({"get_us_filing_detail", "document", {{"ticker", "AAPL"}, {"accession_no", "0000320193-24-000123"},
                                                    {"find", "x"}}});
  c.push_back({"get_us_multi_price", "tickers", json::object(), true});
  c.push_back({"get_us_multi_diagnosis", "tickers", json::object(), true});
  c.push_back({"get_financial_soundness", "symbol", json::object()});
  c.push_back({"get_intraday_chart", "symbol", json::object()});
  c.push_back({"get_intraday_indicators", "symbol", json::object()});
  // Free-text and name arguments: nothing to refuse by shape, but the value
  // must stay a value.
  c.push_back({"get_report_content", "nid", json::object(), false, false});
  c.push_back({"get_us_filings", "page", {{"ticker", "AAPL"}}, false, false});
  c.push_back({"get_us_sector", "sector_key", json::object(), false, false});
  c.push_back({"get_theme_stocks", "theme_name", json::object(), false, false});
  c.push_back({"get_sector_stocks", "sector_name", json::object(), false, false});
  c.push_back({"search", "query", json::object(), false, false});
  c.push_back({"get_us_search", "query", json::object(), false, false});
  c.push_back({"query_excel", "file_path", json::object(), false, false});
  return c;
}

// One loopback upstream for every host group: 404 to everything, every path kept.
struct Upstreams {
  TempHome home;
  AllUpstreams upstream;
  ScopedEnv timeout{"TESSARO_HTTP_TIMEOUT_S", "1"};
  ScopedEnv sec_timeout{"TESSARO_SEC_TIMEOUT_S", "1"};
  Upstreams() { mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-12-04"), 10, 0)); }
  ~Upstreams() { mt::set_now_for_tests(std::nullopt); }
  std::vector<std::string> paths_seen() { return upstream.server().paths_seen(); }
};

}  // namespace

TEST(ArgumentInjection, NoValueLeavesItsPlaceInAnyUpstreamAddress) {
  Upstreams env;
  for (const Case& c : cases()) {
    for (const Injection& inj : injections()) {
      json args = c.base;
      args[c.arg] = c.list ? json::array({"005930", inj.value}) : json(inj.value);
      std::string reply;
      try {
        reply = server::call_tool(c.tool, args);
      } catch (const std::exception& e) {
        reply = std::string("threw: ") + e.what();
      }
      SCOPED_TRACE(c.tool + "(" + c.arg + "=" + inj.marker + ")");
      if (c.refused) EXPECT_EQ(reply.rfind("⚠️", 0), 0u) << reply.substr(0, 300);
      for (const std::string& p : env.paths_seen())
        EXPECT_EQ(p.find(inj.marker == ".." ? "/../" : inj.marker), std::string::npos) << "upstream saw " << p;
    }
  }
}

// The named cases, each refused before any request.
TEST(ArgumentInjection, NamedCasesSendNothing) {
  Upstreams env;
  std::string r = server::call_tool("get_financial", {{"code", "../x?y"}});
  EXPECT_EQ(r, "⚠️ 종목코드 형식이 올바르지 않습니다: ../x?y");
  r = server::call_tool("save_analysis_to_excel",
                        {{"title", "t"}, {"rows", json::array({{{"a", 1}}})}, {"detail_codes", {"005930", "../x?y"}}});
  EXPECT_EQ(r, "⚠️ 종목코드 형식이 올바르지 않습니다: ../x?y");
  r = server::call_tool("get_us_filing_detail", {{"ticker", "AAPL"},
                                                 {"accession_no", "0000320193-24-000123"},
                                                 {"find", "revenue"},
                                                 {"document", "../../../../../files/company_tickers.json"}});
  EXPECT_EQ(r.rfind("⚠️ document 는 그 공시의 문서 목록에 있는 파일명이어야 합니다", 0), 0u) << r;
  EXPECT_TRUE(env.paths_seen().empty());
}

// Every identifier argument of the catalogue — of tools written later too — is
// checked before anything is asked: a value that cannot be a code, a ticker, an
// accession number or a filing document never gets a "nothing found" answer.
TEST(ArgumentInjection, EveryIdentifierArgumentOfTheCatalogueIsChecked) {
  Upstreams env;
  const std::set<std::string> identifiers = {"code", "codes", "ticker", "tickers", "symbol", "detail_codes",
                                             "accession_no", "document"};
  int checked = 0;
  for (const auto& entry : server::catalogue()) {
    for (const auto& p : entry.params) {
      if (!identifiers.count(p.name)) continue;
      json args = json::object();
      for (const auto& other : entry.params) {
        if (!other.required || other.name == p.name) continue;
        if (other.type == "list[str]") args[other.name] = json::array({"005930"});
        else if (other.type == "list[dict]") args[other.name] = json::array({{{"a", 1}}});
        else if (other.type == "int") args[other.name] = 1;
        else if (other.name == "accession_no") args[other.name] = "0000320193-24-000123";
        else if (other.name == "ticker") args[other.name] = "AAPL";
        else if (other.name == "data_type") args[other.name] = "chart";
        else args[other.name] = "2026-11-02";
      }
      if (entry.name == "get_us_filing_detail" && p.name == "document") args["find"] = "x";
      args[p.name] = p.type == "list[str]" ? json::array({"../zzQ"}) : json("../zzQ");
      std::string reply = server::call_tool(entry.name, args);
      EXPECT_TRUE(reply.find("⚠️") != std::string::npos || reply.find("6자리") != std::string::npos)
          << entry.name << "(" << p.name << "): " << reply.substr(0, 200);
      ++checked;
    }
  }
  EXPECT_GT(checked, 50);
  for (const std::string& path : env.paths_seen()) EXPECT_EQ(path.find("zzQ"), std::string::npos) << path;
}
