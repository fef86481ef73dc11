#include <gtest/gtest.h>

#include "sources/yahoo/parse.hpp"
#include "support/fixture_server.hpp"
#include "tools/us/us_reply.hpp"
#include "tools/us/screener.hpp"

using namespace tessaro;
using namespace tessaro::tools::us;
using namespace tessaro::testing;

namespace {
json row(const std::string& sym, const std::string& name, const std::string& qt) {
  json r = {{"symbol", sym}, {"name", name}};
  if (!qt.empty()) r["quote_type"] = qt;
  return r;
}
}  // namespace

TEST(UsScreenClassify, NameRulesBeforeTypeAndSuffix) {
  EXPECT_EQ(classify_us_security(row("ABCDW", "Abc Acquisition Corp Warrant", "EQUITY")), "warrant");
  EXPECT_EQ(classify_us_security(row("CPRT", "Copyright Holdings Inc", "EQUITY")), "common_stock");
  EXPECT_EQ(classify_us_security(row("XYZR", "Xyz Corp Rights", "EQUITY")), "right");
  EXPECT_EQ(classify_us_security(row("SPACU", "Space Acquisition Units", "EQUITY")), "unit");
  EXPECT_EQ(classify_us_security(row("BABA", "Alibaba Group Holding Ltd ADR", "EQUITY")), "adr");
  EXPECT_EQ(classify_us_security(row("TSM", "Taiwan Semiconductor American Depositary Shares", "EQUITY")), "adr");
  // Nasdaq fifth letter only with a known equity type.
  EXPECT_EQ(classify_us_security(row("ABCDW", "Abc Acquisition Corp", "EQUITY")), "warrant");
  EXPECT_EQ(classify_us_security(row("ABCDW", "Abc Acquisition Corp", "")), "unknown");
  EXPECT_EQ(classify_us_security(row("ABCDU", "Abc Acquisition Corp", "EQUITY")), "unit");
  EXPECT_EQ(classify_us_security(row("ABCD1", "Abc", "EQUITY")), "common_stock");
  EXPECT_EQ(classify_us_security(row("QQQ", "Invesco QQQ Trust", "etf")), "etf");
  EXPECT_EQ(classify_us_security(row("VFIAX", "Vanguard 500", "MUTUALFUND")), "fund");
  EXPECT_EQ(classify_us_security(row("^GSPC", "S&P 500", "INDEX")), "index");
  EXPECT_EQ(classify_us_security(json::object()), "unknown");
}

TEST(UsScreenRender, FilterCountsWhatItDropsAndMissingCellsAreDashes) {
  json res = {{"title", "Aggressive Small Caps"},
              {"total", 123},
              {"quotes",
               {row("ABCDW", "Abc Acquisition Corp", "EQUITY"), row("XYZ", "Mystery", ""),
                row("EFGHW", "Efgh Corp Warrant", "EQUITY")}}};
  std::string r = render_us_screener("aggressive_small_caps", res, true);
  EXPECT_TRUE(has(r, "**Aggressive Small Caps** (0 / 전체 123)"));
  EXPECT_TRUE(has(r, "⚠️ common_stock_only=True - 보통주가 아닌 3개 제외: warrant 2개, unknown 1개"));
  EXPECT_TRUE(has(r, "(필터 후 남은 종목 없음)"));
  EXPECT_EQ(reply_meta(r)["security_filter"]["excluded"], json({{"warrant", 2}, {"unknown", 1}}));

  json q = row("AAPL", "Apple Inc.", "EQUITY");
  q.update({{"exchange", "NMS"}, {"price", 1234.5}, {"change_percent", 1.2710667}, {"volume", 45678901},
            {"market_cap", 3.4e12}, {"pe", nullptr}});
  json bare = row("ZZZZ", "", "EQUITY");
  bare["market_cap"] = 0;
  r = render_us_screener("day_gainers", json{{"quotes", {q, bare}}}, false);
  EXPECT_TRUE(has(r, "AAPL | Apple Inc. | common_stock | NMS | $1,234.50 | +1.27% | 45.68M | $3,400.00B | -"));
  EXPECT_TRUE(has(r, "ZZZZ | - | common_stock | - | - | - | - | - | -"));   // a 0 market cap is "-"
  EXPECT_EQ(render_us_screener("x", json{{"error", "probably not a predefined query"}}, false),
            "⚠️ probably not a predefined query");
  EXPECT_EQ(render_us_screener("x", json{{"quotes", json::array()}}, false), "'x' 결과 없음.");
}

TEST(UsSectorEtfRender, MissingWeightsAreDashesAndTheHoldingsLimitIsSaid) {
  json d = {{"market_weight", 0.3012},
            {"top_companies",
             {{{"symbol", "NVDA"}, {"name", "NVIDIA Corporation"}, {"rating", "Strong Buy"}, {"market_weight", 0.0712}},
              {{"symbol", "AAPL"}, {"name", "Apple Inc."}}}}};
  std::string r = render_us_sector("technology", d, 20);
  EXPECT_TRUE(has(r, "- 시장 비중: 30.12%"));
  EXPECT_TRUE(has(r, "2 | **AAPL** Apple Inc. | - | -"));
  EXPECT_EQ(render_us_sector("nope", nullptr, 20), "⚠️ 섹터 조회 실패");

  json e = {{"ticker", "QQQ"},
            {"name", "Invesco QQQ Trust"},
            {"sector_weightings", {{"utilities", 0.0}, {"technology", 0.31}}},
            {"top_holdings", {{{"symbol", "AAPL"}, {"holding_name", "Apple Inc"}, {"holding_percent", 0.0888}},
                              {{"symbol", "MSFT"}, {"name", "Microsoft Corp"}}}}};
  r = render_us_etf_info("qqq", e);
  EXPECT_TRUE(has(r, "카테고리: - · -"));
  EXPECT_TRUE(has(r, "- Technology: 31.00%"));
  EXPECT_FALSE(has(r, "Utilities"));   // a zero weight is not a sector of the fund
  EXPECT_TRUE(has(r, "Yahoo Finance는 상위 2개 보유 종목만 공개합니다."));
  EXPECT_TRUE(has(r, "**MSFT** Microsoft Corp | -"));
  EXPECT_EQ(render_us_etf_info("NOPE", nullptr), "티커 'NOPE'를 찾을 수 없습니다.");
}

TEST(UsScreenRender, YahooSampleRowsKeepTheirSymbolPeAndFundSummary) {
  TESSARO_REQUIRE_SAMPLE(scr, "yahoo/v1_screener_predefined_aggressive_small_caps.json");
  json screen = tessaro::us::parse::screen_result(json::parse(scr));
  std::string r = render_us_screener("aggressive_small_caps", screen, false);
  EXPECT_TRUE(has(r, "**Aggresive small cap stocks** (5 / 전체 314)")) << r;
  EXPECT_TRUE(has(r, "\nKOS | Kosmos Energy Ltd. | common_stock | NYSE | $2.88 | -9.43% | 9.27M | $1.36B | 7.20\n")) << r;
  EXPECT_TRUE(has(r, "\nATUS | Altice USA, Inc. | common_stock | NYSE | $2.81 | +1.81% | 2.73M | $1.30B | -\n")) << r;

  TESSARO_REQUIRE_SAMPLE(qs, "yahoo/v10_quoteSummary_all_modules_QQQ_etf.json");
  TESSARO_REQUIRE_SAMPLE(qq, "yahoo/v7_quote_QQQ_etf.json");
  json etf = tessaro::us::parse::etf_info(json::parse(qs)["quoteSummary"]["result"][0],
                                 json::parse(qq)["quoteResponse"]["result"][0]);
  r = render_us_etf_info("qqq", etf);
  EXPECT_TRUE(has(r, "**Invesco QQQ Trust** (QQQ)\n카테고리: Large Growth · Invesco\n보수율: 0.200%")) << r;
  EXPECT_TRUE(has(r, "## 🏭 섹터 비중\n- Technology: 50.83%")) << r;
  EXPECT_TRUE(has(r, "\n_To maintain the correspondence between the composition")) << r;
}
