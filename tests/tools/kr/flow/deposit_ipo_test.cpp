#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "server/registry.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kTrend = "/stock.naver.com/api/domestic/market/trendDeposit";
const std::string kOld = "/finance.naver.com/sise/sise_deposit.naver";
const std::string kIpo = "/m.stock.naver.com/front-api/ipo/progress";
std::string fmt_eok(long long v) {   // "500,000"
  std::string s = std::to_string(v);
  for (int i = (int)s.size() - 3; i > 0; i -= 3) s.insert((size_t)i, ",");
  return s;
}
}  // namespace

TEST(InvestorDeposit, OldPageFallbackMissingCellsAndSigns) {
  NaverEnv env;
  env.srv.route(kTrend, FixtureResponse{404, "gone"});
  std::string page = tessaro::testing::read_fixture("naver/deposit_sise_deposit.html");
  env.srv.route(kOld, [page](const FixtureRequest& r) {
    bool first = r.params.count("page") && r.params.at("page") == "1";
    return FixtureResponse{200, first ? page : "<html><table class=\"type_1\"></table></html>", "text/html"};
  });
  std::string r = server::call_tool("get_investor_deposit", {{"days", 150}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("## 투자자예탁금 (2거래일)\n\n날짜 | 고객예탁금(억원) | 신용잔고(억원) | 주식형 펀드(억원) | "
                   "혼합형 펀드(억원) | 채권형 펀드(억원)\n---|---:\n"
                   "2026-09-11 | 583,201 (+12,345) | 201,003 (-1,002) | 900,000 (+0) | 데이터 없음 | 310,500 (-2,100)\n"
                   "2026-09-10 | 570,856 (+3,210) | 202,005 (+500) | 900,000 (+1,000) | 120,000 | 312,600 (+100)"),
            std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_as_of"], "2026-09-11");
  EXPECT_EQ(m["data_completeness"], "partial");   // 2 rows of the 100 the source can give
  EXPECT_EQ(m["coverage"]["reason"], "source_limit");
  EXPECT_EQ(m["coverage"]["returned_count"], 2);
}

// trendDeposit as documented (no verbatim capture exists): a page object,
// newest first, amounts in 억원 as text, signed changes in …Diff.
TEST(InvestorDeposit, JsonAnswerMapsOnlyTheDocumentedKeys) {
  NaverEnv env;
  env.srv.route(kTrend, [](const FixtureRequest& r) {
    json rows = json::array();
    for (int i = 0; i < 3; ++i)
      rows.push_back({{"bizdate", "2026091" + std::to_string(5 - i)},
                      {"customerDeposit", fmt_eok(500000 + i)},
                      {"customerDepositDiff", i == 0 ? json(nullptr) : json("-10")},
                      {"customerDepositDiffAbs", i == 0 ? json(nullptr) : json("10")},
                      {"creditLoan", "-"},
                      {"futuresDeposit", "999,999"},   // not a documented key: never a column
                      {"beneficiaryCertificateBond", "310,500"},
                      {"beneficiaryCertificateBondDiff", "+2,100"}});
    return FixtureResponse{200, json{{"content", rows}, {"totalPages", 1}, {"totalElements", 3}, {"last", true}}.dump()};
  });
  std::string r = server::call_tool("get_investor_deposit", {{"days", 3}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("날짜 | 고객예탁금(억원) | 신용잔고(억원) | 채권형 펀드(억원)"), std::string::npos) << b;
  EXPECT_NE(b.find("2026-09-15 | 500,000 | 데이터 없음 | 310,500 (+2,100)"), std::string::npos) << b;
  EXPECT_NE(b.find("2026-09-14 | 500,001 (-10) | 데이터 없음"), std::string::npos);
  EXPECT_EQ(b.find("999,999"), std::string::npos);
  EXPECT_EQ(meta_of(r)["data_completeness"], "complete");
  EXPECT_EQ(env.srv.hits(kOld), 0);
  EXPECT_EQ(env.srv.last_request(kTrend).params["startIdx"], "0");   // a page number
  EXPECT_EQ(env.srv.last_request(kTrend).params["pageSize"], "3");
}

TEST(InvestorDeposit, UnknownShapeIsANamedParseFailureNotHiddenBehindTheRetiredPage) {
  NaverEnv env;
  TESSARO_REQUIRE_SAMPLE(gone, "naver/finance_item_sise_time_http410.html");
  // A guessed shape of an earlier version: a bare list with deposit-like names.
  env.srv.route(kTrend, reply(200, R"([{"bizdate":"20260915","futuresDeposit":"1","creditBalance":"2"}])"));
  env.srv.route(kOld, FixtureResponse{410, gone, "text/html", {}});
  try {
    naver::get_investor_deposit(20);
    FAIL() << "an unknown shape is a parse failure";
  } catch (const NaverParseError& e) {
    EXPECT_NE(std::string(e.what()).find("content"), std::string::npos) << e.what();
  }
  env.srv.route(kTrend, reply(200, R"({"content":[{"bizdate":"20260915","futuresDeposit":"1","creditBalance":"2"}]})"));
  try {
    naver::get_investor_deposit(20);
    FAIL() << "rows without a documented amount are a parse failure";
  } catch (const NaverParseError& e) {
    EXPECT_NE(std::string(e.what()).find("futuresDeposit"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("creditBalance"), std::string::npos) << e.what();
  }
  std::string r = server::call_tool("get_investor_deposit", json::object());
  EXPECT_NE(r.find("파싱 실패"), std::string::npos) << r;
  EXPECT_EQ(r.find("410"), std::string::npos) << "the retired page's answer is not the cause: " << r;
}

TEST(InvestorDeposit, OldPageFallMarkedOnlyByTheCellClass) {
  NaverEnv env;
  env.srv.route(kTrend, FixtureResponse{404, "gone"});
  std::string page =
      "<html><head><meta charset=\"utf-8\"></head><body><table class=\"type_1\">"
      "<tr><td class=\"date\">26.09.11</td><td>583,201</td><td class=\"rate_down\">12,345</td>"
      "<td>201,003</td><td class=\"nv01\">1,002</td></tr></table></body></html>";
  env.srv.route(kOld, [page](const FixtureRequest& r) {
    bool first = r.params.count("page") && r.params.at("page") == "1";
    return FixtureResponse{200, first ? page : "<html><table class=\"type_1\"></table></html>", "text/html"};
  });
  std::string b = body_of(server::call_tool("get_investor_deposit", {{"days", 5}}));
  EXPECT_NE(b.find("2026-09-11 | 583,201 (-12,345) | 201,003 (-1,002)"), std::string::npos) << b;
}

TEST(IpoSchedule, StagesUnknownValuesAndFailedStage) {
  NaverEnv env;
  std::string sub = tessaro::testing::read_fixture("naver/ipo_progress_subscription.json");
  env.srv.route(kIpo, [sub](const FixtureRequest& r) {
    std::string t = r.params.at("progressType");
    if (t == "SUBSCRIPTION") return FixtureResponse{200, sub};
    if (t == "LISTING") return FixtureResponse{500, "oops"};
    return FixtureResponse{200, R"({"isSuccess":true,"result":{"ipoList":[]}})"};
  });
  std::string r = server::call_tool("get_ipo_schedule", json::object());
  std::string b = body_of(r);
  EXPECT_NE(b.find("## 공모주 일정 (총 2건)\n\n### 청약 (2건)\n\n종목 | 시장 | 희망공모가 | 확정공모가 | 청약일 | 상장일 | "
                   "경쟁률 | 주관사\n---|---|---|---|---|---|---|---\n"
                   "가나바이오 | 코스닥 | 10,000~12,000원 | - | 2026-09-17~09-18 | - | 1,234.50배 | 한국투자증권, 미래에셋증권\n"
                   "다라로보틱스 | 코스피 | - | 25,000원 | 2026-09-21 | - | - | -\n"),
            std::string::npos);
  EXPECT_NE(b.find("⚠️ 조회 실패: 상장 단계 목록을 받지 못했습니다."), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["returned_count"], 2);
  // No offering anywhere.
  env.srv.route(kIpo, FixtureResponse{200, R"({"isSuccess":true,"result":{"ipoList":[]}})"});
  EXPECT_EQ(server::call_tool("get_ipo_schedule", json::object()), "공모 진행 중인 종목이 없습니다.");
  // Nothing in the stages that answered, one stage unreadable: the failure is named.
  env.srv.route(kIpo, [](const FixtureRequest& r) {
    if (r.params.at("progressType") == "LISTING") return FixtureResponse{500, "oops"};
    return FixtureResponse{200, R"({"isSuccess":true,"result":{"ipoList":[]}})"};
  });
  std::string partly = server::call_tool("get_ipo_schedule", json::object());
  EXPECT_EQ(partly.rfind("공모 진행 중인 종목이 없습니다.", 0), std::string::npos) << partly;
  EXPECT_NE(partly.find("상장 단계 목록은 받지 못했습니다 - 그 단계에 종목이 없다는 뜻이 아니라 확인 불가입니다."),
            std::string::npos)
      << partly;
  EXPECT_NE(partly.find("⚠️ 조회 실패: 상장 단계 목록을 받지 못했습니다."), std::string::npos);
}

// Rows read by the field names the site's front end uses; a field the row does not
// carry at all is named and shown as "확인 불가", never as the "-" of a stage not
// reached. Rows written from the documented field list (naver.md, leads).
TEST(IpoSchedule, AFieldTheRowDoesNotCarryIsNotANotYetDecidedValue) {
  NaverEnv env;
  env.srv.route(kIpo, [](const FixtureRequest& r) {
    if (r.params.at("progressType") != "DEMAND_FORECAST")
      return FixtureResponse{200, R"({"isSuccess":true,"result":{"ipoList":[]}})"};
    // No fnlCmptRatio and no orgNm keys at all; fixPubPrice null (not fixed yet).
    return FixtureResponse{200, R"({"isSuccess":true,"result":{"ipoList":[{"compName":"마바전자","marketType":"코스닥",)"
                                R"("ipoCode":"A481110","hopePubStart":"9,000","hopePubEnd":"11,000","fixPubPrice":null,)"
                                R"("poStartDate":null,"poEndDate":null,"lcalDate":null}]}})"};
  });
  std::string r = server::call_tool("get_ipo_schedule", json::object());
  std::string b = body_of(r);
  EXPECT_NE(b.find("마바전자 | 코스닥 | 9,000~11,000원 | - | - | - | 확인 불가 | 확인 불가\n"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 읽지 못한 항목: 경쟁률, 주관사 - 응답에 그 필드가 없어 '확인 불가'로 표시했습니다."), std::string::npos)
      << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
}
