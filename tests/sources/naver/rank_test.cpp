#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kList = "/stock.naver.com/api/domestic/market/stock/default";

// A market list of `total` rows answered by row offset (startIdx) and pageSize.
FixtureResponse offset_pages(const FixtureRequest& r, int total) {
  int start = std::stoi(r.params.at("startIdx")), size = std::stoi(r.params.at("pageSize"));
  json arr = json::array();
  for (int i = start; i < std::min(total, start + size); ++i) {
    arr.push_back({{"itemcode", code6(300000 + i)}, {"itemname", "종목" + std::to_string(i)}, {"nowPrice", "1000"},
                   {"prevChangeRate", "1.00"}, {"tradeVolume", "10"}, {"tradeAmount", "10000"}});
  }
  return FixtureResponse{200, arr.dump()};
}

}  // namespace

TEST(NaverRankings, MarketListFromRealSample) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_domestic_market_stock_default.json");
  NaverEnv env;
  env.srv.route(kList, FixtureResponse{200, body});
  json rows = naver::get_volume_ranking("kospi", 3, "trade_value");
  auto q = env.srv.last_request(kList).params;
  EXPECT_EQ(q.at("orderType"), "priceTop");
  EXPECT_EQ(q.at("marketType"), "KOSPI");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["code"], "005930");
  EXPECT_EQ(rows[0]["price"], 213750);
  EXPECT_EQ(rows[0]["change_rate"], "+3.51%");
  EXPECT_EQ(rows[0]["trade_value_krw"], 3439504000000LL);
}

TEST(NaverRankings, NullAndDashFieldsStayMissing) {
  NaverEnv env;
  env.srv.route(kList, FixtureResponse{200, R"([
    {"itemcode":"111111","itemname":"가","nowPrice":"5000","prevChangeRate":"-2.5","tradeVolume":"1,000","tradeAmount":null},
    {"itemcode":"222222","itemname":"나","nowPrice":"-","prevChangeRate":"0","tradeVolume":"","tradeAmount":"0"},
    {"itemcode":null,"itemname":"placeholder"}])"});
  json rows = naver::get_change_ranking("DOWN", "ALL", 10);
  EXPECT_EQ(env.srv.last_request(kList).params.at("orderType"), "down");
  ASSERT_EQ(rows.size(), 2u);   // the row without a code is not a stock
  EXPECT_EQ(rows[0]["change_rate"], "-2.50%");
  EXPECT_TRUE(rows[0]["trade_value_krw"].is_null());
  EXPECT_TRUE(rows[1]["price"].is_null());
  EXPECT_TRUE(rows[1]["volume"].is_null());
  EXPECT_EQ(rows[1]["trade_value_krw"], 0);   // a real zero stays zero
  EXPECT_EQ(rows[1]["change_rate"], "0.00%");
}

TEST(NaverRankings, PagesByOffsetUpTo500) {
  NaverEnv env;
  env.srv.route(kList, [](const FixtureRequest& r) { return offset_pages(r, 1000); });
  json rows = naver::get_volume_ranking("ALL", 900, "volume");
  EXPECT_EQ(rows.size(), 500u);
  EXPECT_EQ(env.srv.hits(kList), 5);
  EXPECT_EQ(rows[499]["rank"], 500);
  EXPECT_EQ(rows[499]["code"], "300499");
  // A short list ends at its short page.
  env.srv.route(kList, [](const FixtureRequest& r) { return offset_pages(r, 150); });
  EXPECT_EQ(naver::get_volume_ranking("ALL", 300, "volume").size(), 150u);
}

TEST(NaverRankings, SiteIgnoringTheOffsetNeverRepeatsRows) {
  NaverEnv env;
  // Answers the first page whatever startIdx says.
  env.srv.route(kList, [](const FixtureRequest& r) {
    FixtureRequest first = r;
    first.params["startIdx"] = "0";
    return offset_pages(first, 1000);
  });
  json rows = naver::get_volume_ranking("ALL", 250, "volume");
  EXPECT_EQ(rows.size(), 100u);
  EXPECT_EQ(env.srv.hits(kList), 2);
}

TEST(NaverRankings, AlertPagesByKindAndFailedKindNamed) {
  NaverEnv env;
  auto page = [](std::vector<std::string> codes) {
    std::string h = "<html><body><table class=\"type_2\"><tr><th>종목명</th></tr>";
    for (auto& c : codes) h += "<tr><td><a href=\"/item/main.naver?code=" + c + "\">x</a></td></tr>";
    return FixtureResponse{200, h + "</table></body></html>", "text/html; charset=euc-kr"};
  };
  env.srv.route("/finance.naver.com/sise/investment_alert.naver", [&](const FixtureRequest& r) {
    std::string t = r.params.at("type");
    if (t == "caution") return page({"111111", "222222"});
    if (t == "warning") return page({"222222"});
    return FixtureResponse{500, "oops"};
  });
  json a = naver::get_alert_codes();
  EXPECT_EQ(a["111111"], json::array({"투자주의"}));
  EXPECT_EQ(a["222222"], json::array({"투자경고", "투자주의"}));
  EXPECT_EQ(a["_failed"], json::array({"투자위험"}));
}
