#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kMain = "/finance.naver.com/item/main.naver";
const char* kSample = "naver/finance_item_main_cop_analysis_323410.html";
const char* kHeader = "naver/finance_item_main_header_quote_323410.html";

// The live main page is EUC-KR; the saved samples and our fixtures are UTF-8.
FixtureResponse html(const std::string& body) { return {200, body, "text/html;charset=EUC-KR", {}}; }

std::vector<std::string> cells(const json& rec, const std::string& key) {
  std::vector<std::string> out;
  for (const auto& c : rec.at(key)) out.push_back(c.get<std::string>());
  return out;
}

}  // namespace

TEST(FinFinancials, RealSampleDecodedFromEucKr) {
  TESSARO_REQUIRE_SAMPLE(table, kSample);
  TESSARO_REQUIRE_SAMPLE(header, kHeader);
  NaverEnv env;
  env.srv.route(kMain, html(to_cp949("<html><body>" + header + table + "</body></html>")));

  json rec = naver::get_financials("323410");
  ASSERT_FALSE(rec.contains(naver::PARSE_MISS_KEY)) << rec.dump();
  EXPECT_EQ(rec["name"], "카카오뱅크");
  EXPECT_EQ(env.srv.last_request(kMain).params["code"], "323410");
  EXPECT_EQ(rec["_periods"]["annual"], json({"2020.12", "2021.12", "2022.12", "2023.12(E)"}));
  EXPECT_EQ(rec["_periods"]["quarterly"],
            json({"2022.09", "2022.12", "2023.03", "2023.06", "2023.09", "2023.12(E)"}));
  // Thousands separators stay; placeholders (&nbsp;, "-", empty no_data) are empty, never 0.
  auto sales = cells(rec, "매출액");
  ASSERT_EQ(sales.size(), 10u);
  EXPECT_EQ(sales[0], "8,042");
  EXPECT_EQ(sales[3], "");
  EXPECT_EQ(cells(rec, "PBR(배)")[0], "");
  EXPECT_EQ(cells(rec, "PBR(배)")[1], "5.08");
  EXPECT_EQ(cells(rec, "주당배당금(원)")[0], "");
  for (const auto& c : cells(rec, "당좌비율")) EXPECT_EQ(c, "");
  // The basis row shows on the get_financial reply, from this same one page fetch.
}

TEST(FinFinancials, TrailingEpsMatchesThePagesOwnFourQuarterFigure) {
  TESSARO_REQUIRE_SAMPLE(table, kSample);
  TESSARO_REQUIRE_SAMPLE(per, "naver/finance_item_main_per_table_323410.html");
  NaverEnv env;
  env.srv.route(kMain, html(to_cp949(table)));
  json rec = naver::get_financials("323410");
  json ttm = naver::ttm_eps_for(rec);
  ASSERT_TRUE(ttm.is_object()) << rec.dump();
  // 2022.12..2023.09: 127 + 214 + 172 + 200; the page prints EPS(2023.09) 713.
  EXPECT_DOUBLE_EQ(ttm["eps"].get<double>(), 713.0);
  EXPECT_EQ(ttm["period"], "2023.09");
  EXPECT_NE(per.find("<em id=\"_eps\">713</em>"), std::string::npos);
  EXPECT_NE(per.find("(2023.09)"), std::string::npos);

  json lf = naver::latest_fin(rec);
  EXPECT_EQ(lf["period"], "2022.12");
  EXPECT_DOUBLE_EQ(lf["per"].get<double>(), 43.98);
  EXPECT_DOUBLE_EQ(lf["revenue"].get<double>(), 16058.0);

  // A missing quarter breaks the run: no twelve months made from three.
  json gap = rec;
  gap["EPS(원)"][4 + 2] = "";
  EXPECT_TRUE(naver::ttm_eps_for(gap).is_null());
}

TEST(FinFinancials, Utf8BytesReadAsEucKrAreAParseMissNotGarbage) {
  TESSARO_REQUIRE_SAMPLE(table, kSample);
  NaverEnv env;
  env.srv.route(kMain, html(table));   // UTF-8 bytes where EUC-KR is expected
  json rec = naver::get_financials("323410");
  ASSERT_TRUE(rec.contains(naver::PARSE_MISS_KEY)) << rec.dump().substr(0, 400);
  EXPECT_FALSE(rec.contains("매출액"));
  EXPECT_TRUE(naver::ttm_eps_for(rec).is_null());
}

TEST(FinFinancials, MobileJsonWhenThePageIsGone) {
  NaverEnv env;
  env.srv.route(kMain, FixtureResponse{410, "Gone", "text/html", {}});
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/finance/annual", "naver/fin_mobile_annual.json");
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/finance/quarter", "naver/fin_mobile_quarter.json");
  env.srv.route("/m.stock.naver.com/api/stock/005930/basic",
            FixtureResponse{200, R"({"stockName":"삼성전자","itemCode":"005930"})", "application/json", {}});
  json rec = naver::get_financials("005930");
  ASSERT_FALSE(rec.contains(naver::PARSE_MISS_KEY)) << rec.dump();
  EXPECT_EQ(rec["name"], "삼성전자");
  EXPECT_EQ(rec["_periods"]["annual"], json({"2023.12", "2024.12", "2025.12(E)"}));
  EXPECT_EQ(rec["_periods"]["quarterly"], json({"2025.03", "2025.06", "2025.09(E)"}));
  // Titles mapped to the main-page names; annual then quarterly cells.
  EXPECT_EQ(cells(rec, "PER(배)"), (std::vector<std::string>{"34.08", "10.75", "", "11.20", "", ""}));
  EXPECT_EQ(cells(rec, "영업이익률"), (std::vector<std::string>{"2.54", "10.88", "", "", "", ""}));
  EXPECT_EQ(cells(rec, "당좌비율"), (std::vector<std::string>{"", "", "", "187.20", "190.10", ""}));
  EXPECT_TRUE(rec.contains("ROE(지배주주)"));
  // This JSON carries no statement basis: unknown, not guessed.
  json basis = naver::get_fs_basis("005930");
  EXPECT_TRUE(basis["annual"]["2024.12"].is_null());
}

// A misaligned row and an item without a financial block are checked on the
// get_financial reply.
TEST(FinFinancials, PageAndJsonBothFailingIsAnErrorNotNoData) {
  NaverEnv env;
  env.srv.route("/finance.naver.com/item/main.naver", FixtureResponse{503, "busy", "text/html", {}});
  EXPECT_THROW(naver::get_financials("000503"), HTTPStatusError);
}
