// US tools keep found, not found and failed apart: a fund's 404 for modules it does
// not have is not an unknown ticker, a failed screen is not an empty one, a failed
// revenue/cash-flow lookup does not sink the earnings reply or the event reaction,
// an unknown ticker's empty statement is "not found".
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kScreenPath = "/query1.finance.yahoo.com/v1/finance/screener/predefined/saved";
const char* kCalendarPath = "/finance.yahoo.com/calendar/earnings";
std::string timeseries_path(const std::string& s) {
  return "/query2.finance.yahoo.com/ws/fundamentals-timeseries/v1/finance/timeseries/" + s;
}

json first_quote(const std::string& body) { return json::parse(body)["quoteResponse"]["result"][0]; }

bool any_warning(const json& meta, const std::string& part) {
  for (auto& w : meta.value("warnings", json::array()))
    if (w.is_string() && has(w.get<std::string>(), part)) return true;
  return false;
}

}  // namespace

TEST(UsFailedLookups, FundWithoutInsiderModulesIsNotAnUnknownTicker) {
  TESSARO_REQUIRE_SAMPLE(not_found, "yahoo/v10_quoteSummary_financialData_QQQ_404_error.json");
  TESSARO_REQUIRE_SAMPLE(qqq, "yahoo/v7_quote_QQQ_etf.json");
  YahooEnv env;
  // Yahoo's real answer for modules a fund does not have: 404 "No fundamentals data found".
  env.srv.route(yahoo_summary_path("QQQ"), reply(404, not_found));
  env.quotes(json::array({first_quote(qqq)}));
  std::string r = server::call_tool("get_us_insider", {{"ticker", "QQQ"}});
  EXPECT_FALSE(has(r, "찾을 수 없습니다")) << r;
  EXPECT_TRUE(has(r, "내부자 거래 정보 없음 (ETF나 펀드는 해당 없음).")) << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "partial");
  // The same 404 for the earnings modules: no earnings, not no ticker.
  EXPECT_TRUE(has(server::call_tool("get_us_earnings", {{"ticker", "QQQ"}}), "실적 데이터 없음 (ETF나"));
  // ... and for the statistics module: short figures missing, said so, not 0.
  r = server::call_tool("get_us_short", {{"ticker", "QQQ"}});
  EXPECT_TRUE(has(r, "- Shares Short: -")) << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "partial");

  // A symbol the quote does not know stays "not found", whatever the 404 says.
  env.quotes(json::array());
  env.srv.route(yahoo_summary_path("NOPE"), reply(404, not_found));
  EXPECT_EQ(server::call_tool("get_us_insider", {{"ticker", "NOPE"}}), "티커 'NOPE'를 찾을 수 없습니다.");
}

TEST(UsFailedLookups, FailedScreenIsToldAsAFailure) {
  YahooEnv env;
  // An error object (written from the documented error envelope) ...
  env.srv.route(kScreenPath, reply(404, R"({"finance":{"result":null,"error":{"code":"Not Found","description":"Screener not found"}}})"));
  std::string r = server::call_tool("get_us_screener", {{"preset", "most_actives"}});
  EXPECT_EQ(r, "⚠️ 'most_actives' 스크린 조회 실패 (HTTP 404, Not Found: Screener not found) - 결과가 없는 것이 아니라 확인 "
               "불가입니다. 잠시 후 다시 시도하세요.");
  // ... and the outage page are failures, not "결과 없음".
  env.srv.route(kScreenPath, reply(200, "<html>Will be right back...</html>", "text/html"));
  r = server::call_tool("get_us_screener", {{"preset", "most_actives"}});
  EXPECT_TRUE(has(r, "⚠️ 'most_actives' 스크린 조회 실패 (Yahoo Finance 일시 중단)")) << r;
  EXPECT_FALSE(has(r, "결과 없음."));
  // A screen that ran and matched nothing is still the plain empty answer.
  env.srv.route(kScreenPath, reply(200, R"({"finance":{"result":[{"id":"most_actives","quotes":[]}],"error":null}})"));
  EXPECT_EQ(server::call_tool("get_us_screener", {{"preset", "most_actives"}}), "'most_actives' 결과 없음.");
}

TEST(UsFailedLookups, RealScreenStillRenders) {
  TESSARO_REQUIRE_SAMPLE(body, "yahoo/v1_screener_predefined_day_gainers.json");
  YahooEnv env;
  env.srv.route(kScreenPath, reply(200, body));
  std::string r = server::call_tool("get_us_screener", {{"preset", "day_gainers"}, {"count", 5}});
  EXPECT_TRUE(has(r, "티커 | 이름 | 유형 | 거래소 | 현재가 | 변동% | 거래량 | 시총 | P/E")) << r;
  EXPECT_FALSE(has(r, "⚠️ 'day_gainers'"));
}

TEST(UsFailedLookups, EarningsAnswerWhatWasFoundWhenRevenueLookupFails) {
  TESSARO_REQUIRE_SAMPLE(hist, "yahoo/v10_quoteSummary_earningsHistory_AAPL.json");
  YahooEnv env;
  ScopedEnv quick{"TESSARO_HTTP_TIMEOUT_S", "0.4"};   // short back-off on the 500s
  env.at_ny("2025-02-10", 12, 0);
  env.summary("AAPL", {{"earningsHistory", json::parse(hist)["quoteSummary"]["result"][0]["earningsHistory"]},
                       {"price", {{"symbol", "AAPL"}, {"currency", "USD"}}}});
  env.srv.route_file(kCalendarPath, "yahoo/earnings_calendar_page.html", "text/html");
  env.srv.route(kYahooQuotePath, reply(200, yahoo_quote_body("AAPL", 227.6)));
  env.srv.route(timeseries_path("AAPL"), reply(500, "Internal Server Error", "text/plain"));

  std::string r = server::call_tool("get_us_earnings", {{"ticker", "AAPL"}});
  EXPECT_TRUE(has(r, "## 📊 최근 실적 서프라이즈")) << r;
  // The announcement column holds announcement days, never quarter ends.
  EXPECT_TRUE(has(r, "\n2025-01-30 | 2.34 | 2.40 | 2.52%")) << r;
  EXPECT_TRUE(has(r, "\n2024-10-31 | 0.95 | 0.97 | 2.48%")) << r;
  EXPECT_TRUE(has(r, "\n미확인 (2024-06-30 분기) | "));
  EXPECT_FALSE(has(r, "(분기말)"));
  EXPECT_TRUE(has(r, "2025-01-30 16:00 | 장후 | 미매칭 | 2.34->2.4 (+2.5%) | -->- | - |")) << r;
  EXPECT_TRUE(has(r, "⚠️ 조회 실패: 분기 매출·영업현금흐름 (HTTPStatusError")) << r;
  json m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(any_warning(m, "조회 실패: 분기 매출·영업현금흐름"));

  // The event reaction needs only the release time: the same failure leaves its
  // table whole, and the failed lookup it made on the way keeps it from claiming
  // completeness.
  env.srv.route_file(yahoo_chart_path("AAPL"), "yahoo/chart_1d_earnings_windows.json");
  r = server::call_tool("get_us_event_reaction", {{"ticker", "AAPL"}, {"event_date", "2025-01-30"}, {"session", "auto"}});
  EXPECT_TRUE(has(r, "# US 이벤트 반응 - AAPL (발표일 2025-01-30, 장후)")) << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "partial");

  // When the schedule itself cannot be read, the reaction still comes, said to be unsure.
  env.srv.route(yahoo_summary_path("AAPL"), reply(500, "Internal Server Error", "text/plain"));
  r = server::call_tool("get_us_event_reaction", {{"ticker", "AAPL"}, {"event_date", "2025-01-30"}, {"session", "auto"}});
  EXPECT_TRUE(has(r, "# US 이벤트 반응 - AAPL (발표일 2025-01-30, 시각미상)")) << r;
  m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(any_warning(m, "실적 일정 조회 실패(HTTPStatusError"));
}

TEST(UsFailedLookups, UnknownTickerStatementIsNotFound) {
  YahooEnv env;
  env.quotes(json::array());
  // The time series answers an unknown symbol with types but no data (documented shape).
  json empty = {{"timeseries",
                 {{"result", json::array({{{"meta", {{"symbol", {"NOPE"}}, {"type", {"annualTotalRevenue"}}}}}})},
                  {"error", nullptr}}}};
  env.srv.route(timeseries_path("NOPE"), reply(200, empty.dump()));
  EXPECT_EQ(server::call_tool("get_us_financial_statement",
                              {{"ticker", "NOPE"}, {"statement_type", "income"}, {"period", "annual"}}),
            "티커 'NOPE'를 찾을 수 없습니다.");
  // A known symbol without that statement stays "데이터 없음".
  env.srv.route(kYahooQuotePath, reply(200, yahoo_quote_body("NOPE", 10)));
  EXPECT_EQ(server::call_tool("get_us_financial_statement",
                              {{"ticker", "NOPE"}, {"statement_type", "income"}, {"period", "annual"}}),
            "**NOPE** 손익계산서 (annual) — 데이터 없음.");
}
