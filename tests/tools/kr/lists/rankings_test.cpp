#include <gtest/gtest.h>

#include "core/format.hpp"

#include <fstream>

#include "server/registry.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {
const std::string kList = "/stock.naver.com/api/domestic/market/stock/default";
const std::string kIndex = "/stock.naver.com/api/polling/domestic/index";
const std::string kAlert = "/finance.naver.com/sise/investment_alert.naver";
const std::string kCap = "/m.stock.naver.com/api/stocks/marketValue/";

void market_status(NaverEnv& env, const std::string& s) {
  env.srv.route(kIndex, reply(200, json{{"datas", {{{"itemCode", "KOSPI"}, {"marketStatus", s}}}}}.dump()));
}

json row(int i, json trade_amount = "1234567890") {
  return {{"itemcode", code6(400000 + i)}, {"itemname", "종목" + std::to_string(i)}, {"nowPrice", "15000"},
          {"prevChangeRate", "-3.2"},     {"tradeVolume", "1234567"},              {"tradeAmount", trade_amount}};
}

FixtureResponse pages(const FixtureRequest& r, int total) {
  int start = std::stoi(r.params.at("startIdx")), size = std::stoi(r.params.at("pageSize"));
  json arr = json::array();
  for (int i = start; i < std::min(total, start + size); ++i) arr.push_back(row(i));
  return reply(200, arr.dump());
}
}  // namespace

TEST(VolumeRanking, TradeValueInEokAndMissingNeverZero) {
  NaverEnv env;
  json no_rate = row(2);
  no_rate["prevChangeRate"] = nullptr;
  env.srv.route(kList, FixtureResponse{200, json::array({row(0), row(1, nullptr), no_rate}).dump()});
  std::string r = server::call_tool("get_volume_ranking", {{"count", 3}, {"sort_by", "trade_value"}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("거래대금 상위 (ALL, 3개, 정렬=trade_value):\n\n순위 | 코드 | 종목명 | 현재가(원) | 등락률 | 거래량(주) | "
                   "거래대금(억원)\n---|---|---|---:|---:|---:|---:\n"
                   "1 | 400000 | 종목0 | 15,000 | -3.20% | 1,234,567 | 12.3\n"
                   "2 | 400001 | 종목1 | 15,000 | -3.20% | 1,234,567 | 데이터 없음\n"
                   "3 | 400002 | 종목2 | 15,000 | - | 1,234,567 | 12.3"),
            std::string::npos);
  EXPECT_EQ(meta_of(r)["data_completeness"], "complete");
}

TEST(VolumeRanking, EmptyBeforeTheOpenIsNotAnOutage) {
  NaverEnv env;
  env.srv.route(kList, FixtureResponse{200, "[]"});
  market_status(env, "PREOPEN");
  std::string r = server::call_tool("get_volume_ranking", {{"market", "KOSPI"}});
  EXPECT_EQ(body_of(r),
            "장 시작 전이라 거래량 순위가 아직 없습니다 (KOSPI).\n네이버는 개장 전에 거래량·거래대금·등락률 순위를 비워 두고, "
            "정규장이 열리면 다시 채웁니다. 이 시간에는 전 거래일 순위도 받을 수 없습니다.");
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_NE(m["warnings"].dump().find("\"장 시작 전(네이버 PREOPEN)이라 순위가 비어 있음 — 해당 종목 없음·거래 없음으로 해석하지 말 것\""),
            std::string::npos) << m["warnings"];
  // Open market, still empty: the plain failure sentence.
  market_status(env, "OPEN");
  EXPECT_EQ(server::call_tool("get_volume_ranking", {{"market", "KOSPI"}, {"sort_by", "trade_value"}}),
            "KOSPI 거래대금 순위를 가져올 수 없습니다.");
  // The status lookup failing too: still the plain sentence, never an error.
  env.srv.route(kIndex, FixtureResponse{500, "x"});
  EXPECT_PRED2(fmt::starts_with, server::call_tool("get_change_ranking", {{"direction", "DOWN"}}),
               std::string("ALL 등락률 순위를 가져올 수 없습니다."));
}

TEST(ChangeRanking, WatchlistStarsAndMarketAlerts) {
  NaverEnv env;
  {
    std::ofstream f(env.home.path() + "/watchlist.json");
    f << R"({"version":1,"items":[{"code":"400001","name":"종목1"},{"code":"400003","name":"종목3"}]})";
  }
  env.srv.route(kList, [](const FixtureRequest& r) { return pages(r, 5); });
  env.srv.route(kAlert, [](const FixtureRequest& r) {
    std::string t = r.params.at("type");
    std::string h = "<html><table class=\"type_2\">";
    if (t == "caution") h += "<tr><td><a href=\"/item/main.naver?code=400000\">a</a></td></tr>"
                              "<tr><td><a href=\"/item/main.naver?code=400002\">b</a></td></tr>";
    if (t == "warning") h += "<tr><td><a href=\"/item/main.naver?code=400004\">c</a></td></tr>";
    return FixtureResponse{200, h + "</table></html>", "text/html"};
  });
  std::string r = server::call_tool("get_change_ranking", {{"direction", "DOWN"}, {"count", 5}});
  EXPECT_EQ(env.srv.last_request(kList).params.at("orderType"), "down");
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find('\n')), "하락률 상위 (ALL, 5개):");
  EXPECT_NE(b.find("1 | 400000 | 종목0 | 15,000 | -3.20% | 1,234,567 | ⚠️ 투자주의"), std::string::npos);
  EXPECT_NE(b.find("2 | 400001 | ⭐ 종목1 | 15,000 | -3.20% | 1,234,567 | -"), std::string::npos);
  EXPECT_NE(b.find("⭐ **이 목록에 내 관심종목이 있습니다:** 종목1(400001), 종목3(400003)"), std::string::npos);
  EXPECT_NE(b.find("※ 3개 종목이 시장경보(투자주의/경고/위험) 지정 상태입니다."), std::string::npos);
  json m = meta_of(r);
  // Besides the clock's market note (which depends on when the test runs), only the alert warning.
  json own = json::array();
  for (const auto& w : m["warnings"])
    if (w.get<std::string>().rfind("KRX ", 0) != 0) own.push_back(w);
  EXPECT_EQ(own, json::array({"시장경보 지정 3건 포함 — 표의 '시장경보' 열 확인"})) << m["warnings"];
}

TEST(MarketCapRanking, SubstitutedMarketPagingAndPageOnlyTypeCounts) {
  NaverEnv env;
  env.srv.route(kCap + "KOSPI", [](const FixtureRequest& r) {
    int page = std::stoi(r.params.at("page")), size = std::stoi(r.params.at("pageSize"));
    json stocks = json::array();
    for (int i = (page - 1) * size; i < std::min(950, page * size); ++i) {
      stocks.push_back({{"itemCode", code6(500000 + i)}, {"stockName", i % 10 == 0 ? "KODEX 종목" : "종목"},
                        {"stockEndType", i % 10 == 0 ? "etf" : "stock"}, {"closePriceRaw", "1000"},
                        {"fluctuationsRatio", "1.00"}, {"marketValueRaw", "100000000000"},
                        {"tradeStopType", {{"name", "TRADING"}}}});
    }
    return FixtureResponse{200, json{{"stocks", stocks}, {"totalCount", 950}}.dump()};
  });
  std::string r = server::call_tool("get_market_cap_ranking", {{"market", "ALL"}, {"count", 100}, {"page", 4}});
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find('\n')), "시가총액 상위 (KOSPI) — 전체 950개 중 301~400위 (4/10쪽)");
  EXPECT_NE(b.find("※ 시가총액 순위는 KOSPI·KOSDAQ 따로만 됩니다. 요청한 'ALL' 대신 KOSPI 로 조회했습니다."), std::string::npos);
  EXPECT_NE(b.find("※ 다음 쪽: `page=5` (count=100 그대로) → 401위부터. 전체 950개는 10쪽입니다."), std::string::npos);
  EXPECT_NE(b.find("| ETF"), std::string::npos);
  // The type counts are the whole market's, summed over every page.
  EXPECT_NE(b.find("※ KOSPI 전체 950개 구분: 주식 855 · ETF 95."), std::string::npos) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["coverage"]["next_page"], 5);
  EXPECT_EQ(m["coverage"]["effective"]["from"], 301);
  EXPECT_EQ(m["data_completeness"], "complete");
  std::string big = server::call_tool("get_market_cap_ranking", {{"count", 600}});
  EXPECT_NE(body_of(big).find("※ count 는 한 번에 최대 500입니다 (요청 600 → 500)."), std::string::npos);
  EXPECT_EQ(meta_of(big)["coverage"]["truncated"], true);
  EXPECT_EQ(meta_of(big)["data_completeness"], "partial");
  EXPECT_EQ(server::call_tool("get_market_cap_ranking", {{"count", 100}, {"page", 11}}),
            "시가총액 순위 (KOSPI) — 전체 950개라 page=11(count=100)에는 종목이 없습니다. 마지막 쪽은 page=10 입니다.");
}

TEST(ChangeRanking, AlertPagesDownLeaveTheRankingWithUncheckedMarks) {
  NaverEnv env;
  env.srv.route(kList, [](const FixtureRequest& r) { return pages(r, 3); });
  env.srv.route(kAlert, FixtureResponse{500, "error", "text/html"});
  std::string r = server::call_tool("get_change_ranking", {{"direction", "up"}, {"count", 3}});
  std::string b = body_of(r);
  EXPECT_EQ(b.substr(0, b.find('\n')), "상승률 상위 (ALL, 3개):") << r;
  EXPECT_NE(b.find("1 | 400000 | 종목0 | 15,000 | -3.20% | 1,234,567 | 확인 불가"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 시장경보 목록 조회 실패(HTTPStatusError 500) — '시장경보' 열의 '확인 불가'는 지정이 없다는 뜻이 아니라 "
                   "확인하지 못했다는 뜻입니다."),
            std::string::npos)
      << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "시장경보 목록 조회 실패"));
}

// One alert page down: its kind is unknown for every stock, so an unmarked stock
// is "확인 불가", not "-"; a mark that was read still shows.
TEST(ChangeRanking, OneAlertPageDownLeavesUnmarkedCellsUnchecked) {
  NaverEnv env;
  env.srv.route(kList, [](const FixtureRequest& r) { return pages(r, 3); });
  env.srv.route(kAlert, [](const FixtureRequest& r) {
    std::string t = r.params.at("type");
    if (t == "risk") return FixtureResponse{500, "error", "text/html"};
    std::string h = "<html><table class=\"type_2\">";
    if (t == "caution") h += "<tr><td><a href=\"/item/main.naver?code=400000\">a</a></td></tr>";
    return FixtureResponse{200, h + "</table></html>", "text/html"};
  });
  std::string r = server::call_tool("get_change_ranking", {{"direction", "up"}, {"count", 3}});
  std::string b = body_of(r);
  EXPECT_NE(b.find("1 | 400000 | 종목0 | 15,000 | -3.20% | 1,234,567 | ⚠️ 투자주의"), std::string::npos) << b;
  EXPECT_NE(b.find("2 | 400001 | 종목1 | 15,000 | -3.20% | 1,234,567 | 확인 불가"), std::string::npos) << b;
  EXPECT_EQ(b.find("1,234,567 | -\n"), std::string::npos) << b;
  EXPECT_NE(b.find("⚠️ 시장경보 목록 일부 조회 실패(투자위험)"), std::string::npos) << b;
  // One partial failure, told once: in the text and in the warnings.
  size_t said = 0;
  for (size_t p = b.find("조회 실패"); p != std::string::npos; p = b.find("조회 실패", p + 1)) ++said;
  EXPECT_EQ(said, 1u) << b;
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_TRUE(has_warning(m, "시장경보 목록 일부 조회 실패(투자위험)"));
  int warned = 0;
  for (const auto& w : m["warnings"]) warned += w.get<std::string>().find("조회 실패") != std::string::npos;
  EXPECT_EQ(warned, 1) << m.dump();
}

TEST(ChangeRanking, UnreadableWatchlistCostsOnlyTheStars) {
  NaverEnv env;
  {
    std::ofstream f(env.home.path() + "/watchlist.json");
    f << "{not json";
  }
  env.srv.route(kList, [](const FixtureRequest& r) { return pages(r, 2); });
  env.srv.route(kAlert, FixtureResponse{200, "<html><table class=\"type_2\"></table></html>", "text/html"});
  std::string r = server::call_tool("get_change_ranking", {{"direction", "up"}, {"count", 2}});
  EXPECT_NE(body_of(r).find("2 | 400001 | 종목1 |"), std::string::npos) << r;
  EXPECT_NE(body_of(r).find("⚠️ 관심종목 파일을 읽지 못했습니다: " + env.home.path() + "/watchlist.json"), std::string::npos) << r;
}
