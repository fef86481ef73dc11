#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kThemeList = "/finance.naver.com/sise/theme.naver";
const std::string kSectorList = "/finance.naver.com/sise/sise_group.naver";
const std::string kDetail = "/finance.naver.com/sise/sise_group_detail.naver";
const char* kHtml = "text/html; charset=euc-kr";

struct Env : NaverEnv {
  Env() {
    // Page 1 of the theme list; pages 2..7 hold only the empty table.
    std::string page1 = read_fixture("naver/lists_theme_page1.html");
    std::string empty = read_fixture("naver/lists_theme_empty.html");
    srv.route(kThemeList, [page1, empty](const FixtureRequest& r) {
      auto it = r.params.find("page");
      return FixtureResponse{200, it != r.params.end() && it->second == "1" ? page1 : empty, kHtml};
    });
    srv.route_file(kSectorList, "naver/lists_sector_list.html", kHtml);
  }
};

}  // namespace

TEST(NaverLists, SectorListReadsDeclaredTotalsWithSeparators) {
  Env env;
  json rows = naver::list_sectors();
  ASSERT_EQ(rows.size(), 4u);   // the first row as shown: GroupLists
  EXPECT_EQ(rows[3]["total_count"], 1500);
  EXPECT_EQ(rows[1]["change_rate"], "-0.41%");
}

TEST(NaverLists, PageWithoutTableIsAParseFailureNotAnEmptyList) {
  Env env;
  env.srv.route(kSectorList, FixtureResponse{200, to_cp949("<html><body>점검 중</body></html>"), kHtml});
  EXPECT_THROW(naver::list_sectors(), NaverParseError);
}

TEST(NaverLists, ThemeDetailFromRealSample) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/finance_sise_group_detail_theme_176.html");
  Env env;
  env.srv.route(kDetail, FixtureResponse{200, to_cp949(body), kHtml});
  json r = naver::get_theme_stocks("도시 가스", 30, true, 1);   // blanks in the query are ignored
  EXPECT_EQ(r["theme_id"], "176");
  EXPECT_EQ(env.srv.last_request(kDetail).params.at("type"), "theme");
  EXPECT_EQ(r["theme_name"], "도시가스");
  ASSERT_EQ(r["stocks"].size(), 3u);
  const json& top = r["stocks"][0];
  EXPECT_EQ(top["code"], "117580");
  EXPECT_EQ(top["price"], 12500);
  EXPECT_EQ(top["change_rate"], "+29.94%");
  EXPECT_EQ(top["volume"], 26671194);
  EXPECT_NE(top["reason"].get<std::string>().find("대구지역"), std::string::npos);
  // KOSDAQ members carry the '*' mark.
  for (const auto& s : r["stocks"])
    if (s["code"] == "053050") EXPECT_EQ(s["market"], "KOSDAQ");
  // The page declares 9 members but the saved page holds 3: not complete.
  EXPECT_EQ(r["total_count"], 9);
  EXPECT_EQ(r["fetched_count"], 3);
  EXPECT_FALSE(r["complete"].get<bool>());
  // Without reasons the rows carry no reason key.
  json nr = naver::get_theme_stocks("도시가스", 30, false, 1);
  EXPECT_FALSE(nr["stocks"][0].contains("reason"));
}

namespace {
// A sector page of n members (declared `declared`), with spacer rows and one
// placeholder row without a code, given in an order that is not by change.
std::string sector_detail(int n, int declared) {
  std::string h =
      "<html><body><table class=\"type_1\"><tr><td>반도체와반도체장비</td><td class=\"number\"><span>+1.85%</span></td>"
      "<td class=\"number\">" +
      std::to_string(declared) +
      "</td><td class=\"number\">1</td><td class=\"number\">0</td><td class=\"number\">0</td></tr></table>"
      "<table class=\"type_5\"><thead><tr><th colspan=\"2\">종목명</th><th>현재가</th><th>전일비</th><th>등락률</th>"
      "<th>매수호가</th><th>매도호가</th><th>거래량</th><th>거래대금</th><th>전일거래량</th><th>토론실</th></tr>"
      "<tr><td colspan=\"12\" class=\"blank_09\"></td></tr></thead><tbody>";
  for (int i = 0; i < n; ++i) {
    if (i % 10 == 0) h += "<tr><td colspan=\"12\" class=\"blank_08\"></td></tr>";
    double rate = (i % 2 ? 1 : -1) * (i * 0.1);
    std::string code = code6(100000 + i);
    char r[16];
    snprintf(r, sizeof r, "%+.2f%%", rate);
    h += std::string("<tr><td class=\"name\"><div class=\"name_area\"><a href=\"/item/main.naver?code=") + code +
         "\">종목" + std::to_string(i) + "</a> <span class=\"dot\"></span></div></td>"
         "<td class=\"number\">1,000</td><td class=\"number\"><span>10</span></td><td class=\"number\"><span>" + r +
         "</span></td><td class=\"number\">990</td><td class=\"number\">1,010</td><td class=\"number\">" +
         std::to_string(1000 + i) + "</td><td class=\"number\">5</td><td class=\"number\">7</td>"
         "<td class=\"center\"></td></tr>";
  }
  h += "<tr><td class=\"name\"><div class=\"name_area\"></div></td><td class=\"number\"></td></tr>";
  h += "</tbody></table></body></html>";
  return to_cp949(h);
}
}  // namespace

TEST(NaverLists, MembersSortedByChangeAndPagedFromOneCachedFetch) {
  Env env;
  env.srv.route(kDetail, FixtureResponse{200, sector_detail(175, 175), kHtml});
  json p1 = naver::get_sector_stocks("반도체", 30, 1);
  EXPECT_EQ(p1["sector_id"], "278");
  EXPECT_EQ(p1["total_count"], 175);
  EXPECT_EQ(p1["fetched_count"], 175);   // the placeholder row is not a member
  EXPECT_TRUE(p1["complete"].get<bool>());
  ASSERT_EQ(p1["stocks"].size(), 30u);
  EXPECT_EQ(p1["start_index"], 1);
  EXPECT_EQ(p1["stocks"][0]["change_rate"], "+17.30%");
  json p6 = naver::get_sector_stocks("반도체", 30, 6);   // page bounds: GroupStocks
  EXPECT_EQ(p6["stocks"].back()["change_rate"], "-17.40%");   // the day's worst is on the last page
  // Paging reads the cached list: the group page and the list were fetched once.
  EXPECT_EQ(env.srv.hits(kDetail), 1);
  EXPECT_EQ(env.srv.hits(kSectorList), 1);
}

TEST(NaverLists, ListNumberHelpersKeepMissingApartFromZero) {
  using naver::detail::jnum;
  EXPECT_FALSE(jnum(json("-")).has_value());
  EXPECT_FALSE(jnum(json("")).has_value());
  EXPECT_FALSE(jnum(json(nullptr)).has_value());
  EXPECT_EQ(*jnum(json("+1,000")), 1000);
  EXPECT_EQ(*jnum(json(0)), 0);
  EXPECT_EQ(naver::detail::rate_text(0.0), "0.00%");
  EXPECT_EQ(naver::detail::rate_text(std::nullopt), "");
  EXPECT_EQ(naver::detail::code_from_href("/item/main.naver?code=0088M0&amp;x=1"), "0088M0");
}
