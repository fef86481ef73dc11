// get_indicators / get_indicators_bulk end to end over a loopback Naver.
#include <gtest/gtest.h>

#include "core/format.hpp"

#include <map>
#include <set>

#include "server/registry.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

// n weekday bars ending on `last` (YYYY-MM-DD), closes rising by 50 a day.
json weekday_rows(int n, const std::string& last, double start = 10000) {
  auto days = weekdays_back(last, n);
  json rows = json::array();
  double c = start;
  for (auto it = days.rbegin(); it != days.rend(); ++it, c += 50)
    rows.push_back({{"date", *it}, {"open", c - 50}, {"high", c + 100}, {"low", c - 100}, {"close", c}, {"volume", 100000 + rows.size()}});
  return rows;
}

json placeholder(const std::string& ymd, double close) {
  return {{"date", ymd}, {"open", 0}, {"high", 0}, {"low", 0}, {"close", close}, {"volume", 0}};
}

// Bars per code; a code without bars gets an empty series, a failing one a 500.
struct Env : NaverEnv {
  std::map<std::string, std::string> xml;
  std::set<std::string> failing;

  explicit Env(const char* kst = "2026-11-20 21:00") : NaverEnv(kst) {
    srv.route(kFchart, [this](const FixtureRequest& r) {
      std::string code = r.params.count("symbol") ? r.params.at("symbol") : "";
      if (failing.count(code)) return reply(500, "oops", "text/plain");
      auto it = xml.find(code);
      return reply(200, it == xml.end() ? fchart_rows_xml(json::array(), code) : it->second, "text/xml; charset=EUC-KR");
    });
  }
  void set(const std::string& code, const json& rows) { xml[code] = fchart_rows_xml(rows, code); }
};

json reference_rows() { return json::parse(read_fixture("indicators/ind_reference_day.json"))["rows"]; }

json call(const std::string& tool, const json& args) {
  std::string out = server::call_tool(tool, args);
  json j = json::parse(out);
  // Compact and with Korean unescaped: the reply is exactly the compact dump.
  EXPECT_EQ(out, dump_compact(j));
  return j;
}

}  // namespace

TEST(ToolGetIndicators, FullSeriesWithHaltsAndAfterMarketBars) {
  Env env;
  env.set("005930", reference_rows());
  json all = json::array();
  for (const char* n : {"ma", "ma_phase", "ma_slope", "ma_cross", "rsi", "macd", "bollinger", "stochastic", "obv",
                        "volume", "position", "candle", "support_resistance", "volume_profile", "price_channel"})
    all.push_back(n);
  json j = call("get_indicators", {{"code", "005930"}, {"days", 500}, {"include", all}});
  std::vector<std::string> keys;
  for (auto& [k, v] : j.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"code", "timeframe", "days", "indicators", "_meta"}));
  EXPECT_EQ(j["days"], 500);
  EXPECT_EQ(env.srv.last_request(kFchart).params["count"], "500");
  const json& ind = j["indicators"];
  json ref = json::parse(read_fixture("indicators/ind_reference_day.json"))["reference"];
  EXPECT_NEAR(ind["rsi"]["value"].get<double>(), ref["rsi14"].back().get<double>(), 0.0051);
  EXPECT_EQ(ind["volume"]["latest_date"], "2026-11-19");
  EXPECT_FALSE(ind["volume"].contains("intraday_incomplete"));   // the bar is final
  const json& m = j["_meta"];
  EXPECT_EQ(m["data_completeness"], "complete") << m.dump();
  EXPECT_EQ(m["bar_exclusions"]["count"], 3);
  EXPECT_TRUE(has_warning(m, "2026-03-10, 2026-03-11, 2026-07-21)"));
  EXPECT_EQ(m["price_session"], "regular_and_after");
  EXPECT_EQ(m["session_mix"]["since"], "2026-09-14");
  EXPECT_EQ(m["indicator_coverage"]["available_bars"], 317);
  EXPECT_TRUE(m["indicator_coverage"]["insufficient"].empty());
  EXPECT_FALSE(m.contains("indicator_errors"));
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], true);
}

TEST(ToolGetIndicators, ArgumentsAndEarlyReplies) {
  Env env;
  env.set("005930", weekday_rows(60, "2026-11-19"));
  EXPECT_EQ(server::call_tool("get_indicators", {{"code", ""}}), "종목코드가 필요합니다.");
  std::string bad = server::call_tool("get_indicators", {{"code", "005930"}, {"include", {"rsi", "foo", "ichimoku"}}});
  EXPECT_EQ(bad.substr(0, bad.find('\n')), "지원하지 않는 지표: ['foo', 'ichimoku']");
  EXPECT_EQ(env.srv.hits(kFchart), 0) << "nothing is fetched for an unknown name";

  call("get_indicators", {{"code", "005930"}, {"days", 10}});
  EXPECT_EQ(env.srv.last_request(kFchart).params["count"], "30");
  json j = call("get_indicators", {{"code", "005930"}, {"days", 900}});
  EXPECT_EQ(env.srv.last_request(kFchart).params["count"], "500");
  EXPECT_EQ(j["days"], 500);
  EXPECT_EQ(j["indicators"].size(), 4u) << "default include: ma, ma_phase, volume, candle";

  // A chart answered without any item: the code is unknown.
  EXPECT_PRED2(fmt::starts_with, server::call_tool("get_indicators", {{"code", "123456"}}),
               std::string("종목코드 123456에 해당하는 종목을 찾을 수 없습니다"));
  json halted = json::array();
  for (const auto& r : weekday_rows(5, "2026-11-19")) halted.push_back(placeholder(r["date"], 5000));
  env.set("000001", halted);
  EXPECT_EQ(server::call_tool("get_indicators", {{"code", "000001"}}),
            "종목 000001: 조회된 봉 전체가 거래정지 placeholder 등 비정상이라 지표를 계산할 수 없습니다.");
}

TEST(ToolGetIndicators, ShortHistoryAndEngineErrorsArePartial) {
  Env env;
  env.set("005930", weekday_rows(120, "2026-09-11"));
  json j = call("get_indicators", {{"code", "005930"}, {"include", {"ma_cross", "volume", "rsi"}},
                                   {"params", {{"rsi", {{"period", "x"}}}}}});
  const json& m = j["_meta"];
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["indicator_coverage"]["insufficient"], (json{"ma60_120_cross", "volume_rank_252b"}));
  EXPECT_TRUE(has_warning(m, "(보유 120봉)"));
  EXPECT_TRUE(has_warning(m, "계산에 실패한 지표: rsi(ValueError:"));
  EXPECT_EQ(m["coverage"]["reason"], "indicator_error");
  EXPECT_EQ(m["indicator_errors"][0]["indicator"], "rsi");
  EXPECT_FALSE(m.contains("session_mix")) << "every bar is before the after-market start";
  EXPECT_EQ(m["price_session"], "regular");
  EXPECT_TRUE(j["indicators"]["volume"]["volume_rank_252b"].is_null());
  EXPECT_FALSE(j["indicators"]["ma_cross"].contains("error"));
}

TEST(ToolGetIndicators, SevenPlaceholdersAndAnUnfinishedBar) {
  // During the session the last (today's) bar is still forming.
  Env env("2026-11-19 10:00");
  json rows = weekday_rows(60, "2026-11-19");
  for (int i = 0; i < 7; ++i) rows[10 + i] = placeholder(rows[10 + i]["date"], 9000);
  env.set("005930", rows);
  json j = call("get_indicators", {{"code", "005930"}, {"include", {"volume"}}});
  const json& m = j["_meta"];
  EXPECT_EQ(m["bar_exclusions"]["count"], 7);
  EXPECT_TRUE(has_warning(m, " 외). ")) << m["warnings"].dump();
  EXPECT_EQ(m["data_basis"], "in_progress_bar");
  EXPECT_EQ(j["indicators"]["volume"]["intraday_incomplete"], true);
  EXPECT_EQ(m["bar_state"]["last_bar_complete"], false);
}

TEST(ToolGetIndicatorsBulk, MixOfGoodUnknownFailingAndHaltedCodes) {
  Env env;
  env.set("005930", weekday_rows(80, "2026-11-19"));
  json older = weekday_rows(70, "2026-11-18");
  older[5] = placeholder(older[5]["date"], 10000);
  env.set("000660", older);
  json halted = json::array();
  for (const auto& r : weekday_rows(4, "2026-11-19")) halted.push_back(placeholder(r["date"], 5000));
  env.set("035720", halted);
  env.failing.insert("051910");
  json j = call("get_indicators_bulk", {{"codes", {"005930", "999999", "051910", "000660", "035720"}}});
  std::vector<std::string> order;
  for (auto& [k, v] : j["results"].items()) order.push_back(k);
  EXPECT_EQ(order, (std::vector<std::string>{"005930", "999999", "051910", "000660", "035720"}));
  EXPECT_EQ(j["include"], (json{"ma_phase", "volume"}));
  const json& r = j["results"];
  EXPECT_EQ(r["999999"], (json{{"error", "OHLCV 없음"}}));
  EXPECT_EQ(r["035720"]["error"], "봉 4개 전체가 비정상 (거래정지 placeholder 등 입력 데이터 이상)");
  EXPECT_EQ(r["051910"]["error"].get<std::string>().rfind("HTTPStatusError: ", 0), 0u) << r["051910"].dump();
  EXPECT_TRUE(r["005930"].contains("ma_phase"));
  const json& m = j["_meta"];
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "3개 종목 조회 실패 — results의 error 필드 확인."));
  EXPECT_TRUE(has_warning(m, "(가장 짧은 종목 69봉 기준)."));
  EXPECT_TRUE(has_warning(m, "비정상 봉 5개를 계산에서 제외했습니다(by_code 참고)."));
  EXPECT_EQ(m["bar_exclusions"]["by_code"], (json{{"000660", 1}, {"035720", 4}}));
  EXPECT_EQ(m["per_entity_data_as_of"], (json{{"005930", "2026-11-19"}, {"000660", "2026-11-18"}}));
  EXPECT_EQ(m["data_as_of"], "2026-11-19");
  EXPECT_EQ(m["session_mix"]["codes_with_after_market_bars"], (json{"005930", "000660"}));
  EXPECT_EQ(m["price_session"], "regular_and_after");
}

// A stock's market division is asked beside its chart; it counts only when it
// labels bars. A code without bars is not reported as a failed division lookup.
TEST(ToolGetIndicatorsBulk, DivisionAskedAheadCountsOnlyForStocksWithBars) {
  Env env;
  for (const char* c : {"999998", "999999", "005930"})
    env.srv.route(std::string("/m.stock.naver.com/api/stock/") + c + "/basic", reply(500, "down", "text/plain"));
  json j = call("get_indicators_bulk", {{"codes", {"999998", "999999"}}});
  EXPECT_EQ(j["results"]["999999"], (json{{"error", "OHLCV 없음"}}));
  EXPECT_EQ(j["_meta"].dump().find("basic"), std::string::npos) << j["_meta"].dump();
  EXPECT_GE(env.srv.hits("/m.stock.naver.com/api/stock/999999/basic"), 1) << "asked together with the chart";

  env.set("005930", weekday_rows(80, "2026-11-19"));
  j = call("get_indicators_bulk", {{"codes", {"005930", "999999"}}});
  EXPECT_TRUE(j["results"]["005930"].contains("ma_phase"));
  EXPECT_NE(j["_meta"].value("lookups", json()).dump().find("basic"), std::string::npos) << j["_meta"].dump();
}

TEST(ToolGetIndicatorsBulk, LimitsErrorsAndEmptyInput) {
  Env env;
  EXPECT_EQ(server::call_tool("get_indicators_bulk", {{"codes", json::array()}}), "종목코드 리스트가 비어 있습니다.");
  std::string bad = server::call_tool("get_indicators_bulk", {{"codes", {"005930"}}, {"include", {"vol"}}});
  EXPECT_EQ(bad.substr(0, bad.find('\n')), "지원하지 않는 지표: ['vol']");

  json rows = weekday_rows(40, "2026-09-10");   // before the after-market start
  json codes = json::array();
  for (int i = 0; i < 120; ++i) {
    std::string c = "A" + code6(i).substr(1);
    codes.push_back(c);
    if (i < 6) env.set(c, rows);
  }
  json many = call("get_indicators_bulk", {{"codes", codes}, {"include", {"volume"}}});
  EXPECT_EQ(many["count"], 100);
  EXPECT_EQ(many["results"].size(), 100u);
  EXPECT_FALSE(many["results"].contains("A00100"));

  // Six stocks with two failing indicators each: twelve errors, eight named.
  json six(codes.begin(), codes.begin() + 6);
  json j = call("get_indicators_bulk", {{"codes", six}, {"include", {"rsi", "macd", "volume"}},
                                        {"params", {{"rsi", {{"period", "x"}}}, {"macd", {{"fast", 40}}}}}});
  const json& m = j["_meta"];
  EXPECT_EQ(m["indicator_errors"].size(), 12u);
  EXPECT_EQ(m["indicator_errors"][0].begin().key(), "code");
  EXPECT_TRUE(has_warning(m, "계산에 실패한 지표 A00000:rsi, A00000:macd, A00001:rsi, A00001:macd, A00002:rsi, "
                             "A00002:macd, A00003:rsi, A00003:macd - 값이 없는 것이지 신호가 없는 것이 아닙니다."));
  EXPECT_EQ(m["coverage"]["reason"], "indicator_error");
  EXPECT_FALSE(m.contains("session_mix"));
  EXPECT_EQ(m["price_session"], "regular");
}

TEST(ToolGetIndicatorsBulk, DuplicateCodesCountOnceAndErrorsHideQueries) {
  Env env;
  env.set("005930", weekday_rows(80, "2026-11-19"));
  env.failing.insert("051910");
  json j = call("get_indicators_bulk", {{"codes", {"005930", "051910", "005930", "051910"}}});
  EXPECT_EQ(j["count"], 2);
  EXPECT_EQ(j["results"].size(), 2u);
  EXPECT_TRUE(has_warning(j["_meta"], "1개 종목 조회 실패 — results의 error 필드 확인.")) << j["_meta"].dump();
  EXPECT_EQ(env.srv.hits(kFchart), 1 + 2);   // one fetch per code (the failing one retried once)
  std::string err = j["results"]["051910"]["error"];
  EXPECT_EQ(err.find("symbol="), std::string::npos) << err;
  EXPECT_NE(err.find("sise.nhn?…"), std::string::npos) << err;
}

TEST(ToolGetIndicators, GoneChartIsAFailureAndAnEmptyChartAnUnknownCode) {
  TESSARO_REQUIRE_SAMPLE(gone, "naver/finance_item_sise_day_http410.html");
  Env env;
  env.srv.route(kFchart, reply(410, gone, "text/html; charset=utf-8"));
  std::string failed = server::call_tool("get_indicators", {{"code", "005930"}});
  EXPECT_EQ(failed.find("상장폐지"), std::string::npos) << failed;
  EXPECT_NE(failed.find("봉 데이터 조회 실패 (HTTPStatusError 410)"), std::string::npos) << failed;
  env.srv.route(kFchart, reply(200, fchart_xml({}, "day", "999990"), "text/xml"));
  EXPECT_EQ(server::call_tool("get_indicators", {{"code", "999990"}}),
            "종목코드 999990에 해당하는 종목을 찾을 수 없습니다 (잘못된 코드이거나 상장폐지된 종목일 수 있습니다). "
            "search로 종목코드를 확인해 주세요.");
}
