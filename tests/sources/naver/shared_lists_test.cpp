// Lists many calls share (alert and management designations, market-cap pages,
// a stock's market division) are read once per freshness window: concurrent
// callers wait for the one request under way and share its answer or its failure.
// List pages and the basic record are written from the documented formats.
#include <gtest/gtest.h>

#include <atomic>

#include "core/parallel.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kAlerts = "/finance.naver.com/sise/investment_alert.naver";
const std::string kManagement = "/finance.naver.com/sise/management.naver";
const std::string kMarketCap = "/m.stock.naver.com/api/stocks/marketValue/KOSPI";
const std::string kBasic = "/m.stock.naver.com/api/stock/005930/basic";

FixtureResponse listed(const std::string& code) {
  return FixtureResponse{200, to_cp949("<html><table class=\"type_2\"><tr><td><a href=\"/item/main.naver?code=" + code +
                                       "\">x</a></td></tr></table></html>"),
                         "text/html; charset=euc-kr"};
}

FixtureResponse market_cap_rows(const FixtureRequest& r) {
  int page = std::stoi(r.params.at("page"));
  json stocks = json::array();
  for (int i = (page - 1) * 100; i < std::min(page * 100, 150); ++i)
    stocks.push_back({{"itemCode", code6(i + 1)}, {"stockName", "회사"}, {"stockEndType", "stock"},
                      {"closePrice", "1,000"}, {"marketValue", std::to_string(100000 - i)},
                      {"tradeStopType", {{"name", "TRADING"}}}});
  return {200, json{{"stocks", stocks}, {"totalCount", 150}}.dump()};
}

}  // namespace

TEST(SharedLists, FortyParallelPriceCallsReadEachDesignationListOnce) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env("2025-12-02 13:50");
  env.srv.route("/polling.finance.naver.com/api/realtime/domestic/stock/005930", reply(200, body));
  env.srv.route(kAlerts, [](const FixtureRequest&) { return listed("000660"); });
  env.srv.route(kManagement, listed("005930"));
  // Slow enough that every call arrives while the first reads are under way.
  env.srv.delay(kAlerts, 300);
  env.srv.delay(kManagement, 300);
  std::vector<std::string> replies(40);
  parallel_for(40, 40, [&](size_t i) { replies[i] = server::call_tool("get_price", {{"code", "005930"}}); });
  EXPECT_EQ(env.srv.hits(kAlerts), 3);       // one per alert kind (위험, 경고, 주의)
  EXPECT_EQ(env.srv.hits(kManagement), 1);
  // Every caller got the shared answer, not a failure.
  for (const auto& r : replies) EXPECT_NE(r.find("관리종목"), std::string::npos) << r;
}

TEST(SharedLists, MarketCapPagesAndMarketDivisionAreReadOnceForAllWaiters) {
  NaverEnv env;
  env.srv.route(kMarketCap, market_cap_rows);
  env.srv.delay(kMarketCap, 200);
  env.srv.route(kBasic, reply(200, json{{"itemCode", "005930"}, {"stockEndType", "stock"},
                                        {"stockExchangeType", {{"code", "KS"}, {"nameEng", "KOSPI"}}}}
                                       .dump()));
  env.srv.delay(kBasic, 200);
  std::vector<json> pages(40);
  std::vector<std::optional<std::string>> sosok(40);
  parallel_for(40, 40, [&](size_t i) {
    pages[i] = naver::get_market_cap_page("KOSPI", 1, 500);
    sosok[i] = naver::get_krx_sosok("005930");
  });
  EXPECT_EQ(env.srv.hits(kMarketCap), 5);   // the five upstream pages of one logical page, asked together
  EXPECT_EQ(env.srv.hits(kBasic), 1);
  for (size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(pages[i]["rows"].size(), 150u);
    EXPECT_EQ(sosok[i], std::optional<std::string>("KOSPI"));
  }
}

TEST(SharedLists, AFailureIsSharedByItsWaitersButNotKept) {
  NaverEnv env;
  env.srv.route(kManagement, FixtureResponse{500, "x", "text/html"});
  env.srv.delay(kManagement, 200);
  std::atomic<int> failed{0};
  parallel_for(20, 20, [&](size_t) {
    try {
      naver::get_management_codes();
    } catch (const std::exception&) {
      ++failed;
    }
  });
  EXPECT_EQ(failed.load(), 20);   // nobody reads the failure as "no designations"
  const int one_flight = env.srv.hits(kManagement);
  EXPECT_LE(one_flight, 2);      // one request and its retry, for all twenty
  // The list comes back: the next caller asks again instead of keeping the failure.
  env.srv.route(kManagement, listed("005930"));
  json got = naver::get_management_codes();
  EXPECT_TRUE(got.contains("005930"));
  EXPECT_GT(env.srv.hits(kManagement), one_flight);
}
