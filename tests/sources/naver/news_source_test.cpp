// News sources of the Korean web source against a loopback server: the real
// captured bodies, our own edge-case fixtures, and transport faults.
#include <gtest/gtest.h>

#include "core/errors.hpp"
#include "market_time/clock.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const char* kDetailPath = "/stock.naver.com/api/domestic/detail/news";
const char* kSearchPath = "/stock.naver.com/api/domestic/news/search";

struct NewsSourceTest : ::testing::Test {
  NaverEnv env;
  FixtureServer& srv = env.srv;
};

}  // namespace

TEST_F(NewsSourceTest, TaggedNewsSampleKeepsOneArticlePerCluster) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_domestic_detail_news.json");
  srv.route(kDetailPath, reply(200, body));
  json rows = naver::get_stock_news("005930", 10);
  // Three articles in two clusters: the second copy of the AMD story is Naver's own near-duplicate.
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["title"], "리사 수 AMD 방한, 삼성·네이버와 회동");
  EXPECT_EQ(rows[0]["url"], "https://n.news.naver.com/article/011/0004598294");
  EXPECT_EQ(rows[0]["time_basis"], "article");
  EXPECT_TRUE(rows[0]["snippet"].get<std::string>().find("AMD") != std::string::npos);
  EXPECT_EQ(rows[1]["datetime"], "2026-03-11 23:45");   // press and times as shown: GetNewsOverTheRealFeeds

  auto req = srv.last_request(kDetailPath);
  EXPECT_EQ(req.params["itemCode"], "005930");
  EXPECT_EQ(req.params["pageSize"], "10");
  EXPECT_EQ(req.headers["origin"], "https://stock.naver.com");
}

TEST_F(NewsSourceTest, SearchSampleAndQueryEncoding) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/stock_api_domestic_news_search.json");
  srv.route(kSearchPath, reply(200, body));
  json rows = naver::search_news("비트코인 시세", 99);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["title"], "\"유가 200달러 각오하라\"…코인시장 어디로?");
  EXPECT_EQ(rows[0]["source"], "name_search");
  EXPECT_EQ(rows[1]["url"], "https://n.news.naver.com/article/014/0005491218");
  auto req = srv.last_request(kSearchPath);
  EXPECT_EQ(req.params["query"], "비트코인 시세");   // UTF-8, percent-encoded on the wire
  EXPECT_EQ(req.params["pageSize"], "30");          // the search answers at most 30 a page
}

TEST_F(NewsSourceTest, TimesTitlesAndMissingFields) {
  env.freeze("2026-12-06 15:00");
  srv.route_file(kSearchPath, "naver/news_search_edge.json");
  json rows = naver::search_news("테스트전자", 10);
  ASSERT_EQ(rows.size(), 6u);
  // Highlight tags and entities are removed, white space squashed.
  EXPECT_EQ(rows[0]["title"], "테스트전자, 3분기 영업이익 \"사상 최대\"");
  EXPECT_EQ(rows[0]["snippet"], "테스트전자가 3분기 영업이익 & 매출에서 최대 실적을 냈다.");
  EXPECT_EQ(rows[0]["datetime"], "2026-12-06 14:12");
  // Only a day: said so, no invented time.
  EXPECT_EQ(rows[1]["datetime"], "2026-12-05");
  EXPECT_EQ(rows[1]["time_basis"], "date_only");
  EXPECT_EQ(rows[1]["url"], "https://example.invalid/news/2");
  EXPECT_FALSE(rows[1].contains("snippet"));
  // UTC instant shown on the Korean clock; a missing press is absent, not "0" or "".
  EXPECT_EQ(rows[2]["datetime"], "2026-12-06 10:30");
  EXPECT_FALSE(rows[2].contains("press"));
  // "3시간 전" against the fetch time: approximate, with the display kept.
  EXPECT_EQ(rows[3]["datetime"], "2026-12-06 12:00");
  EXPECT_EQ(rows[3]["time_basis"], "relative_display");
  EXPECT_EQ(rows[3]["displayed_time"], "3시간 전");
  // Empty or unreadable times stay unknown.
  for (int i : {4, 5}) {
    EXPECT_EQ(rows[i]["datetime"], "") << i;
    EXPECT_FALSE(rows[i].contains("time_basis")) << i;
  }
}

// A JSON title is text with entities, not a page: only real markup goes, and a
// bare "<" (목표가 < 현재가) stays with everything after it.
TEST_F(NewsSourceTest, BareLessThanInATitleIsText) {
  json body = {{"clusters",
                {{{"items",
                   {{{"officeId", "001"},
                     {"articleId", "1"},
                     {"title", "삼성전자 목표가 < 현재가, &lt;b&gt;역전&lt;/b&gt; <b>강세</b> &amp; 외인"},
                     {"datetime", "202612061412"}}}}}}}};
  srv.route(kDetailPath, reply(200, body.dump()));
  json rows = naver::get_stock_news("005930", 10);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["title"], "삼성전자 목표가 < 현재가, <b>역전</b> 강세 & 외인");
}

TEST_F(NewsSourceTest, UnreadableAnswersRaiseParseError) {
  srv.route_file(kSearchPath, "naver/news_search_failed.json");
  EXPECT_THROW(naver::search_news("테스트", 10), NaverParseError);

  srv.route_file(kDetailPath, "naver/news_detail_no_clusters.json");
  EXPECT_THROW(naver::get_stock_news("005930", 10), NaverParseError);

  srv.route(kDetailPath, reply(200, "<html><body>점검 중</body></html>", "text/html"));
  EXPECT_THROW(naver::get_stock_news("005930", 10), NaverParseError);

  // EUC-KR bytes ("삼성") where the API promises UTF-8: not a page we understood,
  // never a list with garbled titles.
  srv.route(kDetailPath,
            reply(200, "{\"clusters\":[{\"items\":[{\"title\":\"\xBB\xEF\xBC\xBA\"}]}]}"));
  EXPECT_THROW(naver::get_stock_news("005930", 10), NaverParseError);
}

TEST_F(NewsSourceTest, EmptyListsAreNotFailures) {
  srv.route(kDetailPath, reply(200, "{\"total\":\"0\",\"clusters\":[]}"));
  EXPECT_TRUE(naver::get_stock_news("005930", 10).empty());
  srv.route(kSearchPath,
            reply(200, "{\"status\":{\"isSuccess\":true},\"total\":\"0\",\"items\":[]}"));
  EXPECT_TRUE(naver::search_news("없는회사", 10).empty());
  // A blank query is not sent at all.
  EXPECT_TRUE(naver::search_news("  ", 10).empty());
  EXPECT_EQ(srv.hits(kSearchPath), 1);
}

TEST_F(NewsSourceTest, SlowAnswerIsATimeout) {
  srv.route(kSearchPath, reply(200, "{\"items\":[]}"));
  // The HTTP timeout cap is read once per process (the first test that fetches sets it,
  // at most 3 s in this suite): the answer comes later than any of them.
  srv.delay(kSearchPath, 4000);
  EXPECT_THROW(naver::search_news("테스트", 10), TimeoutException);
}
