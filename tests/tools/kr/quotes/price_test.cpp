#include <gtest/gtest.h>

#include <fstream>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "server/wrappers.hpp"
#include "sources/watchlist.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

// A minute series of `day` (YYYYMMDD) with one 15:30 print at `price`.
void minute_close(NaverEnv& env, const std::string& day, long price) {
  env.srv.route(kFchart, reply(200, fchart_xml({day + "1529|null|null|null|" + std::to_string(price - 500) + "|10",
                                                day + "1530|null|null|null|" + std::to_string(price) + "|20",
                                                day + "1700|null|null|null|" + std::to_string(price + 900) + "|30"},
                                               "minute"),
                                    "text/xml"));
  // The chart API has not served the day: the fchart minutes are read.
  env.srv.route("/api.stock.naver.com/chart/domestic/item/000660/minute", reply(200, "[]"));
}

std::string price(const std::string& code) { return server::call_tool("get_price", {{"code", code}}); }
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(GetPrice, RegularSessionNxtStockFromRealSample) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env("2025-12-02 13:50");
  env.srv.route(kPoll + "005930", reply(200, body));
  std::string r = price("005930");
  EXPECT_EQ(body_of(r),
            "종목: 삼성전자 (005930)\n"
            "현재가 (KRX 정규장): 103,400원\n"
            "전일대비: +2,600원\n"
            "시가: 101,200원\n"
            "고가: 103,500원\n"
            "저가: 101,000원\n"
            "거래량: 10,079,219\n"
            "\n"
            "─ NXT(대체거래소, 정규장) ─\n"
            "현재가: 103,400원\n"
            "전일대비: +2,600원\n"
            "거래량: 4,763,607\n"
            "※ NXT는 KRX와 별도 체결 시장으로, 위 정규장 수치에 포함되지 않습니다");
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "complete");
  EXPECT_EQ(m["price_session"], "regular");
  EXPECT_EQ(m["base_price"], 100800);
  EXPECT_FALSE(m.contains("regular_close_check"));
}

TEST(GetPrice, AfterMarketWithRegularCloseAndNxtBlock) {
  NaverEnv env("2026-09-16 17:10");
  env.srv.route_file(kPoll + "000660", "naver/polling_after_market_000660.json");
  env.srv.route("/m.stock.naver.com/api/stock/000660/basic", reply(200, read_shared_sample("naver/mstock_api_stock_basic_000660.json")));
  minute_close(env, "20260916", 291500);
  std::string r = price("000660");
  EXPECT_EQ(body_of(r),
            "종목: SK하이닉스 (000660)\n"
            "현재가 (KRX 애프터마켓): 290,000원\n"
            "기준가 대비: -3,000원 (기준가 293,000원)\n"
            "정규장 종가 (15:30): 291,500원 (기준가 대비 -1,500원, -0.51%)\n"
            "시가: 292,000원\n"
            "고가 (애프터마켓 포함): 295,500원\n"
            "저가 (애프터마켓 포함): 288,000원\n"
            "거래량 (애프터마켓 포함): 3,456,789\n"
            "\n"
            "─ NXT(대체거래소, 애프터마켓) ─\n"
            "현재가: 289,500원\n"
            "전일대비: -3,500원\n"
            "거래량: 1,200,000\n"
            "※ NXT는 KRX와 별도 체결 시장으로, 위 KRX 수치에 포함되지 않습니다");
  json m = meta_of(r);
  EXPECT_EQ(m["price_session"], "after_market");
  ASSERT_TRUE(m["regular_close_check"].is_array());
  EXPECT_EQ(m["regular_close_check"][0],
            (json{{"date", "2026-09-16"}, {"regular_close", 291500}, {"status", "ok"}, {"source", "naver_minute_1530"}}));
  // The 15:30 lookup asked the minute series of this stock.
  auto q = env.srv.last_request(kFchart);
  EXPECT_EQ(q.params["timeframe"], "minute");
  EXPECT_EQ(q.params["symbol"], "000660");
}

TEST(GetPrice, AfterMarketCloseLookupFailuresNeverFailTheTool) {
  NaverEnv env("2026-09-16 17:10");
  env.srv.route_file(kPoll + "000660", "naver/polling_after_market_000660.json");
  // The minute series never reaches that day: not checked (which is not "no trade").
  minute_close(env, "20260915", 291500);
  std::string r = price("000660");
  EXPECT_NE(body_of(r).find("정규장 종가 (15:30): 확인 불가 (네이버 분봉에 15:30 체결이 없거나 조회 실패)"), std::string::npos);
  EXPECT_EQ(meta_of(r)["regular_close_check"][0]["status"], "lookup_failed");
  EXPECT_EQ(meta_of(r)["regular_close_check"][0]["reason"], "day_not_reached");
  // Both minute sources are down.
  env.srv.route(kFchart, reply(500, "down"));
  env.srv.route("/api.stock.naver.com/chart/domestic/item/000660/minute", reply(500, "down"));
  r = price("000660");
  EXPECT_NE(body_of(r).find("정규장 종가 (15:30): 확인 불가"), std::string::npos);
  EXPECT_EQ(meta_of(r)["regular_close_check"][0]["status"], "lookup_failed");
  EXPECT_TRUE(meta_of(r)["regular_close_check"][0]["regular_close"].is_null());
}

TEST(GetPrice, MissingCellsShowAsNoDataAndMakeThePartial) {
  NaverEnv env("2026-09-14 08:56");
  env.srv.route_file(kPoll + "035720", "naver/polling_preopen_035720.json");
  std::string r = price("035720");
  std::string b = body_of(r);
  EXPECT_NE(b.find("현재가 (KRX 정규장): 41,000원\n전일대비: 0원\n시가: 데이터 없음\n고가: 데이터 없음\n저가: 데이터 없음\n거래량: 데이터 없음"),
            std::string::npos)
      << b;
  EXPECT_EQ(b.find("NXT"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "읽지 못한 항목: high, low, open, volume — 값이 0인 것이 아니라 결측입니다."));
}

TEST(GetPrice, HaltFlagAndContradictingSign) {
  NaverEnv env("2026-09-16 10:20");
  env.srv.route_file(kPoll + "000270", "naver/polling_disagree_000270.json");
  std::string r = price("000270");
  std::string b = body_of(r);
  EXPECT_NE(b.find("종목: 기아 (000270)\n⚠️ **시장경보/지정: 거래정지** — 일반 종목과 매매 조건·위험이 다릅니다\n"), std::string::npos) << b;
  EXPECT_NE(b.find("전일대비: 데이터 없음"), std::string::npos);
  json m = meta_of(r);
  EXPECT_TRUE(has_warning(m, "시장경보/지정 종목: 거래정지"));
  EXPECT_TRUE(has_warning(m, "읽지 못한 항목: change"));
  EXPECT_EQ(m["data_completeness"], "partial");
}

TEST(GetPrice, NoPriceIsAParseFailureWhenTheNameCameBack) {
  NaverEnv env("2026-09-16 10:20");
  env.srv.route_file(kPoll + "000100", "naver/polling_no_price_000100.json");
  std::string r = price("000100");
  EXPECT_EQ(body_of(r), std::string("유한양행(000100)의 시세를 읽지 못했어요 (데이터가 없는 것이 아니라 **파싱 실패**예요).\n"
                                    "못 읽은 항목: change, high, low, open, price, volume\n"
                                    "네이버 증권 페이지 구조가 바뀌었을 수 있어요. ") +
                            server::PARSE_FAIL_NEXT);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_TRUE(has_warning(m, "현재가 파싱 실패(구조 변경 의심): change, high, low, open, price, volume"));

  // `datas: []` is the site's answer for a code it does not know.
  env.srv.route_file(kPoll + "999999", "naver/polling_empty.json");
  r = price("999999");
  EXPECT_EQ(body_of(r).rfind("종목코드 999999에 해당하는 종목을 찾을 수 없습니다", 0), 0u) << r;
  // Bad input gets the same sentence, never a crash.
  EXPECT_EQ(body_of(price("")), "종목코드 의 현재가를 가져올 수 없습니다.");
  // A code that cannot be one is refused as such, not answered as "no price".
  EXPECT_EQ(body_of(price("0059301")), "⚠️ 종목코드 형식이 올바르지 않습니다: 0059301");
}

TEST(GetPrice, WatchlistedCodeGetsTheStar) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env("2025-12-02 13:50");
  env.srv.route(kPoll + "005930", reply(200, body));
  wl::add("005930", "삼성전자");
  EXPECT_TRUE(fmt::starts_with(price("005930"), "⭐ 종목: 삼성전자 (005930)\n"));
}

TEST(GetPrice, GarbledPageBecomesTheWrapperReply) {
  // Timeouts are covered end to end (the HTTP timeout cap is per process).
  NaverEnv env("2026-09-16 10:20");
  env.srv.route(kPoll + "000660", reply(200, "<html>점검 중</html>", "text/html"));
  // A JSON endpoint answering an HTML page is a failed source, not "no such stock".
  std::string r = price("000660");
  EXPECT_TRUE(fmt::starts_with(r, "⚠️ 종목코드 000660의 현재가 조회 실패 (NaverParseError) — 네이버 페이지를 읽지 못했습니다.")) << r;
  EXPECT_NE(r.find("tessaro-mcp doctor"), std::string::npos);
}

// An unknown code on the live endpoint: `datas` without it. That is "not found".
TEST(GetPrice, EmptyDatasIsAnUnknownCode) {
  NaverEnv env("2026-09-16 10:20");
  env.srv.route(kPoll + "123450", reply(200, R"({"pollingInterval":7000,"datas":[],"time":"20260916102000"})"));
  auto r = server::run_tool("get_price", {{"code", "123450"}});
  EXPECT_EQ(body_of(r.text),
            "종목코드 123450에 해당하는 종목을 찾을 수 없습니다 (잘못된 코드이거나 상장폐지된 종목일 수 있습니다). "
            "search로 종목코드를 확인해 주세요.");
  EXPECT_FALSE(r.is_error);
  json m = meta_of(r.text);
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_TRUE(has_warning(m, "종목코드 123450 없음"));
}

// A 404 of the realtime endpoint (the real m.stock error page) is the endpoint
// gone: the older API stands in, and when it fails too the reply is a failure.
TEST(GetPrice, NotFoundStatusIsAFailedSourceWithTheStandInTried) {
  TESSARO_REQUIRE_SAMPLE(page, "naver/mstock_api_unknown_path_404_20261002_excerpt.html");
  NaverEnv env("2026-09-16 10:20");
  env.srv.route(kPoll + "005930", reply(404, page, "text/html; charset=utf-8"));
  auto r = server::run_tool("get_price", {{"code", "005930"}});
  EXPECT_GE(env.srv.hits("/polling.finance.naver.com/api/realtime"), 1);
  EXPECT_EQ(r.text.find("상장폐지"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("현재가 조회 실패"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("tessaro-mcp doctor"), std::string::npos);
  EXPECT_TRUE(r.is_error);
  json m = meta_of(r.text);
  EXPECT_EQ(m["data_completeness"], "none");
  ASSERT_TRUE(m.contains("lookups")) << m.dump();
  EXPECT_FALSE(m["lookups"]["failed"].empty());
}

TEST(GetPrice, CorruptWatchlistCostsOnlyTheStar) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env("2025-12-02 13:50");
  env.srv.route(kPoll + "005930", reply(200, body));
  {
    std::ofstream f(env.home.path() + "/watchlist.json");
    f << "{\"version\": 1, \"items\": [";   // cut off mid-write by another program
  }
  std::string r = price("005930");
  std::string b = body_of(r);
  EXPECT_TRUE(fmt::starts_with(b, "종목: 삼성전자 (005930)\n현재가 (KRX 정규장): 103,400원\n")) << r;
  const std::string line = "⚠️ 관심종목 파일을 읽지 못했습니다: " + env.home.path() +
                           "/watchlist.json — 관심종목 표시(⭐)만 빠졌고 시세는 그대로입니다.";
  EXPECT_TRUE(fmt::ends_with(b, "\n" + line)) << b;
  size_t count = 0;
  for (size_t p = b.find("⚠️"); p != std::string::npos; p = b.find("⚠️", p + 1)) ++count;
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(has_warning(meta_of(r), "관심종목 파일을 읽지 못했습니다"));
}

TEST(GetPrice, WarningRiskAndAdministrativeDesignationsAreRaised) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env("2025-12-02 13:50");
  env.srv.route(kPoll + "005930", reply(200, body));
  auto listed = [](const std::string& code) {
    return FixtureResponse{200, to_cp949("<html><table class=\"type_2\"><tr><td><a href=\"/item/main.naver?code=" + code +
                                         "\">x</a></td></tr></table></html>"),
                           "text/html; charset=euc-kr"};
  };
  env.srv.route("/finance.naver.com/sise/investment_alert.naver", [&](const FixtureRequest& q) {
    if (q.params.at("type") == "warning") return listed("005930");
    return listed("000660");
  });
  env.srv.route("/finance.naver.com/sise/management.naver", listed("005930"));
  std::string r = price("005930");
  EXPECT_NE(body_of(r).find("종목: 삼성전자 (005930)\n⚠️ **시장경보/지정: 투자경고 · 관리종목** — 일반 종목과 매매 조건·위험이 "
                            "다릅니다\n"),
            std::string::npos)
      << r;
  EXPECT_TRUE(has_warning(meta_of(r), "시장경보/지정 종목: 투자경고 · 관리종목"));
}

TEST(GetPrice, DesignationListsThatFailAreUnknownNotClean) {
  TESSARO_REQUIRE_SAMPLE(body, "naver/polling_realtime_domestic_stock_005930.json");
  NaverEnv env("2025-12-02 13:50");
  env.srv.route(kPoll + "005930", reply(200, body));
  env.srv.route("/finance.naver.com/sise/investment_alert.naver", FixtureResponse{500, "x", "text/html"});
  env.srv.route("/finance.naver.com/sise/management.naver", FixtureResponse{500, "x", "text/html"});
  std::string r = price("005930");
  EXPECT_EQ(body_of(r).find("시장경보/지정"), std::string::npos);
  EXPECT_TRUE(has_warning(meta_of(r), "시장경보·관리종목 지정 여부 확인 불가(시장경보 목록 HTTPStatusError 500, 관리종목 목록 "
                                      "HTTPStatusError 500)"))
      << meta_of(r).dump();
}

// The current quote API is down and the older one answers after the close:
// the figures come with the fallback said, and no session or day is claimed.
TEST(GetPrice, OlderQuoteApiStandsInWithoutClaimingASession) {
  NaverEnv env("2026-01-16 16:40");
  env.srv.route(kPoll + "323410", reply(503, "down"));
  // Written from the documented format of the older realtime API.
  env.srv.route("/polling.finance.naver.com/api/realtime",
                reply(200, R"({"resultCode":"success","result":{"pollingInterval":7000,"time":1768549200000,)"
                           R"("areas":[{"name":"SERVICE_ITEM","datas":[{"cd":"323410","nm":"카카오뱅크","nv":30450,)"
                           R"("cv":1000,"cr":3.18,"rf":"5","sv":31450,"pcv":31450,"ov":31300,"hv":31450,"lv":30300,)"
                           R"("aq":1234567,"aa":37840000000,"ms":"CLOSE","tyn":"N"}]}]}})"));
  std::string r = price("323410");
  EXPECT_TRUE(has(r, "현재가 (KRX, 세션 미확인): 30,450원\n전일대비: -1,000원\n")) << r;
  EXPECT_TRUE(has(r, "⚠️ 네이버 현재가 API 조회 실패 — 구 시세 API 값으로 대신 보여드립니다 (장중이 아니면")) << r;
  json m = meta_of(r);
  EXPECT_EQ(m["price_session"], "unknown");
  EXPECT_EQ(m["data_as_of"], "2026-01-16");   // the day's last trading day, not a quote time
  EXPECT_EQ(m["base_price"], 31450);
  EXPECT_TRUE(has_warning(m, "네이버 현재가 API 조회 실패")) << m.dump();
}
