// SEC tools tell a failed or blocked lookup from an empty one: an offset past the end
// of a window that has filings, a throttled submissions lookup behind find/analyze,
// a cash fact that failed to fetch, a stale restricted-cash fact; and the request
// gate keeps under nine starts in any second.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "core/json.hpp"
#include "server/registry.hpp"
#include "sources/sec/client.hpp"
#include "sources/sec/sec.hpp"
#include "sources/sec/sec_fixture.hpp"
#include "tools/us/diagnostics.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kFolder = "/www.sec.gov/Archives/edgar/data/9999991/000999999126000021/";

bool any_warning(const json& meta, const std::string& part) {
  for (auto& w : meta.value("warnings", json::array()))
    if (w.is_string() && has(w.get<std::string>(), part)) return true;
  return false;
}

}  // namespace

TEST(SecOutcomes, OffsetPastTheEndSaysHowManyAndWhereToStart) {
  SecEnv env;
  env.submissions();   // 6 filings in the recent window, one older page
  std::string r = server::call_tool("get_us_filings", {{"ticker", "EXMP"}, {"limit", 4}, {"offset", 50}});
  EXPECT_FALSE(has(r, "공시 목록이 비어 있습니다")) << r;
  EXPECT_TRUE(has(r, "⚠️ offset=50 이 최근 구간의 공시 6건을 넘었습니다 - 공시가 없는 것이 아닙니다. 처음부터는 "
                     "`offset=0`, 마지막 4건은 `offset=2` 로 조회하세요."))
      << r;
  json m = reply_meta(r);
  EXPECT_NE(m["data_completeness"], "complete");
  EXPECT_EQ(m["coverage"]["total_count"], 6);
  EXPECT_EQ(m["coverage"]["next_offset"], 2);
  EXPECT_EQ(m["coverage"]["coverage_complete"], false);
  EXPECT_TRUE(any_warning(m, "offset=50 이 이 구간의 공시 6건을 넘어"));
}

TEST(SecOutcomes, ThrottledSubmissionsBehindFindIsABlockNotAMissingBody) {
  SecEnv env;
  // The SEC's throttle page answers the submissions lookup; the filing index is readable.
  env.srv.route(kSecSubmissionsPath,
                FixtureResponse{403, "<html><body><h1>Request Rate Threshold Exceeded</h1>Please declare your traffic "
                                     "by updating your user agent.</body></html>",
                                "text/html"});
  env.srv.route_file(std::string(kFolder) + "index.json", "sec/h_index_000999999126000021.json");
  for (const char* extra : {"find", "analyze"}) {
    json args = {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}};
    args[extra] = std::string(extra) == "find" ? "warrant" : "dilution";
    std::string r = server::call_tool("get_us_filing_detail", args);
    EXPECT_FALSE(has(r, "본문 파일을 찾지 못했습니다")) << extra << ": " << r;
    EXPECT_TRUE(has(r, "⚠️ accession 0009999991-26-000021 의 본문 파일을 정하지 못했습니다 - SEC 공시 목록 조회가 실패해("))
        << r;
    EXPECT_TRUE(has(r, "요청 한도 초과"));
    json m = reply_meta(r);
    ASSERT_TRUE(m.is_object()) << r;
    EXPECT_EQ(m["data_completeness"], "none");
    EXPECT_TRUE(any_warning(m, "SEC 조회 실패: 공시 목록 ("));
  }
  // With the document named, the body is read although the list is blocked.
  env.srv.route_file(std::string(kFolder) + "exmp-8k_20261120.htm", "sec/h_8k_20261120.htm", "text/html");
  std::string r = server::call_tool("get_us_filing_detail", {{"ticker", "EXMP"},
                                                             {"accession_no", "0009999991-26-000021"},
                                                             {"find", "warrant"},
                                                             {"document", "exmp-8k_20261120.htm"}});
  EXPECT_TRUE(has(r, "# SEC 공시 본문 (accession=0009999991-26-000021, exmp-8k_20261120.htm)")) << r;
}

TEST(SecOutcomes, FailedCashIsAFailureAndStaleRestrictedCashBlocksTheRunway) {
  SecEnv env;
  env.submissions();
  const std::string c = "0009999991";
  env.srv.route(SecEnv::concept_path(c, "CashAndCashEquivalentsAtCarryingValue"), FixtureResponse{500, "busy"});
  json j = json::parse(tools::us::us_liquidity("EXMP"));
  EXPECT_EQ(j["liquidity"]["total_available"]["status"], "cash_fetch_error");
  EXPECT_TRUE(j["liquidity"]["total_available"].contains("detail"));
  EXPECT_TRUE(any_warning(j["_meta"], "조회 실패(재시도 가능): cash"));

  // Cash of 2026-09-30; restricted cash last reported 92 days earlier, debt current.
  env.fact(c, "CashAndCashEquivalentsAtCarryingValue", "2026-09-30", 50e6);
  env.fact(c, "RestrictedCashCurrent", "2026-06-30", 1.5e6);
  env.fact(c, "LongTermDebtCurrent", "2026-09-30", 3e6);
  j = json::parse(tools::us::us_liquidity("EXMP"));
  const json& official = j["runway_inputs"]["official_runway"];
  EXPECT_EQ(official["status"], "unavailable") << official.dump();
  EXPECT_EQ(official["blocked_by"], json({"restricted_cash"}));
  const std::string stale = "restricted_cash_current 최신 보고값이 기준일보다 92일 뒤처져 있습니다(2026-06-30) - 공식 런웨이 재료로 쓰지 않습니다.";
  EXPECT_EQ(official["notes"][0], stale);
  EXPECT_TRUE(any_warning(j["_meta"], stale));
  EXPECT_EQ(j["_meta"]["data_completeness"], "partial");

  // Reported on the cash date, the same inputs are current.
  env.fact(c, "RestrictedCashCurrent", "2026-09-30", 1.5e6);
  j = json::parse(tools::us::us_liquidity("EXMP"));
  EXPECT_EQ(j["runway_inputs"]["official_runway"]["status"], "inputs_current");
}

TEST(SecOutcomes, GateNeverLetsTenStartsIntoOneSecond) {
  EXPECT_LE(sec::MAX_REQUESTS_PER_SECOND, 9.0);
  sec::RateGate g(sec::MAX_REQUESTS_PER_SECOND);
  auto t0 = sec::RateGate::Clock::time_point{} + std::chrono::seconds(100);
  std::vector<sec::RateGate::Clock::time_point> starts;
  for (int i = 0; i < 30; ++i) starts.push_back(g.reserve(t0));
  for (size_t i = 0; i + 9 < starts.size(); ++i)
    EXPECT_GT(starts[i + 9] - starts[i], std::chrono::seconds(1)) << "starts " << i << ".." << i + 9;

  // Through the real request path: no one-second window sees more than nine arrivals.
  SecEnv env;
  std::mutex mu;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  env.srv.route("/data.sec.gov/pace.json", [&](const FixtureRequest&) {
    std::lock_guard<std::mutex> lk(mu);
    arrivals.push_back(std::chrono::steady_clock::now());
    return FixtureResponse{200, "{}"};
  });
  for (int i = 0; i < 12; ++i) sec::detail::request_json(sec::detail::data(http::Target("/pace.json")));
  ASSERT_EQ(arrivals.size(), 12u);
  for (size_t i = 0; i + 9 < arrivals.size(); ++i)
    EXPECT_GT(arrivals[i + 9] - arrivals[i], std::chrono::milliseconds(990)) << "arrivals " << i << ".." << i + 9;
}
