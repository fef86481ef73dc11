#pragma once
// The Korean web data source (Naver Securities). Operations return plain records
// as ordered JSON in the shapes the tools read; "nothing found" is an empty
// array/object or null; a page fetched but not understood raises NaverParseError.
// Fields a parser could not read are listed under PARSE_MISS_KEY.
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/lookup.hpp"

namespace tessaro::naver {

inline constexpr const char* PARSE_MISS_KEY = "_parse_miss";

// ---- shared fetch layer (naver/fetch.cpp) --------------------------------
// Hosts: "stock.naver.com", "m.stock.naver.com", "api.stock.naver.com",
// "polling.finance.naver.com", "fchart.stock.naver.com", "finance.naver.com",
// "ac.stock.naver.com", "navercomp.wisereport.co.kr". TESSARO_NAVER_BASE_URL
// redirects all of them below one base (tests).
std::string url(const std::string& host, const std::string& path_and_query);
// GET with browser User-Agent, Referer, timeout and one retry on 5xx/429.
// euc_kr: decode CP949 bytes to UTF-8. 404/410 raise HTTPStatusError ("endpoint gone").
std::string fetch_text(const std::string& host, const std::string& path_and_query,
                       bool euc_kr = false, const std::string& referer = "");
json fetch_json(const std::string& host, const std::string& path_and_query, bool euc_kr = false,
                const std::string& referer = "");

// ---- quotes and charts ------------------------------------------------------
json search_stock(const std::string& query);                      // [{name, code, market}]
json get_ohlcv(const std::string& code, const std::string& timeframe, int count);   // rows oldest first
json get_current_price(const std::string& code);                  // quote record (NXT block inside)
std::optional<double> get_regular_session_close(const std::string& code, const std::string& day);
std::optional<std::string> get_krx_sosok(const std::string& code);
std::string get_market_list_status(const std::string& market);    // e.g. "PREOPEN", "OPEN", "CLOSE"
json get_investor_flow(const std::string& code, int days);        // rows newest first
json get_multi_stocks(const std::vector<std::string>& codes);
json get_multi_chart_stats(const std::vector<std::string>& codes, int days);
json get_market_index();

// ---- fundamentals and research ---------------------------------------------
json get_financials(const std::string& code);     // record with "_periods"
json get_fs_basis(const std::string& code);       // basis per period
json get_consensus(const std::string& code);
json get_reports(const std::string& code, int count);
json get_report_detail(const std::string& nid);
json get_research_by_kind(const std::string& kind, int count);
extern const std::vector<std::string> RESEARCH_KINDS;
std::string report_page_url(const std::string& nid);
json ttm_eps_for(const json& financials);
json latest_fin(const json& financials);

// ---- lists and rankings -------------------------------------------------------
json list_themes(int page);
json list_sectors();
json get_theme_stocks(const std::string& name, int count, bool include_reason, int page);
// The same, telling a theme that does not exist from theme-list pages that could
// not be read (failed, with the pages and causes in `reason`).
Lookup<json> find_theme_stocks(const std::string& name, int count, bool include_reason, int page);
json get_sector_stocks(const std::string& name, int count, int page);
json get_stock_sector(const std::string& code);
json scan_stocks_to_snapshot(const std::vector<std::string>& codes, int days, bool include_financial);
json get_volume_ranking(const std::string& market, int count, const std::string& sort_by);
std::string volume_sort_key(const std::string& sort_by);
json get_change_ranking(const std::string& direction, const std::string& market, int count);
json get_alert_codes();
json get_management_codes();
// One page of `count` (<= 500) rows of the market-cap ranking of KOSPI or KOSDAQ:
// {market, total_count, rows, pages, has_next, complete, type_counts, halted_count};
// rows {rank, code, name, price, change_rate, market_cap_billion (억원),
// security_type ("" for ordinary shares), trade_stop}.
json get_market_cap_page(const std::string& market, int page, int count = 500);
// Security-group code of a listed item: "" ordinary, EF, EN, RT, IF (market_cap.cpp).
std::string market_cap_security_type(const std::string& end_type, const std::string& name);
std::string security_type_label(const json& row);
json get_etf_list(const std::string& category, const std::string& keyword, const std::string& sort_by,
                  int limit);
std::string etf_sort_key(const std::string& sort_by);
extern const std::vector<std::pair<std::string, std::string>> ETF_SORT_LABELS;
json get_etf_detail(const std::string& code);

// ---- news, disclosures, market-wide -----------------------------------------
json get_disclosure_list(const std::string& code, int count);
json get_stock_news(const std::string& code, int count);
json search_news(const std::string& query, int count);
json get_investor_deposit(int days);
json get_ipo_schedule();

}  // namespace tessaro::naver
