#include <gtest/gtest.h>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "server/wrappers.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kTrend = "/m.stock.naver.com/api/stock/005930/trend";
const char* kNow = "2026-09-18 10:00";

std::string flow(const json& a) { return server::call_tool("get_flow", a); }

json rows_of(int n) {
  json arr = json::array();
  for (int i = 0; i < n; ++i)
    arr.push_back({{"bizdate", "202608" + std::to_string(28 - i)},
                   {"closePrice", "70,000"}, {"accumulatedTradingVolume", "1,000"},
                   {"foreignerPureBuyQuant", "+10"}, {"organPureBuyQuant", "-5"}, {"individualPureBuyQuant", "-5"}});
  return arr;
}
}  // namespace

TEST(GetFlow, TableTotalsNotesAndAfterMarketClose) {
  NaverEnv env(kNow);
  env.srv.route_file(kTrend, "naver/trend_005930.json");
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/basic", "naver/mstock_basic_005930.json");
  std::string r = flow({{"code", "005930"}});
  EXPECT_EQ(body_of(r),
            "종목 005930 투자자별 매매동향 (3일):\n\n"
            "날짜 | [주] 기관 순매매 | [주] 외국인 순매매 | [주] 개인 순매매 | [참고] 종가 | [참고] 거래량\n"
            "---|---|---|---|---|---\n"
            "2026-09-17 | -300,000 | 1,000,000 | -650,000 | 73,500 | 13,000,000\n"
            "2026-09-16 | 150,000 | -200,000 | - | 72,900 | 9,000,000\n"
            "2026-09-15 | 2,500 | 0 | 10,000 | 72,600 | 15,000,000\n"
            "\n"
            "합계 | -147,500 | 800,000 | - | - | -\n"
            "\n"
            "※ 기관·외국인·개인을 더해도 0이 되지 않습니다 — 기타법인·내외국인이 빠져 있습니다. 나머지를 역산해 '개인이 다 받았다'로 읽지 마세요.\n"
            "※ [주] 필드는 이 도구의 주 목적 (수급 분석). [참고] 종가·거래량은 편의 제공이며, **가격 차트·시계열 분석 소스로 사용 금지**. 차트는 get_chart, 현재가는 get_price 사용.\n"
            "※ [참고] 거래량은 네이버 투자자 동향 값으로, 넥스트레이드(NXT) 체결 포함 여부가 확인되지 않았습니다. KRX 거래량은 get_chart로 보세요.\n"
            "※ [참고] 종가: 2026-09-14부터는 20:00 애프터마켓 마지막 체결가입니다 (이 표에서 3개 행). 정규장 종가(15:30)가 아닙니다. 순매매 수량에 애프터마켓 체결이 들어가는지는 네이버가 밝히지 않습니다.");
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");   // 3 rows < min(20, 5)
  EXPECT_EQ(m["data_as_of"], "2026-09-17");
  EXPECT_EQ(m["price_session"], "regular_and_after");
  EXPECT_EQ(m["session_mix"]["bars"], 3);
}

TEST(GetFlow, DaysCapAndCompleteness) {
  NaverEnv env(kNow);
  env.srv.route(kTrend, [](const FixtureRequest& r) {
    int n = std::stoi(r.params.at("pageSize"));
    return reply(200, rows_of(std::min(n, 5)).dump());
  });
  std::string r = flow({{"code", "005930"}, {"days", 100}});
  // days is capped at 60: 60 asked, 5 delivered, then 56 (55 left + the repeated day) adds nothing.
  EXPECT_EQ(env.srv.hits(kTrend), 2);
  EXPECT_EQ(env.srv.last_request(kTrend).params["pageSize"], "56");
  EXPECT_EQ(meta_of(r)["data_completeness"], "complete");   // 5 rows >= min(60, 5)
  // August rows predate the after-market: no 20:00 note, no session mix.
  EXPECT_EQ(body_of(r).find("20:00"), std::string::npos);
  EXPECT_FALSE(meta_of(r).contains("session_mix"));
  env.srv.route(kTrend, reply(200, rows_of(3).dump()));
  EXPECT_EQ(meta_of(flow({{"code", "005930"}, {"days", 3}}))["data_completeness"], "complete");
  env.srv.route(kTrend, reply(200, rows_of(2).dump()));
  EXPECT_EQ(meta_of(flow({{"code", "005930"}, {"days", 20}}))["data_completeness"], "partial");
}

TEST(GetFlow, ParseFailureAndEmptyReplies) {
  NaverEnv env(kNow);
  env.srv.route_file(kTrend, "naver/trend_missing_organ.json");
  std::string r = flow({{"code", "005930"}});
  std::string b = body_of(r);
  EXPECT_TRUE(fmt::starts_with(b, "수급 표를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n원인: 2026-09-17 행에서 읽지 못한 항목: 기관 순매매(organPureBuyQuant)\n네이버 증권 페이지 구조가 바뀌었을 수 있어요. ")) << b;
  EXPECT_NE(b.find(server::PARSE_FAIL_NEXT), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "none");
  env.srv.route(kTrend, reply(200, "[]"));
  r = flow({{"code", "005930"}});
  EXPECT_EQ(body_of(r), "종목코드 005930의 수급 데이터를 가져올 수 없습니다.");
  EXPECT_EQ(meta_of(r)["data_completeness"], "none");
  EXPECT_EQ(body_of(flow({{"code", ""}})), "종목코드 의 수급 데이터를 가져올 수 없습니다.");
}

// The real 404 page of m.stock for the trend API and the real 410 page for the
// old main page: Samsung Electronics is not "possibly delisted", the source failed
// (the stand-in was asked).
TEST(GetFlow, GoneEndpointsAreAFailureNotAnUnknownCode) {
  TESSARO_REQUIRE_SAMPLE(page404, "naver/mstock_api_unknown_path_404_20261002_excerpt.html");
  TESSARO_REQUIRE_SAMPLE(page410, "naver/finance_item_sise_day_http410.html");
  NaverEnv env(kNow);
  env.srv.route(kTrend, reply(404, page404, "text/html; charset=utf-8"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(410, page410, "text/html; charset=utf-8"));
  auto r = server::run_tool("get_flow", {{"code", "005930"}});
  EXPECT_EQ(env.srv.hits("/finance.naver.com/item/main.naver"), 1);
  EXPECT_EQ(r.text.find("상장폐지"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("투자자별 매매동향 조회 실패"), std::string::npos) << r.text;
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(meta_of(r.text)["data_completeness"], "none");
}

// The trend API is down and the stock's main page answers with its short
// table: shown with the stand-in said, individual and volume as "-", partial.
TEST(GetFlow, MainPageStandsInWhenTheTrendApiIsDown) {
  TESSARO_REQUIRE_SAMPLE(html, "naver/finance_item_main_invest_trend_323410.html");
  NaverEnv env("2024-01-16 18:00");
  env.srv.route("/m.stock.naver.com/api/stock/323410/trend", reply(503, "down"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(200, html, "text/html; charset=utf-8"));
  std::string r = flow({{"code", "323410"}});
  std::string b = body_of(r);
  EXPECT_TRUE(fmt::starts_with(b, "종목 323410 투자자별 매매동향 (6일):\n")) << b;
  EXPECT_NE(b.find("\n2024-01-16 | 98,631 | -316,102 | - | 30,450 | -\n"), std::string::npos) << b;
  EXPECT_NE(b.find("\n합계 | 1,508,576 | 1,576,325 | - | - | -\n"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 투자자 동향 API 조회 실패 — 네이버 종목 메인 페이지의 최근 6일 표로 대신 보여드립니다"), std::string::npos) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "네이버 종목 메인 페이지")) << m.dump();
  // Both down: the failure is reported, not an empty table.
  env.srv.route("/finance.naver.com/item/main.naver", reply(410, "gone"));
  std::string both = flow({{"code", "323410"}});
  EXPECT_TRUE(fmt::starts_with(both, "⚠️ 종목코드 323410의 투자자별 매매동향 조회 실패 (HTTPStatusError 503)")) << both;
}
