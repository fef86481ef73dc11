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

TEST(FinFinancials, FinanceJsonIsReadFirstFromTheRealCaptures) {
  TESSARO_REQUIRE_SAMPLE(annual, "naver/mstock_api_stock_finance_annual_000660.json");
  TESSARO_REQUIRE_SAMPLE(quarter, "naver/mstock_api_stock_finance_quarter_000660.json");
  TESSARO_REQUIRE_SAMPLE(basic, "naver/mstock_api_stock_basic_000660.json");
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/annual", reply(200, annual));
  env.srv.route("/m.stock.naver.com/api/stock/000660/finance/quarter", reply(200, quarter));
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", reply(200, basic));
  json rec = naver::get_financials("000660");
  ASSERT_FALSE(rec.contains(naver::PARSE_MISS_KEY)) << rec.dump();
  EXPECT_EQ(env.srv.hits(kMain), 0) << "the main page is only a fallback now";
  EXPECT_EQ(rec["name"], "SK하이닉스");
  // Columns in trTitleList order (the body lists 202512 before 202312).
  EXPECT_EQ(rec["_periods"]["annual"], json({"2023.12", "2024.12", "2025.12", "2026.12(E)"}));
  EXPECT_EQ(rec["_periods"]["quarterly"],
            json({"2025.06", "2025.09", "2025.12", "2026.03", "2026.06", "2026.09(E)"}));
  // Operating profit, checked by hand against the bodies: annual 2023.12 is
  // {"value":"-77,303","cx":"minus"}, 2025.12 "472,063"; quarter 2025.12 "191,696".
  auto op = cells(rec, "영업이익");
  ASSERT_EQ(op.size(), 10u);
  EXPECT_EQ(op[0], "-77,303");
  EXPECT_EQ(op[2], "472,063");
  EXPECT_EQ(op[4 + 2], "191,696");
  // Rows beyond the old table are kept.
  for (const char* extra : {"비지배주주순이익", "순이익률", "유보율"}) EXPECT_TRUE(rec.contains(extra)) << extra;
  EXPECT_TRUE(rec.contains("PER(배)"));
  json lf = naver::latest_fin(rec);
  EXPECT_EQ(lf["period"], "2025.12");
  EXPECT_DOUBLE_EQ(lf["operating_income"].get<double>(), 472063.0);
  // This JSON carries no statement basis: unknown, not guessed.
  EXPECT_TRUE(naver::get_fs_basis("000660")["annual"]["2024.12"].is_null());
}

TEST(FinFinancials, JsonCellsMinusMarkPlaceholdersAndTheFallbackPage) {
  TESSARO_REQUIRE_SAMPLE(table, kSample);
  NaverEnv env;
  json a = {{"financeInfo",
             {{"trTitleList", json::array({{{"title", "2024.12."}, {"key", "202412"}, {"isConsensus", "N"}},
                                           {{"title", "2023.12."}, {"key", "202312"}, {"isConsensus", "N"}}})},
              {"rowList", json::array({{{"title", "영업이익"},
                                        {"columns", {{"202312", {{"value", "1,200"}, {"cx", "minus"}}},
                                                     {"202412", {{"value", "-"}, {"cx", nullptr}}}}}}})}}}};
  env.srv.route("/m.stock.naver.com/api/stock/111111/finance/annual", reply(200, a.dump()));
  env.srv.route("/m.stock.naver.com/api/stock/111111/finance/quarter",
                reply(200, R"({"financeInfo":{"trTitleList":[],"rowList":[]}})"));
  json rec = naver::get_financials("111111");
  EXPECT_EQ(rec["_periods"]["annual"], json({"2024.12", "2023.12"}));
  EXPECT_EQ(cells(rec, "영업이익"), (std::vector<std::string>{"", "-1,200"}));   // "-" is missing, never 0

  // The JSON gone: the old main page's table when it still answers.
  env.srv.route("/m.stock.naver.com/api/stock/323410/finance/annual", FixtureResponse{404, "{}"});
  env.srv.route(kMain, html(to_cp949(table)));
  json old = naver::get_financials("323410");
  EXPECT_EQ(old["_periods"]["annual"], json({"2020.12", "2021.12", "2022.12", "2023.12(E)"}));
}

// A misaligned row and an item without a financial block are checked on the
// get_financial reply.
TEST(FinFinancials, PageAndJsonBothFailingIsAnErrorNotNoData) {
  NaverEnv env;
  env.srv.route("/m.stock.naver.com/api/stock/000503/finance/annual", FixtureResponse{503, "busy"});
  env.srv.route("/finance.naver.com/item/main.naver", FixtureResponse{404, "moved", "text/html", {}});
  try {
    naver::get_financials("000503");
    FAIL() << "both sources failed";
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 503) << "the JSON's own failure is reported, not the retired page's";
  }
}
