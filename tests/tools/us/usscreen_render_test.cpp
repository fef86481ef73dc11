#include <gtest/gtest.h>

#include "tools/us/screener.hpp"

using namespace tessaro;
using namespace tessaro::tools::us;

namespace {
json row(const std::string& sym, const std::string& name, const std::string& qt) {
  json r = {{"symbol", sym}, {"name", name}};
  if (!qt.empty()) r["quote_type"] = qt;
  return r;
}
std::string body(const std::string& reply) { return reply.substr(0, reply.find("RESULT_META_JSON_START")); }
json meta(const std::string& reply) {
  auto a = reply.find("RESULT_META_JSON_START\n");
  auto b = reply.find("\nRESULT_META_JSON_END");
  return json::parse(reply.substr(a + 23, b - a - 23));
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

TEST(UsScreenRender, FilterExcludesNonCommonAndUnknownWithCounts) {
  json res = {{"title", "Aggressive Small Caps"},
              {"total", 123},
              {"quotes",
               {row("ABCDW", "Abc Acquisition Corp", "EQUITY"), row("XYZ", "Mystery", ""),
                row("EFGHW", "Efgh Corp Warrant", "EQUITY")}}};
  std::string r = render_us_screener("aggressive_small_caps", res, true);
  std::string b = body(r);
  EXPECT_NE(b.find("**Aggressive Small Caps** (0 / 전체 123)"), std::string::npos);
  EXPECT_NE(b.find("⚠️ common_stock_only=True - 보통주가 아닌 3개 제외: warrant 2개, unknown 1개"), std::string::npos);
  EXPECT_NE(b.find("티커 | 이름 | 유형 | 거래소 | 현재가 | 변동% | 거래량 | 시총 | P/E\n---|"), std::string::npos);
  EXPECT_NE(b.find("(필터 후 남은 종목 없음)"), std::string::npos);
  json m = meta(r);
  EXPECT_EQ(m["security_types"], json({{"warrant", 2}, {"unknown", 1}}));
  EXPECT_EQ(m["security_filter"]["excluded"], json({{"warrant", 2}, {"unknown", 1}}));
}

TEST(UsScreenRender, RowCellsAndMissingValuesAreDashes) {
  json q = row("AAPL", "Apple Inc.", "EQUITY");
  q.update({{"exchange", "NMS"}, {"price", 1234.5}, {"change_percent", 1.2710667}, {"volume", 45678901},
            {"market_cap", 3.4e12}, {"pe", nullptr}});
  json bare = row("ZZZZ", "", "EQUITY");
  bare["market_cap"] = 0;
  std::string b = body(render_us_screener("day_gainers", json{{"quotes", {q, bare}}}, false));
  EXPECT_NE(b.find("**day_gainers** (2 / 전체 -)"), std::string::npos);
  EXPECT_NE(b.find("AAPL | Apple Inc. | common_stock | NMS | $1,234.50 | +1.27% | 45.68M | $3,400.00B | -"),
            std::string::npos);
  EXPECT_NE(b.find("ZZZZ | - | common_stock | - | - | - | - | - | -"), std::string::npos);   // 0 cap is "-"
  EXPECT_EQ(render_us_screener("x", json{{"error", "probably not a predefined query"}}, false),
            "⚠️ probably not a predefined query");
  EXPECT_EQ(render_us_screener("x", json{{"quotes", json::array()}}, false), "'x' 결과 없음.");
}

TEST(UsSectorRender, WeightsAsPercentAndMissingWeightIsDash) {
  json d = {{"companies_count", 812},
            {"market_cap", 2.1e13},
            {"market_weight", 0.3012},
            {"employee_count", 9100000},
            {"top_companies",
             {{{"symbol", "NVDA"}, {"name", "NVIDIA Corporation"}, {"rating", "Strong Buy"}, {"market_weight", 0.0712}},
              {{"symbol", "AAPL"}, {"name", "Apple Inc."}}}}};
  std::string b = body(render_us_sector("technology", d, 20));
  EXPECT_NE(b.find("- 종목 수: 812\n- 시가총액: $21,000.00B\n- 시장 비중: 30.12%\n- 총 고용: 9,100,000명"), std::string::npos);
  EXPECT_NE(b.find("1 | **NVDA** NVIDIA Corporation | Strong Buy | 7.12%"), std::string::npos);
  EXPECT_NE(b.find("2 | **AAPL** Apple Inc. | - | -"), std::string::npos);
  EXPECT_NE(body(render_us_sector("technology", d, 1)).find("## 🏢 Top 1 기업"), std::string::npos);
  EXPECT_EQ(render_us_sector("nope", json{{"error", "Not Found"}}, 20), "⚠️ Not Found");
  EXPECT_EQ(render_us_sector("nope", nullptr, 20), "⚠️ 섹터 조회 실패");
}

TEST(UsEtfRender, SectorsSortedZeroDroppedAndDashForMissingCategory) {
  json d = {{"ticker", "QQQ"},
            {"name", "Invesco QQQ Trust"},
            {"family", "Invesco"},
            {"expense_ratio", 0.2},
            {"total_assets", 328302690304.0},
            {"ytd_return", -2.9},
            {"asset_classes", {{"stockPosition", 0.9979}, {"bondPosition", 0.0}}},
            {"sector_weightings", {{"utilities", 0.0}, {"consumer_cyclical", 0.12}, {"technology", 0.31}}},
            {"top_holdings", {{{"symbol", "AAPL"}, {"holding_name", "Apple Inc"}, {"holding_percent", 0.0888}},
                              {{"symbol", "MSFT"}, {"name", "Microsoft Corp"}}}}};
  std::string b = body(render_us_etf_info("qqq", d));
  EXPECT_NE(b.find("**Invesco QQQ Trust** (QQQ)\n카테고리: - · Invesco\n보수율: 0.200%"), std::string::npos);
  EXPECT_NE(b.find("운용자산(AUM): $328.30B\nYTD 수익률: -2.90%"), std::string::npos);
  EXPECT_NE(b.find("- stockPosition: 99.79%"), std::string::npos);
  EXPECT_EQ(b.find("bondPosition"), std::string::npos);
  EXPECT_NE(b.find("## 🏭 섹터 비중\n- Technology: 31.00%\n- Consumer Cyclical: 12.00%"), std::string::npos);
  EXPECT_EQ(b.find("Utilities"), std::string::npos);
  EXPECT_NE(b.find("Yahoo Finance는 상위 2개 보유 종목만 공개합니다."), std::string::npos);
  EXPECT_NE(b.find("**AAPL** Apple Inc | 8.88%"), std::string::npos);
  EXPECT_NE(b.find("**MSFT** Microsoft Corp | -"), std::string::npos);
  EXPECT_EQ(render_us_etf_info("NOPE", nullptr), "티커 'NOPE'를 찾을 수 없습니다.");
}
