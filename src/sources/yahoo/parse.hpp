#pragma once
// Parsers from Yahoo's JSON bodies to the records of us.hpp. Pure functions, so
// tests can run them on captured bodies without a server.
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::us::parse {

// ---- quotes and history (quote.cpp) ----------------------------------------
// One v7 quote row -> quote mapping (change_percent in percent, quote_time Unix s,
// pre/post-market fields only when that session has data).
json quote(const json& q);
// Index row of the market summary.
json index_row(const json& q, const std::string& label);
// v8 chart body -> rows oldest first ("date" for daily and longer, "datetime"
// "YYYY-MM-DD HH:MM" for intraday, in the exchange's zone). Bars without any price
// are dropped; a repeated day keeps its last row. Throws YahooError for a chart
// error other than "no data".
json chart_rows(const json& body, bool intraday);
// The same for one interval: intraday rows also keep their start as `timestamp`
// (Unix s); a weekly, monthly or quarterly series' separate row of today's
// trades is merged into its period's bar (volume summed, `last_trade_day` = the
// day of the latest trade it holds).
json chart_rows(const json& body, const std::string& interval);
// {rows, symbol, timezone, exchange, currency, regular_market_price,
//  regular_market_time, regular_change_percent} of a chart body.
json chart_series(const json& body, const std::string& interval);
// Dividends of a chart body: [{date, amount}] oldest first.
json chart_dividends(const json& body);
// quoteSummary result -> profile mapping; and the flat raw mapping.
json info(const json& r);
json info_raw(const json& r);
// v1 search body -> hits with a symbol.
json search_hits(const json& body);

// ---- fundamentals (fundamentals.cpp) ---------------------------------------
json financial_info(const json& r);
// fundamentals-timeseries body + the item keys in display order (without the
// annual/quarterly prefix) -> {rows, periods (newest first), currency}.
json statement(const json& body, const std::string& prefix,
               const std::vector<std::pair<std::string, std::string>>& items);
json earnings(const json& r);
json analyst_ratings(const json& r);
json analyst_estimates(const json& r);
json dividends_summary(const json& r);
// Earnings-calendar page rows: [{date, timestamp, eps_estimate, eps_actual, eps_surprise_pct}].
json earnings_calendar_html(const std::string& html);

// ---- ownership and options (ownership.cpp) ---------------------------------
json options(const json& body, const std::string& ticker, int strikes_around_spot);
json insider(const json& r, const std::string& ticker);
json insider_roster(const json& r);
json holders(const json& r, const std::string& ticker);
json major_holders(const json& r);
json short_interest(const json& r, const std::string& ticker);

// ---- news, screens, sectors, funds (market.cpp) ----------------------------
json news_from_search(const json& body);
json screen_result(const json& body);
// The whole screener answer: the result, or {error, quotes: []} when the screen
// failed (an error object, a non-JSON or 4xx body, no result at all). An empty
// `quotes` without `error` is a screen that ran and matched nothing.
json screen_reply(long status, const json& body, const std::string& text, const std::string& preset);
json sector(const json& body);
json etf_info(const json& r, const json& quote_row);

}  // namespace tessaro::us::parse
