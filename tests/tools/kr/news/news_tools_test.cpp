// News tools: collection, de-duplication, rendering, the partial-failure
// wording and the meta, with the data sources replaced by scripted ones.
#include <gtest/gtest.h>

#include <atomic>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "support/naver_env.hpp"
#include "tools/kr/news/move_context.hpp"
#include "tools/kr/news/news_collect.hpp"

using namespace tessaro;
using namespace tessaro::tools::news;
using namespace tessaro::testing;

namespace {

json article(const std::string& title, const std::string& dt, const std::string& source,
             const std::string& url = "", const std::string& basis = "article") {
  json a = {{"title", title}, {"url", url}, {"press", "연합뉴스"}, {"datetime", dt}, {"source", source}};
  if (!basis.empty()) a["time_basis"] = basis;
  return a;
}

// Scripted sources: every operation fails unless a test sets it.
struct NewsToolsTest : ::testing::Test {
  NaverEnv env{"2026-12-04 17:10"};
  KrSources s;
  std::atomic<int> stock_news_page{0};
  void SetUp() override {
    auto fail = [](auto&&...) -> json { throw ConnectError("unreachable"); };
    s.current_price = fail;
    s.ohlcv = fail;
    s.disclosures = fail;
    s.reports = fail;
    s.stock_news = fail;
    s.search_news = fail;
  }
  void TearDown() override { set_sources_for_tests(std::nullopt); }
  void install() { set_sources_for_tests(s); }
  std::string call(const std::string& tool, const json& args) { return server::call_tool(tool, args); }
};

}  // namespace

TEST_F(NewsToolsTest, CollectMergesCopiesAcrossSources) {
  s.stock_news = [](const std::string& code, int) {   // how many are asked: GetNewsArgumentRules
    EXPECT_EQ(code, "005930");
    return json::array({
        article("삼성전자, HBM4 양산 돌입", "2026-12-04 09:10", "stock_tag", "https://n.news.naver.com/article/1/1"),
        article("", "2026-12-04 09:00", "stock_tag"),   // no title: dropped
        article("삼성전자 3분기 실적 발표 앞두고 외국인 순매수 이어가는 중", "2026-12-03 15:00", "stock_tag",
                "https://n.news.naver.com/article/1/2"),
    });
  };
  s.search_news = [](const std::string& q, int n) {
    EXPECT_EQ(n, 10);   // the search is asked for at least 10 too
    EXPECT_EQ(q, "삼성전자");
    return json::array({
        // Same story, spacing changed: the tagged copy wins.
        article("삼성전자,  HBM4 양산돌입", "2026-12-04 09:12", "name_search", "https://other/1"),
        // Same first 24 non-space characters.
        article("삼성전자 3분기 실적 발표 앞두고 외국인 순매수 이어가는 흐름…기관은 매도", "2026-12-03 16:00",
                "name_search", "https://other/2"),
        // Only quotes and punctuation differ: another key, so another article.
        article("\"삼성전자\" HBM4 양산 돌입!", "2026-12-04 09:20", "name_search", "https://other/3"),
        // Same address under another headline: kept, the title decides.
        article("HBM4 양산, 삼성전자가 먼저", "2026-12-04 09:30", "name_search", "https://n.news.naver.com/article/1/1"),
        article("삼성전자 노조 파업 예고", "2026-12-04 11:00", "name_search", "https://other/4"),
    });
  };
  install();
  NewsCollection c = collect_kr_news("005930", std::string("삼성전자"), 10);
  ASSERT_EQ(c.items.size(), 5u);
  // Newest first.
  EXPECT_EQ(c.items[0]["title"], "삼성전자 노조 파업 예고");
  EXPECT_EQ(c.items[1]["title"], "HBM4 양산, 삼성전자가 먼저");
  EXPECT_EQ(c.items[2]["title"], "\"삼성전자\" HBM4 양산 돌입!");
  EXPECT_EQ(c.items[3]["title"], "삼성전자, HBM4 양산 돌입");
  EXPECT_EQ(c.items[3]["source"], "stock_tag");
  EXPECT_EQ(c.items[4]["source"], "stock_tag");
  // Counts are what each source returned, before merging.
  EXPECT_EQ(c.status.dump(), R"({"stock_tag":"ok:3","name_search":"ok:5"})");
}

TEST_F(NewsToolsTest, CollectKeepsHeadlinesThatDifferOnlyInPunctuation) {
  s.stock_news = [](const std::string&, int) {
    return json::array({article("에코프로비엠 3.5% 상승", "2026-12-04 09:10", "stock_tag", "https://n/1")});
  };
  s.search_news = [](const std::string&, int) {
    return json::array({article("에코프로비엠 35% 상승", "2026-12-04 10:10", "name_search", "https://n/1")});
  };
  install();
  NewsCollection c = collect_kr_news("247540", std::string("에코프로비엠"), 10);
  ASSERT_EQ(c.items.size(), 2u);
  EXPECT_EQ(c.items[0]["title"], "에코프로비엠 35% 상승");
  EXPECT_EQ(c.items[1]["title"], "에코프로비엠 3.5% 상승");
}

TEST_F(NewsToolsTest, CollectNamesFailuresAndSkips) {
  s.stock_news = [](const std::string&, int) -> json { throw ReadTimeout("slow"); };
  install();
  NewsCollection c = collect_kr_news("005930", std::nullopt, 10);
  EXPECT_TRUE(c.items.empty());
  EXPECT_EQ(c.status.dump(), R"({"stock_tag":"failed:ReadTimeout","name_search":"skipped:no_name"})");
}

TEST_F(NewsToolsTest, TimeLabelsSayHowExactTheTimeIs) {
  EXPECT_EQ(news_time_label(article("t", "2026-12-04 09:10", "stock_tag")), "2026-12-04 09:10");
  json rel = article("t", "2026-12-04 14:00", "name_search", "", "relative_display");
  rel["displayed_time"] = "3시간 전";
  EXPECT_EQ(news_time_label(rel), "약 2026-12-04 14:00 (네이버 표시 '3시간 전')");
  EXPECT_EQ(news_time_label(article("t", "2026-12-04", "x", "", "date_only")), "2026-12-04 (날짜만)");
  EXPECT_EQ(news_time_label(article("t", "", "x", "", "date_only")), "날짜 미상");
  EXPECT_EQ(news_time_label(article("t", "", "x", "", "article")), "시각 미상");
  EXPECT_EQ(news_time_label(article("t", "2026-12-04 09:10", "x", "", "")), "시각 미상");
}

TEST_F(NewsToolsTest, GetNewsKeepsThePartThatAnswered) {
  s.current_price = [](const std::string&) { return json{{"name", "삼성전자"}, {"price", 100}}; };
  s.stock_news = [](const std::string&, int) {
    return json::array({article("삼성전자 HBM4 공급", "2026-12-04 09:10", "stock_tag", "https://n/1"),
                        article("삼성전자 vs SK하이닉스", "2026-12-02 10:00", "stock_tag", "https://n/2")});
  };
  s.search_news = [](const std::string&, int) -> json { throw ReadTimeout("timed out"); };
  install();
  Split r = split(call("get_news", {{"code", "005930"}}));
  EXPECT_TRUE(fmt::starts_with(r.text, "## 종목 뉴스 — 삼성전자 (005930) (조회 2026-12-04 기준)\n\n"));
  EXPECT_TRUE(has_line(r.text, "**오늘 기사 1건** (아래 목록에 포함)"));
  EXPECT_TRUE(has_line(r.text, "- 2026-12-04 09:10 · 연합뉴스 · [삼성전자 HBM4 공급](https://n/1) · 종목태그"));
  EXPECT_TRUE(has_line(r.text, "⚠️ 출처 '이름검색' 조회 실패(ReadTimeout) — 이 출처 기사는 빠져 있습니다. 없음이 아니라 모름입니다."));
  EXPECT_TRUE(fmt::ends_with(r.text, std::string(NEWS_FOOT) + "\n" + NEWS_STAGE_FOOT));
  ASSERT_TRUE(r.meta.is_object());
  EXPECT_EQ(r.meta["data_completeness"], "partial");
  EXPECT_EQ(r.meta["news_sources"].dump(), R"({"stock_tag":"ok:2","name_search":"failed:ReadTimeout"})");
  EXPECT_EQ(r.meta["count"], 2);
  ASSERT_FALSE(r.meta["warnings"].empty());
  EXPECT_EQ(r.meta["warnings"].back(), "뉴스 출처 조회 실패: name_search");
  // The meta carries what the reply is about, not a relevance tally of its own.
  EXPECT_FALSE(r.meta.contains("relevance"));
}

TEST_F(NewsToolsTest, GetNewsTellsNoArticlesFromCouldNotLook) {
  // Name unknown and the tagged feed down: everything queried failed.
  install();
  Split r = split(call("get_news", {{"code", "005930"}}));
  EXPECT_TRUE(has_line(r.text, "## 종목 뉴스 — 005930 (조회 2026-12-04 기준)"));
  EXPECT_TRUE(has_line(r.text, "⚠️ 뉴스 출처 조회에 모두 실패했습니다 (기사가 없는 것이 아니라 조회 실패)."));
  EXPECT_EQ(r.meta["data_completeness"], "none");
  EXPECT_EQ(r.meta["news_sources"]["name_search"], "skipped:no_name");
  EXPECT_TRUE(r.meta["name"].is_null());

  // Both answered, nothing from today.
  s.current_price = [](const std::string&) { return json{{"name", "삼성전자"}}; };
  s.stock_news = [](const std::string&, int) {
    return json::array({article("삼성전자 지난주 기사", "2026-12-01 09:10", "stock_tag")});
  };
  s.search_news = [](const std::string&, int) { return json::array(); };
  install();
  r = split(call("get_news", {{"code", "005930"}, {"today_only", true}}));
  EXPECT_TRUE(has_line(r.text, "기사 없음 (조회 성공, 0건) — 오늘 기사만 걸렀습니다."));
  EXPECT_EQ(r.meta["data_completeness"], "complete");
  EXPECT_EQ(r.meta["count"], 0);
}

TEST_F(NewsToolsTest, GetNewsArgumentRules) {
  const std::string bad = BAD_CODE_TEXT;
  for (const char* code : {"", "12345", "1234567", "삼성전자", "00593O!", " 05930"})
    EXPECT_EQ(call("get_news", {{"code", code}}), bad) << code;
  EXPECT_EQ(call("get_move_context", {{"code", "abc"}}), bad);
  EXPECT_EQ(call("get_disclosure", {{"code", "12 456"}}), "⚠️ 종목코드 형식이 올바르지 않습니다: 12 456");

  // Limits are clamped: each source is still asked for at least 10, at most 30.
  s.stock_news = [this](const std::string&, int n) {
    stock_news_page = n;
    return json::array();
  };
  install();
  for (auto [limit, asked] : {std::pair{0, 10}, {1000, 30}, {-5, 10}}) {
    call("get_news", {{"code", "0088M0"}, {"limit", limit}});
    EXPECT_EQ(stock_news_page.load(), asked) << limit;
  }
}

TEST_F(NewsToolsTest, GetNewsOverTheRealFeeds) {
  // The tagged feed and the name search answer from captured bodies; the name
  // comes from a scripted quote.
  TESSARO_REQUIRE_SAMPLE(detail, "naver/stock_api_domestic_detail_news.json");
  TESSARO_REQUIRE_SAMPLE(search, "naver/stock_api_domestic_news_search.json");
  env.srv.route("/stock.naver.com/api/domestic/detail/news", reply(200, detail));
  env.srv.route("/stock.naver.com/api/domestic/news/search", reply(200, search));
  KrSources real = default_sources();
  s.stock_news = real.stock_news;
  s.search_news = real.search_news;
  s.current_price = [](const std::string&) { return json{{"name", "삼성전자"}}; };
  install();
  Split r = split(call("get_news", {{"code", "005930"}, {"limit", 5}}));
  EXPECT_EQ(r.meta["data_completeness"], "complete");
  EXPECT_EQ(r.meta["news_sources"].dump(), R"({"stock_tag":"ok:2","name_search":"ok:2"})");
  EXPECT_EQ(r.meta["count"], 4);
  // Newest first across both feeds; search hits without the name say so.
  auto p1 = r.text.find("2026-03-14 11:00 · 비즈워치");
  auto p2 = r.text.find("2026-03-11 23:49 · 서울경제");
  ASSERT_NE(p1, std::string::npos);
  ASSERT_NE(p2, std::string::npos);
  EXPECT_LT(p1, p2);
  EXPECT_NE(r.text.find("· 이름검색 · 본문 언급"), std::string::npos);
  EXPECT_EQ(env.srv.last_request("/stock.naver.com/api/domestic/news/search").params["query"], "삼성전자");
}
