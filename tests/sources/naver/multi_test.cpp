#include <gtest/gtest.h>

#include <mutex>

#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kIndex = "/stock.naver.com/api/polling/domestic/index";

json item(const std::string& code, const std::string& price, const std::string& change, const std::string& dir,
          const std::string& ratio) {
  return {{"itemCode", code},
          {"stockName", "종목" + code},
          {"closePrice", price},
          {"compareToPreviousClosePrice", change},
          {"compareToPreviousPrice", {{"code", dir}}},
          {"fluctuationsRatio", ratio},
          {"accumulatedTradingVolume", "1,000"},
          {"marketStatus", "OPEN"},
          {"localTradedAt", "2026-09-16T10:00:00.000+09:00"}};
}
}  // namespace

TEST(NaverMulti, QuotesFromRealSampleKeepKrxVolume) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env;
  env.srv.route(kPoll + "005930,000660", FixtureResponse{200, body});
  json rows = naver::get_multi_stocks({"005930", " 000660", "bad!", "005930"});
  ASSERT_EQ(rows.size(), 1u);   // 000660 is not in the answer; the malformed code is never sent
  EXPECT_EQ(rows[0]["code"], "005930");
  EXPECT_EQ(rows[0]["name"], "삼성전자");
  EXPECT_EQ(rows[0]["price"], 103400);
  EXPECT_EQ(rows[0]["change"], 2600);
  EXPECT_EQ(rows[0]["change_rate"], "+2.58%");
  EXPECT_EQ(rows[0]["volume"], 10079219);   // KRX, not the integrated 14,842,826
  EXPECT_EQ(rows[0]["price_session"], "regular");
}

TEST(NaverMulti, SignsFromTheDirectionCodeAndBatchesOf30) {
  NaverEnv env;
  std::vector<std::string> codes;
  for (int i = 0; i < 35; ++i) codes.push_back(std::to_string(100000 + i));
  std::vector<std::string> seen;
  std::mutex mu;
  auto handler = [&](const FixtureRequest& r) {
    std::string list = r.path.substr(kPoll.size());
    {
      std::lock_guard<std::mutex> g(mu);
      seen.push_back(list);
    }
    json datas = json::array();
    size_t b = 0;
    for (size_t i = 0; i <= list.size(); ++i)
      if (i == list.size() || list[i] == ',') {
        std::string c = list.substr(b, i - b);
        b = i + 1;
        if (c == "100000") datas.push_back(item(c, "10,000", "1,500", "5", "13.04"));   // unsigned fall
        else if (c == "100001") datas.push_back(item(c, "5,000", "0", "3", "0.00"));
        else datas.push_back(item(c, "1,000", "+10", "2", "1.01"));
      }
    return FixtureResponse{200, json{{"datas", datas}}.dump()};
  };
  std::string first, second;
  for (int i = 0; i < 30; ++i) first += (i ? "," : "") + codes[i];
  for (int i = 30; i < 35; ++i) second += (i > 30 ? "," : "") + codes[i];
  env.srv.route(kPoll + first, handler);
  env.srv.route(kPoll + second, handler);
  json rows = naver::get_multi_stocks(codes);
  ASSERT_EQ(rows.size(), 35u);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(rows[0]["change"], -1500);
  EXPECT_EQ(rows[0]["change_rate"], "-13.04%");
  EXPECT_EQ(rows[1]["change"], 0);
  EXPECT_EQ(rows[1]["change_rate"], "0.00%");
  EXPECT_EQ(rows[34]["code"], "100034");
}

TEST(NaverMulti, IndexFromRealSampleAndMissingIndexNamed) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_polling_domestic_index_KOSPI.json");
  NaverEnv env;
  env.srv.route(kIndex, FixtureResponse{200, body});
  json rows = naver::get_market_index();
  EXPECT_EQ(env.srv.last_request(kIndex).params.at("itemCodes"), "KOSPI,KOSDAQ");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["index"], "코스피");
  EXPECT_DOUBLE_EQ(rows[0]["value"].get<double>(), 5791.91);
  EXPECT_DOUBLE_EQ(rows[0]["change_value"].get<double>(), -452.22);
  EXPECT_DOUBLE_EQ(rows[0]["change_rate"].get<double>(), -7.24);
  EXPECT_FALSE(rows[0].contains(naver::PARSE_MISS_KEY));
  // The trimmed sample has no KOSDAQ: every field is missing, never 0.
  EXPECT_TRUE(rows[1]["value"].is_null());
  EXPECT_EQ(rows[1][naver::PARSE_MISS_KEY].size(), 3u);
}
