// Failure injection over the whole catalogue. Every tool is run once to learn
// which upstream hosts it contacts; then each of those hosts fails in turn (a
// 500, a 410 with the real retired-page body, a timeout, a 200 page without the
// expected table — the real Next.js shell of a retired page) while every other
// host answers that same table-less page. Nothing is obtained in any of these
// runs, so no reply may claim COMPLETE, word the failed part as "nothing
// found", or come back with isError false.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "core/format.hpp"
#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/lists_common.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

// US and workbook tools whose wording of a failure is being fixed on the
// US/workbook side (another branch): listed here only until that side is
// merged, then this list is emptied.
const std::set<std::string> kFixedOnUsWorkbookSide = {
    "save_analysis_to_excel",   // saved with every detail lookup failed, no error flag
};

// Tools that answer from the clock and local files alone, and the watchlist.
bool contacts_nothing(const std::string& tool) {
  for (const auto& t : server::offline_tools())
    if (t == tool) return true;
  return tool == "watchlist";
}

// Arguments that make each tool reach its sources.
json args_for(const server::ToolEntry& e) {
  static const json by_name = {
      {"code", "005930"},           {"codes", {"005930", "000660"}},
      {"query", "삼성전자"},        {"event_date", "2026-09-10"},
      {"theme_name", "반도체"},     {"sector_name", "반도체"},
      {"ticker", "AAPL"},           {"tickers", {"AAPL", "MSFT"}},
      {"accession_no", "0000320193-26-000073"},
      {"nid", "12345"},             {"symbol", "005930"},
      {"sector_key", "technology"}, {"data_type", "chart"},
      {"title", "분석"},            {"rows", json::array({{{"code", "005930"}, {"name", "삼성전자"}}})},
      {"file_path", "x.xlsx"},      {"preset", "정배열"},
  };
  json a = json::object();
  for (const auto& p : e.params)
    if (p.required && by_name.contains(p.name)) a[p.name] = by_name[p.name];
  if (e.name == "get_sector_valuation" || e.name == "get_reports" || e.name == "get_supply_pressure" ||
      e.name == "get_detailed_investor_flow")
    a["code"] = "005930";
  if (e.name == "get_financial_soundness") a["symbol"] = "AAPL";
  if (e.name == "export_to_excel") a["code"] = "005930";
  if (e.name == "save_analysis_to_excel") a["detail_codes"] = {"005930"};
  if (e.name == "get_us_screener") a["preset"] = "day_gainers";
  if (e.name == "screen_chart") {
    a["universe_top"] = 20;
    a["preset"] = "정배열";
  }
  if (e.name == "screen_by_flow") a["top_n"] = 10;
  return a;
}

enum class Fault { Status500, Gone410, Timeout, NoTable };
const char* fault_name(Fault f) {
  switch (f) {
    case Fault::Status500: return "500";
    case Fault::Gone410: return "410";
    case Fault::Timeout: return "timeout";
    case Fault::NoTable: return "200 without table";
  }
  return "?";
}

struct Upstream {
  FixtureServer srv;
  std::string gone = read_shared_sample("naver/finance_item_sise_day_http410.html");
  std::string shell = read_shared_sample("naver/finance_item_frgn_005930_nextjs_20260930_excerpt.html");
  std::mutex m;
  std::set<std::string> hosts;       // first path segment of every request seen
  std::string failing;               // the host that gets `fault`; others get the shell
  Fault fault = Fault::NoTable;
  std::vector<std::unique_ptr<ScopedEnv>> env;

  Upstream() {
    if (shell.empty()) shell = "<!DOCTYPE html><html><head><title>증권</title></head><body><div id=\"__next\"></div></body></html>";
    if (gone.empty()) gone = "<html><body>이 페이지는 더 이상 제공되지 않습니다</body></html>";
    for (const char* g : {"NAVER", "YAHOO", "SEC", "KIS", "KIWOOM", "TOSS"})
      env.push_back(std::make_unique<ScopedEnv>(std::string("TESSARO_") + g + "_BASE_URL", srv.base_url()));
    env.push_back(std::make_unique<ScopedEnv>("TESSARO_HTTP_TIMEOUT_S", "0.4"));
    env.push_back(std::make_unique<ScopedEnv>("TESSARO_SEC_TIMEOUT_S", "0.4"));
    env.push_back(std::make_unique<ScopedEnv>("TESSARO_SEC_CONTACT", "tests@example.com"));
    srv.fallback([this](const FixtureRequest& r) {
      std::string host = r.path.size() > 1 ? r.path.substr(1, r.path.find('/', 1) - 1) : "";
      Fault f = Fault::NoTable;
      {
        std::lock_guard<std::mutex> lk(m);
        hosts.insert(host);
        if (host == failing) f = fault;
      }
      switch (f) {
        case Fault::Status500: return reply(500, "{\"error\":\"internal\"}");
        case Fault::Gone410: return reply(410, gone, "text/html; charset=utf-8");
        case Fault::Timeout:
          std::this_thread::sleep_for(std::chrono::milliseconds(900));
          return reply(504, "late");
        case Fault::NoTable: break;
      }
      return reply(200, shell, "text/html; charset=utf-8");
    });
  }
  void set(const std::string& host, Fault f) {
    std::lock_guard<std::mutex> lk(m);
    failing = host;
    fault = f;
  }
  std::set<std::string> seen() {
    std::lock_guard<std::mutex> lk(m);
    return hosts;
  }
};

// A line that reads as "nothing there" without saying the lookup failed.
bool nothing_found_line(const std::string& line) {
  if (line.find("찾을 수 없") != std::string::npos || line.find("찾지 못") != std::string::npos) return true;
  bool absent = line.find("없습니다") != std::string::npos || line.find("없음") != std::string::npos ||
                line.find("(0건)") != std::string::npos || line.find("nothing found") != std::string::npos;
  if (!absent) return false;
  for (const char* ok : {"실패", "모름", "아니라", "아닙니다", "수 없", "확인 불가", "결측", "못", "지연"})
    if (line.find(ok) != std::string::npos) return false;
  return true;
}

std::vector<std::string> problems(const server::ToolReply& r) {
  std::vector<std::string> out;
  if (!r.is_error) out.push_back("isError false");
  std::string text = r.text;
  size_t first = text.find_first_not_of(" \n");
  json meta;
  if (first != std::string::npos && text[first] == '{') {
    try {
      json j = json::parse(text);
      if (j.is_object() && j.contains("_meta")) meta = j["_meta"];
    } catch (...) {
    }
  } else {
    meta = meta_of(text);
    for (const auto& line : lines_of(body_of(text)))
      if (nothing_found_line(line)) out.push_back("says nothing found: " + line);
  }
  if (meta.is_object() && meta.value("data_completeness", std::string()) == rmeta::COMPLETE)
    out.push_back("claims complete");
  return out;
}

class CatalogueFailure : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(CatalogueFailure, NoReplyHidesAFailedSource) {
  const std::string tool = GetParam();
  if (contacts_nothing(tool)) GTEST_SKIP() << tool << " contacts no upstream host";
  const server::ToolEntry* entry = server::find_tool(tool);
  ASSERT_NE(entry, nullptr);
  Upstream up;
  mt::set_now_for_tests(mt::from_kst(*mt::parse_day("2026-09-16"), 10, 30));
  const json args = args_for(*entry);
  auto run = [&](const std::string& host, Fault f) {
    TempHome home;   // no cache of an earlier run answers for this one
    naver::detail::clear_list_caches();
    up.set(host, f);
    server::ToolReply r = server::run_tool(tool, args);
    bars_cache::flush_disk();
    return r;
  };
  // Every host answers the table-less page: which hosts does the tool contact?
  server::ToolReply first = run("", Fault::NoTable);
  std::set<std::string> hosts = up.seen();
  if (hosts.empty()) {
    mt::set_now_for_tests(std::nullopt);
    GTEST_SKIP() << tool << " contacted no host with " << args.dump();
  }
  const bool excepted = kFixedOnUsWorkbookSide.count(tool) > 0;
  std::vector<std::string> found;
  for (const auto& p : problems(first)) found.push_back("[all hosts: 200 without table] " + p);
  for (const auto& host : hosts)
    for (Fault f : {Fault::Status500, Fault::Gone410, Fault::Timeout, Fault::NoTable}) {
      server::ToolReply r = run(host, f);
      for (const auto& p : problems(r)) found.push_back("[" + host + ": " + fault_name(f) + "] " + p);
    }
  mt::set_now_for_tests(std::nullopt);
  if (excepted) {
    if (found.empty()) ADD_FAILURE() << tool << " passes now: take it off kFixedOnUsWorkbookSide";
    return;
  }
  std::string joined;
  for (size_t i = 0; i < found.size() && i < 12; ++i) joined += "\n  " + found[i];
  EXPECT_TRUE(found.empty()) << tool << " " << args.dump() << " (" << found.size() << " problems):" << joined
                             << "\nlast reply:\n" << first.text.substr(0, 1500);
}

INSTANTIATE_TEST_SUITE_P(AllTools, CatalogueFailure, ::testing::ValuesIn([] {
                           std::vector<std::string> names;
                           for (const auto& e : server::catalogue()) names.push_back(e.name);
                           return names;
                         }()),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });
