#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "sources/watchlist.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kAuto = "/stock.naver.com/api/autocomplete/search/autoComplete";

void answer(NaverEnv& env, const json& items) {
  env.srv.route(kAuto, reply(200, json{{"isSuccess", true}, {"result", {{"items", items}}}}.dump()));
}

json item(const std::string& code, const std::string& name, const std::string& market = "KOSDAQ") {
  return {{"code", code}, {"name", name}, {"typeCode", market}, {"nationCode", "KOR"}, {"category", "stock"}};
}

std::string call(const char* tool, const json& a) { return server::call_tool(tool, a); }
}  // namespace

TEST(SearchTool, ListsResultsWithoutMetaAndSaysWhenNothingMatched) {
  NaverEnv env;
  answer(env, json::array({item("005930", "삼성전자", "KOSPI"), item("950210", "프레스티지바이오파마", "")}));
  std::string r = call("search", {{"query", "삼성"}});
  EXPECT_EQ(r, "검색 결과 (2건):\n  - 삼성전자 (005930) [KOSPI]\n  - 프레스티지바이오파마 (950210)");
  EXPECT_EQ(call("search_stock", {{"query", "삼성"}}), r);
  answer(env, json::array());
  r = call("search", {{"query", "없는회사"}});
  EXPECT_EQ(r, "'없는회사'에 대한 검색 결과가 없습니다. 6자리 코드를 직접 알려 주세요.");
  EXPECT_TRUE(meta_of(r).is_null());
}

TEST(WatchlistTool, AddByCodeWithSpacesInAction) {
  NaverEnv env;
  answer(env, json::array({item("005930", "삼성전자", "KOSPI"), item("005935", "삼성전자우", "KOSPI")}));
  std::string r = call("watchlist", {{"action", " ADD "}, {"query", "005930"}});
  EXPECT_TRUE(fmt::starts_with(body_of(r), "✅ 관심종목에 추가했습니다: 삼성전자 (005930)\n\n## ⭐ 내 관심종목 (1개)\n")) << r;
  EXPECT_TRUE(has_line(r, "| 1 | 삼성전자 | 005930 |"));
  EXPECT_TRUE(has_line(r, "codes: 005930"));
  EXPECT_EQ(meta_of(r)["data_completeness"], "complete");
  // Adding again is not an error: the store's reason, then the list.
  r = call("watchlist", {{"action", "add"}, {"query", "005930"}});
  EXPECT_TRUE(fmt::starts_with(body_of(r), "ℹ️ 삼성전자 (005930) — ")) << r;
  EXPECT_NE(r.find("## ⭐ 내 관심종목 (1개)"), std::string::npos);
  // No arguments lists.
  EXPECT_TRUE(fmt::starts_with(body_of(call("watchlist", json::object())), "## ⭐ 내 관심종목 (1개)"));
}

TEST(WatchlistTool, LowerCaseCodeAndAmbiguousNames) {
  NaverEnv env;
  answer(env, json::array({item("0088M0", "에이치엠씨제1호스팩"), item("0088N0", "에이치엠씨제2호스팩")}));
  std::string r = call("watchlist", {{"action", "add"}, {"query", "0088m0"}});
  EXPECT_TRUE(fmt::starts_with(r, "✅ 관심종목에 추가했습니다: 에이치엠씨제1호스팩 (0088M0)")) << r;
  json six = json::array();
  for (int i = 1; i <= 6; ++i) six.push_back(item("00000" + std::to_string(i), "테스트" + std::to_string(i)));
  answer(env, six);
  r = call("watchlist", {{"action", "add"}, {"query", "테스트"}});
  EXPECT_EQ(r, "'테스트'에 해당하는 종목이 여러 개입니다. 어느 것인가요? — 테스트1(000001), 테스트2(000002), "
               "테스트3(000003), 테스트4(000004), 테스트5(000005)");
  answer(env, json::array());
  EXPECT_EQ(call("watchlist", {{"action", "add"}, {"query", "없음"}}),
            "'없음' 종목을 찾을 수 없습니다. 6자리 코드로 다시 시도해 주세요.");
}

TEST(WatchlistTool, RemoveClearAndInputErrors) {
  NaverEnv env;
  wl::add("039840", "디오");
  std::string r = call("watchlist", {{"action", "remove"}, {"query", "디오"}});
  EXPECT_EQ(body_of(r),
            "🗑️ 관심종목에서 뺐습니다: 디오 (039840)\n\n관심종목이 비어 있습니다.\n"
            "예: \"디오를 관심종목에 넣어줘\" 또는 watchlist(action='add', query='디오')");
  EXPECT_EQ(meta_of(r)["data_completeness"], "none");
  EXPECT_TRUE(fmt::starts_with(call("watchlist", {{"action", "remove"}, {"query", "디오"}}), "'디오'는 관심종목에 없습니다.\n"));
  r = call("watchlist", {{"action", "clear"}});
  EXPECT_TRUE(fmt::starts_with(r, "🗑️ 관심종목 0개를 모두 비웠습니다.\n\n관심종목이 비어 있습니다.")) << r;
  EXPECT_EQ(call("watchlist", {{"action", "sort"}}), "⚠️ action은 list/add/remove/clear 중 하나여야 합니다 (받음: 'sort').");
  EXPECT_EQ(call("watchlist", {{"action", "add"}, {"query", "  "}}),
            "⚠️ 추가할 종목명이나 코드를 알려 주세요. 예: watchlist(action='add', query='디오')");
  EXPECT_EQ(call("watchlist", {{"action", "remove"}}), "⚠️ 삭제할 종목명이나 코드를 알려 주세요.");
  // An empty list with no message starts with the empty-list sentence (trimmed).
  EXPECT_TRUE(fmt::starts_with(call("watchlist", {{"action", "list"}}), "관심종목이 비어 있습니다.\n"));
}
