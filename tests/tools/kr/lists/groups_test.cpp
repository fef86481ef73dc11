#include <gtest/gtest.h>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/naver/lists_common.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kThemeList = "/finance.naver.com/sise/theme.naver";
const std::string kSectorList = "/finance.naver.com/sise/sise_group.naver";
const std::string kDetail = "/finance.naver.com/sise/sise_group_detail.naver";
const char* kHtml = "text/html; charset=euc-kr";

// n members delivered, `declared` announced by the group summary.
std::string detail_page(int n, int declared) {
  std::string h = "<html><body><table class=\"type_1\"><tr><td>그룹</td><td class=\"number\">+1.00%</td>"
                  "<td class=\"number\">" + std::to_string(declared) +
                  "</td><td class=\"number\">1</td><td class=\"number\">0</td><td class=\"number\">0</td></tr></table>"
                  "<table class=\"type_5\"><thead><tr><th colspan=\"2\">종목명</th><th>현재가</th><th>전일비</th>"
                  "<th>등락률</th><th>거래량</th></tr></thead><tbody>";
  for (int i = 0; i < n; ++i) {
    char rate[16];
    snprintf(rate, sizeof rate, "%+.2f%%", 20.0 - i * 0.01);
    h += "<tr><td class=\"name\"><div class=\"name_area\"><a href=\"/item/main.naver?code=" + code6(200000 + i) +
         "\">종목" + std::to_string(i) + "</a></div></td><td><div><p class=\"info_txt\">사유" + std::to_string(i) +
         "</p></div></td><td class=\"number\">12,500</td><td class=\"number\">10</td><td class=\"number\">" + rate +
         "</td><td class=\"number\">1,234</td></tr>";
  }
  return to_cp949(h + "</tbody></table></body></html>");
}

// A Wednesday well after the after-market start; 10:00 is inside the regular session.
struct Env : NaverEnv {
  explicit Env(const char* kst = "2026-09-16 10:00") : NaverEnv(kst) {
    std::string page1 = read_fixture("naver/lists_theme_page1.html");
    std::string empty = read_fixture("naver/lists_theme_empty.html");
    srv.route(kThemeList, [page1, empty](const FixtureRequest& r) {
      auto it = r.params.find("page");
      return reply(200, it != r.params.end() && it->second == "1" ? page1 : empty, kHtml);
    });
    srv.route_file(kSectorList, "naver/lists_sector_list.html", kHtml);
  }
  void members(int n, int declared) { srv.route(kDetail, reply(200, detail_page(n, declared), kHtml)); }
};

std::string sector(const std::string& name, int count, int page) {
  return server::call_tool("get_sector_stocks", {{"sector_name", name}, {"count", count}, {"page", page}});
}

}  // namespace

TEST(GroupStocks, PagesSayTheWholeCountTheNextCallAndTheLastPage) {
  Env env;
  env.members(175, 175);
  std::string r = sector("반도체와반도체장비", 30, 1);
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find('\n')),
            "업종: 반도체와반도체장비 — 전체 175개 중 1~30번째 (등락률 내림차순, 1/6쪽)");
  EXPECT_NE(b.find("  다음 쪽: `page=2` (count=30 그대로, 전체 6쪽). 한 번에 모두 받으려면 `count=175`."),
            std::string::npos);
  EXPECT_NE(b.find("코드 | 종목명 | 현재가 | 등락률 | 거래량\n---|---|---|---|---\n200000 | 종목0 | 12,500 | +20.00% | 1,234"),
            std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "pagination");
  EXPECT_EQ(m["coverage"]["next_page"], 2);
  EXPECT_EQ(m["coverage"]["effective"]["to"], 30);

  std::string last = body_of(sector("반도체와반도체장비", 30, 6));
  EXPECT_NE(last.find("전체 175개 중 151~175번째 (등락률 내림차순, 6/6쪽)"), std::string::npos);
  EXPECT_NE(last.find("※ 마지막 쪽입니다 (전체 175개)."), std::string::npos);
  EXPECT_EQ(sector("반도체와반도체장비", 30, 7),
            "업종: 반도체와반도체장비 — 전체 175개라 page=7(count=30)에는 종목이 없습니다. 마지막 쪽은 page=6 입니다.");

  // The whole group in one page: no footer, complete.
  std::string whole = sector("반도체와반도체장비", 175, 1);
  b = body_of(whole);
  EXPECT_EQ(b.substr(0, b.find('\n')), "업종: 반도체와반도체장비 — 전체 175개 종목 (등락률 내림차순)");
  EXPECT_EQ(b.find("※"), std::string::npos);
  EXPECT_EQ(meta_of(whole)["data_completeness"], "complete");
  EXPECT_TRUE(meta_of(whole)["coverage"].is_null());
}

TEST(GroupStocks, CountCapsAndLargeGroups) {
  Env env;
  // Pages of 600 and 1,500 members take the fixture a while on a loaded machine.
  ScopedEnv slow("TESSARO_HTTP_TIMEOUT_S", "10");
  env.members(600, 600);
  std::string r = sector("건설", 900, 1);
  std::string b = body_of(r);
  EXPECT_NE(b.find("※ count 는 한 번에 최대 500입니다 (요청 900 → 500)."), std::string::npos) << r.substr(0, 600);
  EXPECT_NE(b.find("count 는 최대 500이라 쪽을 나눠 받으세요."), std::string::npos);
  EXPECT_EQ(meta_of(r)["coverage"]["reason"], "server_cap");
  EXPECT_EQ(meta_of(r)["coverage"]["requested"]["count"], 900);
  // A group above 500 members: the hint says to page.
  env.members(1500, 1500);
  naver::detail::clear_list_caches();
  std::string big = body_of(sector("대형업종", 30, 1));
  EXPECT_NE(big.find("count 는 최대 500이라 쪽을 나눠 받으세요."), std::string::npos);
  EXPECT_NE(big.find("전체 1,500개 중 1~30번째"), std::string::npos);
}

TEST(GroupStocks, ShortDeliveryIsStatedNeverHidden) {
  Env env;
  env.members(170, 175);
  std::string r = sector("반도체와반도체장비", 30, 6);
  std::string b = body_of(r);
  EXPECT_NE(b.find("⚠️ 네이버가 밝힌 업종 종목 수는 175개인데 170개만 받았습니다."), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "unknown");
  EXPECT_EQ(m["coverage"]["fetched_count"], 170);
  EXPECT_TRUE(m["coverage"]["next_page"].is_null());
}

TEST(GroupStocks, UnknownNamesAnswerInPlainText) {
  Env env;
  EXPECT_EQ(sector("없는업종", 30, 1),
            "'없는업종' 업종을 찾을 수 없습니다. list_sectors로 전체 업종 목록을 먼저 확인해 보세요.");
  EXPECT_EQ(server::call_tool("get_theme_stocks", {{"theme_name", "없는테마"}}),
            "'없는테마' 테마를 찾을 수 없습니다. list_themes로 전체 테마 목록을 먼저 확인해 보세요.");
  EXPECT_EQ(env.srv.hits(kDetail), 0);   // an unknown name asks for no group page
}

TEST(GroupStocks, ThemeReasonsAndAfterCloseNote) {
  Env env("2026-09-16 21:00");   // 21:00 KST: after the after-market, values may include it
  env.members(3, 3);
  std::string r = server::call_tool("get_theme_stocks", {{"theme_name", "도시가스"}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("테마: 도시가스 — 전체 3개 종목 (등락률 내림차순)"), std::string::npos);
  EXPECT_NE(b.find("코드 | 종목명 | 현재가 | 등락률 | 거래량 | 편입사유\n---|---|---|---|---|---\n200000 | 종목0 | 12,500 | "
                   "+20.00% | 1,234 | 사유0"),
            std::string::npos);
  EXPECT_NE(b.find("※ 정규장 마감 뒤 조회입니다. 네이버 테마 목록은 시세가 어느 세션 체결인지 표시하지 않습니다."),
            std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["price_session"], "unknown");
  EXPECT_NE(m["warnings"].dump().find("테마 목록 시세의 세션이 표시되지 않아 애프터마켓 반영 여부를 확인할 수 없습니다."),
            std::string::npos);
  // During the session there is no such note.
  env.freeze("2026-09-16 10:00");
  std::string day = server::call_tool("get_theme_stocks", {{"theme_name", "도시가스"}, {"include_reason", false}});
  EXPECT_EQ(body_of(day).find("정규장 마감 뒤"), std::string::npos);
  EXPECT_EQ(body_of(day).find("편입사유"), std::string::npos);
}

TEST(GroupLists, ThemeAndSectorListReplies) {
  Env env;
  std::string t = server::call_tool("list_themes", {{"page", 9}});
  EXPECT_EQ(t, "페이지 7의 테마 목록을 가져올 수 없습니다.");
  std::string t1 = server::call_tool("list_themes", {{"page", 1}});
  EXPECT_NE(t1.find("테마 목록 (page 1, 3개):\n\n테마명 | 전일대비 | 종목수 | 상승/보합/하락\n---|---|---:|---\n"
                    "도시가스 | +5.48% | 9 | 4/0/5"),
            std::string::npos);
  EXPECT_EQ(meta_of(t1), json(nullptr));
  std::string s = server::call_tool("list_sectors", json::object());
  EXPECT_NE(s.find("업종 목록 (4개):\n\n업종명 | 전일대비 | 종목수 | 상승/보합/하락\n---|---|---|---\n"
                   "반도체와반도체장비 | +1.85% | 175 | 120/10/45"),
            std::string::npos);
}

TEST(GroupStocks, ThemeListPagesThatFailAreNotAMissingTheme) {
  Env env;
  std::string page1 = read_fixture("naver/lists_theme_page1.html");
  std::string empty = read_fixture("naver/lists_theme_empty.html");
  env.srv.route(kThemeList, [page1, empty](const FixtureRequest& r) {
    std::string p = r.params.count("page") ? r.params.at("page") : "1";
    if (p == "2" || p == "5") return reply(503, "maintenance", "text/html");
    return reply(200, p == "1" ? page1 : empty, kHtml);
  });
  std::string r = server::call_tool("get_theme_stocks", {{"theme_name", "원전"}});
  EXPECT_EQ(r.find("'원전' 테마를 찾을 수 없습니다"), std::string::npos) << r;
  EXPECT_EQ(body_of(r),
            "⚠️ '원전' 테마를 확인하지 못했습니다 (조회 실패: 테마 목록 2/7쪽 조회 실패: 2쪽(HTTPStatusError 503), "
            "5쪽(HTTPStatusError 503)). 테마가 없는 것이 아니라 목록을 읽지 못한 것이니 잠시 후 다시 시도해 주세요.");
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_TRUE(has_warning(m, "테마 목록 조회 실패"));
  // A theme found on a page that was read is still served.
  env.members(3, 3);
  std::string found = server::call_tool("get_theme_stocks", {{"theme_name", "도시가스"}});
  EXPECT_EQ(found.find("확인하지 못했습니다"), std::string::npos);
}
