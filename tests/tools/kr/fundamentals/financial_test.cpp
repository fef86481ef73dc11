#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "support/naver_env.hpp"
#include "tools/kr/fundamentals/fundamentals.hpp"

using namespace tessaro;
using namespace tessaro::testing;
using tessaro::tools::fundamentals::latest_confirmed;

namespace {

const char* kMain = "/finance.naver.com/item/main.naver";

// A small main page: one annual column and one quarterly, with the given basis
// labels and PER/ROE cells.
std::string page(const std::string& name, const std::string& annual, const std::string& quarter,
                 const std::string& per_a, const std::string& per_q, const std::string& basis = "IFRS연결") {
  return "<html><body><div class=\"wrap_company\"><h2><a>" + name +
         "</a></h2></div><div class=\"section cop_analysis\"><table><thead>"
         "<tr><th rowspan=\"3\">주요재무정보</th><th colspan=\"1\">최근 연간 실적</th><th colspan=\"1\">최근 분기 실적</th></tr>"
         "<tr><th>" + annual + "</th><th>" + quarter + "</th></tr>"
         "<tr><th>" + basis + "</th><th>" + basis + "</th></tr></thead><tbody>"
         "<tr><th><strong>PER(배)</strong></th><td>" + per_a + "</td><td>" + per_q + "</td></tr>"
         "<tr><th><strong>ROE(지배주주)</strong></th><td>9.10</td><td>&nbsp;</td></tr>"
         "</tbody></table></div></body></html>";
}

std::string call(const std::string& tool, const json& args) { return server::call_tool(tool, args); }

}  // namespace

TEST(FinLatestConfirmed, QuarterWinsAndEstimatesAndBlanksAreSkipped) {
  json periods = {{"annual", {"2023.12", "2024.12", "2025.12(E)"}}, {"quarterly", {"2025.06"}}};
  EXPECT_EQ(latest_confirmed(periods, json({"10", "", "", "12"})), std::make_pair(std::string("2025.06"), std::string("12")));
  EXPECT_EQ(latest_confirmed(periods, json({"10", "", "", ""})), std::make_pair(std::string("2023.12"), std::string("10")));
  EXPECT_EQ(latest_confirmed(periods, json({"", "", "15", ""})), std::make_pair(std::string(), std::string()));
  // Shorter series than periods: pairs up to the shorter.
  EXPECT_EQ(latest_confirmed(periods, json({"1", "2"})), std::make_pair(std::string("2024.12"), std::string("2")));
  // No periods at all.
  EXPECT_EQ(latest_confirmed(json::object(), json({"1"})), std::make_pair(std::string(), std::string()));
}

TEST(FinGetFinancial, RealSampleReply) {
  TESSARO_REQUIRE_SAMPLE(table, "naver/finance_item_main_cop_analysis_323410.html");
  TESSARO_REQUIRE_SAMPLE(header, "naver/finance_item_main_header_quote_323410.html");
  NaverEnv env;
  env.srv.route(kMain, euckr_html(header + table));
  std::string out = call("get_financial", {{"code", "323410"}});
  auto lines = lines_of(out);
  ASSERT_GT(lines.size(), 10u) << out;
  EXPECT_EQ(lines[0], "종목: 카카오뱅크 (323410)");
  EXPECT_TRUE(has_line(out, "※ 재무기준: **IFRS별도** (전 기간 동일)"));
  EXPECT_TRUE(has_line(out, "※ (E)는 확정 실적이 아니라 증권사 컨센서스 추정치입니다."));
  EXPECT_TRUE(has_line(out, "  [연간] 2020.12=8,042 | 2021.12=10,649 | 2022.12=16,058 | 2023.12(E)=추정치 없음"));
  // A "-" on the page is a missing figure, written as such, never 0.
  EXPECT_NE(out.find("  [연간] 2020.12=데이터 없음 | 2021.12=5.08"), std::string::npos);
  json meta = meta_of(out);
  ASSERT_TRUE(meta.is_object()) << out;
  EXPECT_EQ(meta["data_period"], "2023.09 확정");
  // The JSON is not served here: the old page stands in, is said so, and a record
  // read that way is not cached (the basis asks again).
  EXPECT_EQ(meta["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(meta, "대체 출처 사용")) << meta.dump();
}

TEST(FinGetFinancial, BasisNotesForMixedAndPartlyUnknownBasis) {
  NaverEnv env;
  env.srv.route(kMain, [](const FixtureRequest& r) {
    std::string code = r.params.at("code");
    if (code == "111110") return euckr_html(read_fixture("naver/fin_mixed_basis.html"));
    // Same label everywhere but one column without a label.
    std::string p = page("부분기준", "2024.12", "2025.09", "10.0", "11.0");
    auto pos = p.rfind("<th>IFRS연결</th>");
    p.replace(pos, std::string("<th>IFRS연결</th>").size(), "<th> </th>");
    return euckr_html(p);
  });
  std::string mixed = call("get_financial", {{"code", "111110"}});
  EXPECT_TRUE(has_line(mixed,
                       "※ ⚠️ 재무기준이 기간마다 다릅니다 — 2024.12=IFRS연결, 2025.12(E)=IFRS연결, 2025.06=IFRS별도. "
                       "연결과 별도는 비교 범위가 달라 나란히 읽으면 안 됩니다."))
      << mixed;
  EXPECT_TRUE(has_line(mixed, "  [분기] 2025.06=310 | 2025.09=데이터 없음"));
  EXPECT_TRUE(has_line(mixed, "  [연간] 2024.12=1,200 | 2025.12(E)=추정치 없음"));

  std::string partly = call("get_financial", {{"code", "111111"}});
  EXPECT_TRUE(has_line(partly, "※ 재무기준: **IFRS연결** (확인하지 못한 기간: 2025.09)")) << partly;
}

TEST(FinGetFinancial, NoRecordAndParseFailureReplies) {
  NaverEnv env;
  env.srv.route(kMain, [](const FixtureRequest& r) {
    if (r.params.at("code") == "222220") return euckr_html(read_fixture("naver/fin_no_table.html"));
    return euckr_html(read_fixture("naver/fin_misaligned.html"));
  });
  const char* empty_fin = R"({"financeInfo":{"trTitleList":[],"rowList":[]}})";
  env.srv.route("/m.stock.naver.com/api/stock/222220/finance/annual", FixtureResponse{200, empty_fin, "application/json", {}});
  env.srv.route("/m.stock.naver.com/api/stock/222220/finance/quarter", FixtureResponse{200, empty_fin, "application/json", {}});
  EXPECT_EQ(call("get_financial", {{"code", "222220"}}), "종목코드 222220의 재무지표를 가져올 수 없습니다.");
  std::string miss = call("get_financial", {{"code", "333330"}});
  EXPECT_PRED2(fmt::starts_with, miss,
            std::string("정렬깨짐(333330)의 재무 표를 읽지 못했어요 (재무 자료가 없는 것이 아니라 **파싱 실패**예요).\n"
                        "네이버 증권 페이지 구조가 바뀌었을 수 있어요. ") +
                server::PARSE_FAIL_NEXT);
}

TEST(FinGetFinancialBatch, MixedPeriodsFailuresAndOrder) {
  NaverEnv env;
  env.srv.route(kMain, [](const FixtureRequest& r) {
    std::string code = r.params.at("code");
    if (code == "000001") return euckr_html(page("가나", "2024.12", "2025.09", "12.5", "-13.40"));
    if (code == "000002") return euckr_html(page("다라", "2024.12", "2025.06", "8.1", "7.7"));
    if (code == "000003") return euckr_html(page("빈칸", "2024.12", "2025.09(E)", "", ""));
    return FixtureResponse{500, "down", "text/plain", {}};
  });
  std::string out = call("get_financial_batch", {{"codes", {" 000001 ", "", "000002", "000009", "000003"}}});
  auto lines = lines_of(out);
  ASSERT_GE(lines.size(), 8u) << out;
  EXPECT_EQ(lines[0], "재무 비교 (4종목)");
  // The quarterly PER wins over the annual one; a missing PBR row is "-".
  EXPECT_EQ(lines[4], "000001 | 가나 | -13.40 | - | 9.10 | - | - | - | 2025.09");
  EXPECT_EQ(lines[5], "000002 | 다라 | 7.7 | - | 9.10 | - | - | - | 2025.06");
  EXPECT_EQ(lines[6], "000009 | (조회 실패) | - | - | - | - | - | - | -");
  // Only estimates and blanks for PER: the ROE annual cell is the reference.
  EXPECT_EQ(lines[7], "000003 | 빈칸 | - | - | 9.10 | - | - | - | 2024.12");
  EXPECT_TRUE(has_line(out, "※ 1종목 조회 실패 — 상장폐지·거래정지 등일 수 있습니다."));
  EXPECT_TRUE(has_line(out,
                       "※ 종목마다 기준 기간이 다릅니다(2024.12 / 2025.06 / 2025.09). 서로 다른 시점의 값이라 PER·ROE 를 "
                       "그대로 나란히 놓고 비교하면 안 됩니다."));
  json meta = meta_of(out);
  ASSERT_TRUE(meta.is_object());
  EXPECT_EQ(meta["data_completeness"], "partial");
  EXPECT_EQ(meta["coverage"]["reason"], "mixed_periods");
  EXPECT_EQ(meta["coverage"]["returned_count"], 3);
  EXPECT_EQ(meta["coverage"]["total_count"], 4);
  EXPECT_EQ(meta["period_coverage"]["consistency"], "mixed");
}

// The JSON and the old page both answer 404 (the real m.stock error page): the
// addresses are gone, which says nothing of the code. A failed lookup, like a 500.
TEST(FinGetFinancial, GoneAddressesAreAFailureNotAnUnknownCode) {
  std::string gone = read_shared_sample("naver/mstock_api_unknown_path_404_20261002_excerpt.html");
  NaverEnv env;
  env.srv.route(kMain, [gone](const FixtureRequest& r) {
    if (r.params.at("code") == "000001") return euckr_html(page("가나", "2024.12", "2025.09", "12.5", "-13.40"));
    if (r.params.at("code") == "000008") return FixtureResponse{500, "down", "text/plain", {}};
    return FixtureResponse{404, gone, "text/html", {}};
  });
  std::string one = call("get_financial", {{"code", "005930"}});
  EXPECT_EQ(one.find("찾을 수 없습니다"), std::string::npos) << one;
  EXPECT_TRUE(fmt::starts_with(one, "⚠️ 종목코드 005930의 재무지표 조회 실패 (HTTPStatusError 404)")) << one;

  std::string out = call("get_financial_batch", {{"codes", {"000001", "005930", "000008"}}});
  EXPECT_TRUE(has_line(out, "005930 | (조회 실패) | - | - | - | - | - | - | -")) << out;
  EXPECT_TRUE(has_line(out, "000008 | (조회 실패) | - | - | - | - | - | - | -")) << out;
  EXPECT_EQ(out.find("(종목 없음)"), std::string::npos) << out;
}

TEST(FinGetFinancialBatch, UniformIsCompleteAndTheListIsCappedAt30) {
  NaverEnv env;
  // Every compared row present (a row the page lacks is named and makes the reply partial).
  std::string full = page("같은기간", "2024.12", "2025.09", "10.0", "11.0");
  std::string rows;
  for (const char* row : {"PBR(배)", "영업이익률", "부채비율", "시가배당률(%)"})
    rows += std::string("<tr><th><strong>") + row + "</strong></th><td>1.0</td><td>1.0</td></tr>";
  full.insert(full.find("</tbody>"), rows);
  env.srv.route(kMain, [full](const FixtureRequest&) { return euckr_html(full); });
  json codes = json::array();
  for (int i = 0; i < 31; ++i) {
    char b[8];
    std::snprintf(b, sizeof b, "%06d", 500000 + i);
    codes.push_back(b);
  }
  std::string out = call("get_financial_batch", {{"codes", codes}});
  EXPECT_EQ(lines_of(out)[0], "재무 비교 (30종목)");
  EXPECT_EQ(out.find("500030"), std::string::npos);
  EXPECT_EQ(out.find("기준 기간이 다릅니다"), std::string::npos);
  json meta = meta_of(out);
  // Read from the old page standing in for the JSON (not served here): partial, said so.
  EXPECT_EQ(meta["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(meta, "대체 출처 사용: finance.naver.com/item/main.naver")) << meta.dump();
  EXPECT_EQ(env.srv.hits(kMain), 30);

  EXPECT_EQ(call("get_financial_batch", {{"codes", json::array()}}), "종목코드 리스트가 비어 있습니다.");
}

// The finance JSON (the real capture) has no 시가배당률 row at all: the column's
// "-" says the source lacks it, and the reply is not complete.
TEST(FinGetFinancialBatch, AColumnTheSourceDoesNotCarryIsNamed) {
  TESSARO_REQUIRE_SAMPLE(annual, "naver/mstock_api_stock_finance_annual_000660.json");
  TESSARO_REQUIRE_SAMPLE(quarter, "naver/mstock_api_stock_finance_quarter_000660.json");
  TESSARO_REQUIRE_SAMPLE(basic, "naver/mstock_api_stock_basic_000660.json");
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/annual", reply(200, annual));
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/quarter", reply(200, quarter));
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", reply(200, basic));
  std::string out = call("get_financial_batch", {{"codes", {"000660"}}});
  auto lines = lines_of(out);
  ASSERT_GE(lines.size(), 5u) << out;
  EXPECT_EQ(lines[4].rfind("000660 | SK하이닉스 | ", 0), 0u) << out;
  EXPECT_TRUE(has_line(out, "※ 배당률% 열의 '-' (모든 종목)는 재무 원본에 그 항목이 아예 없어 채우지 못한 것입니다 - 0 이나 "
                            "해당 없음이 아니라 확인 불가입니다."))
      << out;
  json meta = meta_of(out);
  EXPECT_EQ(meta["data_completeness"], "partial");
  bool warned = false;
  for (const auto& w : meta["warnings"]) warned = warned || w.get<std::string>().rfind("배당률% 열의", 0) == 0;
  EXPECT_TRUE(warned) << meta.dump();
}
