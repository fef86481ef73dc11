// get_event_reaction / get_event_reactions over a loopback Naver: daily bars
// (fchart XML), investor flow (m.stock trend JSON) and the disclosure page.
#include <gtest/gtest.h>

#include <cmath>

#include "core/format.hpp"
#include "server/registry.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";
const std::string kTrend = "/m.stock.naver.com/api/stock/005930/trend";
const std::string kNotice = "/finance.naver.com/item/news_notice.naver";

// Trend rows newest first from the traded days of the series: foreign +1,000,
// institutional -400, individual -600 every day.
json trend_page(const json& rows, const std::string& bizdate, int size) {
  json out = json::array();
  for (auto it = rows.rbegin(); it != rows.rend() && (int)out.size() < size; ++it) {
    const json& r = *it;
    if (r["volume"] == 0) continue;
    std::string d = r["date"];
    if (!bizdate.empty() && d > bizdate) continue;
    out.push_back({{"bizdate", d}, {"closePrice", fmt::thousands(std::llround(r["close"].get<double>()))},
                   {"accumulatedTradingVolume", fmt::thousands(std::llround(r["volume"].get<double>()))},
                   {"foreignerPureBuyQuant", "+1,000"}, {"organPureBuyQuant", "-400"}, {"individualPureBuyQuant", "-600"}});
  }
  return out;
}

// The daily series of our own fixture (halts on 2026-03-10/11 and 2026-07-21,
// holidays such as 2026-09-24/25 and 2026-10-09 absent, after-market bars from
// 2026-09-14), its flow, and the disclosure page.
struct Env : NaverEnv {
  json rows = json::parse(read_fixture("indicators/ind_reference_day.json"))["rows"];
  std::string disclosures = read_fixture("naver/evt_news_notice_005930_p1.html");

  Env() : NaverEnv("2026-11-20 21:00") {
    srv.route(kFchart, [this](const FixtureRequest&) { return reply(200, fchart_rows_xml(rows), "text/xml; charset=EUC-KR"); });
    srv.route(kTrend, [this](const FixtureRequest& r) {
      std::string biz = r.params.count("bizdate") ? r.params.at("bizdate") : "";
      return reply(200, dump_compact(trend_page(rows, biz, std::stoi(r.params.at("pageSize")))));
    });
    srv.route(kNotice, [this](const FixtureRequest&) { return reply(200, disclosures, "text/html; charset=EUC-KR"); });
  }
};

std::string reaction(const json& args) { return server::call_tool("get_event_reaction", args); }
std::string history(const json& args) { return server::call_tool("get_event_reactions", args); }

}  // namespace

TEST(ToolGetEventReaction, HolidayEventWithFlowAndAfterMarketNote) {
  Env env;
  std::string out = reaction({{"code", "005930"}, {"event_date", "20260924"}, {"before", 5}, {"after", 20}});
  std::string text = body_of(out);
  EXPECT_TRUE(contains(text, "D0 = 2026-09-28 (사건일 2026-09-24은 거래일이 아니라 다음 거래일)")) << text;
  EXPECT_TRUE(contains(text, "사건 전 5일 | +5,000 | -2,000 | -3,000 | 5/5")) << text;
  EXPECT_TRUE(contains(text, "반응 계산에 쓴 봉 중 26개")) << text;
  EXPECT_FALSE(contains(text, "이 표에서"));
  json m = meta_of(out);
  ASSERT_TRUE(m.is_object());
  EXPECT_EQ(m["data_completeness"], "complete") << m.dump();
  EXPECT_EQ(m["event_window"]["event_trading_date"], "2026-09-28");
  EXPECT_EQ(m["data_as_of"], m["event_window"]["end_date"]);
  EXPECT_EQ(m["flow_window"]["status"], "available");
  EXPECT_EQ(m["price_session"], "regular_and_after");
  EXPECT_EQ(m["session_mix"]["bars"], 26);
  // 37 bar dates from the event date on: 37 + 5 + 5 flow rows.
  EXPECT_EQ(env.srv.last_request(kTrend).params["pageSize"], "47");
}

TEST(ToolGetEventReaction, ArgumentChecksAndClamps) {
  Env env;
  EXPECT_EQ(reaction({{"code", "삼성전자"}, {"event_date", "2026-09-24"}}),
            "종목코드는 6자리 영숫자여야 합니다. 종목명이라면 먼저 search 도구로 코드를 확정하세요.");
  for (const char* bad : {"2026/09/24", "2026-9-24", "26-09-24", ""})
    EXPECT_EQ(reaction({{"code", "005930"}, {"event_date", bad}}), "event_date는 YYYY-MM-DD 또는 YYYYMMDD 형식이어야 합니다.")
        << bad;
  EXPECT_EQ(env.srv.hits(kFchart), 0);
  json m = meta_of(reaction({{"code", "005930"}, {"event_date", "2026-10-28"}, {"before", -3}, {"after", 90}}));
  EXPECT_EQ(m["event_window"]["before"], 0);
  EXPECT_EQ(m["event_window"]["after"], 60);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "insufficient_post_event_history");
}

TEST(ToolGetEventReaction, FlowRowsAskedReachTheEventWithinTheSourceCap) {
  Env env;
  // 2 bar dates from 2026-11-18 on: 2 + 2 + 5 = 9, raised to 20.
  reaction({{"code", "005930"}, {"event_date", "2026-11-18"}, {"before", 2}, {"after", 1}});
  EXPECT_EQ(env.srv.last_request(kTrend).params["pageSize"], "20");
  // About 300 bar dates from 2025-09-01 on: capped at the 100 rows the source holds.
  std::string out = reaction({{"code", "005930"}, {"event_date", "2025-09-01"}, {"before", 5}, {"after", 5}});
  EXPECT_EQ(env.srv.last_request(kTrend).params["pageSize"], "100");
  json m = meta_of(out);
  EXPECT_EQ(m["data_completeness"], "partial") << "flow rows do not reach back that far";
  EXPECT_EQ(m["coverage"]["reason"], "source_limit");
  EXPECT_TRUE(contains(body_of(out), "사건 전 5일 | - | - | - | 0/5")) << body_of(out);
}

TEST(ToolGetEventReaction, FutureDateGivesStatusNotNumbers) {
  Env env;
  std::string out = reaction({{"code", "005930"}, {"event_date", "2027-01-04"}});
  EXPECT_TRUE(contains(body_of(out), "분석 불가"));
  EXPECT_FALSE(contains(body_of(out), "0.00%"));
  json m = meta_of(out);
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_EQ(m["data_as_of"], "2026-11-19") << "the last bar held";
  EXPECT_FALSE(m.contains("session_mix"));
}

TEST(ToolGetEventReaction, BarFailureIsARetryAndFlowFailureDegrades) {
  Env env;
  env.srv.fail_next(kFchart, 500, 5);
  EXPECT_EQ(reaction({{"code", "005930"}, {"event_date", "2026-10-28"}}),
            "⚠️ `PROVIDER_ERROR` — 종목코드 005930의 일봉 조회에 실패했습니다 (HTTPStatusError). 데이터 없음이 아니라 조회 "
            "실패이므로 재시도하세요.");

  Env env2;
  env2.srv.fail_next(kTrend, 503, 5);
  std::string out = reaction({{"code", "005930"}, {"event_date", "2026-10-28"}, {"after", 10}});
  EXPECT_TRUE(contains(body_of(out), "수급 조회 실패(HTTPStatusError)"));
  EXPECT_TRUE(contains(body_of(out), "D+10 | 2026-11-11"));
  json m = meta_of(out);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["flow_window"]["error"], "HTTPStatusError");
}

// The trend API down, the stock page's short table standing in (the real 323410
// capture): no individual column, so the reaction is partial and says so.
TEST(ToolGetEventReaction, StandInFlowIsSaidAndPartial) {
  TESSARO_REQUIRE_SAMPLE(html, "naver/finance_item_main_invest_trend_323410.html");
  NaverEnv env("2024-01-16 18:00");
  json rows = json::array();
  auto days = weekdays_back("2024-01-16", 40);
  for (auto it = days.rbegin(); it != days.rend(); ++it)
    rows.push_back({{"date", *it}, {"open", 25000}, {"high", 25500}, {"low", 24800}, {"close", 25200}, {"volume", 100000}});
  env.srv.route(kFchart, reply(200, fchart_rows_xml(rows, "323410"), "text/xml; charset=EUC-KR"));
  env.srv.route("/m.stock.naver.com/api/stock/323410/trend", reply(503, "down"));
  env.srv.route("/finance.naver.com/item/main.naver", reply(200, html, "text/html; charset=utf-8"));
  std::string out = reaction({{"code", "323410"}, {"event_date", "2024-01-12"}, {"before", 2}, {"after", 2}});
  std::string text = body_of(out);
  EXPECT_FALSE(contains(text, "**분석 가능**")) << text;
  EXPECT_TRUE(contains(text, "**일부 결측**")) << text;
  EXPECT_TRUE(contains(text, "※ 대체 출처: 투자자별 매매동향 API 대신 종목 메인 페이지의 짧은 표")) << text;
  json m = meta_of(out);
  EXPECT_EQ(m["data_completeness"], "partial") << m.dump();
}

TEST(ToolGetEventReactions, HistoryTableHabitsAndMeta) {
  Env env;
  std::string out = history({{"code", "005930"}, {"max_events", 8}, {"after", 10}});
  std::string text = body_of(out);
  EXPECT_TRUE(contains(text, "기준일 | 공시 | D+1 | D+5 | D+10 | 당일거래량/직전평균"));
  // Same-day disclosures count once (the first in list order); newest first.
  EXPECT_TRUE(contains(text, "2026-11-18 | [지배구조] [기재정정]주식등의대량보유상황보고서(일반) | "));
  EXPECT_FALSE(contains(text, "기업설명회"));
  EXPECT_TRUE(contains(text, "2026-10-28 | [행정] 투자주의종목 지정예고"));
  // A title with "|" gets "/" and is cut at 34 characters.
  EXPECT_TRUE(contains(text, "[행정] 가격제한폭 확대 안내 / 시장조치 관련 안내 공시 (정규시장 …")) << text;
  EXPECT_LT(text.find("2026-11-18 |"), text.find("2026-10-28 |"));
  // 2026-11-18: D+1 exists, D+5 and D+10 do not.
  EXPECT_TRUE(contains(text, "| - | - | "));
  json m = meta_of(out);
  EXPECT_EQ(m["event_coverage"]["events"], 8);
  EXPECT_EQ(m["data_completeness"], "partial");
  EXPECT_EQ(m["coverage"]["reason"], "insufficient_post_event_history");
  EXPECT_EQ(m["event_type_filter"]["types_in_result"], (json{"계약", "기타", "실적", "지배구조", "행정"}));
  EXPECT_TRUE(m["event_type_filter"]["include_types"].is_null());
  EXPECT_EQ(m["data_as_of"], "2026-11-19");
  EXPECT_TRUE(contains(m["warnings"][0].get<std::string>(), "건 사건은 창이 덜 찼거나 분석 불가입니다"));
}

TEST(ToolGetEventReactions, TypeFiltersAndUnknownNames) {
  Env env;
  std::string out = history({{"code", "005930"}, {"include_types", {"실적", "배당"}}, {"after", 5}});
  std::string text = body_of(out);
  EXPECT_TRUE(contains(text, "유형 필터: include=['실적', '배당'] / exclude=없음 · 필터로 제외 "));
  EXPECT_TRUE(contains(text, "D+1 | D+2 | D+5"));
  // 2026-10-28: the administrative notice comes first, the results one later on the same day.
  EXPECT_TRUE(contains(text, "2026-10-28 | [실적] 연결재무제표기준영업(잠정)실적(공정공시)"));
  json m = meta_of(out);
  EXPECT_EQ(m["event_type_filter"]["include_types"], (json{"실적", "배당"}));
  EXPECT_EQ(m["event_type_filter"]["types_in_result"], json{"실적"});
  bool warned = false;
  for (const auto& w : m["warnings"])
    warned = warned || w == "알 수 없는 유형 이름 ['배당'] - 유효한 유형: ['행정', 'IR', '실적', '계약', '자금조달', '지배구조', '기타']";
  EXPECT_TRUE(warned) << m["warnings"].dump();

  // (The disclosure JSON is not served here: its failure is named after the reply.)
  EXPECT_PRED2(fmt::starts_with, history({{"code", "005930"}, {"include_types", {"자금조달"}}}),
            "종목 005930의 최근 공시 중 유형 필터(include=['자금조달'], exclude=-)를 통과한 공시가 없습니다. 필터에 걸려 "
            "제외된 공시는 10건입니다 - 공시가 없는 것이 아니라 요청한 유형이 없는 것입니다.");
}

TEST(ToolGetEventReactions, ClampsAndEarlyReplies) {
  Env env;
  EXPECT_EQ(history({{"code", "12345"}}), "⚠️ 종목코드 형식이 올바르지 않습니다: 12345");
  std::string one = history({{"code", "005930"}, {"max_events", 0}, {"after", 0}});
  EXPECT_TRUE(contains(one, "(최근 1건)"));
  EXPECT_TRUE(contains(one, "기준일 | 공시 | D+1 | D+1 | D+1 |"));
  EXPECT_FALSE(contains(one, "- 최근 ")) << "no trend line under four values";

  env.disclosures = tessaro::testing::read_fixture("naver/evt_news_notice_empty.html");
  std::string none = history({{"code", "005930"}});
  EXPECT_TRUE(fmt::starts_with(none, "종목 005930의 공시 목록을 찾지 못했습니다.")) << none;
  EXPECT_NE(none.find("⚠️ 조회 실패: m.stock.naver.com/api/stock/*/disclosure(HTTPStatusError 404)"), std::string::npos) << none;
}
