#pragma once
// The Korean web data source (Naver Securities). Operations return plain records
// as ordered JSON in the shapes the tools read; "nothing found" is an empty
// array/object or null; a page fetched but not understood raises NaverParseError.
// Fields a parser could not read are listed under PARSE_MISS_KEY.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/lookup.hpp"

namespace tessaro::http {
class Target;
}

namespace tessaro::naver {

inline constexpr const char* PARSE_MISS_KEY = "_parse_miss";

// ---- shared fetch layer (naver/fetch.cpp) --------------------------------
// Hosts: "stock.naver.com", "m.stock.naver.com", "api.stock.naver.com",
// "polling.finance.naver.com", "fchart.stock.naver.com", "finance.naver.com",
// "ac.stock.naver.com", "navercomp.wisereport.co.kr". TESSARO_NAVER_BASE_URL
// redirects all of them below one base (tests).
// Every address is an http::Target: its values are percent-encoded there.
std::string url(const std::string& host, const http::Target& target);
// GET with browser User-Agent, Referer, timeout and one retry on 5xx/429.
// The body is decoded by the charset it declares (header, XML prolog, HTML meta);
// euc_kr: assume CP949 when nothing is declared. 404/410 raise HTTPStatusError.
std::string fetch_text(const std::string& host, const http::Target& target,
                       bool euc_kr = false, const std::string& referer = "");
// Charset named by a Content-Type value or by the body's XML prolog / HTML meta
// (lower case, "" when none), and the body decoded to UTF-8 by it.
std::string declared_charset(const std::string& content_type, const std::string& body);
std::string decode_body(const std::string& body, const std::string& content_type, bool euc_kr_default);
json fetch_json(const std::string& host, const http::Target& target, bool euc_kr = false,
                const std::string& referer = "");

// ---- quotes and charts ------------------------------------------------------
json search_stock(const std::string& query);                      // [{name, code, market}]
json get_ohlcv(const std::string& code, const std::string& timeframe, int count);   // rows oldest first
json get_current_price(const std::string& code);                  // quote record (NXT block inside)

// ---- minutes and the regular close (naver/minutes.cpp) -------------------------
// Minute bars of the chart API between two KST minutes "YYYYMMDDHHMM" (both
// included), oldest first: {datetime "YYYY-MM-DD HH:MM", open, high, low, close,
// volume (of that minute)}. A minute without a trade has no row.
json get_minute_chart(const std::string& code, const std::string& start, const std::string& end);
json parse_minute_chart(const json& body);
// fchart minute items -> {datetime, close, cumulative_volume, volume}: open/high/
// low do not exist there; volume is the difference of the day's running totals
// (null for the first item of the series, which may start mid-day).
json parse_fchart_minutes(const std::string& xml_utf8);
// Session of a KST minute "HH:MM" given the day's regular close time:
// pre_market, regular (up to and including the close minute, the closing
// auction), closing-price trading after the close, after_market.
inline constexpr const char* MINUTE_SESSION_CLOSING_PRICE = "closing_price_after_close";
std::string minute_session(const std::string& hhmm, const std::string& close_hhmm = "15:30");

// The regular close of one day: the trade of the close minute (15:30 unless the
// day closes at another time, e.g. "16:30" on the exam day). Daily bars, trend
// rows and the polling price move with later trades and are never it.
inline constexpr const char* REGULAR_CLOSE_OK = "ok";
inline constexpr const char* REGULAR_CLOSE_NO_TRADE = "no_1530_bar";        // the day was read: no trade then
// Every source failed, or none reached the day's close minute (a day we could not
// read is a failed lookup, never a day without a trade); `reason` says which.
inline constexpr const char* REGULAR_CLOSE_LOOKUP_FAILED = "lookup_failed";
struct RegularCloseLookup {
  std::string status;               // one of the three above
  std::optional<double> close;      // with "ok"
  std::optional<double> volume;     // KRX volume of the close minute (the closing auction), when known
  std::string source;               // "naver_chart_minute" | "naver_fchart_minute"
  std::string reason;               // why not checked / failed
};
RegularCloseLookup lookup_regular_close(const std::string& code, const std::string& day,
                                        const std::string& close_hhmm = "15:30");
// The close alone: nullopt when the day was read and had no trade at the close;
// throws NaverParseError when the day could not be checked.
std::optional<double> get_regular_session_close(const std::string& code, const std::string& day,
                                                const std::string& close_hhmm = "15:30");
std::optional<std::string> get_krx_sosok(const std::string& code);
// When the KRX after-market of a day ("YYYY-MM-DD") opens, in minutes after
// midnight KST; nullopt on a day without one. The market-time rules hand it in
// (until then every quote counts as a regular-session quote).
using AfterMarketOpen = std::function<std::optional<int>(const std::string& day)>;
void set_after_market_open(AfterMarketOpen fn);
std::string get_market_list_status(const std::string& market);    // e.g. "PREOPEN", "OPEN", "CLOSE"
// Rows newest first. When the trend API is down, the stock main page's short
// table stands in: its rows carry "via": "main_page", no individual, no volume.
json get_investor_flow(const std::string& code, int days);
// True when those rows came from the main page's stand-in table.
inline bool flow_from_main_page(const json& rows) {
  return rows.is_array() && !rows.empty() && rows[0].is_object() && rows[0].value("via", std::string()) == "main_page";
}
json get_multi_stocks(const std::vector<std::string>& codes);
json get_multi_chart_stats(const std::vector<std::string>& codes, int days);
json get_market_index();
// An index's daily rows (m.stock), newest first: {date, close, change (signed),
// change_rate (signed %), open, high, low}; a field that did not read is null
// and named under PARSE_MISS_KEY. `index_code` is "KOSPI" or "KOSDAQ".
json get_index_daily(const std::string& index_code, int count);

// ---- fundamentals and research ---------------------------------------------
json get_financials(const std::string& code);     // record with "_periods"
json get_fs_basis(const std::string& code);       // basis per period
json get_consensus(const std::string& code);
json get_reports(const std::string& code, int count);
// {nid, summary, pdf_url, page_url}; a PDF link the report page should have
// carried but did not is named under PARSE_MISS_KEY, with the page's changed
// shape worded under PAGE_PROBLEM_KEY when that is why.
json get_report_detail(const std::string& nid);
inline constexpr const char* PAGE_PROBLEM_KEY = "_page_problem";
json get_research_by_kind(const std::string& kind, int count);
// The ledger's name of the deeper paged list of company and industry reports.
inline constexpr const char* RESEARCH_DEEP_LIST = "naver.research_list";
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
// The price and period columns computed from a stock's daily bars (oldest first),
// handed in from above; until then the snapshot carries no period columns.
using PeriodColumns = std::function<json(const json& daily_bars)>;
void set_period_columns(PeriodColumns fn);
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
