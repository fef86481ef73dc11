#include <gtest/gtest.h>

#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
using tessaro::testing::FixtureResponse;

namespace {

const std::string kEtfList = "/finance.naver.com/api/sise/etfItemList.nhn";

struct Env {
  tessaro::testing::FixtureServer srv;
  tessaro::testing::ScopedEnv base{"TESSARO_NAVER_BASE_URL", srv.base_url()};
  tessaro::testing::ScopedEnv timeout{"TESSARO_HTTP_TIMEOUT_S", "2"};
  explicit Env(const char* list = "naver/etf_list_live.json") {
    naver::detail::clear_list_caches();
    srv.route_file(kEtfList, list, "application/json;charset=EUC-KR");
  }
  ~Env() { naver::detail::clear_list_caches(); }
};

std::vector<std::string> codes(const json& res) {
  std::vector<std::string> out;
  for (const auto& it : res["items"]) out.push_back(it["code"].get<std::string>());
  return out;
}

}  // namespace

TEST(NaverEtf, EucKrListDecodedAndSortedByMarketCap) {
  Env env;
  json r = naver::get_etf_list("", "", "marketSum", 20);
  EXPECT_EQ(env.srv.last_request(kEtfList).headers.at("referer"), "https://finance.naver.com/sise/etf.nhn");
  ASSERT_EQ(r["items"].size(), 5u);
  EXPECT_EQ(r["items"][0]["name"], "KODEX 200");
  EXPECT_EQ(r["items"][0]["market_cap"], 69000);
  // The fund without a market cap is last, not ranked as 0.
  EXPECT_EQ(codes(r).back(), "0088M0");
  EXPECT_EQ(r["no_sort_value"], 1);
  EXPECT_TRUE(r["quotes_live"].get<bool>());
  EXPECT_TRUE(r["items"].back()["price"].is_null());
  EXPECT_EQ(r["sort_label"], "시가총액");
}

TEST(NaverEtf, ThreeMonthSortDropsFundsWithoutTheValue) {
  Env env;
  json r = naver::get_etf_list("", "", "threeMonthEarnRate", 20);
  EXPECT_EQ(codes(r), (std::vector<std::string>{"091160", "069500", "133690"}));
  EXPECT_EQ(r["no_sort_value"], 2);
  EXPECT_EQ(r["total"], 3);
  json nav = naver::get_etf_list("", "", "nav", 20);
  EXPECT_EQ(nav["items"].size(), 5u);
  EXPECT_EQ(codes(nav).back(), "0088M0");
}

TEST(NaverEtf, CategoryKeywordAndLimit) {
  Env env;
  json r = naver::get_etf_list("국내 업종/테마", "", "marketSum", 20);
  EXPECT_EQ(codes(r), (std::vector<std::string>{"091160", "0088M0"}));
  json k = naver::get_etf_list("", "반도체", "marketSum", 20);
  EXPECT_EQ(k["total"], 2);
  json lim = naver::get_etf_list("", "", "marketSum", 999);
  EXPECT_EQ(lim["items"].size(), 5u);
  json one = naver::get_etf_list("", "", "marketSum", 1);
  EXPECT_EQ(one["items"].size(), 1u);
  EXPECT_EQ(one["total"], 5);
  EXPECT_EQ(env.srv.hits(kEtfList), 1);   // the whole list is cached briefly
}

TEST(NaverEtf, AllZeroQuotesAreOffHoursNotFlat) {
  Env env("naver/etf_list_off_hours.json");
  json r = naver::get_etf_list("", "", "quant", 20);
  EXPECT_FALSE(r["quotes_live"].get<bool>());
  for (const auto& it : r["items"]) EXPECT_TRUE(it["change_rate"].is_null());
  // Volumes are all 0: the volume sort falls back to market cap and says so.
  EXPECT_EQ(r["sort_requested"], "quant");
  EXPECT_EQ(r["sort_by"], "marketSum");
}

TEST(NaverEtf, SortKeys) {
  EXPECT_EQ(naver::etf_sort_key("marketSum"), "marketSum");
  EXPECT_EQ(naver::etf_sort_key("threemonthearnrate"), "threeMonthEarnRate");
  EXPECT_EQ(naver::etf_sort_key("sixMonthEarnRate"), "");
  EXPECT_EQ(naver::ETF_SORT_LABELS.size(), 4u);
}

TEST(NaverEtf, DetailFromMobileAnswersSignFromDirection) {
  Env env;
  env.srv.route_file("/m.stock.naver.com/api/etf/069500/basic", "naver/etf_mstock_basic_069500.json");
  env.srv.route_file("/m.stock.naver.com/api/stock/069500/integration", "naver/etf_mstock_integration_069500.json");
  json d = naver::get_etf_detail("069500");
  EXPECT_EQ(d["name"], "KODEX 200");
  EXPECT_EQ(d["base_index"], "코스피 200");
  EXPECT_EQ(d["issuer"], "삼성자산운용");
  EXPECT_EQ(d["total_fee"], 0.15);
  EXPECT_EQ(d["price"], 38450);
  EXPECT_EQ(d["price_change"], -350);           // unsigned text, falling code
  EXPECT_EQ(d["price_change_rate"], -0.92);
  EXPECT_EQ(d["market_cap"], 69000);            // "6조 9,000억" in 억원
  EXPECT_EQ(d["year_high"], 40100);
  EXPECT_TRUE(d["year_low"].is_null());         // "-" is missing, not 0
  EXPECT_TRUE(d["return_1y"].is_null());
  EXPECT_EQ(d["return_6m"], -1.05);
  EXPECT_TRUE(d["holdings"].empty());
  auto miss = d[naver::PARSE_MISS_KEY].get<std::vector<std::string>>();
  EXPECT_NE(std::find(miss.begin(), miss.end(), "holdings"), miss.end());
  EXPECT_NE(std::find(miss.begin(), miss.end(), "year_low"), miss.end());
}
