#include <gtest/gtest.h>

#include <mutex>

#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kIndex = "/stock.naver.com/api/polling/domestic/index";

json item(const std::string& code) {
  return {{"itemCode", code}, {"stockName", "종목" + code}, {"closePrice", "1,000"}, {"compareToPreviousClosePrice", "+10"},
          {"compareToPreviousPrice", {{"code", "2"}}}, {"fluctuationsRatio", "1.01"}, {"accumulatedTradingVolume", "1,000"},
          {"marketStatus", "OPEN"}, {"localTradedAt", "2026-09-16T10:00:00.000+09:00"}};
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

// Signs from the direction code are checked on the get_multi_stocks reply.
TEST(NaverMulti, BatchesOf30) {
  NaverEnv env;
  std::vector<std::string> codes;
  for (int i = 0; i < 35; ++i) codes.push_back(std::to_string(100000 + i));
  std::mutex mu;
  int calls = 0;
  auto handler = [&](const FixtureRequest& r) {
    std::lock_guard<std::mutex> g(mu);
    ++calls;
    json datas = json::array();
    std::string list = r.path.substr(kPoll.size());
    for (size_t b = 0, e; b <= list.size(); b = e + 1) {
      e = std::min(list.find(',', b), list.size());
      datas.push_back(item(list.substr(b, e - b)));
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
  EXPECT_EQ(calls, 2);
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
