#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "analysis/event_reaction/event_reaction.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kPoll = "/polling.finance.naver.com/api/realtime/domestic/stock/";
const std::string kIndex = "/stock.naver.com/api/polling/domestic/index";
const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

std::string fmt_join(const std::vector<std::string>& v) {
  std::string o;
  for (const auto& s : v) o += (o.empty() ? "" : ",") + s;
  return o;
}

json item(const std::string& code, const std::string& change, const std::string& dir) {
  return {{"itemCode", code},     {"stockName", "종목" + code},
          {"closePrice", "9,000"}, {"compareToPreviousClosePrice", change},
          {"compareToPreviousPrice", {{"code", dir}}}, {"fluctuationsRatio", "1.50"},
          {"accumulatedTradingVolume", "12,345"},      {"localTradedAt", "2026-09-16T10:00:00.000+09:00"}};
}

// Daily bars ending 2026-09-15, n of them, the first `halted` of them placeholders.
std::string fchart(int n, int halted = 0) {
  std::vector<std::string> items;
  auto d = *mt::parse_day("2026-09-15") - std::chrono::days(n);
  for (int i = 0; i < n; ++i) {
    d += std::chrono::days(1);
    std::string ds = mt::day_str(d);
    ds.erase(std::remove(ds.begin(), ds.end(), '-'), ds.end());
    int c = 1000 + i * 10;
    items.push_back(i < halted ? ds + "|5000|5000|5000|5000|0"
                               : ds + "|" + std::to_string(c) + "|" + std::to_string(c + 50) + "|" +
                                     std::to_string(c - 50) + "|" + std::to_string(c) + "|100");
  }
  return fchart_xml(items);
}
}  // namespace

TEST(MultiStocks, ChangeSignsAndFailedCodesNamed) {
  NaverEnv env("2026-09-16 10:00");
  json datas = json::array({item("111111", "0", "3"), item("222222", "1,500", "5"), item("333333", "1,500", "2")});
  env.srv.route(kPoll + "111111,222222,333333,444444", FixtureResponse{200, json{{"datas", datas}}.dump()});
  std::string r = server::call_tool("get_multi_stocks", {{"codes", {"111111", "222222", "333333", "444444"}}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("종목 정보 (3개):\n\n코드 | 종목명 | 현재가 | 전일대비 | 등락률 | 거래량\n---|---|---|---|---|---\n"
                   "111111 | 종목111111 | 9,000 | 0 | 0.00% | 12,345\n"
                   "222222 | 종목222222 | 9,000 | -1,500 | -1.50% | 12,345\n"
                   "333333 | 종목333333 | 9,000 | +1,500 | +1.50% | 12,345"),
            std::string::npos);
  EXPECT_NE(b.find("※ 조회 실패: 444444"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["price_session"], "regular");
  EXPECT_EQ(server::call_tool("get_multi_stocks", {{"codes", json::array()}}), "종목코드 리스트가 비어 있습니다.");
}

TEST(MultiStocks, AfterMarketRowsGetTheSessionColumn) {
  NaverEnv env("2026-09-16 17:00");
  json a = item("111111", "100", "2");
  a["localTradedAt"] = "2026-09-16T17:05:00.000+09:00";
  json datas = json::array({a, item("222222", "100", "2")});
  env.srv.route(kPoll + "111111,222222", FixtureResponse{200, json{{"datas", datas}}.dump()});
  std::string r = server::call_tool("get_multi_stocks", {{"codes", {"111111", "222222"}}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("코드 | 종목명 | 현재가 | 전일대비 | 등락률 | 거래량 | 세션"), std::string::npos);
  EXPECT_NE(b.find("111111 | 종목111111 | 9,000 | +100 | +1.50% | 12,345 | 애프터마켓"), std::string::npos);
  EXPECT_NE(b.find("222222 | 종목222222 | 9,000 | +100 | +1.50% | 12,345 | 정규장"), std::string::npos);
  EXPECT_NE(b.find("※ 세션: 애프터마켓 1종목 · 정규장 1종목"), std::string::npos);
  EXPECT_EQ(meta_of(r)["price_session"], "after_market");
}

TEST(MultiChartStats, ShortStocksPlaceholdersAndDayClamp) {
  NaverEnv env("2026-09-16 10:00");
  env.srv.route(kFchart, [](const FixtureRequest& r) {
    int count = std::stoi(r.params.at("count"));
    std::string sym = r.params.at("symbol");
    if (sym == "111111") return FixtureResponse{200, fchart(std::min(count, 150)), "text/xml"};
    if (sym == "222222") return FixtureResponse{200, fchart(count, 2), "text/xml"};
    return FixtureResponse{500, "down", "text/plain"};
  });
  env.srv.route("/m.stock.naver.com/api/stock/111111/basic", FixtureResponse{200, R"({"stockEndType":"stock"})"});
  env.srv.route("/m.stock.naver.com/api/stock/222222/basic", FixtureResponse{200, R"({"stockEndType":"etf"})"});
  std::string r = server::call_tool("get_multi_chart_stats", {{"codes", {"111111", "222222", "333333"}}});
  EXPECT_EQ(env.srv.last_request(kFchart).params.at("count"), "260");
  std::string b = body_of(r);
  EXPECT_NE(b.find("차트 통계 (2개 종목, 요청 260일 집계):"), std::string::npos);
  // 150 bars of a 260-day request is short (below 156).
  EXPECT_NE(b.find("111111 | 2,490 | 2,540(2026-09-15) | 950(2026-04-19) | -2.0% | +149.0% | ⚠️150"), std::string::npos);
  EXPECT_NE(b.find("| 258"), std::string::npos);   // the two placeholder bars are not counted
  EXPECT_NE(b.find("※ 조회 실패: 333333"), std::string::npos);
  EXPECT_NE(b.find("\n※ " + std::string(event_reaction::CORPORATE_ACTION_NOTE) + "\n"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "비정상 봉 2개를"));
  EXPECT_TRUE(has_warning(m, "짧은 종목 1건: 111111(150봉)"));
  EXPECT_EQ(m["data_as_of"], "2026-09-15");
  // Bars after the after-market start, for a stock that can trade after hours.
  EXPECT_NE(b.find("부터 네이버 일봉은 애프터마켓(16:00~20:00) 체결을 합친 값입니다."), std::string::npos);

  // The clamp is what the source is asked for: seen with the bar cache off, which
  // would otherwise answer these from the bars it already holds.
  ScopedEnv uncached("TESSARO_BARS_CACHE", "off");
  server::call_tool("get_multi_chart_stats", {{"codes", {"222222"}}, {"days", 5}});
  EXPECT_EQ(env.srv.last_request(kFchart).params.at("count"), "10");
  server::call_tool("get_multi_chart_stats", {{"codes", {"222222"}}, {"days", 900}});
  EXPECT_EQ(env.srv.last_request(kFchart).params.at("count"), "500");
}

TEST(MultiChartStats, UnknownCodesAreNotFailures) {
  NaverEnv env("2026-09-16 10:00");
  env.srv.route(kFchart, [](const FixtureRequest& r) {
    std::string sym = r.params.at("symbol");
    if (sym == "111111") return FixtureResponse{200, fchart(260), "text/xml"};
    if (sym == "999990") return FixtureResponse{200, fchart_xml({}, "day", "999990"), "text/xml"};
    if (sym == "005930") return FixtureResponse{410, read_shared_sample("naver/finance_item_sise_day_http410.html"), "text/html"};
    return FixtureResponse{500, "down", "text/plain"};
  });
  env.srv.route("/m.stock.naver.com/api/stock/111111/basic", FixtureResponse{200, R"({"stockEndType":"stock"})"});
  std::string r = server::call_tool("get_multi_chart_stats", {{"codes", {"111111", "999990", "333333", "005930"}}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("※ 종목 없음(잘못된 코드이거나 상장폐지): 999990"), std::string::npos) << b;
  // A 410 (the real retired-page body) is a failed lookup like a 500.
  EXPECT_TRUE(has_line(b, "※ 조회 실패: 333333, 005930")) << b;
  EXPECT_EQ(b.find("상장폐지): 999990, 005930"), std::string::npos) << b;
  EXPECT_EQ(b.find("조회 실패: 999990"), std::string::npos);
  // Only an unknown code: the tool's own "not found" reply, not "could not fetch".
  std::string only = server::call_tool("get_multi_chart_stats", {{"codes", {"999990"}}});
  EXPECT_EQ(only.rfind("종목코드 999990에 해당하는 종목을 찾을 수 없습니다", 0), 0u) << only;
}

TEST(MarketIndex, MissingPartsAreNotPrinted) {
  NaverEnv env("2026-09-16 10:00");
  env.srv.route(kIndex, FixtureResponse{200, R"({"datas":[
    {"itemCode":"KOSPI","stockName":"코스피","closePrice":"3,201.55","compareToPreviousClosePrice":"12.30","fluctuationsRatio":"0.39"},
    {"itemCode":"KOSDAQ","stockName":"코스닥","closePrice":"880.10","compareToPreviousClosePrice":"-3.05","fluctuationsRatio":"-"}]})"});
  std::string r = server::call_tool("get_index", json::object());
  EXPECT_EQ(body_of(r), "시장 지수:\n  코스피: 3,201.55 +12.30p (+0.39%)\n  코스닥: 880.10 -3.05p");
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["warnings"][0], "코스닥 읽지 못한 항목: change_rate");
  env.srv.route(kIndex, FixtureResponse{200, R"({"datas":[]})"});
  std::string none = server::call_tool("get_index", json::object());
  EXPECT_EQ(body_of(none), "시장 지수:\n  코스피: 데이터 없음\n  코스닥: 데이터 없음");
  EXPECT_EQ(meta_of(none)["data_completeness"], "none");
}

// The polling feed down: each index's own summary stands in (the real KOSPI
// capture), said in the text; KOSDAQ's request failing is a failure, not fields
// that "did not read".
TEST(MarketIndex, StandInIsSaidAndAFailedIndexIsAFailure) {
  TESSARO_REQUIRE_SAMPLE(kospi, "naver/mstock_api_index_basic_KOSPI.json");
  NaverEnv env("2026-09-16 10:00");
  env.srv.route(kIndex, FixtureResponse{503, "down"});
  env.srv.route("/m.stock.naver.com/api/index/KOSPI/basic", FixtureResponse{200, kospi});
  env.srv.route("/m.stock.naver.com/api/index/KOSDAQ/basic", FixtureResponse{500, "down"});
  std::string r = server::call_tool("get_index", json::object());
  std::string b = body_of(r);
  EXPECT_NE(b.find("  코스닥: 조회 실패 (HTTPStatusError 500) — 값이 없는 것이 아니라 모름"), std::string::npos) << b;
  EXPECT_NE(b.find("※ 대체 출처: 지수 실시간 API가 응답하지 않아 지수별 요약(m.stock)으로 읽었습니다."), std::string::npos) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_FALSE(has_warning(m, "코스닥 읽지 못한 항목")) << m.dump();
  EXPECT_TRUE(has_warning(m, "코스닥 조회 실패(HTTPStatusError 500)")) << m.dump();
}

TEST(MultiStocks, OutageOverManyBatchesIsAFailureNotAnEmptyList) {
  NaverEnv env("2026-09-16 10:00");
  json codes = json::array();
  for (int i = 0; i < 45; ++i) codes.push_back(code6(100000 + i));
  // No polling route: every batch of 30 answers 404/500-like failures.
  for (int b = 0; b < 2; ++b) {
    std::string joined;
    for (int i = b * 30; i < std::min(45, b * 30 + 30); ++i) joined += (joined.empty() ? "" : ",") + code6(100000 + i);
    env.srv.route(kPoll + joined, FixtureResponse{503, "down"});
  }
  std::string r = server::call_tool("get_multi_stocks", {{"codes", codes}});
  EXPECT_NE(r, "종목 정보를 가져올 수 없습니다.");
  EXPECT_EQ(r.rfind("⚠️ 네트워크 오류가 발생했습니다: HTTPStatusError", 0), 0u) << r;
}

// A list of thousands is cut to the documented 100 stocks, and the reply says so:
// one daily-bar request per stock kept, none for the rest.
TEST(MultiChartStats, LongListsAreCutAndTheCutIsStated) {
  NaverEnv env("2026-09-16 10:00");
  ScopedEnv uncached("TESSARO_BARS_CACHE", "off");
  env.srv.route(kFchart, [](const FixtureRequest&) { return FixtureResponse{200, fchart(200), "text/xml"}; });
  json codes = json::array();
  for (int i = 1; i <= 150; ++i) codes.push_back(code6(100000 + i));
  std::string r = server::call_tool("get_multi_chart_stats", {{"codes", codes}});
  EXPECT_EQ(env.srv.hits(kFchart), 100);
  std::string b = body_of(r);
  EXPECT_EQ(b.rfind("⚠️ 150종목을 요청했지만 한 번에 100종목까지만 조회합니다. 앞 100종목만 아래에 있습니다.", 0), 0u) << b.substr(0, 300);
  EXPECT_NE(b.find("차트 통계 (100개 종목"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["truncated"], true);
  EXPECT_EQ(m["coverage"]["reason"], "server_cap");
  EXPECT_EQ(m["coverage"]["requested_entities"], 150);
}

// After the after-market opens, the market division is asked only for the rows
// whose last trade falls in it, once per code.
TEST(MultiStocks, DivisionAskedOnlyWhereTheAfterMarketRuleNeedsIt) {
  NaverEnv env("2026-09-16 17:00");
  std::atomic<int> in_flight{0}, most{0};
  json datas = json::array();
  std::vector<std::string> codes;
  for (int i = 1; i <= 6; ++i) {
    std::string c = code6(500000 + i);
    codes.push_back(c);
    json it = item(c, "100", "2");
    if (i % 2 == 0) it["localTradedAt"] = "2026-09-16T17:05:00.000+09:00";
    datas.push_back(it);
    env.srv.route("/m.stock.naver.com/api/stock/" + c + "/basic", [i, &in_flight, &most](const FixtureRequest&) {
      int now = ++in_flight;
      for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      --in_flight;
      return FixtureResponse{200, i == 4 ? R"({"stockEndType":"etf"})" : R"({"stockEndType":"stock"})"};
    });
  }
  env.srv.route(kPoll + fmt_join(codes), FixtureResponse{200, json{{"datas", datas}}.dump()});
  std::string r = server::call_tool("get_multi_stocks", {{"codes", codes}});
  for (int i = 1; i <= 6; ++i)
    EXPECT_EQ(env.srv.hits("/m.stock.naver.com/api/stock/" + codes[i - 1] + "/basic"), i % 2 == 0 ? 1 : 0) << i;
  EXPECT_GT(most.load(), 1);   // asked side by side, not one row after another
  std::string b = body_of(r);
  EXPECT_NE(b.find(codes[1] + " | 종목" + codes[1] + " | 9,000 | +100 | +1.50% | 12,345 | 애프터마켓"), std::string::npos);
  EXPECT_NE(b.find(codes[3] + " | 종목" + codes[3] + " | 9,000 | +100 | +1.50% | 12,345 | 정규장"), std::string::npos) << b;
}
