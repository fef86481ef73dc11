#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kEtfList = "/finance.naver.com/api/sise/etfItemList.nhn";

struct Env : NaverEnv {
  Env(const char* list, const char* kst) : NaverEnv(kst) {
    srv.route_file(kEtfList, list, "application/json;charset=EUC-KR");
  }
};

std::string list(const std::string& sort_by, const std::string& keyword = "") {
  return server::call_tool("get_etf_list", {{"sort_by", sort_by}, {"keyword", keyword}});
}

}  // namespace

TEST(EtfList, UnknownSortKeyListsTheAcceptedOnesWithoutFetching) {
  Env env("naver/etf_list_live.json", "2026-09-16 10:00");
  EXPECT_EQ(list("sixMonthEarnRate"),
            "⚠️ ETF 목록은 'sixMonthEarnRate' 기준으로 정렬할 수 없습니다. 가능한 기준: marketSum(시가총액), "
            "quant(거래량), threeMonthEarnRate(3개월 수익률), nav(NAV).\n1·6·12개월 수익률과 배당은 ETF 목록에 없는 값이라 "
            "순위를 매길 수 없습니다. 후보를 좁힌 뒤 get_etf_info 로 종목별로 확인하세요.");
  EXPECT_EQ(env.srv.hits(kEtfList), 0);
}

TEST(EtfList, LiveListLinesAndMissingValues) {
  Env env("naver/etf_list_live.json", "2026-09-16 10:00");
  std::string r = list("marketSum");
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find('\n')), "ETF 목록 (5개 중 상위 5개, 정렬: 시가총액)");
  EXPECT_NE(b.find("- **KODEX 200** (069500) | 38,450원 (+0.92%) | NAV 38,462원 | 시총 69,000억원 | 3M: +7.1%"),
            std::string::npos);
  EXPECT_NE(b.find("- **TIGER 반도체TOP10** (0088M0) | 가격 없음 (+0.00%) | NAV 없음 | 시총 없음\n"), std::string::npos);
  EXPECT_NE(b.find("※ 정렬 값이 없는 ETF 1개는 0으로 치지 않고 목록 맨 뒤에 두었습니다."), std::string::npos);
  EXPECT_NE(b.find("카테고리: 국내 시장지수, 국내 업종/테마, 국내 파생, 해외 주식, 원자재, 채권/금리, 단기자금"),
            std::string::npos);
  EXPECT_EQ(meta_of(r)["data_completeness"], "complete");
  std::string t = body_of(list("threeMonthEarnRate"));
  EXPECT_NE(t.find("※ 3개월 수익률 값이 없는 ETF 2개는 순위에서 뺐습니다."), std::string::npos);
  EXPECT_EQ(server::call_tool("get_etf_list", {{"keyword", "없는이름"}}), "조건에 맞는 ETF가 없습니다.");
}

TEST(EtfList, AllZeroQuotesShownAsMissingWithOpenOrClosedNote) {
  {
    Env env("naver/etf_list_off_hours.json", "2026-09-16 21:00");
    std::string r = list("quant");
    std::string b = body_of(r);
    EXPECT_NE(b.find("⚠️ 지금은 네이버 ETF 목록의 거래량이 전 종목 0이라 거래량으로 줄 세울 수 없습니다. 시가총액으로 보여 드립니다."),
              std::string::npos);
    EXPECT_EQ(b.find("+0.00%"), std::string::npos);
    EXPECT_NE(b.find("38,450원 (등락률 없음)"), std::string::npos);
    EXPECT_NE(b.find("장이 닫혀 있는 동안 네이버가 이 값을 비워 둔 상태입니다."), std::string::npos);
    json m = meta_of(r);
    EXPECT_EQ(m["data_completeness"], "partial");
    EXPECT_NE(m["warnings"].dump().find("ETF 목록의 등락률·거래량이 전 종목 0으로 옴 — 보합이 아니라 빈 값이라 '등락률 없음'으로 표시"),
              std::string::npos);
  }
  Env env("naver/etf_list_off_hours.json", "2026-09-16 10:00");
  EXPECT_NE(body_of(list("marketSum")).find("장중인데 값이 비어 있어 네이버 목록 쪽 문제일 수 있습니다."), std::string::npos);
}

TEST(EtfInfo, CodePatternAndTheRealAnalysisBody) {
  TESSARO_REQUIRE_SAMPLE(analysis, "naver/mstock_api_stock_etfAnalysis_069500.json");
  Env env("naver/etf_list_live.json", "2026-09-16 10:00");
  for (std::string bad : {"12345", "12345!"})
    EXPECT_EQ(server::call_tool("get_etf_info", {{"code", bad}}), "⚠️ 종목코드 형식이 올바르지 않습니다: " + bad);
  env.srv.route("/m.stock.naver.com/api/stock/069500/etfAnalysis", reply(200, analysis));
  // The quote comes from the fund's basic answer (hand-made, documented shape).
  env.srv.route("/m.stock.naver.com/api/stock/069500/basic",
                reply(200, R"({"stockName":"KODEX 200","closePrice":"37,650","compareToPreviousClosePrice":"350",)"
                           R"("compareToPreviousPrice":{"code":"5","name":"FALLING"},"fluctuationsRatio":"0.92"})"));
  env.srv.route("/m.stock.naver.com/api/stock/069500/integration", FixtureResponse{500, "oops"});
  std::string r = server::call_tool("get_etf_info", {{"code", "069500"}});
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find('\n')), "# KODEX 200 (069500)");
  EXPECT_NE(b.find("- 기초지수: 코스피 200\n- 유형: 종합주식\n- 자산운용사: 삼성자산운용(ETF)\n- 상장일: 2002-10-14\n"
                   "- 펀드보수: 연 0.150%"),
            std::string::npos)
      << b;
  EXPECT_NE(b.find("- 전일대비: -350원 (-0.92%)"), std::string::npos);
  EXPECT_NE(b.find("- 시가총액: 250,533억원"), std::string::npos);   // marketValueRaw 25,053,325,000,000원
  // The key-figure answer failed: "조회 실패", never a quiet "데이터 없음".
  EXPECT_NE(b.find("- 52주 최고/최저: 조회 실패"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 조회 실패: 종목 요약(integration)"), std::string::npos) << b;
  EXPECT_EQ(meta_of(r)["data_completeness"], "partial");
  EXPECT_NE(b.find("- 1개월: +1.51%\n- 3개월: -16.27%\n- 6개월: +16.70%\n- 1년: +155.48%"), std::string::npos);
  // Holdings with their weights as the body gives them ("33.66%").
  // The analysis answer carries the top 10 only: never "총 10개" for a 200-stock basket.
  EXPECT_NE(b.find("## 구성종목 (상위 10개)\n\n종목명 | 비중(%)\n---|---\n삼성전자 | 33.66%\nSK하이닉스 | 26.65%"),
            std::string::npos);
  EXPECT_EQ(b.find("총 10개"), std::string::npos);
  EXPECT_NE(b.find("- 괴리율: -0.27%"), std::string::npos);
  EXPECT_NE(b.find("3개월 | +15,567"), std::string::npos);   // "1조 5,567억"
  EXPECT_NE(b.find("1주 | -669"), std::string::npos);
  EXPECT_NE(b.find("- 자산 구성: EQUITY 98.85%, CASH 0.08%"), std::string::npos);
  EXPECT_NE(meta_of(r).dump().find("069500"), std::string::npos);
  EXPECT_EQ(env.srv.hits("/m.stock.naver.com/api/etf/069500/basic"), 0) << "an address the site does not serve";

  // A 404 (the real m.stock error page) is the address gone, not a fund the site
  // does not know.
  env.srv.route("/m.stock.naver.com/api/stock/0088M0/etfAnalysis",
                FixtureResponse{404, read_shared_sample("naver/mstock_api_unknown_path_404_20261002_excerpt.html"), "text/html"});
  std::string gone = server::call_tool("get_etf_info", {{"code", "0088M0"}});
  EXPECT_TRUE(fmt::starts_with(gone, "⚠️ 네트워크 오류가 발생했습니다: HTTPStatusError")) << gone;
  EXPECT_NE(gone.find("종목이 없다는 뜻이 아닙니다"), std::string::npos) << gone;

  // The quote answer failed: the price is "조회 실패" and the reply is not complete.
  env.srv.route("/m.stock.naver.com/api/stock/069500/basic", FixtureResponse{503, "busy"});
  std::string q = server::call_tool("get_etf_info", {{"code", "069500"}});
  EXPECT_NE(body_of(q).find("- 현재가: 조회 실패"), std::string::npos) << q;
  EXPECT_EQ(body_of(q).find("현재가: 데이터 없음"), std::string::npos) << q;
  EXPECT_EQ(meta_of(q)["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(meta_of(q), "조회 실패: 시세(basic)"));
}

TEST(EtfInfo, HoldingsWithoutWeightsAreListedWithoutAWeightColumn) {
  TESSARO_REQUIRE_SAMPLE(analysis, "naver/mstock_api_stock_etfAnalysis_069500.json");
  Env env("naver/etf_list_live.json", "2026-09-16 10:00");
  json a = json::parse(analysis);
  for (auto& h : a["etfTop10MajorConstituentAssets"]) h.erase("etfWeight");
  env.srv.route("/m.stock.naver.com/api/stock/069500/etfAnalysis", reply(200, a.dump()));
  std::string b = body_of(server::call_tool("get_etf_info", {{"code", "069500"}}));
  EXPECT_NE(b.find("종목명 | 주식수\n---|---\n삼성전자 | 6,924"), std::string::npos) << b;
  for (auto& h : a["etfTop10MajorConstituentAssets"]) h.erase("stockCount");
  env.srv.route("/m.stock.naver.com/api/stock/069500/etfAnalysis", reply(200, a.dump()));
  std::string r = server::call_tool("get_etf_info", {{"code", "069500"}});
  b = body_of(r);
  EXPECT_NE(b.find("## 구성종목 (상위 10개)\n\n종목명\n---\n삼성전자\nSK하이닉스"), std::string::npos) << r;
  EXPECT_NE(b.find("## 수익률"), std::string::npos) << "every other line stays";
}
