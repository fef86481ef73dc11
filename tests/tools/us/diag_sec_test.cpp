#include <gtest/gtest.h>

#include "core/json.hpp"
#include "sources/sec/sec_fixture.hpp"
#include "tools/us/diagnostics.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

struct Env : SecEnv {
  Env() { submissions(); }
};

}  // namespace

TEST(DiagLiquidity, LedgerKeepsDatesApartAndMissingIsNotZero) {
  Env env;
  const std::string c = "0009999991";
  env.fact(c, "CashAndCashEquivalentsAtCarryingValue", "2026-09-30", 50e6);
  env.fact(c, "CashCashEquivalentsRestrictedCashAndRestrictedCashEquivalents", "2026-09-30", 52e6);
  env.fact(c, "MarketableSecuritiesCurrent", "2026-06-30", 10e6);
  env.fact(c, "RestrictedCashCurrent", "2026-09-30", 1.5e6);
  env.fact(c, "LongTermDebtCurrent", "2026-09-30", 3e6);
  env.srv.route(SecEnv::concept_path(c, "LineOfCreditFacilityRemainingBorrowingCapacity"),
                FixtureResponse{500, "busy"});
  json j = json::parse(tools::us::us_liquidity("exmpw"));
  EXPECT_EQ(j["ticker"], "EXMP");   // the share class resolves to its issuer
  EXPECT_EQ(j["base_date"], "2026-09-30");
  const json& liq = j["liquidity"];
  // Securities of another date are not added; the revolver failed, so the sum is
  // only a partial one and never the total.
  EXPECT_FALSE(liq["total_available"].contains("value"));
  EXPECT_EQ(liq["total_available"]["partial_sum"], 50e6);
  EXPECT_EQ(liq["total_available"]["components"], json({"cash"}));
  EXPECT_EQ(liq["total_available"]["missing_components"], json({"revolver_available"}));
  ASSERT_EQ(liq["excluded"].size(), 1u);
  EXPECT_EQ(liq["excluded"][0]["reason"], "as_of_mismatch");
  EXPECT_EQ(liq["excluded"][0]["text"],
            "marketable_securities 기준일(2026-06-30)이 현금 기준일(2026-09-30)과 달라 총액에서 제외했습니다 - 값은 원장에 따로 있습니다.");
  EXPECT_EQ(j["obligations"]["lease_due_next_12m"]["status"], "not_reported");
  EXPECT_FALSE(j["obligations"]["lease_due_next_12m"].contains("value"));
  EXPECT_EQ(j["obligations"]["debt_due_next_12m"]["value"], 3e6);

  // Financing candidates after the base date: the 8-K with items 1.01/3.02 and the 424B5.
  const json& fin = j["post_period_financing"]["filings"];
  ASSERT_EQ(fin.size(), 2u);
  EXPECT_EQ(fin[0]["form"], "8-K");
  EXPECT_EQ(fin[0]["items"], json({"1.01", "3.02"}));
  EXPECT_EQ(fin[1]["form"], "424B5");

  const json& meta = j["_meta"];
  EXPECT_EQ(meta["data_completeness"], "partial");
  EXPECT_EQ(meta["coverage"]["fetch_errors"], json({"revolver_available"}));
  bool mismatch_warned = false, fetch_warned = false;
  for (auto& w : meta["warnings"]) {
    std::string s = w;
    mismatch_warned = mismatch_warned || s.find("파생 제한액(2,000,000)과 보고된 제한액(1,500,000)이 다릅니다") != std::string::npos;
    fetch_warned = fetch_warned || s == "조회 실패(재시도 가능): revolver_available";
  }
  EXPECT_TRUE(mismatch_warned);
  EXPECT_TRUE(fetch_warned);
  EXPECT_FALSE(j["runway_inputs"].contains("months"));
}

TEST(DiagLiquidity, NoCashMeansNoTotalAndUnknownTicker) {
  Env env;
  json j = json::parse(tools::us::us_liquidity("EXMP"));
  EXPECT_TRUE(j["base_date"].is_null());
  EXPECT_EQ(j["liquidity"]["total_available"]["status"], "cash_not_reported");
  EXPECT_EQ(j["runway_inputs"]["official_runway"]["status"], "unavailable");
  EXPECT_EQ(tools::us::us_liquidity("NOPE"), "티커 'NOPE'를 SEC 발행사 목록에서 찾지 못했습니다.");
}

TEST(DiagSoundness, StaleRatiosAndDifferentDatesGiveNoRatio) {
  Env env;
  const std::string c = "0009999992";
  json subs = {{"cik", "9999992"}, {"name", "Example Bancorp"}, {"sic", "6022"}, {"sicDescription", "State Commercial Banks"},
               {"filings", {{"recent", {{"accessionNumber", json::array()}, {"filingDate", json::array()}, {"form", json::array()}}}}}};
  env.srv.route("/data.sec.gov/submissions/CIK" + c + ".json", FixtureResponse{200, subs.dump()});
  env.fact(c, "CommonEquityTierOneCapitalToRiskWeightedAssets", "2020-12-31", 0.125, "pure");
  env.fact(c, "TierOneLeverageCapitalToAverageAssets", "2026-09-30", 0.091, "pure");
  env.fact(c, "FinancingReceivableAllowanceForCreditLossExcludingAccruedInterest", "2026-09-30", 100);
  env.fact(c, "NotesReceivableGross", "2026-06-30", 10000);
  json j = json::parse(tools::us::financial_soundness("EXBK"));
  EXPECT_EQ(j["market"], "US");
  EXPECT_EQ(j["is_financial_sic"], true);
  EXPECT_EQ(j["base_date"], "2026-09-30");
  const json& m = j["metrics"];
  EXPECT_EQ(m["cet1_ratio"]["status"], "stale_in_xbrl");
  EXPECT_GT(m["cet1_ratio"]["days_behind_base"].get<int>(), 400);
  EXPECT_EQ(m["leverage_ratio"]["status"], "reported");
  EXPECT_EQ(m["leverage_ratio"]["value"], 0.091);
  EXPECT_EQ(m["tier1_ratio"]["status"], "not_in_xbrl");
  EXPECT_FALSE(m["tier1_ratio"].contains("value"));
  EXPECT_EQ(m["lcr"]["required_reports"][0], "Pillar 3 disclosure / LCR disclosure report");
  EXPECT_EQ(m["allowance_coverage_of_loans"]["status"], "unavailable");   // 09-30 vs 06-30
  EXPECT_EQ(j["_meta"]["data_completeness"], "partial");

  env.fact(c, "NotesReceivableGross", "2026-09-30", 10000);
  j = json::parse(tools::us::financial_soundness("EXBK"));
  EXPECT_EQ(j["metrics"]["allowance_coverage_of_loans"]["value_pct"], 1.0);
  EXPECT_EQ(j["metrics"]["allowance_coverage_of_loans"]["basis"], "derived_same_date");
}

TEST(DiagSoundness, KoreanCodeGetsTheRouteAndNonBankIsWarned) {
  json kr = json::parse(tools::us::financial_soundness("105560"));
  EXPECT_EQ(kr["market"], "KR");
  EXPECT_EQ(kr["status"], "not_available_via_tessaro");
  EXPECT_EQ(kr["_meta"]["data_completeness"], "partial");
  Env env;
  json j = json::parse(tools::us::financial_soundness("EXMP"));
  EXPECT_EQ(j["is_financial_sic"], false);
  bool warned = false;
  for (auto& w : j["_meta"]["warnings"])
    warned = warned || w.get<std::string>().rfind("SIC 2834 (Pharmaceutical Preparations) - 금융회사가 아닐 수 있습니다.", 0) == 0;
  EXPECT_TRUE(warned);
}
