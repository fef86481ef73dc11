#pragma once
// The US data source (Yahoo Finance JSON endpoints). Every operation returns plain
// records; an unknown ticker gives null or an empty array. Percentages
// (change_percent, dividend_yield, five_year_avg_yield) are percent; ratios such as
// return_on_equity, profit_margin, payout_ratio are fractions. `currency` is the
// trading currency, `financial_currency` the statement currency.
// TESSARO_YAHOO_BASE_URL redirects query1/query2/fc.yahoo.com below one base (tests).
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::us {

json get_price(const std::string& ticker);
json get_info(const std::string& ticker);
json get_info_raw(const std::string& ticker);
json get_history(const std::string& ticker, const std::string& period, const std::string& interval,
                 bool prepost);
// The same series with what the chart says of its listing: {rows, symbol,
// timezone (the exchange's IANA zone), exchange, currency, regular_market_price,
// regular_market_time, regular_change_percent}.
json get_chart(const std::string& ticker, const std::string& period, const std::string& interval, bool prepost);
// What the closes of get_history are: split-adjusted, dividends not adjusted
// (Yahoo's "close"; "adjclose" is not used). The price_adjustment meta record.
json history_price_adjustment();
json get_multi_prices(const std::vector<std::string>& tickers);   // at most 30
json get_market_summary();
json search(const std::string& query);
json get_financial_info(const std::string& ticker);
json get_financial_statement(const std::string& ticker, const std::string& statement_type,
                             const std::string& period);
json get_earnings(const std::string& ticker);
json get_earnings_events(const std::string& ticker);
json get_analyst_ratings(const std::string& ticker);
json get_analyst_estimates(const std::string& ticker);
json get_dividends(const std::string& ticker, int limit);
json get_options(const std::string& ticker, const json& expiration);
json get_insider(const std::string& ticker);
json get_insider_roster(const std::string& ticker);
json get_holders(const std::string& ticker);
json get_major_holders(const std::string& ticker);
json get_short_interest(const std::string& ticker);
json get_news(const std::string& ticker, int limit);
json get_sector(const std::string& sector_key);
json get_etf_info(const std::string& ticker);
json screen(const std::string& preset, int count);
std::string epoch_day(long long unix_seconds);   // "YYYY-MM-DD" (New York date)

}  // namespace tessaro::us
