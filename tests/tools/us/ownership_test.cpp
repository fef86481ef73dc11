// US ownership tools over a loopback Yahoo: grants are never purchases, a
// self-contradicting provider summary is flagged, short interest names its date.
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

json tx(const std::string& text, double shares, std::optional<double> value) {
  json t = {{"filerName", "DOE JANE"}, {"filerRelation", "Director"}, {"transactionText", text},
            {"moneyText", ""},         {"shares", {{"raw", shares}}},  {"startDate", {{"raw", 1738800000}}}};
  if (value) t["value"] = {{"raw", *value}};
  return t;
}

}  // namespace

TEST(UsOwnershipTools, GrantsAreNotPurchasesAndAContradictorySummaryIsInvalid) {
  YahooEnv env;
  env.summary("EXMP", {{"insiderTransactions",
                        {{"transactions", {tx("Stock Award(Grant) at price 0.00 per share.", 1000, 0.0),
                                           tx("Stock Award(Grant) at price 0.00 per share.", 500, std::nullopt),
                                           tx("Purchase", 300, std::nullopt)}}}},
                       {"netSharePurchaseActivity",
                        {{"period", "6m"}, {"netInfoShares", 120000}, {"netPercentInsiderShares", -0.005}}}});
  std::string r = server::call_tool("get_us_insider", {{"ticker", "EXMP"}});
  EXPECT_TRUE(has(r, "- 공개시장 매수(Purchase): 0건, $0\n- 매도(Sale): 0건, $0\n"
                     "- ⚠️ 대금이 실제로 지급된 **매수는 없습니다**"))
      << r;
  EXPECT_TRUE(has(r, "무상 부여(grant) | 2 | 1,500 | 0"));
  EXPECT_TRUE(has(r, "unknown | 1 | 300 | 0"));   // a purchase without a price is not counted as one
  EXPECT_TRUE(has(r, "- Net Shares Purchased (Sold): 120,000 ⚠️ invalid"));
  json m = reply_meta(r);
  ASSERT_TRUE(m["warnings"].is_array());
  EXPECT_TRUE(has(m["warnings"][0].get<std::string>(), "제공자 요약 자체 모순: 순주식수 +120,000주인데 순비율은 -0.500% 로"));
  EXPECT_EQ(m["insider_coverage"]["provider_summary_valid"], false);
}

TEST(UsOwnershipTools, ShortInterestNamesItsReportDateAndAgesIt) {
  YahooEnv env;
  env.at_ny("2025-02-10", 8, 0);   // 2025-02-10 in Korea too
  // 2025-01-05 00:00 UTC: 36 days old.
  env.summary("EXMP", {{"defaultKeyStatistics",
                        {{"dateShortInterest", 1736035200}, {"sharesShort", 2500000}, {"shortPercentOfFloat", 0.031}}}});
  std::string r = server::call_tool("get_us_short", {{"ticker", "EXMP"}});
  EXPECT_TRUE(has(r, "⚠️ 보고 기준일: **2025-01-05** (FINRA bi-monthly — 최대 2~4주 stale)"));
  EXPECT_TRUE(has(r, "- Shares Short: 2,500,000\n- % of Float (shorted): **3.10%**"));
  json m = reply_meta(r);
  EXPECT_EQ(m["staleness"]["age_days"], 36);
  EXPECT_EQ(m["staleness"]["stale"], true);
  EXPECT_EQ(m["coverage"]["coverage_complete"], true);   // a dated report is complete, stale or not
  EXPECT_TRUE(has(m["warnings"][0].get<std::string>(), "공매도 보고일(2025-01-05)이 36일 전입니다"));

  // 35 days is within the cycle.
  env.summary("EXMP", {{"defaultKeyStatistics", {{"dateShortInterest", 1736035200 + 86400}}}});
  m = reply_meta(server::call_tool("get_us_short", {{"ticker", "EXMP"}}));
  EXPECT_EQ(m["staleness"]["stale"], false);

  // No report date and no share count: both said, never 0.
  env.summary("EXMP", {{"defaultKeyStatistics", {{"shortRatio", 2.5}}}});
  r = server::call_tool("get_us_short", {{"ticker", "EXMP"}});
  EXPECT_TRUE(has(r, "⚠️ 보고 기준일: **-**"));
  EXPECT_TRUE(has(r, "- Shares Short: -\n"));
  m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["warnings"][0], "공매도 수치의 기준일(FINRA 보고일)을 확인하지 못했습니다. 언제 것인지 모르는 값입니다.");
}
