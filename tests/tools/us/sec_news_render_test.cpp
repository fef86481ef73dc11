#include <gtest/gtest.h>

#include "tools/us/us_reply.hpp"
#include "tools/us/us_news.hpp"

using namespace tessaro;
using namespace tessaro::tools::us;
using namespace tessaro::testing;

namespace {
json art(const std::string& title, const std::string& summary = "") {
  return {{"title", title}, {"summary", summary}, {"published", "2026-12-04T14:30:00Z"}, {"provider", "Reuters"},
          {"url", "https://example.com/a"}};
}
}  // namespace

TEST(SecNewsRender, SuffixRemovedNameMatchesArticles) {
  EXPECT_EQ(clean_company_name("Apple Inc."), "Apple");
  EXPECT_EQ(clean_company_name("Example Holdings"), "Example");
  EXPECT_EQ(clean_company_name("NVIDIA Corporation"), "NVIDIA");
  json news = {{"news", {art("Apple unveils new chip"), art("Markets wrap", "Apple and others rose <b>today</b>\nlate"),
                         art("Oil slips")}}};
  std::string r = render_us_news("aapl", news, json{{"shortName", "Apple Inc."}}, false);
  EXPECT_NE(r.find("**AAPL** 최근 뉴스"), std::string::npos);
  EXPECT_NE(r.find("### Apple unveils new chip\n_2026-12-04 14:30 (UTC) · 한국 2026-12-04 23:30 · Reuters_ · 관련도 **direct** (90)"), std::string::npos) << r;
  EXPECT_NE(r.find("Apple and others rose today late"), std::string::npos);   // tags and line breaks gone
  EXPECT_NE(r.find("관련도 **unrelated** (10)"), std::string::npos);
  json m = reply_meta(r)["news_relevance"];
  EXPECT_EQ(m["matched_by"], "name+ticker");
  EXPECT_EQ(m["names_used"], json({"Apple", "AAPL"}));
  EXPECT_EQ(m["categories"], json({{"direct", 1}, {"mention", 1}, {"unrelated", 1}}));
}

TEST(SecNewsRender, DirectOnlyCountsExclusionsAndEmptyFeed) {
  json news = {{"news", {art("Oil slips"), art("Bonds rally")}}};
  std::string r = render_us_news("XOM", news, nullptr, true);
  EXPECT_NE(r.find("⚠️ direct_only=True - 이 종목이 주제가 아닌 2건 제외: unrelated 2건"), std::string::npos) << r;
  EXPECT_NE(r.find("(이 종목이 주제인 기사가 없습니다"), std::string::npos);
  EXPECT_EQ(reply_meta(r)["news_relevance"]["matched_by"], "ticker");
  EXPECT_EQ(render_us_news("XOM", json{{"news", json::array()}}, nullptr, false), "티커 'XOM'의 뉴스를 가져올 수 없습니다.");
}
