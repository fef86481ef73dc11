#include <gtest/gtest.h>

#include <set>

#include "core/errors.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kTrend = "/m.stock.naver.com/api/stock/005930/trend";

// A trend row of day `d` (YYYYMMDD) with simple values.
json trend_row(const std::string& d, int n) {
  return {{"bizdate", d}, {"closePrice", "70,000"}, {"accumulatedTradingVolume", "1,000"},
          {"foreignerPureBuyQuant", "+" + std::to_string(n)}, {"organPureBuyQuant", "-" + std::to_string(n)},
          {"individualPureBuyQuant", "0"}};
}
}  // namespace

TEST(NaverFlow, PagesBackByBizdateWithoutDuplicates) {
  NaverEnv env;
  // A server that answers at most 3 rows per page, newest first, starting at
  // `bizdate` (inclusive) like the real continuation.
  std::vector<std::string> days = {"20260917", "20260916", "20260915", "20260914", "20260911", "20260910", "20260909"};
  env.srv.route(kTrend, [days](const FixtureRequest& r) {
    size_t start = 0;
    auto it = r.params.find("bizdate");
    if (it != r.params.end())
      while (start < days.size() && days[start] != it->second) ++start;
    json arr = json::array();
    for (size_t i = start; i < days.size() && arr.size() < 3; ++i) arr.push_back(trend_row(days[i], int(i)));
    return reply(200, arr.dump());
  });
  json rows = naver::get_investor_flow("005930", 6);
  ASSERT_EQ(rows.size(), 6u);
  std::set<std::string> seen;
  for (const auto& r : rows) EXPECT_TRUE(seen.insert(r["date"].get<std::string>()).second);
  EXPECT_EQ(rows[5]["date"], "2026-09-10");
  // Asking for more than exists stops when a page adds nothing.
  EXPECT_EQ(naver::get_investor_flow("005930", 60).size(), days.size());
}
