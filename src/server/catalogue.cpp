// The tool catalogue: the 73 tools in listing order, their error wrapper and
// their arguments. Each argument is "name:type" (required), "name:type=JSON"
// (default) or "name:type?" (optional, default none).
#include <stdexcept>

#include "core/format.hpp"
#include "server/registry.hpp"

namespace tessaro::server {

namespace {

struct Row {
  const char* name;
  Wrapper wrapper;
  const char* params;
  const char* summary;   // first description line, used until the tool file registers its own
};

constexpr Wrapper S = Wrapper::Safe;
constexpr Wrapper U = Wrapper::SafeUS;
constexpr Wrapper N = Wrapper::None;

const Row kRows[] = {
    {"get_market_clock", S, "", "한국장/미국장 현재 상태, 휴장 여부, 최근/다음 거래일을 한 번에 조회합니다."},
    {"tessaro_status", N, "", "Tessaro 상태 요약 — 버전, 한국장·미국장 상태, 최근 호출 성공·실패, 캐시 쓰기 가능 여부."},
    {"search", S, "query:str", "종목 검색 — 종목명이나 코드로 6자리 종목코드를 찾습니다."},
    {"search_stock", S, "query:str", "종목 검색 — 종목명이나 코드로 6자리 종목코드를 찾습니다."},
    {"watchlist", S, "action:str=\"list\"; query:str=\"\"", "관심종목 — Dorvik·Skaldo와 공유하는 관심종목 목록을 보거나 바꿉니다."},
    {"get_chart", S, "code:str; timeframe:str=\"day\"; count:int=120", "차트 — 일/주/월봉 OHLCV 표."},
    {"get_price", S, "code:str", "현재가 — 한 종목의 시세 스냅샷."},
    {"get_flow", S, "code:str; days:int=20", "수급 — 투자자별 순매수."},
    {"get_event_reaction", S, "code:str; event_date:str; before:int=5; after:int=20", "이벤트 반응 — 사건일 전후 주가·수급 반응."},
    {"get_event_reactions", S,
     "code:str; max_events:int=8; before:int=5; after:int=10; include_types:list[str]?; exclude_types:list[str]?",
     "이벤트 반응 이력 — 과거 공시 사건들의 반응 요약."},
    {"get_flow_batch", S, "codes:list[str]; days:int=5; summary:bool=false", "수급 일괄 — 여러 종목의 투자자별 순매수."},
    {"screen_by_flow", S,
     "top_n:int=100; market:str=\"ALL\"; foreign_days:int=2; inst_days:int=2; exclude_etf:bool=true; "
     "sort_by:str=\"trade_value\"",
     "수급 스크린 — 외국인·기관 연속 순매수 종목."},
    {"screen_chart", S,
     "market:str=\"ALL\"; universe_top:int=300; preset:str?; ma_set:str=\"5,20,60\"; ma_spread_max:float?; "
     "ma_order:str?; volatility_pct_max:float?; contraction_max:float?; dist_center_max:float?; price_min:float?; "
     "price_max:float?; above_ma:int?; below_ma:int?; cross:str?; cross_ma:str=\"5,20\"; cross_within:int=1; "
     "volume_ratio_min:float?; volume_ratio_max:float?; volume_ma:int=20; ma_trend:str?; ma_trend_ma:int=20; "
     "ma_trend_count:int=2; new_high_days:int?; new_low_days:int?; change_days:int=1; change_min:float?; "
     "change_max:float?; range_days:int=60; range_position_min:float?; range_position_max:float?; macd:str?; "
     "macd_within:int=1; macd_zone:str?; rsi_min:float?; rsi_max:float?; rsi_period:int=14; count:int=30; "
     "page:int=1; exclude:str=\"기본\"; market_cap_min:float=1000; refine:str?; refine_ma_set:str=\"30,60,150\"; "
     "refine_top:int=30",
     "차트조건검색 — 이평선·변동성 조건에 맞는 종목을 추립니다. 일봉은 증권사 연결 없이 됩니다."},
    {"get_financial", S, "code:str", "재무 — 한 종목의 재무 지표."},
    {"get_financial_batch", S, "codes:list[str]", "재무 일괄 — 여러 종목의 재무 지표."},
    {"get_index", S, "", "시장 지수 — 코스피·코스닥 지수."},
    {"list_themes", S, "page:int=1", "테마 목록."},
    {"get_theme_stocks", S, "theme_name:str; count:int=30; include_reason:bool=true; page:int=1", "테마 종목."},
    {"list_sectors", S, "", "업종 목록."},
    {"get_sector_stocks", S, "sector_name:str; count:int=30; page:int=1", "업종 종목."},
    {"get_sector_valuation", S, "sector_name:str=\"\"; top_n:int=40; kind:str=\"sector\"; code:str=\"\"",
     "업종 밸류에이션 — 중앙값과 종목 프리미엄."},
    {"get_volume_ranking", S, "market:str=\"ALL\"; count:int=50; sort_by:str=\"volume\"", "거래량 순위."},
    {"get_change_ranking", S, "direction:str=\"up\"; market:str=\"ALL\"; count:int=50", "등락률 순위."},
    {"get_market_cap_ranking", S, "market:str=\"KOSPI\"; count:int=50; page:int=1", "시가총액 순위."},
    {"get_multi_stocks", S, "codes:list[str]", "여러 종목 시세."},
    {"get_multi_chart_stats", S, "codes:list[str]; days:int=260", "여러 종목 기간 통계."},
    {"get_indicators", S,
     "code:str; days:int=260; include:list[str]?; timeframe:str=\"day\"; params:dict?", "기술 지표."},
    {"get_indicators_bulk", S,
     "codes:list[str]; days:int=260; include:list[str]?; timeframe:str=\"day\"; params:dict?", "기술 지표 일괄."},
    {"export_to_excel", S, "data_type:str; code:str=\"\"; days:int=180; filename:str=\"\"", "엑셀 내보내기."},
    {"scan_to_excel", S,
     "codes:list[str]; fields:list[str]?; days:int=260; include_financial:bool=true; filename:str=\"\"",
     "스캔 엑셀."},
    {"save_analysis_to_excel", S,
     "title:str; rows:list[dict]; notes:list[str]?; sources:list[str]?; detail_codes:list[str]?; "
     "detail_days:int=60; extras:dict?; filename:str=\"\"",
     "분석 엑셀 저장."},
    {"query_excel", S,
     "file_path:str; filters:dict?; sort_by:str=\"\"; descending:bool=true; limit:int=30", "엑셀 조회."},
    {"get_metrics_summary", S, "days:int=1", "사용량통계 — 최근 N일간 MCP 도구 사용량을 집계해서 보여줍니다."},
    {"get_etf_list", S, "category:str=\"\"; keyword:str=\"\"; sort_by:str=\"marketSum\"; limit:int=20", "ETF 목록."},
    {"get_etf_info", S, "code:str", "ETF 상세."},
    {"get_us_price", U, "ticker:str", "미국 주식 현재가."},
    {"get_us_info", U, "ticker:str", "미국 기업 정보."},
    {"get_us_chart", U,
     "ticker:str; period:str=\"3mo\"; interval:str=\"1d\"; prepost:bool=false; limit:int=500", "미국 주식 차트."},
    {"get_us_financials", U, "ticker:str", "미국 재무 지표."},
    {"get_us_earnings", U, "ticker:str", "미국 실적."},
    {"get_us_event_reaction", U, "ticker:str; event_date:str; session:str=\"auto\"; after:int=5",
     "미국 이벤트 반응."},
    {"get_us_analyst", U, "ticker:str", "미국 애널리스트."},
    {"get_us_dividends", U, "ticker:str; limit:int=12", "미국 배당."},
    {"get_us_options", U, "ticker:str; expiration:str?; strikes_around_spot:int=10", "미국 옵션."},
    {"get_us_insider", U, "ticker:str", "미국 내부자 거래."},
    {"get_us_holders", U, "ticker:str", "미국 주주."},
    {"get_us_short", U, "ticker:str", "미국 공매도."},
    {"get_us_filings", U, "ticker:str; limit:int=15; forms:list[str]?; page:str?; offset:int=0", "SEC 공시 목록."},
    {"get_us_filing_detail", U, "ticker:str; accession_no:str; find:str?; analyze:str?; document:str?",
     "SEC 공시 상세."},
    {"get_us_news", U, "ticker:str; limit:int=10; direct_only:bool=false", "미국 뉴스."},
    {"get_consensus", S, "code:str", "컨센서스."},
    {"get_reports", S, "code:str=\"\"; count:int=5; kind:str=\"\"", "증권사 리포트."},
    {"get_report_content", S, "nid:str; mode:str=\"summary\"; max_chars:int?", "리포트 본문."},
    {"get_news", S, "code:str; limit:int=10; today_only:bool=false", "뉴스."},
    {"get_move_context", S, "code:str", "오늘 왜 움직였나 — 시세·공시·리포트·뉴스 타임라인."},
    {"get_disclosure", S, "code:str", "공시."},
    {"get_us_search", U, "query:str", "미국 종목 검색."},
    {"get_us_market", U, "", "미국 시장 개요."},
    {"get_us_screener", U, "preset:str=\"day_gainers\"; count:int=20; common_stock_only:bool=false",
     "미국 스크리너."},
    {"get_us_financial_statement", U, "ticker:str; statement_type:str=\"income\"; period:str=\"annual\"",
     "미국 재무제표."},
    {"get_us_sector", U, "sector_key:str; top_n:int=20", "미국 섹터."},
    {"get_us_etf_info", U, "ticker:str", "미국 ETF."},
    {"get_us_multi_price", U, "tickers:list[str]", "미국 여러 종목 시세."},
    {"get_financial_soundness", U, "symbol:str", "재무 건전성 진단."},
    {"get_us_liquidity", U, "ticker:str", "미국 유동성 진단."},
    {"get_us_multi_diagnosis", U, "tickers:list[str]; include:list[str]?", "미국 여러 종목 진단."},
    {"export_us_to_excel", U, "ticker:str; period:str=\"10y\"; interval:str=\"1d\"; filename:str=\"\"",
     "미국 엑셀 내보내기."},
    {"get_intraday_chart", S,
     "symbol:str; market:str=\"KR\"; interval:str=\"5m\"; date:str?; row_limit:int=120; venue:str?; "
     "session:str=\"regular\"; completed_only:bool=true; source:str=\"auto\"",
     "분봉 차트."},
    {"get_intraday_indicators", S,
     "symbol:str; market:str=\"KR\"; interval:str=\"60m\"; bars:int=260; include:list[str]?; venue:str?; "
     "session:str=\"regular\"; completed_only:bool=true; source:str=\"auto\"; params:dict?",
     "분봉 지표."},
    {"get_detailed_investor_flow", S,
     "code:str?; codes:list[str]?; days:int=20; measure:str=\"net_quantity\"; source:str=\"auto\"",
     "상세 투자자 수급."},
    {"get_supply_pressure", S,
     "code:str?; codes:list[str]?; kind:str?; kinds:list[str]?; days:int=30; source:str=\"auto\"",
     "수급 압력."},
    {"get_ipo_schedule", S, "", "공모주 일정."},
    {"get_investor_deposit", S, "days:int=20", "투자자 예탁금."},
};

std::vector<ParamDecl> parse_params(const std::string& text, const char* tool) {
  std::vector<ParamDecl> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(';', pos);
    // A default text may hold ';' only inside quotes; none of ours do.
    std::string item = fmt::trim(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? text.size() : end + 1;
    if (item.empty()) continue;
    ParamDecl p;
    auto colon = item.find(':');
    if (colon == std::string::npos) throw std::logic_error(std::string("catalogue: bad param in ") + tool);
    p.name = item.substr(0, colon);
    std::string rest = item.substr(colon + 1);
    auto eq = rest.find('=');
    if (eq != std::string::npos) {
      p.type = rest.substr(0, eq);
      p.default_value = json::parse(rest.substr(eq + 1));
    } else if (!rest.empty() && rest.back() == '?') {
      p.type = rest.substr(0, rest.size() - 1);
      p.default_value = nullptr;
    } else {
      p.type = rest;
      p.required = true;
      p.default_value = json::value_t::discarded;
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<ToolEntry> build() {
  std::vector<ToolEntry> entries;
  for (const Row& r : kRows) {
    ToolEntry s;
    s.name = r.name;
    s.wrapper = r.wrapper;
    s.params = parse_params(r.params, r.name);
    s.fallback_description = r.summary;
    entries.push_back(std::move(s));
  }
  return entries;
}

}  // namespace

const std::vector<ToolEntry>& catalogue() {
  static const std::vector<ToolEntry> entries = build();
  return entries;
}

const ToolEntry* find_tool(const std::string& name) {
  for (const auto& s : catalogue())
    if (s.name == name) return &s;
  return nullptr;
}

const std::vector<std::string>& write_tools() {
  static const std::vector<std::string> w = {"watchlist", "export_to_excel", "scan_to_excel",
                                             "save_analysis_to_excel", "export_us_to_excel"};
  return w;
}

const std::vector<std::string>& offline_tools() {
  static const std::vector<std::string> v = {"get_market_clock", "tessaro_status", "get_metrics_summary", "query_excel"};
  return v;
}

}  // namespace tessaro::server
