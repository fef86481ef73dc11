#include "server/toolsets.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "core/format.hpp"
#include "server/registry.hpp"

namespace tessaro::server {

namespace {

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    out.push_back(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (comma == std::string::npos) return out;
    pos = comma + 1;
  }
}

struct Group {
  const char* name;
  const char* summary;
  std::vector<const char*> tools;
};

// In the order of the source layout: server, Korean tools by subsystem, intraday,
// US, workbooks.
const std::vector<Group>& groups() {
  static const std::vector<Group> g = {
      {"server", "시장 시계·상태·사용량", {"get_market_clock", "tessaro_status", "get_metrics_summary"}},
      {"kr_quotes", "종목 검색·관심종목·차트·현재가·여러 종목·지수",
       {"search", "search_stock", "watchlist", "get_chart", "get_price", "get_index", "get_multi_stocks",
        "get_multi_chart_stats"}},
      {"kr_flow", "투자자 수급·이벤트 반응·상세 수급 근거·예탁금·공모주",
       {"get_flow", "get_event_reaction", "get_event_reactions", "get_flow_batch", "screen_by_flow",
        "get_detailed_investor_flow", "get_supply_pressure", "get_ipo_schedule", "get_investor_deposit"}},
      {"screener", "차트 조건 검색", {"screen_chart"}},
      {"kr_research", "재무·컨센서스·증권사 리포트",
       {"get_financial", "get_financial_batch", "get_consensus", "get_reports", "get_report_content"}},
      {"kr_lists", "테마·업종·순위·업종 밸류에이션·ETF",
       {"list_themes", "get_theme_stocks", "list_sectors", "get_sector_stocks", "get_sector_valuation",
        "get_volume_ranking", "get_change_ranking", "get_market_cap_ranking", "get_etf_list", "get_etf_info"}},
      {"indicators", "기술 지표", {"get_indicators", "get_indicators_bulk"}},
      {"kr_news", "뉴스·공시·오늘 왜 움직였나", {"get_news", "get_move_context", "get_disclosure"}},
      {"intraday", "증권사 분봉 차트·분봉 지표", {"get_intraday_chart", "get_intraday_indicators"}},
      {"us", "미국 주식",
       {"get_us_price", "get_us_info", "get_us_chart", "get_us_financials", "get_us_earnings", "get_us_event_reaction",
        "get_us_analyst", "get_us_dividends", "get_us_options", "get_us_insider", "get_us_holders", "get_us_short",
        "get_us_filings", "get_us_filing_detail", "get_us_news", "get_us_search", "get_us_market", "get_us_screener",
        "get_us_financial_statement", "get_us_sector", "get_us_etf_info", "get_us_multi_price",
        "get_financial_soundness", "get_us_liquidity", "get_us_multi_diagnosis"}},
      {"workbooks", "엑셀 저장·조회",
       {"export_to_excel", "scan_to_excel", "save_analysis_to_excel", "query_excel", "export_us_to_excel"}},
  };
  return g;
}

const std::map<std::string, std::string>& tool_to_set() {
  static const std::map<std::string, std::string> m = [] {
    std::map<std::string, std::string> out;
    for (const auto& g : groups())
      for (const char* t : g.tools) out[t] = g.name;
    return out;
  }();
  return m;
}

std::mutex g_mutex;
bool g_all = true;
std::set<std::string> g_selected;

}  // namespace

const std::vector<Toolset>& toolsets() {
  static const std::vector<Toolset> v = [] {
    std::vector<Toolset> out;
    for (const auto& g : groups()) out.push_back({g.name, g.summary});
    return out;
  }();
  return v;
}

const std::string& toolset_of(const std::string& tool) {
  static const std::string none;
  auto it = tool_to_set().find(tool);
  return it == tool_to_set().end() ? none : it->second;
}

const std::vector<std::string>& always_on_tools() {
  static const std::vector<std::string> v = {"get_market_clock", "tessaro_status", "search", "search_stock",
                                             "watchlist"};
  return v;
}

const std::vector<std::string>& default_toolsets() {
  static const std::vector<std::string> v = {"kr_quotes", "kr_research", "kr_news"};
  return v;
}

std::set<std::string> parse_toolsets(const std::string& text) {
  std::set<std::string> out;
  std::vector<std::string> unknown;
  bool any = false;
  for (const auto& part : split_commas(text)) {
    std::string name = fmt::lower(fmt::trim(part));
    if (name.empty()) continue;
    any = true;
    if (name == "all") {
      for (const auto& g : groups()) out.insert(g.name);
    } else if (name == "default") {
      out.insert(default_toolsets().begin(), default_toolsets().end());
    } else if (std::any_of(groups().begin(), groups().end(), [&](const Group& g) { return name == g.name; })) {
      out.insert(name);
    } else {
      unknown.push_back(fmt::trim(part));
    }
  }
  if (!unknown.empty()) {
    std::vector<std::string> valid = {"all", "default"};
    for (const auto& g : groups()) valid.push_back(g.name);
    throw ToolsetError("알 수 없는 도구 모음: " + fmt::join(unknown, ", ") + " (사용 가능: " + fmt::join(valid, ", ") +
                       ")");
  }
  if (!any)
    for (const auto& g : groups()) out.insert(g.name);
  return out;
}

void select_toolsets(const std::string& text) {
  std::set<std::string> chosen = parse_toolsets(text);
  std::lock_guard<std::mutex> lk(g_mutex);
  g_all = chosen.size() == groups().size();
  g_selected = std::move(chosen);
}

void reset_toolsets() {
  std::lock_guard<std::mutex> lk(g_mutex);
  g_all = true;
  g_selected.clear();
}

std::string selected_toolsets_text() {
  std::lock_guard<std::mutex> lk(g_mutex);
  if (g_all) return "all";
  std::vector<std::string> names;
  for (const auto& g : groups())
    if (g_selected.count(g.name)) names.push_back(g.name);
  return names.empty() ? std::string("(없음)") : fmt::join(names, ",");
}

bool tool_enabled(const std::string& tool) {
  if (std::find(always_on_tools().begin(), always_on_tools().end(), tool) != always_on_tools().end()) return true;
  std::lock_guard<std::mutex> lk(g_mutex);
  if (g_all) return true;
  return g_selected.count(toolset_of(tool)) > 0;
}

std::string disabled_tool_text(const std::string& tool) {
  const std::string& set = toolset_of(tool);
  return "⚠️ '" + tool + "' 도구는 지금 꺼져 있습니다 — '" + set +
         "' 도구 모음에 속합니다. 쓰려면 Tessaro 설정의 TESSARO_TOOLSETS에 " + set +
         "을(를) 넣어 주세요 (예: TESSARO_TOOLSETS=default," + set + "). 지금 켜진 도구 모음: " +
         selected_toolsets_text() + ".";
}

}  // namespace tessaro::server
