#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const char* kPath = "/m.stock.naver.com/api/stocks/marketValue/KOSPI";

// Upstream pages of 100 rows; `total` rows in all; `repeat_page` serves page 1's rows again.
FixtureResponse generated(const FixtureRequest& r, int total, int repeat_page = 0, int short_by = 0) {
  int page = std::stoi(r.params.at("page"));
  int size = std::stoi(r.params.at("pageSize"));
  int served = page == repeat_page ? 1 : page;
  json stocks = json::array();
  int delivered_total = total - short_by;
  for (int i = (served - 1) * size; i < std::min(served * size, delivered_total); ++i) {
    std::string code = code6(i + 1);
    stocks.push_back({{"itemCode", code}, {"stockName", "회사" + code}, {"stockEndType", "stock"},
                      {"closePrice", "1,000"}, {"marketValue", std::to_string(100000 - i)},
                      {"tradeStopType", {{"name", "TRADING"}}}});
  }
  return {200, json{{"stocks", stocks}, {"totalCount", total}, {"page", page}, {"pageSize", size}}.dump()};
}
}  // namespace

TEST(NaverMarketCap, RowsFromTheListApi) {
  NaverEnv env;
  env.srv.route_file(kPath, "naver/mcap_kospi_sample.json");
  json res = naver::get_market_cap_page("kospi", 1, 500);
  EXPECT_EQ(env.srv.last_request(kPath).params.at("pageSize"), "100");
  EXPECT_EQ(res["total_count"], 4);
  EXPECT_EQ(res["has_next"], false);
  EXPECT_EQ(res["complete"], true);
  ASSERT_EQ(res["rows"].size(), 4u);
  const json& sam = res["rows"][0];
  EXPECT_EQ(sam["price"], 71200.0);
  EXPECT_EQ(sam["change_rate"], "-1.25%");   // the sign comes from the falling direction code
  EXPECT_NEAR(sam["market_cap_billion"].get<double>(), 4250460.0, 1e-6);   // won -> 억원
  EXPECT_EQ(res["rows"][1]["security_type"], "EF");
  EXPECT_EQ(res["rows"][1]["change_rate"], "+0.40%");
  EXPECT_NEAR(res["rows"][1]["market_cap_billion"].get<double>(), 68950.0, 1e-6);   // display text is 억원
  EXPECT_EQ(res["rows"][2]["security_type"], "IF");
  EXPECT_EQ(res["rows"][2]["price"], 12590.0);   // empty raw twin falls back to the display text
  const json& stop = res["rows"][3];
  EXPECT_EQ(stop["code"], "0088M0");
  EXPECT_TRUE(stop["price"].is_null());        // "-" is missing, never 0
  EXPECT_EQ(stop["change_rate"], "-");
  EXPECT_EQ(stop["trade_stop"], true);
  EXPECT_EQ(res["halted_count"], 1);
  EXPECT_EQ(res["type_counts"], json({{"ST", 2}, {"EF", 1}, {"IF", 1}}));
}

TEST(NaverMarketCap, LogicalPagesSpanUpstreamPagesHonestly) {
  NaverEnv env;
  env.srv.route(kPath, [](const FixtureRequest& r) { return generated(r, 1234); });
  json p2 = naver::get_market_cap_page("KOSPI", 2, 500);
  ASSERT_EQ(p2["rows"].size(), 500u);
  EXPECT_EQ(p2["rows"][0]["rank"], 501);
  EXPECT_EQ(p2["rows"][0]["code"], "000501");
  EXPECT_EQ(p2["pages"], 3);
  EXPECT_EQ(p2["has_next"], true);
  EXPECT_EQ(env.srv.hits(kPath), 5);
  json p3 = naver::get_market_cap_page("KOSPI", 3, 500);
  EXPECT_EQ(p3["rows"].size(), 234u);
  EXPECT_EQ(p3["has_next"], false);
  EXPECT_EQ(p3["complete"], true);

  // A repeated upstream page and a short delivery: no duplicates, marked incomplete.
  // (Each is a new reading: the pages read above are kept for a minute.)
  naver::detail::clear_list_caches();
  env.srv.route(kPath, [](const FixtureRequest& r) { return generated(r, 300, 2); });
  json rep = naver::get_market_cap_page("KOSPI", 1, 300);
  EXPECT_EQ(rep["rows"].size(), 200u);
  EXPECT_EQ(rep["complete"], false);
  naver::detail::clear_list_caches();
  env.srv.route(kPath, [](const FixtureRequest& r) { return generated(r, 300, 0, 50); });
  json shortp = naver::get_market_cap_page("KOSPI", 1, 300);
  EXPECT_EQ(shortp["rows"].size(), 250u);
  EXPECT_EQ(shortp["complete"], false);
}

TEST(NaverMarketCap, FailuresAreErrorsNotEmptyLists) {
  NaverEnv env;
  env.srv.route(kPath, FixtureResponse{200, "<html>점검 중</html>", "text/html"});
  EXPECT_THROW(naver::get_market_cap_page("KOSPI", 1, 500), NaverParseError);
  env.srv.route(kPath, FixtureResponse{200, R"({"result":"no list"})"});
  EXPECT_THROW(naver::get_market_cap_page("KOSPI", 1, 500), NaverParseError);
  // The upstream pages of one page are asked for together: every one of them down.
  env.srv.route(kPath, FixtureResponse{503, "busy", "text/plain"});
  EXPECT_THROW(naver::get_market_cap_page("KOSPI", 1, 500), HTTPError);
}
