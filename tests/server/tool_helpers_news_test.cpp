// The news relevance rule: where the name appears and which context wins.
#include <gtest/gtest.h>

#include "server/tool_helpers.hpp"

using tessaro::json;
using tessaro::server::classify_news_relevance;

namespace {
json art(const std::string& title, const std::string& summary) { return {{"title", title}, {"summary", summary}}; }
}  // namespace

TEST(NewsRelevance, CategoriesInPrecedenceOrder) {
  const std::vector<std::string> names = {"Nvidia", "NVDA"};
  struct Case {
    json article;
    const char* category;
    int score;
  } cases[] = {
      {art("Nvidia beats estimates on data-center demand", "Revenue rose."), "direct", 90},
      {art("Chip stocks rally", "Shares of nvidia rose 3%."), "mention", 35},
      {art("Oil prices climb", "Brent rose."), "unrelated", 10},
      // Named in the title but compared: never direct.
      {art("NVDA vs. AMD: which chip stock wins?", ""), "comparison", 55},
      {art("AMD or Nvidia: better buy for 2027", ""), "comparison", 55},
      // Comparison word in the summary only counts when the title names the company.
      {art("Semiconductor roundup", "Nvidia versus its rivals"), "mention", 35},
      {art("Nvidia supplier TSMC raises prices", ""), "supply_chain", 50},
      // Supply context without the name in the title is just a mention.
      {art("TSMC raises prices", "A supplier of Nvidia"), "mention", 35},
      {art("3 AI stocks", "Our picks: nvidia and two ETF holdings"), "list_or_etf", 40},
      {art("Top 10 stocks to buy now", "Includes NVDA"), "list_or_etf", 40},
      {art("Nvidia among stocks to watch this week", ""), "list_or_etf", 40},
  };
  for (const auto& c : cases) {
    json v = classify_news_relevance(c.article, names);
    EXPECT_EQ(v["category"], c.category) << c.article.dump();
    EXPECT_EQ(v["relevance_score"], c.score) << c.article.dump();
    EXPECT_FALSE(v["basis"].get<std::string>().empty());
  }
}

TEST(NewsRelevance, WordBoundariesAndMissingFields) {
  const std::vector<std::string> names = {"Apple", ""};   // empty names are ignored
  // "etfs"/"topic" must not trip the list and comparison patterns.
  EXPECT_EQ(classify_news_relevance(art("Apple topic: vsync in the new OS", ""), names)["category"], "direct");
  EXPECT_EQ(classify_news_relevance(json{{"title", "Apple launches"}}, names)["category"], "direct");
  EXPECT_EQ(classify_news_relevance(json::object(), names)["category"], "unrelated");
  EXPECT_EQ(classify_news_relevance(art("Anything", "x"), {""})["category"], "unrelated");
  json v = classify_news_relevance(art("", "apple pie"), names);
  EXPECT_EQ(v["basis"], "요약에만 언급 - 주변 문맥");
}

TEST(NewsRelevance, KoreanNamesMatchAsSubstrings) {
  const std::vector<std::string> names = {"삼성전자", "005930"};
  EXPECT_EQ(classify_news_relevance(art("삼성전자, HBM4 양산 돌입", ""), names)["category"], "direct");
  EXPECT_EQ(classify_news_relevance(art("반도체 ETF 자금 유입", "삼성전자 비중이 큰 ETF"), names)["category"],
            "list_or_etf");
  EXPECT_EQ(classify_news_relevance(art("코스피 마감", "005930 강보합"), names)["category"], "mention");
}

// Word boundaries fall between a word and a non-word code point of any script:
// "삼성전자vs애플" holds no word "vs", "ETF편입" no word "etf".
TEST(NewsRelevance, BoundariesAreBetweenCodePointsNotBytes) {
  const std::vector<std::string> names = {"삼성전자", "005930"};
  EXPECT_EQ(classify_news_relevance(art("삼성전자vs애플 특허전", ""), names)["category"], "direct");
  EXPECT_EQ(classify_news_relevance(art("삼성전자 ETF편입 효과", ""), names)["category"], "direct");
  EXPECT_EQ(classify_news_relevance(art("삼성전자 vs 애플", ""), names)["category"], "comparison");
  EXPECT_EQ(classify_news_relevance(art("삼성전자·ETF 자금", ""), names)["category"], "list_or_etf");
  EXPECT_EQ(classify_news_relevance(art("“삼성전자 vs. 애플”", ""), names)["category"], "comparison");
}
