#include <gtest/gtest.h>

#include "core/format.hpp"

#include <functional>

#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kList = "/stock.naver.com/api/domestic/market/stock/default";

using Value = std::function<long long(int)>;   // day index (0 = newest) -> shares

struct Env : NaverEnv {
  // A stock with `n` weekdays of flow history up to 2026-09-15.
  void flow(const std::string& code, int n, Value inst, Value frgn) {
    auto days = weekdays_back("2026-09-15", n);
    srv.route("/m.stock.naver.com/api/stock/" + code + "/trend", [=](const FixtureRequest& r) {
      int size = std::stoi(r.params.at("pageSize"));
      size_t start = 0;
      if (r.params.count("bizdate"))
        while (start < days.size() && days[start] > r.params.at("bizdate")) ++start;
      json arr = json::array();
      auto sign = [](long long v) { return (v > 0 ? "+" : "") + std::to_string(v); };
      for (size_t i = start; i < days.size() && (int)arr.size() < size; ++i)
        arr.push_back({{"bizdate", days[i]}, {"organPureBuyQuant", sign(inst((int)i))},
                       {"foreignerPureBuyQuant", sign(frgn((int)i))}, {"individualPureBuyQuant", "0"}});
      return reply(200, arr.dump());
    });
  }
};

std::string batch(json codes, int days, bool summary = false) {
  return server::call_tool("get_flow_batch", {{"codes", codes}, {"days", days}, {"summary", summary}});
}
}  // namespace

TEST(FlowBatch, DailyRowsSumsAndDayCap) {
  Env env;
  env.flow("111111", 60, [](int i) { return i % 2 ? -1000 : 2500; }, [](int) { return 0; });
  env.srv.route(kPoll + "111111", FixtureResponse{200, R"({"datas":[{"itemCode":"111111","stockName":"가나전자"}]})"});
  std::string r = batch({"111111"}, 40);
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find("\n\n")),
            "⚠️ 40일을 요청했지만 이 모드의 상한은 20일입니다. 아래는 최근 20일치입니다 (60일까지는 summary=True 심층 모드로 "
            "한 번에 조회 가능).");
  EXPECT_NE(b.find("수급 배치 (1종목, 최근 20일):\n각 행: 날짜 | 기관 순매매(주) | 외국인 순매매(주)  ※ 양수=순매수\n\n[111111] 가나전자\n"
                   "  2026-09-15  +2,500  +0\n  2026-09-14  -1,000  +0\n"),
            std::string::npos);
  EXPECT_NE(b.find("  합계(20일)  +15,000  +0"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["coverage"]["reason"], "server_cap");
  EXPECT_EQ(m["coverage"]["effective"]["value"], 20);
  EXPECT_EQ(m["data_as_of"], "2026-09-15");
  // days <= 0 fetches one day.
  std::string one = body_of(batch({"111111"}, 0));
  EXPECT_NE(one.find("수급 배치 (1종목, 최근 1일):"), std::string::npos);
  EXPECT_NE(one.find("  합계(1일)  +2,500  +0"), std::string::npos);
}

TEST(FlowBatch, DeepWindowsShortStocksAndFailures) {
  Env env;
  env.flow("111111", 60, [](int i) { return i < 3 ? 100 : -50; }, [](int) { return 10; });
  env.flow("222222", 45, [](int) { return 1; }, [](int) { return -1; });
  env.srv.route("/m.stock.naver.com/api/stock/333333/trend", FixtureResponse{500, "down"});
  std::string r = batch({"111111", "222222", "333333", "bad"}, 60, true);
  std::string b = body_of(r);
  EXPECT_NE(b.find("수급 심층 배치 (3종목, 최근 60거래일 요약):"), std::string::npos);
  EXPECT_NE(b.find("[111111]\n  기관   5일 +200 (3/5) · 20일 -550 (3/20) · 60일 -2,550 (3/60)\n"
                   "  외국인 5일 +50 (5/5) · 20일 +200 (20/20) · 60일 +600 (60/60)"),
            std::string::npos);
  EXPECT_NE(b.find("[222222]\n  기관   5일 +5 (5/5) · 20일 +20 (20/20) · 45일 +45 (45/45) · 60일(45일치) +45 (45/45)"),
            std::string::npos);
  EXPECT_NE(b.find("※ 조회 실패: 333333"), std::string::npos);
  EXPECT_NE(b.find("※ 요청한 60일보다 짧게 온 종목: 222222(45일). 상장한 지 얼마 안 됐거나 거래정지 구간이 있을 수 있습니다."),
            std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "source_limit");
  EXPECT_EQ(m["coverage"]["returned_entities"], 2);
  EXPECT_EQ(m["coverage"]["per_entity_returned_count"]["333333"], 0);
  EXPECT_EQ(m["flow_mode"], "window_summary");
  // Ten days in deep mode: windows 5 and 10; a stock with 7 rows shows 5 and 7.
  env.flow("444444", 7, [](int) { return 1; }, [](int) { return 1; });
  env.flow("555555", 30, [](int) { return 1; }, [](int) { return 1; });
  std::string d10 = body_of(batch({"444444", "555555"}, 10, true));
  EXPECT_NE(d10.find("[444444]\n  기관   5일 +5 (5/5) · 7일 +7 (7/7)\n"), std::string::npos);
  EXPECT_NE(d10.find("[555555]\n  기관   5일 +5 (5/5) · 10일 +10 (10/10)\n"), std::string::npos);
}

TEST(FlowBatch, PlainRepliesAndTruncation) {
  Env env;
  EXPECT_EQ(batch(json::array(), 5), "종목코드 리스트가 비어 있습니다.");
  EXPECT_EQ(batch({"12345", "abc!ef"}, 5), "유효한 종목코드가 없습니다 (6자리 영숫자).");
  env.srv.route("/m.stock.naver.com/api/stock/555555/trend", FixtureResponse{500, "down"});
  EXPECT_TRUE(fmt::starts_with(batch({"555555"}, 5), "조회 가능한 종목이 없습니다. (실패: 555555)"));
  json codes = json::array();
  for (int i = 0; i < 35; ++i) {
    std::string c = std::to_string(600000 + i);
    codes.push_back(c);
    env.flow(c, 5, [](int) { return 1; }, [](int) { return 1; });
  }
  std::string r = batch(codes, 5);
  EXPECT_NE(r.find("⚠️ 35종목을 요청했지만 한 번에 30종목까지만 조회합니다. 앞 30종목만 아래에 있습니다."), std::string::npos);
  EXPECT_EQ(r.find("[600030]"), std::string::npos);
  EXPECT_EQ(meta_of(r)["coverage"]["reason"], "server_cap");
}

namespace {
json ranking_row(int i, const std::string& name) {
  return {{"itemcode", code6(700000 + i)}, {"itemname", name}, {"nowPrice", "12000"}, {"prevChangeRate", "1.5"},
          {"tradeVolume", "10"}, {"tradeAmount", "100"}};
}
}  // namespace

TEST(ScreenByFlow, ConsecutiveBuyingMatchesAndEtfExclusion) {
  Env env;
  json rows = json::array({ranking_row(0, "가"), ranking_row(1, "나"), ranking_row(2, "KODEX 200"), ranking_row(0, "가")});
  env.srv.route(kList, FixtureResponse{200, rows.dump()});
  // 700000: institutions 3 days, foreigners 2 days -> match. 700001: foreigners only 1 day.
  env.flow("700000", 10, [](int i) { return i < 3 ? 10 : -10; }, [](int i) { return i < 2 ? 5 : -5; });
  env.flow("700001", 10, [](int) { return 10; }, [](int i) { return i == 0 ? 5 : -5; });
  std::string r = server::call_tool("screen_by_flow", {{"inst_days", 3}, {"foreign_days", 2}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("수급 스크리닝 — ALL 상위 100 (거래대금) 중 외국인 2일 연속 순매수 + 기관 3일 연속 순매수\n"
                   "후보 2개 → 매치 1개 (ETF/ETN 제외: 1)"),
            std::string::npos);
  EXPECT_NE(b.find("[700000] 가  현재가 12,000 (+1.50%)\n  2026-09-15  기관 +10  외국인 +5\n  2026-09-14  기관 +10  외국인 +5\n"
                   "  2026-09-11  기관 +10  외국인 -5"),
            std::string::npos);
  EXPECT_EQ(env.srv.last_request(kList).params.at("orderType"), "priceTop");
  EXPECT_EQ(meta_of(r)["data_completeness"], "complete");
  // Both conditions off: every candidate with a row matches.
  std::string all = body_of(server::call_tool("screen_by_flow", {{"inst_days", 0}, {"foreign_days", 0}}));
  EXPECT_NE(all.find("중 조건 없음\n후보 2개 → 매치 2개"), std::string::npos);
}

TEST(ScreenByFlow, NoMatchListsFiveExcludedAndFailedFlowsArePartial) {
  Env env;
  json rows = json::array();
  for (int i = 0; i < 7; ++i) rows.push_back(ranking_row(i, "TIGER ETF" + std::to_string(i)));
  rows.push_back(ranking_row(9, "다"));
  env.srv.route(kList, FixtureResponse{200, rows.dump()});
  env.srv.route("/m.stock.naver.com/api/stock/700009/trend", FixtureResponse{500, "down"});
  env.srv.route("/m.stock.naver.com/api/stock/700008/trend", FixtureResponse{200, "[]"});
  rows.push_back(ranking_row(8, "라"));
  env.srv.route(kList, FixtureResponse{200, rows.dump()});
  std::string r = server::call_tool("screen_by_flow", json::object());
  std::string b = body_of(r);
  EXPECT_NE(b.find("⚠️ 조건을 만족하는 종목이 없습니다.\n\n💡 조건 완화 예: foreign_days=1 또는 inst_days=0 (외국인만 검사)\n"
                   "제외된 ETF/ETN (7개): 700000 TIGER ETF0, 700001 TIGER ETF1, 700002 TIGER ETF2, 700003 TIGER ETF3, "
                   "700004 TIGER ETF4 …"),
            std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_NE(m["warnings"].dump().find("\"수급 조회 실패 종목 1개 — 스크리닝 후보에서 제외됨.\""), std::string::npos) << m["warnings"];
  env.srv.route(kList, FixtureResponse{200, "[]"});
  env.srv.route("/stock.naver.com/api/polling/domestic/index", FixtureResponse{200, R"({"datas":[]})"});
  std::string empty = server::call_tool("screen_by_flow", {{"market", "KOSDAQ"}});
  EXPECT_EQ(body_of(empty), "KOSDAQ 거래대금 순위를 가져올 수 없습니다.");
  EXPECT_EQ(meta_of(empty)["data_completeness"], "none");
}

// A stock whose trend API failed and whose main page stood in: said as such,
// not as a short history, and the reply is partial.
TEST(FlowBatch, MainPageStandInIsSaidNotCalledAShortHistory) {
  TESSARO_REQUIRE_SAMPLE(html, "naver/finance_item_main_invest_trend_323410.html");
  NaverEnv env("2024-01-16 18:00");
  env.srv.route("/m.stock.naver.com/api/stock/323410/trend", reply(503, "down"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(200, html, "text/html; charset=utf-8"));
  std::string r = batch({"323410"}, 20);
  std::string b = body_of(r);
  EXPECT_NE(b.find("  2024-01-16  +98,631  -316,102\n"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 투자자 동향 API 조회 실패로 네이버 종목 메인 페이지의 최근 며칠 표로 대신 보여준 종목: 323410(6일)"),
            std::string::npos) << b;
  EXPECT_EQ(b.find("짧게 온 종목"), std::string::npos) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["coverage_complete"], false);
  EXPECT_TRUE(has_warning(m, "네이버 종목 메인 페이지")) << m.dump();
}

// A candidate judged on the main page's stand-in table is counted in the warnings.
TEST(ScreenByFlow, StandInTablesAreCounted) {
  TESSARO_REQUIRE_SAMPLE(html, "naver/finance_item_main_invest_trend_323410.html");
  NaverEnv env("2024-01-16 18:00");
  env.srv.route(kList, FixtureResponse{200, json::array({ranking_row(0, "가")}).dump()});
  env.srv.route("/m.stock.naver.com/api/stock/700000/trend", reply(503, "down"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(200, html, "text/html; charset=utf-8"));
  // The table's newest two days: institutions bought on both, foreigners sold on 01-16.
  std::string r = server::call_tool("screen_by_flow", {{"inst_days", 2}, {"foreign_days", 0}});
  EXPECT_NE(body_of(r).find("  2024-01-16  기관 +98,631  외국인 -316,102\n  2024-01-15  기관 +585,221  외국인 +227,408"),
            std::string::npos)
      << body_of(r);
  EXPECT_TRUE(has_warning(meta_of(r), "메인 페이지의 최근 며칠 표로 판정한 종목 1개")) << meta_of(r).dump();
  // Said in the text too, and the screen is not complete.
  EXPECT_NE(body_of(r).find("※ 대체 출처: 1종목은 투자자 동향 API가 응답하지 않아 종목 메인 페이지의 최근 며칠 표로 "
                            "판정했습니다."),
            std::string::npos)
      << body_of(r);
  EXPECT_EQ(meta_of(r)["data_completeness"], "partial");
}

// Every candidate's flow failed: nothing was screened, which is not "no match".
TEST(ScreenByFlow, EveryFlowFailingIsAFailureReply) {
  NaverEnv env("2024-01-16 18:00");
  env.srv.route(kList, FixtureResponse{200, json::array({ranking_row(0, "가"), ranking_row(1, "나")}).dump()});
  env.srv.route("/m.stock.naver.com/api/stock/700000/trend", reply(503, "down"));
  env.srv.route("/m.stock.naver.com/api/stock/700001/trend", reply(503, "down"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(500, "down"));
  auto r = server::run_tool("screen_by_flow", json::object());
  EXPECT_EQ(body_of(r.text).find("조건을 만족하는 종목이 없습니다"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("⚠️ 수급 조회에 모두 실패했습니다 (2종목)"), std::string::npos) << r.text;
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(meta_of(r.text)["data_completeness"], "none");
}
