#include <gtest/gtest.h>

#include "core/format.hpp"

#include "server/registry.hpp"
#include "sources/naver/lists_common.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kSectorList = "/finance.naver.com/sise/sise_group.naver";
const std::string kDetail = "/finance.naver.com/sise/sise_group_detail.naver";
const char* kHtml = "text/html; charset=euc-kr";

std::string code_of(int i) { return code6(800000 + i); }

struct Stock {
  json per, pbr;
  double cap_eok;
};

struct Env : NaverEnv {
  Env() { srv.route_file(kSectorList, "naver/lists_sector_list.html", kHtml); }
  // Members of sector 278 with their detail answers; financial pages are absent,
  // so the records keep the site's own PER and PBR.
  void sector(const std::vector<Stock>& stocks, int declared) {
    std::string h = "<html><body><table class=\"type_1\"><tr><td>반도체와반도체장비</td><td class=\"number\">+1.00%</td>"
                    "<td class=\"number\">" + std::to_string(declared) +
                    "</td></tr></table><table class=\"type_5\"><thead><tr><th colspan=\"2\">종목명</th><th>현재가</th>"
                    "<th>등락률</th></tr></thead><tbody>";
    for (size_t i = 0; i < stocks.size(); ++i) {
      char rate[16];
      snprintf(rate, sizeof rate, "%+.2f%%", 10.0 - i * 0.01);
      h += "<tr><td class=\"name\"><a href=\"/item/main.naver?code=" + code_of((int)i) + "\">종목" + std::to_string(i) +
           "</a></td><td class=\"number\">1,000</td><td class=\"number\">" + rate + "</td></tr>";
      json d = {{"itemcode", code_of((int)i)}, {"itemname", "종목" + std::to_string(i)}, {"nowVal", "1000"},
                {"marketSum", std::to_string((long long)(stocks[i].cap_eok * 1e8))},
                {"per", stocks[i].per}, {"pbr", stocks[i].pbr}, {"upJongName", "반도체와반도체장비"}};
      srv.route("/stock.naver.com/api/domestic/detail/" + code_of((int)i) + "/detail", reply(200, d.dump()));
    }
    srv.route(kDetail, reply(200, to_cp949(h + "</tbody></table></body></html>"), kHtml));
  }
  // The main page of the focus stock: 업종 link, its PER and the same-sector PER.
  void focus_page() {
    std::string h = "<html><body><div class=\"section trade_compare\"><h4><em>(업종명 : <a "
                    "href=\"/sise/sise_group_detail.naver?type=upjong&amp;no=278\">반도체와반도체장비</a>)</em></h4></div>"
                    "<em id=\"_per\">21.00</em><table summary=\"동일업종 PER 정보\"><tr class=\"strong\"><th>동일업종 PER</th>"
                    "<td><em>113.39</em>배</td></tr></table></body></html>";
    srv.route("/finance.naver.com/item/main.naver", reply(200, to_cp949(h), kHtml));
  }
};

std::vector<Stock> seven_plus_deficits() {
  // Positive PERs 10, 15, 19, 20, 21, 21.02, 30 (median 20); two loss-makers; one without PER.
  return {{10, 1.1, 900},  {15, 1.2, 800}, {19, 1.3, 700},   {20, "N/A", 600}, {21, 1.5, 50},
          {21.02, 1.6, 40}, {30, 1.7, 300}, {-3.2, 0.5, 200}, {0, 0.7, 100},   {nullptr, 0.9, 10}};
}
}  // namespace

TEST(SectorValuation, MediansWithoutLossMakersAndPositionTags) {
  Env env;
  env.sector(seven_plus_deficits(), 10);
  std::string r = server::call_tool("get_sector_valuation", {{"sector_name", "반도체와반도체장비"}, {"top_n", 80}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("## 반도체와반도체장비 밸류에이션 집계\n\n- 집계 대상: **업종 전체 10개** (표본 편향 없음, 표시는 시총 상위 80개까지)"),
            std::string::npos);
  EXPECT_NE(b.find("- **PER 집계 제외(적자) 2개**: 종목7, 종목8"), std::string::npos);
  EXPECT_NE(b.find("지표 | 중앙값 | 평균 | 최소~최대 | 표본\n---|---:|---:|---|---:\nPER(배) | 20.00 | 19.43 | 10.00 ~ 30.00 | 7"),
            std::string::npos);
  EXPECT_NE(b.find("### 중앙값(PER 20.00배) 대비 위치\n종목 | PER | 중앙값 대비 | PBR | ROE(%) | 시총(억)"), std::string::npos);
  EXPECT_NE(b.find("종목0(800000) | 10.00 | -50% 할인 | 1.10 | - | 900"), std::string::npos);
  EXPECT_NE(b.find("종목2(800002) | 19.00 | -5% 비슷"), std::string::npos);
  EXPECT_NE(b.find("종목4(800004) | 21.00 | +5% 비슷"), std::string::npos);     // exactly +5 % is similar
  EXPECT_NE(b.find("종목5(800005) | 21.02 | +5% 할증"), std::string::npos);     // 5.1 % is a premium
  EXPECT_NE(b.find("종목3(800003) | 20.00 | +0% 비슷 | - | -"), std::string::npos);   // PBR not a number
  EXPECT_EQ(b.find("종목7(800007) |"), std::string::npos);                       // loss-maker not in the table
  json m = meta_of(r);
  // The members' statement pages are not served here: the figures stand, and the
  // failed lookups behind them keep the reply from claiming it is complete.
  EXPECT_EQ(m["data_completeness"], "partial") << m.dump();
  EXPECT_TRUE(has_warning(m, "조회 실패: finance.naver.com/item/main.naver(HTTPStatusError 404, 10건), "
                             "m.stock.naver.com/api/stock/*/finance/annual(HTTPStatusError 404, 10건)"))
      << m.dump();
  EXPECT_TRUE(m["coverage"].is_null());
  const json& vs = m["valuation_sample"];
  EXPECT_EQ(vs["scope"], "full");
  EXPECT_EQ(vs["valid"]["per"], 7);
  EXPECT_EQ(vs["excluded"]["loss_per"], 2);
  EXPECT_EQ(vs["excluded"]["missing_per"], 1);
}

TEST(SectorValuation, UnreadStocksAreNamedAndThePartIsPartial) {
  Env env;
  env.sector(seven_plus_deficits(), 10);
  env.srv.route("/stock.naver.com/api/domestic/detail/" + code_of(6) + "/detail", FixtureResponse{404, "gone"});
  std::string r = server::call_tool("get_sector_valuation", {{"sector_name", "반도체와반도체장비"}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("  ⚠️ 조회 실패 1개: 800006 — 집계에서 빠졌습니다."), std::string::npos);
  // A member missing is a hole in the sample: never "the whole sector".
  EXPECT_EQ(b.find("표본 편향 없음"), std::string::npos) << b;
  EXPECT_EQ(b.find("업종 전체 9개"), std::string::npos) << b;
  EXPECT_NE(b.find("- 집계 대상: 9개 / 업종 전체 **10개** → ⚠️ 1개 조회 실패로 빠진 **표본 중앙값**입니다."), std::string::npos) << b;
  EXPECT_NE(b.find("표본 중앙값(sample_median)"), std::string::npos) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "800006"));
  EXPECT_EQ(m["valuation_sample"]["aggregated"], 9);
}

TEST(SectorValuation, FocusStockStaysInTheTableWhenTopNCuts) {
  Env env;
  env.sector(seven_plus_deficits(), 10);
  env.focus_page();
  std::string r = server::call_tool("get_sector_valuation", {{"code", "800005"}, {"top_n", 1}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("- 기준 종목: **종목5(800005)** → 업종 `반도체와반도체장비`"), std::string::npos);
  // The site PER comes from the stock's detail JSON now (the old page's 21.00 only fills a gap).
  EXPECT_NE(b.find("종목5 PER | 21.02 | 네이버 표기값"), std::string::npos) << b;
  EXPECT_NE(b.find("동일업종 PER | 113.39 | 업종 **집계**"), std::string::npos);
  // top_n 1 shows 5 rows; the focus (40억, outside the top five by cap) is kept, in bold.
  EXPECT_NE(b.find("대비 위치 — 시총 상위 5개 표시 (2개 생략)"), std::string::npos);
  EXPECT_NE(b.find("**종목5(800005)** | 21.02 | +5% 할증"), std::string::npos);
  EXPECT_EQ(b.find("종목6(800006) |"), std::string::npos);   // 300억, the fifth by cap, gave way
  EXPECT_NE(b.find("종목3(800003) |"), std::string::npos);
}

TEST(SectorValuation, LargeSectorIsASampleMedianAndAllLossesHaveNoTable) {
  Env env;
  std::vector<Stock> many;
  for (int i = 0; i < 350; ++i) many.push_back({10.0 + i, 1.0, 100.0});
  env.sector(many, 350);
  env.focus_page();
  std::string r = server::call_tool("get_sector_valuation", {{"code", code_of(320)}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("- 집계 대상: 300개 / 업종 전체 **350개** → ⚠️ 집계 상한(300)을 넘어 **표본 중앙값(sample_median)**입니다."),
            std::string::npos);
  EXPECT_NE(b.find("지표 | 표본 중앙값(sample_median) |"), std::string::npos);
  // The focus: once for its sector, once aggregated.
  EXPECT_EQ(env.srv.hits("/stock.naver.com/api/domestic/detail/" + code_of(320) + "/detail"), 2);
  EXPECT_EQ(env.srv.hits("/stock.naver.com/api/domestic/detail/" + code_of(299) + "/detail"), 0);   // the 300th gave way
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "server_cap");
  EXPECT_EQ(m["valuation_sample"]["scope"], "sample");
  EXPECT_EQ(m["valuation_sample"]["median_name"], "sample_median");

  naver::detail::clear_list_caches();
  std::vector<Stock> losses = {{-1, 1, 1}, {-2, 1, 1}, {0, 1, 1}};
  env.sector(losses, 3);
  std::string lr = body_of(server::call_tool("get_sector_valuation", {{"sector_name", "반도체"}}));
  EXPECT_NE(lr.find("PER(배) | - | - | - | 0"), std::string::npos);
  EXPECT_EQ(lr.find("대비 위치"), std::string::npos);
}

TEST(SectorValuation, PlainReplies) {
  Env env;
  EXPECT_EQ(server::call_tool("get_sector_valuation", json::object()), "업종·테마 이름이나 종목코드(code) 중 하나는 필요합니다.");
  EXPECT_EQ(server::call_tool("get_sector_valuation", {{"sector_name", "없는업종"}}),
            "'없는업종'에 해당하는 종목을 찾지 못했습니다. list_sectors / list_themes 로 이름을 확인하세요.");
  env.srv.route("/finance.naver.com/item/main.naver", FixtureResponse{200, "<html><body>ETF</body></html>", kHtml});
  std::string r = server::call_tool("get_sector_valuation", {{"code", " 069500 "}});
  // The detail JSON is not served here (404): the sector is unknown, not absent.
  EXPECT_TRUE(fmt::starts_with(r, "⚠️ 종목 069500의 업종 조회 실패 (")) << r;
  EXPECT_EQ(r.find("업종을 찾지 못했습니다"), std::string::npos) << r;
}

// The old main page now answers 404 (redirected site); the stock's sector comes
// from the detail JSON all the same.
TEST(SectorValuation, SectorOfACodeFromTheDetailJsonWhenTheMainPageIsGone) {
  Env env;
  env.sector(seven_plus_deficits(), 10);
  env.srv.route("/finance.naver.com/item/main.naver", FixtureResponse{404, "moved", kHtml});
  std::string r = server::call_tool("get_sector_valuation", {{"code", code_of(0)}});
  EXPECT_NE(body_of(r).find("## 반도체와반도체장비 밸류에이션 집계"), std::string::npos) << r;
}

TEST(SectorValuation, ExactFivePercentIsSimilarAndAnEmptyTableKeepsTheSitePer) {
  Env env;
  // 5.88 over a median of 5.60 is exactly +5 %, though (5.88 - 5.6) / 5.6 * 100 is 5.000000000000004.
  env.sector({{5.6, 1.0, 300}, {5.6, 1.0, 200}, {5.88, 1.0, 100}, {7.0, 1.0, 50}, {5.0, 1.0, 40}}, 5);
  // The last stock's financial table is there but empty: its site PER still counts.
  const std::string empty_fin = json{{"financeInfo", {{"trTitleList", json::array()}, {"rowList", json::array()}}}}.dump();
  env.srv.route("/m.stock.naver.com/api/stock/" + code_of(4) + "/finance/annual", reply(200, empty_fin));
  env.srv.route("/m.stock.naver.com/api/stock/" + code_of(4) + "/finance/quarter", reply(200, empty_fin));
  std::string r = server::call_tool("get_sector_valuation", {{"sector_name", "반도체와반도체장비"}, {"top_n", 80}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("종목2(800002) | 5.88 | +5% 비슷"), std::string::npos) << b;
  EXPECT_NE(b.find("종목4(800004) | 5.00 |"), std::string::npos) << b;
  EXPECT_NE(b.find("PER(배) | 5.60 |"), std::string::npos) << b;
  EXPECT_EQ(meta_of(r)["valuation_sample"]["valid"]["per"], 5);
}

TEST(SectorValuation, ThemeListThatFailedIsNotAMissingTheme) {
  Env env;
  std::string page1 = read_fixture("naver/lists_theme_page1.html");
  std::string empty = read_fixture("naver/lists_theme_empty.html");
  env.srv.route("/finance.naver.com/sise/theme.naver", [page1, empty](const FixtureRequest& q) {
    std::string p = q.params.count("page") ? q.params.at("page") : "1";
    if (p == "3") return reply(500, "busy", "text/plain");
    return reply(200, p == "1" ? page1 : empty, kHtml);
  });
  std::string r = server::call_tool("get_sector_valuation", {{"sector_name", "원전"}, {"kind", "theme"}});
  EXPECT_EQ(r.find("찾을 수 없습니다"), std::string::npos) << r;
  EXPECT_EQ(r.find("찾지 못했습니다"), std::string::npos) << r;
  EXPECT_NE(r.find("⚠️ '원전' 테마를 확인하지 못했습니다 (조회 실패: 테마 목록 1/7쪽 조회 실패: 3쪽(HTTPStatusError 500))"),
            std::string::npos)
      << r;
  EXPECT_EQ(meta_of(r)["data_completeness"], "none");
}
