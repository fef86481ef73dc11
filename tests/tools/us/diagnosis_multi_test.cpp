// get_us_multi_diagnosis over a loopback Yahoo: statistics on completed bars only,
// a ticker without history and a section without data are named, never zero-filled.
#include <gtest/gtest.h>

#include "server/registry.hpp"
#include "sources/yahoo/yahoo_fixture.hpp"
#include "tools/us/us_reply.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

json diagnose(const json& args) { return json::parse(server::call_tool("get_us_multi_diagnosis", args)); }

bool warned(const json& meta, const std::string& text) {
  for (const json& w : meta["warnings"])
    if (w.get<std::string>() == text) return true;
  return false;
}

}  // namespace

TEST(UsMultiDiagnosis, FormingBarIsDroppedAndMissingPiecesAreNamed) {
  YahooEnv env;
  env.srv.route_file(yahoo_chart_path("AAPL"), "yahoo/chart_1d_earnings_windows.json");
  env.srv.route(yahoo_chart_path("ZZZQ"),
                reply(404, R"({"chart":{"result":null,"error":{"code":"Not Found","description":"No data found, symbol may be delisted"}}})"));
  // Short report of 2024-12-31 00:00 UTC: 38 days old on 2025-02-07.
  env.summary("AAPL", {{"defaultKeyStatistics", {{"dateShortInterest", 1735603200}, {"sharesShort", 120000000}}}});
  env.at_ny("2025-02-07", 12, 0);   // the 2025-02-07 bar is still forming

  json r = diagnose({{"tickers", {"aapl", " AAPL ", "zzzq"}}, {"include", {"short", "bogus"}}});
  const json& aapl = r["tickers"]["AAPL"];
  EXPECT_EQ(aapl["chart"]["basis"], "dropped_in_progress_bar");
  EXPECT_EQ(aapl["chart"]["last_completed_bar"]["date"], "2025-02-06");
  EXPECT_DOUBLE_EQ(aapl["chart"]["last_close"].get<double>(), 233.22);
  EXPECT_DOUBLE_EQ(aapl["chart"]["returns_pct"]["5d"].get<double>(), -1.84);
  EXPECT_TRUE(aapl["chart"]["returns_pct"]["60d"].is_null());   // 22 bars: not enough, not 0
  EXPECT_EQ(aapl["short"]["stale"], true);
  EXPECT_EQ(r["tickers"]["ZZZQ"]["chart"], json({{"status", "unavailable"}, {"reason", "no_history"}}));
  EXPECT_EQ(r["tickers"]["ZZZQ"]["short"]["status"], "unavailable");

  const json& m = r["_meta"];
  EXPECT_EQ(m["data_basis"], "last_close");
  EXPECT_EQ(m["data_as_of"], "2025-02-06");
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["requested_entities"], 2);
  EXPECT_EQ(m["coverage"]["failed_entities"], json({"ZZZQ"}));
  EXPECT_EQ(m["coverage"]["reason"], "source_limit");
  EXPECT_TRUE(warned(m, "알 수 없는 include 섹션 bogus - 유효: estimates, earnings, short"));
  EXPECT_TRUE(warned(m, "조회 실패 티커: ZZZQ"));
  EXPECT_TRUE(warned(m, "확인 불가 섹션(값이 없는 것이지 0이 아닙니다): ZZZQ:short"));

  // 21 distinct tickers: 20 are looked at, and the request is reported as 21.
  json many = json::array();
  for (int i = 0; i < 21; ++i) many.push_back("T" + std::to_string(100 + i));
  json cut = diagnose({{"tickers", many}});
  EXPECT_EQ(cut["tickers"].size(), 20u);
  EXPECT_EQ(cut["_meta"]["coverage"]["requested_entities"], 21);
  EXPECT_EQ(cut["_meta"]["coverage"]["truncated"], true);
  EXPECT_EQ(cut["_meta"]["coverage"]["reason"], "server_cap");
  EXPECT_TRUE(warned(cut["_meta"], "티커 요청 중 앞 20개만 조회했습니다(상한 20)."));
  EXPECT_EQ(server::call_tool("get_us_multi_diagnosis", {{"tickers", json::array()}}), "티커 리스트가 비어있습니다.");
}
