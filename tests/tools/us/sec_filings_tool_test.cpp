#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/sec/sec_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

// The issuer's recent filings, its older page and one 8-K with its documents.
struct Env : SecEnv {
  Env() {
    submissions();
    srv.route_file("/data.sec.gov/submissions/CIK0009999991-submissions-001.json",
                   "sec/h_submissions_CIK0009999991-submissions-001.json");
    const std::string folder = "/www.sec.gov/Archives/edgar/data/9999991/000999999126000021/";
    srv.route_file(folder + "index.json", "sec/h_index_000999999126000021.json");
    srv.route_file(folder + "exmp-8k_20261120.htm", "sec/h_8k_20261120.htm", "text/html");
  }
};

}  // namespace

TEST(SecFilingsTool, RecentWindowSliceWithOlderPagePointer) {
  Env env;
  std::string r = server::call_tool("get_us_filings", {{"ticker", "exmpw"}, {"limit", 2}, {"offset", -5}});
  EXPECT_NE(r.find("**EXMPW** SEC 공시 · 최근 구간 (표시 1~2번째 2건 / 이 구간 6건)"), std::string::npos) << r;
  EXPECT_NE(r.find("발행사: **Example Therapeutics, Inc.** (CIK 0009999991) · 요청 티커 exmpw -> 대표 EXMP · 동일 발행사 "
                   "티커: EXMP, EXMPW"),
            std::string::npos);
  EXPECT_NE(r.find("2026-11-20 | **8-K** | 2026-11-19 | `0009999991-26-000021` | [exmp-8k_20261120.htm]("),
            std::string::npos);
  EXPECT_NE(r.find("2026-11-18 | **424B5** | - |"), std::string::npos);   // empty report date
  EXPECT_NE(r.find("`offset=2`"), std::string::npos);
  EXPECT_NE(r.find("`page=\"CIK0009999991-submissions-001.json\"` (3건)"), std::string::npos);
  json m = reply_meta(r);
  ASSERT_FALSE(m.is_null());
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["next_offset"], 2);
  EXPECT_EQ(m["coverage"]["reason"], "server_cap");
  EXPECT_EQ(m["coverage"]["older_pages"].size(), 1u);
}

TEST(SecFilingsTool, FormsFilterLimitCapAndOlderPage) {
  Env env;
  std::string r = server::call_tool("get_us_filings", {{"ticker", "EXMP"}, {"limit", 500}, {"forms", {"10-Q"}}});
  json m = reply_meta(r);
  EXPECT_EQ(m["coverage"]["limit"], 100);
  EXPECT_EQ(m["coverage"]["total_count"], 2);
  EXPECT_EQ(r.find("**8-K**"), std::string::npos);

  r = server::call_tool("get_us_filings", {{"ticker", "EXMP"}, {"page", "CIK0009999991-submissions-001.json"}});
  EXPECT_NE(r.find("구간 2018-03-01~2019-12-20 (표시 1~3번째 3건 / 이 구간 3건)"), std::string::npos) << r;
  m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "complete");

  // Nothing of the form in the recent window, but older pages remain: no "none exist".
  r = server::call_tool("get_us_filings", {{"ticker", "EXMP"}, {"forms", {"10-K"}}});
  EXPECT_NE(r.find("최근 구간에 해당 유형이 없습니다. 더 오래된 구간이 남아 있으므로"), std::string::npos) << r;

  EXPECT_EQ(server::call_tool("get_us_filings", {{"ticker", "EXMP"}, {"page", "CIK0009999991-submissions-009.json"}}),
            "⚠️ 잘못된 page: CIK0009999991-submissions-009.json");
}

TEST(SecFilingsTool, UnknownTickerAndFailuresAreNamedNotEmpty) {
  Env env;
  std::string r = server::call_tool("get_us_filings", {{"ticker", "NOPE"}});
  EXPECT_EQ(r.rfind("티커 'NOPE' 를 SEC 발행사에 연결하지 못했습니다.", 0), 0u);
  EXPECT_EQ(reply_meta(r)["data_completeness"], "none");
  EXPECT_EQ(reply_meta(r)["warnings"].back(), "티커 매핑 실패: NOPE");

  env.srv.fail_next("/data.sec.gov/submissions/CIK0009999991.json", 503, 5);
  r = server::call_tool("get_us_filings", {{"ticker", "EXMP"}});
  EXPECT_EQ(r.rfind("⚠️ SEC 공시 목록 조회에 실패했습니다 (HTTP 503). 0건이 아니라 조회 실패이므로 재시도하세요.", 0), 0u) << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "none");

  FixtureServer down;   // no ticker list at all
  ScopedEnv base("TESSARO_SEC_BASE_URL", down.base_url());
  TempHome fresh;
  r = server::call_tool("get_us_filings", {{"ticker", "EXMP"}});
  EXPECT_EQ(r.rfind("⚠️ SEC 티커 목록을 조회하지 못했습니다 (", 0), 0u) << r;
}

TEST(SecFilingDetailTool, DocumentListFindAndAnalyze) {
  Env env;
  std::string r = server::call_tool("get_us_filing_detail", {{"ticker", "EXMP"}, {"accession_no", "000999999126000021"}});
  EXPECT_NE(r.find("# SEC 공시 문서 (accession=000999999126000021)"), std::string::npos) << r;
  EXPECT_NE(r.find("발행사: Example Therapeutics, Inc. (CIK 0009999991) · 8-K 2026-11-20"), std::string::npos);
  EXPECT_NE(r.find("exmp-ex10_1.htm | 98,011 | [열기]("), std::string::npos);
  EXPECT_NE(r.find("-index.html | - | [열기]("), std::string::npos);   // unknown size is "-", not 0

  r = server::call_tool("get_us_filing_detail",
                        {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}, {"find", "warrant"}});
  EXPECT_NE(r.find("# SEC 공시 본문 (accession=0009999991-26-000021, exmp-8k_20261120.htm)"), std::string::npos) << r;
  EXPECT_NE(r.find("**매치:** 5건"), std::string::npos) << r;
  json m = reply_meta(r);
  EXPECT_EQ(m["coverage"]["match_coverage"]["truncated"], false);

  // More matches than are shown: all counted, five displayed.
  r = server::call_tool("get_us_filing_detail",
                        {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}, {"find", "the"}});
  EXPECT_NE(r.find("건 중 5건 표시"), std::string::npos) << r;
  EXPECT_NE(r.find("## 매치 5 (위치 ~"), std::string::npos);
  EXPECT_EQ(r.find("## 매치 6"), std::string::npos);
  m = reply_meta(r);
  EXPECT_GT(m["coverage"]["match_coverage"]["total_matches"].get<int>(), 5);
  EXPECT_EQ(m["coverage"]["match_coverage"]["displayed_matches"], 5);
  EXPECT_EQ(m["coverage"]["match_coverage"]["truncated"], true);
  EXPECT_EQ(m["coverage"]["reason"], "server_cap");

  r = server::call_tool("get_us_filing_detail",
                        {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}, {"find", "going concern"}});
  EXPECT_NE(r.find("'going concern' 매치 0건 - 본문에 해당 내용이 **없다는 뜻이 아닙니다**."), std::string::npos);
  EXPECT_EQ(reply_meta(r)["coverage"]["reason"], "unknown");

  r = server::call_tool("get_us_filing_detail",
                        {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}, {"analyze", "dilution"}});
  EXPECT_NE(r.find("## 희석(증권 수·전환·워런트) 구조화 - 원문 발췌 기반"), std::string::npos);
  EXPECT_NE(r.find("### 워런트 (매치 "), std::string::npos);
  EXPECT_NE(r.find("### 미확인 범주\n- 전환증권"), std::string::npos);
  m = reply_meta(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(r.find("HIDDEN-REGISTRANT-NAME"), std::string::npos);

  EXPECT_EQ(server::call_tool("get_us_filing_detail",
                              {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}, {"analyze", "risk"}}),
            "analyze 는 'dilution' 또는 'contract' 여야 합니다 (받음: risk).");
}

TEST(SecFilingDetailTool, TextFetchFailureIsUnconfirmedNotZero) {
  Env env;
  env.srv.fail_next("/www.sec.gov/Archives/edgar/data/9999991/000999999126000021/exmp-ex10_1.htm", 404, 1);
  std::string r = server::call_tool("get_us_filing_detail", {{"ticker", "EXMP"},
                                                             {"accession_no", "0009999991-26-000021"},
                                                             {"document", "exmp-ex10_1.htm"},
                                                             {"find", "term"}});
  EXPECT_EQ(r.rfind("⚠️ 원문을 가져오지 못했습니다 (HTTP 404 Not Found). 검색·분석 결과가 0건이라는 뜻이 아니라 **확인 불가**입니다.", 0),
            0u)
      << r;
  EXPECT_EQ(reply_meta(r)["data_completeness"], "none");
  r = server::call_tool("get_us_filing_detail",
                        {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000021"}, {"document", "nope.htm"}, {"find", "x"}});
  EXPECT_EQ(r.rfind("accession 0009999991-26-000021 의 본문 파일을 찾지 못했습니다.", 0), 0u);
  env.srv.fail_next("/www.sec.gov/Archives/edgar/data/9999991/000999999126000022/index.json", 404, 1);
  r = server::call_tool("get_us_filing_detail", {{"ticker", "EXMP"}, {"accession_no", "0009999991-26-000022"}});
  EXPECT_EQ(r.rfind("⚠️ 문서 목록 조회 실패 (", 0), 0u) << r;
}
