#include <gtest/gtest.h>

#include <map>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "server/tool_call.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

// Day bars from our fixture (or what a test puts in day_xml); minute bars with
// a 15:30 print on 2026-09-15 only.
struct ChartEnv : NaverEnv {
  std::string day_xml = read_fixture("naver/fchart_day_005930.xml");
  std::string minute_xml = fchart_xml({"202609151529|null|null|null|71900|10", "202609151530|null|null|null|72000|20",
                                       "202609151600|null|null|null|72300|30"},
                                      "minute");
  std::map<std::string, std::string> counts;   // timeframe -> the count last asked for
  ChartEnv() : NaverEnv("2026-09-18 10:00") {
    srv.route(kFchart, [this](const FixtureRequest& r) {
      counts[r.params.at("timeframe")] = r.params.count("count") ? r.params.at("count") : "";
      if (r.params.at("timeframe") == "minute") return reply(200, minute_xml, "text/xml");
      return reply(200, day_xml, "text/xml; charset=EUC-KR");
    });
  }
  void division(const char* fixture) { srv.route_file("/m.stock.naver.com/api/stock/005930/basic", fixture); }
};

std::string chart(const json& args) { return server::call_tool("get_chart", args); }

}  // namespace

TEST(GetChart, DailyWithExclusionsRegularCloseTableAndAfterMarketNote) {
  ChartEnv env;
  env.division("naver/mstock_basic_005930.json");
  std::string r = chart({{"code", "005930"}});
  std::string b = body_of(r);
  // The halt placeholder (flat, no volume) and the bar with a null high are dropped.
  EXPECT_TRUE(fmt::starts_with(b,
                               "종목 005930 일봉 OHLCV (4개 봉)\n\n"
                               "날짜|시가|고가|저가|종가|거래량\n"
                               "---|---|---|---|---|---\n"
                               "2026-09-10|71000|71500|70500|71200|12000000\n"
                               "2026-09-11|71200|72000|71000|71800|11000000\n"
                               "2026-09-15|71800|73000|71500|72600|15000000\n"
                               "2026-09-17|72900|74000|72800|73500|13000000\n"
                               "\n※ 거래정지 placeholder 등 비정상 봉 2개 제외 (2026-09-14, 2026-09-16).\n"))
      << b;
  EXPECT_NE(b.find("정규장 종가 대조 (네이버 분봉 15:30 체결가, 최근 약 1주만 제공)\n"
                   "날짜|일봉 종가(20:00)|정규장 종가(15:30)|차이\n"
                   "---|---|---|---\n"
                   "2026-09-15|72600|72000|+600\n"
                   "2026-09-17|73500|확인 불가|-\n"),
            std::string::npos)
      << b;
  EXPECT_NE(b.find("※ 2026-09-14부터 네이버 일봉은 애프터마켓"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "요청한 120개 중 4개만 조회됨(상장일 등으로 이력이 짧을 수 있음)."));
  EXPECT_EQ(m["price_session"], "regular_and_after");
  EXPECT_EQ(m["bar_exclusions"]["count"], 2);
  EXPECT_EQ(m["session_mix"]["bars"], 2);
  // The minute series does not reach 2026-09-17: a failed lookup with its reason,
  // never "no 15:30 trade" and never a word outside the check row's vocabulary.
  EXPECT_EQ(m["regular_close_check"][1]["status"], "lookup_failed");
  EXPECT_EQ(m["regular_close_check"][1]["reason"], "day_not_reached");
}

// No difference between the daily close and the 15:30 close is written "+0".
TEST(GetChart, ZeroDifferenceKeepsItsSign) {
  ChartEnv env;
  env.division("naver/mstock_basic_005930.json");
  env.minute_xml = fchart_xml({"202609151530|null|null|null|72600|20", "202609151600|null|null|null|72600|30"}, "minute");
  std::string b = body_of(chart({{"code", "005930"}}));
  EXPECT_NE(b.find("2026-09-15|72600|72600|+0\n"), std::string::npos) << b;
}

TEST(GetChart, EtfGetsNoAfterMarketLabels) {
  ChartEnv env;
  env.division("naver/mstock_basic_069500.json");
  std::string r = chart({{"code", "005930"}});
  EXPECT_EQ(body_of(r).find("애프터마켓"), std::string::npos);
  EXPECT_EQ(body_of(r).find("정규장 종가 대조"), std::string::npos);
  json m = meta_of(r);
  EXPECT_EQ(m["price_session"], "regular");
  EXPECT_FALSE(m.contains("session_mix"));
}

TEST(GetChart, WeeklyNoteWithoutCloseTableAndCountCap) {
  ChartEnv env;
  env.division("naver/mstock_basic_005930.json");
  env.day_xml = fchart_xml({"20260907|70000|72000|69000|71800|50000000", "20260914|71800|74000|71500|73500|60000000"}, "week");
  std::string r = chart({{"code", "005930"}, {"timeframe", "week"}, {"count", 800}});
  EXPECT_EQ(env.counts["week"], "500");
  std::string b = body_of(r);
  EXPECT_TRUE(fmt::starts_with(b, "종목 005930 주봉 OHLCV (2개 봉)")) << b;
  EXPECT_NE(b.find("부터 네이버 주봉은 애프터마켓"), std::string::npos);
  EXPECT_EQ(b.find("정규장 종가 대조"), std::string::npos);
}

TEST(GetChart, OneFractionalPriceSwitchesToTwoDecimals) {
  ChartEnv env;
  env.division("naver/mstock_basic_069500.json");
  env.day_xml = fchart_xml({"20260910|100|110|95|105|1000", "20260911|105|108.5|101|107|2000"});
  std::string b = body_of(chart({{"code", "005930"}, {"count", 2}}));
  EXPECT_NE(b.find("2026-09-10|100.00|110.00|95.00|105.00|1000\n2026-09-11|105.00|108.50|101.00|107.00|2000"),
            std::string::npos)
      << b;
}

TEST(GetChart, BadInputGetsTheNoDataReply) {
  ChartEnv env;
  env.division("naver/mstock_basic_005930.json");
  for (const json& args : {json{{"code", "005930"}, {"count", 0}}, json{{"code", ""}},
                           json{{"code", "005930"}, {"timeframe", "hour"}}}) {
    std::string r = chart(args);
    EXPECT_EQ(body_of(r), "종목코드 " + args["code"].get<std::string>() + "의 차트 데이터를 가져올 수 없습니다.") << args.dump();
    json m = meta_of(r);
    EXPECT_EQ(m["data_completeness"], "none");
    EXPECT_TRUE(has_warning(m, "차트 데이터를 가져오지 못했습니다."));
  }
  // A code that cannot be one is refused as such, not answered as "no data".
  EXPECT_EQ(chart({{"code", "0059301"}}), "⚠️ 종목코드 형식이 올바르지 않습니다: 0059301");
}

TEST(GetChart, UnreadVolumeIsMissingNeverZero) {
  ChartEnv env;
  env.division("naver/mstock_basic_069500.json");
  env.day_xml = fchart_xml({"20260910|100|110|95|105|1000", "20260911|105|108|101|107|null"});
  std::string r = chart({{"code", "005930"}, {"count", 2}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("2026-09-10|100|110|95|105|1000\n2026-09-11|105|108|101|107|-"), std::string::npos) << b;
  EXPECT_EQ(b.find("107|0"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 거래량을 읽지 못한 봉 1개 (2026-09-11) — 거래량 '-'는 0이 아니라 결측입니다."), std::string::npos) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "거래량 결측 1개 봉"));
}

// A 410 says the endpoint, not the stock: the real retired-page body served
// for Samsung Electronics is a failed lookup, never "possibly delisted".
TEST(GetChart, GonePageIsAFailureNotAnUnknownCode) {
  TESSARO_REQUIRE_SAMPLE(gone, "naver/finance_item_sise_day_http410.html");
  ChartEnv env;
  env.srv.route(kFchart, reply(410, gone, "text/html; charset=utf-8"));
  auto r = server::run_tool("get_chart", {{"code", "005930"}});
  EXPECT_EQ(r.text.find("상장폐지"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("찾을 수 없습니다"), std::string::npos) << r.text;
  EXPECT_NE(body_of(r.text).find("조회 실패 (HTTPStatusError 410)"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("tessaro-mcp doctor"), std::string::npos);
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(meta_of(r.text)["data_completeness"], "none");
}

// What an unknown code really looks like: a chart without any item.
TEST(GetChart, ChartWithoutItemsIsAnUnknownCode) {
  ChartEnv env;
  env.day_xml = fchart_xml({}, "day", "999990");
  auto r = server::run_tool("get_chart", {{"code", "999990"}});
  EXPECT_EQ(body_of(r.text),
            "종목코드 999990에 해당하는 종목을 찾을 수 없습니다 (잘못된 코드이거나 상장폐지된 종목일 수 있습니다). "
            "search로 종목코드를 확인해 주세요.");
  EXPECT_FALSE(r.is_error);
  EXPECT_EQ(meta_of(r.text)["data_completeness"], "none");
}
