#include <gtest/gtest.h>

#include <stdexcept>

#include "core/call_context.hpp"
#include "core/errors.hpp"
#include "core/result_meta.hpp"
#include "server/chart_view.hpp"
#include "server/registry.hpp"
#include "server/resources.hpp"
#include "server/tool_call.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::server;
using tessaro::testing::NaverEnv;

namespace {

// Runs a wrapped body in a call of its own; the structured result it left.
struct Ran {
  std::string text;
  json doc;
};
Ran run_wrapped(const ToolFn& body, ChartCall call = {"get_x", "KR", "005930", "day", {{"code", "005930"}}}) {
  CallContext ctx;
  CallScope scope(&ctx);
  ToolFn fn = chart_tool([call](const Args&) { return call; }, body);
  Ran r;
  r.text = fn(Args(json::object()));
  r.doc = ctx.structured().value_or(json());
  return r;
}

std::string with_meta(const std::string& text, const json& meta) { return rmeta::append_meta(text, meta); }

}  // namespace

TEST(ChartTool, TextUntouchedAndTheDocumentCarriesItsMetaNotesAndBars) {
  json meta = {{"kiv", "tessaro"}, {"data_basis", "last_close"}, {"data_as_of", "2026-10-02"}, {"data_completeness", "complete"}};
  const std::string reply =
      with_meta("종목 005930 일봉 OHLCV (1개 봉)\n\n날짜|시가|고가|저가|종가|거래량\n---|---|---|---|---|---\n"
                "2026-10-02|1|2|0|1|5\n\n※ 한 줄 메모 **굵게**\n⚠️ 경고 한 줄",
                meta);
  Ran r = run_wrapped([&](const Args&) {
    offer_chart_bars(json::array({row_bar("2026-10-02", {{"open", 1}, {"high", 2}, {"low", 0}, {"close", 1}, {"volume", 5}},
                                          BAR_FINAL, "regular")}),
                     {{"venue", "KRX"}});
    return reply;
  });
  EXPECT_EQ(r.text, reply);
  EXPECT_EQ(r.doc["tool"], "get_x");
  EXPECT_EQ(r.doc["outcome"], OUTCOME_OK);
  EXPECT_EQ(r.doc["meta"], meta);
  EXPECT_EQ(r.doc["notes"], json::array({"※ 한 줄 메모 **굵게**", "⚠️ 경고 한 줄"}));
  EXPECT_TRUE(r.doc["message"].is_null());
  EXPECT_EQ(r.doc["venue"], "KRX");
  EXPECT_EQ(r.doc["units"], json({{"price", "원"}, {"volume", "주"}}));
  ASSERT_EQ(r.doc["bars"].size(), 1u);
  EXPECT_EQ(r.doc["bars"][0]["volume"], 5);
}

TEST(ChartTool, OutcomesWithoutBarsAreToldApart) {
  json none = {{"data_completeness", "none"}};
  auto outcome = [](const std::string& text, ChartCall call = {"get_x", "KR", "005930", "5m", json::object()}) {
    return run_wrapped([&](const Args&) { return text; }, call).doc;
  };
  json missing = none;
  missing["provider_status"] = "entity_not_found";
  EXPECT_EQ(outcome(with_meta("없는 종목", missing))["outcome"], OUTCOME_NOT_FOUND);
  json down = none;
  down["provider_status"] = "provider_unavailable";
  json failed = outcome(with_meta("증권사 데이터 조회 실패: 500", down));
  EXPECT_EQ(failed["outcome"], OUTCOME_FAILED);
  EXPECT_EQ(failed["message"], "증권사 데이터 조회 실패: 500");
  json empty = outcome(with_meta("005930 5m 분봉 데이터가 없습니다 (2026-12-05).", none));
  EXPECT_EQ(empty["outcome"], OUTCOME_NO_DATA);
  EXPECT_EQ(empty["meta"], none);
  // A reply without meta is what the tool says it is.
  ChartCall refusing{"get_x", "KR", "005930", "7m", json::object(), OUTCOME_REFUSED};
  EXPECT_EQ(outcome("interval은 ... 중 하나여야 합니다.", refusing)["outcome"], OUTCOME_REFUSED);
  EXPECT_EQ(outcome("티커 'ZZZZ'의 차트 데이터를 가져올 수 없습니다.")["outcome"], OUTCOME_NO_DATA);
  // A body that says "no such code" is believed over its meta.
  Ran nf = run_wrapped([&](const Args&) {
    offer_chart_outcome(OUTCOME_NOT_FOUND);
    return with_meta("종목코드 999999에 해당하는 종목을 찾을 수 없습니다", none);
  });
  EXPECT_EQ(nf.doc["outcome"], OUTCOME_NOT_FOUND);
}

TEST(ChartTool, AThrowingBodyLeavesAFailedDocumentAndTheErrorGoesOn) {
  CallContext ctx;
  CallScope scope(&ctx);
  ToolFn fn = chart_tool([](const Args&) { return ChartCall{"get_chart", "KR", "005930", "day", json::object()}; },
                         [](const Args&) -> std::string {
                           offer_chart_bars(json::array({json::object()}));   // offered, then the call failed
                           throw HTTPStatusError("Server Error '500' for url 'http://h/p?symbol=005930'", 500);
                         });
  EXPECT_THROW(fn(Args(json::object())), HTTPStatusError);
  json doc = ctx.structured().value_or(json());
  EXPECT_EQ(doc["outcome"], OUTCOME_FAILED);
  EXPECT_EQ(doc["bars"], json::array());
  EXPECT_NE(doc["error"].get<std::string>().find("HTTPStatusError"), std::string::npos);
  EXPECT_EQ(doc["error"].get<std::string>().find("symbol=005930"), std::string::npos) << "queries are masked";
}

TEST(PeriodBars, EachBarsStateFromTheBarState) {
  json rows = json::array({{{"date", "20260925"}, {"open", 1}, {"high", 2}, {"low", 0}, {"close", 1}, {"volume", nullptr}},
                           {{"date", "20260928"}, {"open", 1}, {"high", 2}, {"low", 0}, {"close", 1}, {"volume", 3}},
                           {{"date", "20260929"}, {"open", 1}, {"high", 2}, {"low", 0}, {"close", 1}, {"volume", 3}}});
  auto states = [&](const json& bs) {
    std::vector<std::string> out;
    for (const auto& b : period_bars(rows, bs, [](const json&) { return std::string("regular"); }))
      out.push_back(b["state"].get<std::string>());
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(states(nullptr), (V{"final", "final", "unknown"}));
  EXPECT_EQ(states({{"last_bar_complete", true}}), (V{"final", "final", "final"}));
  EXPECT_EQ(states({{"last_bar_complete", false}, {"last_completed_bar_date", "2026-09-28"}}), (V{"final", "final", "forming"}));
  // A week whose Friday has not come: every bar after the last finished one is forming.
  EXPECT_EQ(states({{"last_bar_complete", false}, {"last_completed_bar_date", "2026-09-25"}}),
            (V{"final", "forming", "forming"}));
  json bars = period_bars(rows, nullptr, [](const json& r) { return r["date"] == "20260929" ? "regular_and_after" : "regular"; });
  EXPECT_EQ(bars[0]["t"], "2026-09-25");
  EXPECT_TRUE(bars[0]["volume"].is_null()) << "a missing volume stays missing, never 0";
  EXPECT_EQ(bars[2]["session"], "regular_and_after");
  attach_regular_closes(bars, json::array({{{"date", "2026-09-29"}, {"regular_close", 272500}, {"status", "ok"},
                                            {"regular_close_time", "16:30"}},
                                           {{"date", "2026-09-28"}, {"regular_close", nullptr}, {"status", "lookup_failed"}}}));
  EXPECT_EQ(bars[2]["regular_close"], 272500);
  EXPECT_EQ(bars[2]["regular_close_time"], "16:30") << "a shifted day's close says its own time";
  EXPECT_FALSE(bars[1].contains("regular_close_time"));
  EXPECT_TRUE(bars[1]["regular_close"].is_null());
  EXPECT_EQ(bars[1]["regular_close_status"], "lookup_failed");
  EXPECT_FALSE(bars[0].contains("regular_close"));
}

TEST(ChartView, TheResourceIsOneSelfContainedPageThatLoadsNothing) {
  const ResourceDecl* r = find_resource(CHART_VIEW_URI);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->mime_type, "text/html;profile=mcp-app");
  EXPECT_EQ(r->meta["ui"]["csp"]["connectDomains"], json::array());
  EXPECT_EQ(r->meta["ui"]["csp"]["resourceDomains"], json::array());
  const std::string page = r->read();
  EXPECT_EQ(page, chart_view_page());
  EXPECT_NE(page.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src 'sha256-"),
            std::string::npos);
  EXPECT_NE(page.find("connect-src 'none'"), std::string::npos);
  EXPECT_NE(page.find("var d3={version:\"3.5."), std::string::npos) << "the chart library is inside the page";
  EXPECT_NE(page.find("ui/initialize"), std::string::npos);
  for (const char* fetches : {"src=\"http", "href=\"http", "src='http", "<link", "@import", "fetch(", "XMLHttpRequest(",
                              "@LIB@", "@APP@", "@CSP@", "@STYLE@"})
    EXPECT_EQ(page.find(fetches), std::string::npos) << fetches;
}

TEST(ChartView, TheThreeChartToolsDeclareTheViewAndTheirDocument) {
  for (const char* tool : {"get_chart", "get_intraday_chart", "get_us_chart"}) {
    ToolDecor d = tool_decor(tool);
    EXPECT_EQ(d.meta["ui"]["resourceUri"], CHART_VIEW_URI) << tool;
    EXPECT_EQ(d.meta["ui/resourceUri"], CHART_VIEW_URI) << tool;
    EXPECT_EQ(d.output_schema["properties"]["bars"]["items"]["properties"]["state"]["enum"],
              json::array({"final", "forming", "unknown"}));
  }
  EXPECT_TRUE(tool_decor("get_price").meta.is_null());
}

// get_chart at 19:34 on an after-market day, fed the real capture of that moment.
TEST(GetChartDocument, AfterMarketDayWithItsFormingBarAndTheRegularClose) {
  TESSARO_REQUIRE_SAMPLE(day, "naver/fchart_sise_day_005930_count3_at1934KST.xml");
  TESSARO_REQUIRE_SAMPLE(minute, "naver/api_stock_chart_domestic_item_minute_005930_20260929.json");
  NaverEnv env("2026-09-29 19:34");
  env.srv.route("/fchart.stock.naver.com/sise.nhn", tessaro::testing::FixtureResponse{200, day, "text/xml; charset=EUC-KR"});
  env.srv.route("/api.stock.naver.com/chart/domestic/item/005930/minute",
                [minute](const tessaro::testing::FixtureRequest& q) {
                  bool today = q.query.find("startDateTime=20260929") != std::string::npos;
                  return tessaro::testing::FixtureResponse{200, today ? minute : "[]", "application/json"};
                });
  ToolReply r = run_tool("get_chart", json{{"code", "005930"}, {"count", 3}});
  ASSERT_FALSE(r.is_error) << r.text;
  ASSERT_TRUE(r.structured);
  const json& doc = *r.structured;
  EXPECT_EQ(doc["outcome"], "ok");
  EXPECT_EQ(doc["meta"], tessaro::testing::meta_of(r.text));
  EXPECT_EQ(doc["request"], json({{"code", "005930"}, {"timeframe", "day"}, {"count", 3}}));
  ASSERT_EQ(doc["bars"].size(), 3u);
  EXPECT_EQ(doc["bars"][2]["t"], "2026-09-29");
  EXPECT_EQ(doc["bars"][2]["state"], "forming");
  EXPECT_EQ(doc["bars"][1]["state"], "final");
  for (const auto& b : doc["bars"]) EXPECT_EQ(b["session"], "regular_and_after");
  EXPECT_EQ(doc["bars"][2]["close"], 273500);
  EXPECT_EQ(doc["bars"][2]["regular_close"], 272500);
  EXPECT_EQ(doc["bars"][2]["regular_close_status"], "ok");
  bool note = false;
  for (const auto& n : doc["notes"]) note = note || n.get<std::string>().rfind("※ 2026-09-14부터 네이버 일봉은", 0) == 0;
  EXPECT_TRUE(note) << doc["notes"].dump();
}

TEST(GetChartDocument, AFailedLookupIsAFailedDocumentBesideTheErrorText) {
  NaverEnv env("2026-12-04 10:00");
  env.srv.route("/fchart.stock.naver.com/sise.nhn", tessaro::testing::FixtureResponse{500, "down", "text/plain"});
  ToolReply r = run_tool("get_chart", json{{"code", "005930"}});
  EXPECT_TRUE(r.is_error);
  ASSERT_TRUE(r.structured);
  EXPECT_EQ((*r.structured)["outcome"], "failed");
  EXPECT_TRUE((*r.structured)["bars"].empty());
  // The failure reply's meta (nothing obtained) travels with it, never a data date.
  const json& meta = (*r.structured)["meta"];
  EXPECT_TRUE(meta.is_null() || meta.value("data_completeness", json()) == "none") << meta.dump();
}

// Before the after-market opens, today's daily bar holds regular trades only.
TEST(GetChartDocument, TodaysBarIsRegularUntilTheAfterMarketOpens) {
  TESSARO_REQUIRE_SAMPLE(day, "naver/fchart_sise_day_005930_count3_at1934KST.xml");
  NaverEnv env("2026-09-29 15:45");
  env.srv.route("/fchart.stock.naver.com/sise.nhn", tessaro::testing::FixtureResponse{200, day, "text/xml; charset=EUC-KR"});
  env.srv.route("/api.stock.naver.com/chart/domestic/item/005930/minute", tessaro::testing::FixtureResponse{200, "[]", "application/json"});
  ToolReply r = run_tool("get_chart", json{{"code", "005930"}, {"count", 3}});
  ASSERT_TRUE(r.structured) << r.text;
  const json& bars = (*r.structured)["bars"];
  ASSERT_EQ(bars.size(), 3u);
  EXPECT_EQ(bars[2]["session"], "regular");
  EXPECT_EQ(bars[2]["state"], "forming");
  EXPECT_EQ(bars[1]["session"], "regular_and_after");
}
