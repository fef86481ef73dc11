#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "core/result_meta.hpp"
#include "market_time/clock.hpp"
#include "server/arg_rules.hpp"
#include "core/errors.hpp"
#include "server/registry.hpp"
#include "server/wrappers.hpp"
#include "sources/http.hpp"
#include "sources/market_data/screen_intraday.hpp"
#include "analysis/screener/screener.hpp"
#include "support/naver_env.hpp"
#include "tools/kr/screener/screen_chart.hpp"
#include "tools/kr/screener/screen_report.hpp"

using namespace tessaro;
using namespace tessaro::tools::screen;
using tessaro::testing::contains;
using tessaro::testing::meta_of;

namespace {

server::Args args(const json& given) {
  json a = json::object();
  for (const auto& p : server::find_tool("screen_chart")->params) a[p.name] = p.default_value;
  for (auto it = given.begin(); it != given.end(); ++it) a[it.key()] = *it;
  return server::Args(a);
}

// Closes rising by `step` a bar; `n` bars dated YYYY-MM-DD.
json series(int n, double start, double step, double volume = 1000) {
  json rows = json::array();
  for (int i = 0; i < n; ++i) {
    double c = start + step * i;
    char d[16];
    std::snprintf(d, sizeof d, "2026-%02d-%02d", 1 + i / 28, 1 + i % 28);
    rows.push_back({{"date", d}, {"open", c}, {"high", c + 1}, {"low", c - 1}, {"close", c}, {"volume", volume}});
  }
  return rows;
}

// A market of `n` stocks A000001.. with cap 5,000억 each; per-code bars by callback.
struct FakeMarket {
  int n = 20;
  std::vector<json> extra_rows;   // prepended rows (for exclusion tests)
  std::function<json(const std::string&, int)> bars = [](const std::string&, int count) {
    return series(count, 1000, 10);
  };
  std::atomic<int> cap_calls{0}, bar_calls{0}, in_flight{0}, max_in_flight{0};
  std::mutex mu;
  std::vector<int> requested_counts;

  Sources sources() {
    Sources s;
    s.market_cap_page = [this](const std::string& m, int page, int count) {
      ++cap_calls;
      json rows = json::array();
      if (page == 1)
        for (auto& r : extra_rows) rows.push_back(r);
      for (int i = 0; i < n; ++i) {
        char code[8];
        std::snprintf(code, sizeof code, "%c%05d", m == "KOSPI" ? '1' : '2', i + 1);
        rows.push_back({{"code", code}, {"name", std::string("종목") + code}, {"market_cap_billion", 5000.0},
                        {"security_type", ""}, {"trade_stop", false}});
      }
      return json{{"rows", page == 1 ? rows : json::array()}, {"has_next", false}};
    };
    s.management_codes = [] { return json::array({"100002"}); };
    s.alert_codes = [] { return json{{"100003", json::array({"투자경고"})}}; };
    s.daily_bars = [this](const std::string& code, int count) {
      ++bar_calls;
      {
        std::lock_guard<std::mutex> lk(mu);
        requested_counts.push_back(count);
      }
      // The stand-in's request: what the screen bounds is requests in flight.
      http::as_bound_request([&] {
        int now = ++in_flight;
        int prev = max_in_flight.load();
        while (now > prev && !max_in_flight.compare_exchange_weak(prev, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --in_flight;
      });
      return bars(code, count);
    };
    s.intraday = [](const screener::IntradayRequest& r) -> json { throw screener::RouterError(screener::NO_BROKER_TEXT); };
    s.retry_base_seconds = 0.0;
    return s;
  }
};

}  // namespace

TEST(ScreenChartArgs, BadInputRepliesWithoutFetching) {
  FakeMarket fm;
  Sources s = fm.sources();
  std::string r = screen_chart(args({{"ma_spread_max", 2.5}, {"refine", "2h"}}), s);
  EXPECT_TRUE(contains(r, "⚠️ 지원하지 않는 분봉 주기입니다: \"2h\"\n사용할 수 있는 값: 1m, 3m, 5m, 10m, 15m, 30m, 60m, 120m, 240m"));
  EXPECT_EQ(meta_of(r)["data_completeness"], rmeta::NONE);

  r = screen_chart(args({{"above_ma", 500}}), s);
  EXPECT_EQ(r, "⚠️ above_ma 는 2 ~ 240 사이여야 합니다: 500");
  r = screen_chart(args({{"preset", "없는프리셋"}}), s);
  EXPECT_TRUE(contains(r, "⚠️ 알 수 없는 프리셋입니다") && contains(r, "이평수렴")) << r;   // names the valid ones
  r = screen_chart(args({{"ma_set", "5,10,20,60,120,240"}, {"ma_spread_max", 2.0}}), s);
  EXPECT_TRUE(contains(r, "⚠️ 이평은 최대 5개"));
  r = screen_chart(args({{"ma_set", "1,5"}, {"ma_spread_max", 2.0}}), s);
  EXPECT_TRUE(contains(r, "⚠️ 이평 기간은 2 ~ 240"));
  r = screen_chart(args({{"rsi_min", 70.0}, {"rsi_max", 30.0}}), s);
  EXPECT_TRUE(contains(r, "⚠️ rsi_min (70.0) 이 rsi_max (30.0) 보다 큽니다."));

  r = screen_chart(args(json::object()), s);   // no condition: the guide
  EXPECT_EQ(r.substr(0, r.find('\n')), "조건을 하나 이상 지정해 주세요.");
  // Empty texts are arguments not given, not values to refuse.
  r = screen_chart(args({{"refine", ""}, {"ma_order", ""}}), s);
  EXPECT_EQ(r.substr(0, r.find('\n')), "조건을 하나 이상 지정해 주세요.") << r;
  EXPECT_EQ(meta_of(r)["warnings"].back(), "조건이 비어 있어 검색하지 않았습니다.");
  // A refusal names the argument that was wrong, not its sibling.
  r = screen_chart(args({{"macd", "sideways"}}), s);
  EXPECT_EQ(r, "⚠️ macd 는 골든크로스 또는 데드크로스 중 하나여야 합니다: sideways");
  EXPECT_EQ(fm.cap_calls.load(), 0);
  EXPECT_EQ(fm.bar_calls.load(), 0);
}

// The closed conditions' schema lists exactly what their parsers take: every
// listed word is accepted, a word outside is refused before anything is fetched.
TEST(ScreenChartArgs, SchemaSetsAgreeWithTheChecks) {
  FakeMarket fm;
  Sources s = fm.sources();
  for (const char* arg : {"cross", "macd", "ma_trend", "macd_zone", "ma_order"}) {
    const server::Choices* c = server::argument_choices("screen_chart", arg);
    ASSERT_NE(c, nullptr) << arg;
    for (const auto& w : c->spellings()) {
      if (w.get<std::string>().empty()) continue;
      std::string r = screen_chart(args({{arg, w}}), s);
      EXPECT_FALSE(contains(r, "중 하나여야 합니다")) << arg << "=" << w << ": " << r;
    }
    int before = fm.cap_calls.load();
    std::string r = screen_chart(args({{arg, "bogus_value"}}), s);
    EXPECT_TRUE(contains(r, std::string("⚠️ ") + arg)) << arg << ": " << r;
    EXPECT_EQ(fm.cap_calls.load(), before) << arg << ": a refused value fetches nothing";
  }
  // exclude takes a comma list: its schema carries a pattern of every text the check takes.
  auto pattern = server::argument_pattern("screen_chart", "exclude");
  ASSERT_TRUE(pattern.has_value());
  std::regex re(*pattern);
  for (const char* ok : {"기본", "없음", "NONE", "", "우선주", "우선주, 스팩", " 관리종목,시장경보 ", "우선주,,스팩"}) {
    EXPECT_TRUE(std::regex_match(std::string(ok), re)) << ok;
    EXPECT_NO_THROW(screener::parse_exclude(ok)) << ok;
  }
  for (const char* bad : {"우선주,없는것", "bogus_value", "우선주 스팩"}) {
    EXPECT_FALSE(std::regex_match(std::string(bad), re)) << bad;
    EXPECT_THROW(screener::parse_exclude(bad), screener::ScreenerInputError) << bad;
  }
}

TEST(ScreenChartUniverse, ExclusionOrderAndNothingDroppedWhenOff) {
  FakeMarket fm;
  fm.n = 0;
  fm.extra_rows = {
      {{"code", "100001"}, {"name", "정지리츠"}, {"trade_stop", true}, {"security_type", "RT"}, {"market_cap_billion", 9000.0}},
      {{"code", "100002"}, {"name", "관리"}, {"trade_stop", false}, {"security_type", ""}, {"market_cap_billion", 9000.0}},
      {{"code", "100003"}, {"name", "경보"}, {"trade_stop", false}, {"security_type", ""}, {"market_cap_billion", 9000.0}},
      {{"code", "100005"}, {"name", "삼성전자우"}, {"trade_stop", false}, {"security_type", ""}, {"market_cap_billion", 9000.0}},
      {{"code", "100010"}, {"name", "엔에이치스팩29호"}, {"trade_stop", false}, {"security_type", ""}, {"market_cap_billion", 90.0}},
      {{"code", "100020"}, {"name", "작은회사"}, {"trade_stop", false}, {"security_type", ""}},
      {{"code", "100030"}, {"name", "큰회사"}, {"trade_stop", false}, {"security_type", ""}, {"market_cap_billion", 1000.0}},
      {{"code", ""}, {"name", "코드없음"}},
  };
  Sources s = fm.sources();
  auto [cands, dropped] = screen_chart_universe(s, "KOSPI", 300, {"관리종목", "우선주", "거래정지", "스팩", "리츠펀드", "시장경보"}, 1000);
  ASSERT_EQ(cands.size(), 1u);   // a cap exactly at the floor stays
  EXPECT_EQ(cands[0]["code"], "100030");
  EXPECT_EQ(dropped, json({{"거래정지", 1}, {"관리종목", 1}, {"시장경보", 1}, {"우선주", 1}, {"스팩", 1},
                           {"시총 1,000억 미만", 1}}));
  auto [all, none] = screen_chart_universe(s, "KOSPI", 300, {}, 0);
  EXPECT_EQ(all.size(), 7u);
  EXPECT_TRUE(none.empty());
}

TEST(ScreenChartPipeline, BoundedFetchesExactBarsAndFailureAccounting) {
  FakeMarket fm;
  fm.n = 40;
  fm.bars = [](const std::string& code, int count) -> json {
    if (code == "100001" || code == "200001") throw std::runtime_error("boom");
    if (code == "100002") return series(30, 1000, 10);   // listed recently
    return series(count, 1000, 10);
  };
  Sources s = fm.sources();
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"universe_top", 5}, {"exclude", "없음"}}), s);
  // universe_top 5 becomes 10 per market
  EXPECT_TRUE(contains(r, "후보 20종목 → 계산 17 → 조건 통과 **17종목**")) << r;
  EXPECT_TRUE(contains(r, "시총 상위 10 (ALL)"));
  EXPECT_LE(fm.max_in_flight.load(), SCREEN_DAILY_CONCURRENCY);
  std::set<int> counts(fm.requested_counts.begin(), fm.requested_counts.end());
  EXPECT_EQ(counts, std::set<int>{screener::bars_needed({5, 20, 60})});   // one exact bar count for all
  json meta = meta_of(r);
  EXPECT_EQ(meta["data_completeness"], rmeta::PARTIAL);
  EXPECT_EQ(meta["coverage"]["reason"], "indicator_error");
  EXPECT_EQ(meta["coverage"]["effective"]["value"], 17);
  EXPECT_EQ(meta["data_as_of"].get<std::string>().size(), 8u);   // daily bars: YYYYMMDD
  bool failed_note = false, short_note = false;
  for (const auto& w : meta["warnings"]) {
    failed_note |= w == "일봉 조회 실패 2종목 — 후보에서 제외했습니다.";
    short_note |= w == "봉이 모자라 계산하지 못한 종목 1개 — 제외했습니다(이평 60일에는 최소 120봉이 필요합니다).";
  }
  EXPECT_TRUE(failed_note) << meta.dump();
  EXPECT_TRUE(short_note) << meta.dump();
}

TEST(ScreenChartPipeline, NoMarketListGivesTheEarlyReply) {
  FakeMarket fm;
  Sources s = fm.sources();
  s.market_cap_page = [](const std::string&, int, int) -> json { throw std::runtime_error("down"); };
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"market", "kosdaq"}}), s);
  // The list failed: a failure reply, never "nothing matched".
  EXPECT_EQ(r.substr(0, r.find('\n')),
            "⚠️ KOSDAQ 후보 목록 조회 실패 — 시가총액 순위(KOSDAQ)를 받지 못해 검색하지 못했습니다. 조건을 만족하는 "
            "종목이 없는 것이 아니라 확인하지 못했습니다.");
  EXPECT_EQ(meta_of(r)["data_completeness"], "none");
  bool failed = false;
  server::safe_tool([&] { return screen_chart(args({{"ma_order", "정배열"}, {"market", "kosdaq"}}), s); }, &failed);
  EXPECT_TRUE(failed);
}

TEST(ScreenChartFailures, EveryDailyFetchFailingIsAFailureNotAnEmptyScreen) {
  FakeMarket fm;
  fm.bars = [](const std::string&, int) -> json { throw HTTPStatusError("Gone '410'", 410); };
  Sources s = fm.sources();
  auto run = [&] { return screen_chart(args({{"ma_order", "정배열"}, {"universe_top", 5}, {"exclude", "없음"}}), s); };
  std::string r = run();
  EXPECT_FALSE(contains(r, "조건을 만족하는 종목이 없습니다")) << r;
  EXPECT_FALSE(contains(r, "완화")) << r;   // no relax hints for a screen that did not run
  EXPECT_TRUE(contains(r, "⚠️ 일봉 조회 실패 20종목 (후보 20종목 전부)")) << r;
  EXPECT_TRUE(contains(r, "tessaro-mcp doctor"));
  EXPECT_EQ(meta_of(r)["data_completeness"], "none");
  bool failed = false;
  server::safe_tool(run, &failed);
  EXPECT_TRUE(failed);
}

// Unread designation lists are not "none designated": those stocks may still be
// in the table, and the text says so.
TEST(ScreenChartFailures, UnreadDesignationListsAreSaidInTheText) {
  FakeMarket fm;
  fm.n = 5;
  Sources s = fm.sources();
  s.management_codes = []() -> json { throw HTTPStatusError("Server Error '500'", 500); };
  s.alert_codes = []() -> json { throw ReadTimeout("timed out"); };
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"universe_top", 5}, {"exclude", "관리종목,시장경보"}}), s);
  std::string b = tessaro::testing::body_of(r);
  EXPECT_TRUE(contains(b, "⚠️ 관리종목 목록(HTTPStatusError 500) 조회 실패 — 제외 조건을 적용하지 못해")) << b;
  EXPECT_TRUE(contains(b, "⚠️ 시장경보 목록(ReadTimeout) 조회 실패")) << b;
  EXPECT_TRUE(contains(b, "100002"));   // the designated stock could not be dropped
  EXPECT_EQ(meta_of(r)["data_completeness"], "partial");
}

TEST(ScreenChartRefine, NoBrokerGivesConnectionGuidance) {
  FakeMarket fm;
  Sources s = fm.sources();
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"refine", " 60M "}, {"market", "KOSPI"}, {"exclude", "없음"}}), s);
  EXPECT_EQ(r.substr(0, r.find('\n')), std::string("분봉 정밀검증을 할 수 없습니다: ") + screener::NO_BROKER_TEXT);
  EXPECT_TRUE(contains(r, "refine 을 빼고 같은 조건으로 일봉 검색을 하면 20종목을 몇 초 안에 살펴봅니다."));
  EXPECT_EQ(meta_of(r)["data_completeness"], rmeta::NONE);
}

TEST(ScreenChartRefine, CutShortAndShortHistoryAreToldApart) {
  FakeMarket fm;
  fm.n = 8;
  Sources s = fm.sources();
  std::atomic<int> calls{0};
  s.intraday = [&](const screener::IntradayRequest& req) -> json {
    ++calls;
    EXPECT_EQ(req.row_limit, 500);
    EXPECT_TRUE(req.completed_only);
    EXPECT_EQ(req.session, "regular");
    if (req.symbol == "100001") throw screener::BrokerApiError("초당 거래건수를 초과하였습니다", "kis");
    // One day of 60 one-hour bars per call; 100002 has only one day of history.
    auto day = mt::parse_day(req.trading_date);
    json bars = json::array();
    bool young = req.symbol == "100002";   // listed recently: 30 bars in all
    if (young && req.trading_date != mt::day_str(mt::to_kst(mt::now()).date()))
      return json{{"bars", bars}, {"coverage", {{"complete", true}}}};
    for (int i = 0; i < (young ? 30 : 60); ++i) {
      char at[40];
      std::snprintf(at, sizeof at, "%sT%02d:%02d:00+09:00", mt::day_str(*day).c_str(), 9 + i / 10, (i % 10) * 5);
      double c = 1000 + i;
      bars.push_back({{"start_at", at}, {"open", c}, {"high", c + 1}, {"low", c - 1}, {"close", c}, {"volume", 10}});
    }
    return json{{"bars", bars}, {"coverage", {{"complete", true}, {"failure_status", nullptr}}}};
  };
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"refine", "5m"}, {"market", "KOSPI"},
                                     {"refine_ma_set", "5,20,60"}, {"refine_top", 1}, {"exclude", "없음"}}),
                               s);
  EXPECT_TRUE(contains(r, "차트 조건검색 (5m 분봉)")) << r;
  EXPECT_TRUE(contains(r, "1단계 일봉 8종목 → 상위 5 → 2단계 5m 계산 3 → 조건 통과 **3종목**")) << r;
  json meta = meta_of(r);
  std::string w = meta["warnings"].dump();
  EXPECT_TRUE(contains(w, "분봉을 끝까지 받지 못한 종목 1개")) << w;
  EXPECT_TRUE(contains(w, "분봉이 모자라 계산하지 못한 종목 1개 — 제외했습니다(이평 60봉에는 최소 120봉이 필요한데")) << w;
  EXPECT_EQ(meta["coverage"]["reason"], "server_cap");
  EXPECT_TRUE(contains(r, "|5봉선|20봉선|60봉선|"));
}

TEST(ScreenChartRefine, IntradayRowsRetriesThenStopsCutShort) {
  // A broker that keeps failing cuts the stock short on the reply (CutShortAndShortHistoryAreToldApart).
  Sources s;
  int calls = 0;
  s.retry_base_seconds = 0.0;
  s.intraday = [&](const screener::IntradayRequest&) -> json { throw screener::SymbolMappingError("no symbol"); };
  EXPECT_THROW(screen_chart_intraday_rows(s, "005930", "5m", 100), screener::SymbolMappingError);
  // A dataset that says it failed ends the collection as cut short.
  s.intraday = [&](const screener::IntradayRequest& r) -> json {
    ++calls;
    return json{{"bars", json::array({{{"start_at", r.trading_date + "T09:00:00+09:00"}, {"close", 1}}})},
                {"coverage", {{"failure_status", "rate_limited"}, {"complete", false}}}};
  };
  auto [rows2, complete2] = screen_chart_intraday_rows(s, "005930", "5m", 100);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(complete2);
  EXPECT_EQ(rows2.size(), 1u);
  // Never more than the call limit, walking back one day before the earliest bar.
  calls = 0;
  std::vector<std::string> dates;
  s.intraday = [&](const screener::IntradayRequest& r) -> json {
    ++calls;
    dates.push_back(r.trading_date);
    return json{{"bars", json::array({{{"start_at", r.trading_date + "T09:00:00+09:00"}, {"close", 1}}})},
                {"coverage", {{"complete", true}}}};
  };
  auto [rows3, complete3] = screen_chart_intraday_rows(s, "005930", "5m", 100);
  EXPECT_EQ(calls, SCREEN_INTRADAY_MAX_CALLS);
  EXPECT_TRUE(complete3);
  EXPECT_EQ(rows3.size(), size_t(SCREEN_INTRADAY_MAX_CALLS));
  EXPECT_LT(dates[1], dates[0]);
  EXPECT_LT(rows3[0]["date"].get<std::string>(), rows3[1]["date"].get<std::string>());   // time order
}

// ---- the report -------------------------------------------------------------------

namespace {
std::vector<Pair> pairs(int n, const std::string& last_date = "20260914") {
  std::vector<Pair> v;
  for (int i = 0; i < n; ++i) {
    char code[8];
    std::snprintf(code, sizeof code, "%06d", i + 1);
    json m = {{"last_date", last_date}, {"close", 10000.0 + i}, {"all_ma", {{"5", 9900.0}, {"20", 9800.0}, {"60", 9700.0}, {"120", 9000.0}}},
              {"ma", {{"5", 9900.0}, {"20", 9800.0}, {"60", 9700.0}}}, {"ma_spread", 1.0 + i * 0.01},
              {"volatility_pct", 10.0}, {"contraction", 0.5}, {"ma_order", "정배열"}, {"rsi", 50.0 + i}};
    v.push_back({{{"code", code}, {"name", "종목" + std::to_string(i + 1)}, {"market", "KOSPI"}}, m});
  }
  return v;
}
RenderArgs base(int matched, int count, int page) {
  RenderArgs a;
  a.timeframe_label = "일봉";
  a.unit = "일";
  a.periods = {5, 20, 60};
  a.conditions = {{"ma_spread_max", 2.5}};
  auto p = pairs(matched);
  a.universe.assign(matched, json::object());
  a.evaluated = p;
  a.matched = p;
  a.count = count;
  a.page = page;
  a.market = "ALL";
  a.completeness = rmeta::COMPLETE;
  return a;
}
}  // namespace

TEST(ScreenReport, PagingOverFortyFiveMatches) {
  std::string p1 = screen_chart_render(base(45, 20, 1));
  EXPECT_TRUE(contains(p1, "정렬: 이평폭 작은 순 · 1~20위 표시(전체 45종목, 3쪽)"));
  EXPECT_TRUE(contains(p1, "→ 다음 쪽: page=2 (남은 25종목)."));
  EXPECT_TRUE(contains(p1, "\n20|종목20|000020|"));
  EXPECT_FALSE(contains(p1, "\n21|"));
  std::string p3 = screen_chart_render(base(45, 20, 3));
  EXPECT_TRUE(contains(p3, "41~45위 표시(전체 45종목, 3쪽)"));
  EXPECT_FALSE(contains(p3, "다음 쪽"));
  EXPECT_TRUE(contains(screen_chart_render(base(45, 20, 4)), "⚠️ 4쪽에는 결과가 없습니다 (조건 통과 45종목, 20개씩 3쪽까지)."));
  std::string one = screen_chart_render(base(10, 30, 1));
  EXPECT_TRUE(contains(one, "정렬: 이평폭 작은 순\n"));   // everything on one page: no page note
  EXPECT_FALSE(contains(one, "다음 쪽"));
  EXPECT_EQ(meta_of(p1)["screen_shown"], 20);
  EXPECT_TRUE(contains(p1, "기준 2026-09-14 · 시총 상위 300 (ALL)"));
}

TEST(ScreenReport, TableColumnsAndCells) {
  RenderArgs a = base(2, 30, 1);
  a.conditions = {{"ma_spread_max", 2.5}, {"above_ma", 120}, {"rsi_max", 70.0}};
  std::string r = screen_chart_render(a);
  EXPECT_TRUE(contains(r, "순위|종목|코드|종가|5일선|20일선|60일선|120일선|이평폭%|변동성|고저폭축소|배열|RSI\n"
                     "---|---|---|---|---|---|---|---|---|---|---|---|---"));
  a.conditions = {{"ma_spread_max", 2.5}, {"above_ma", 20}};
  EXPECT_TRUE(contains(screen_chart_render(a), "순위|종목|코드|종가|5일선|20일선|60일선|이평폭%"));
  // Intraday: ISO last_date gives a minute label and a day as-of value.
  a = base(1, 30, 1);
  a.unit = "봉";
  a.evaluated = a.matched = pairs(1, "2025-03-14T10:30:00+09:00");
  std::string ri = screen_chart_render(a);
  EXPECT_TRUE(contains(ri, "기준 2025-03-14 10:30 · "));
  EXPECT_EQ(meta_of(ri)["data_as_of"], "2025-03-14");
}

TEST(ScreenReport, AdvisersOnThinResults) {
  // One condition, no match: the fallback hint, no breakdown or near misses.
  RenderArgs a = base(0, 30, 1);
  a.evaluated = pairs(3);
  a.universe.assign(3, json::object());
  std::string r = screen_chart_render(a);
  EXPECT_TRUE(contains(r, "⚠️ 조건을 만족하는 종목이 없습니다.\n💡 완화 예: ma_spread_max 를 올리거나 volatility_pct_max 를 올려 보세요."));
  EXPECT_FALSE(contains(r, "🔎"));

  // Two conditions that each exclude everything: relax hint empty, breakdown shows.
  a.conditions = {{"ma_spread_max", 0.5}, {"rsi_max", 10.0}};
  r = screen_chart_render(a);
  EXPECT_FALSE(contains(r, "하나만 빼면"));
  EXPECT_TRUE(contains(r, "💡 조건을 **하나씩만** 걸면 각각 이만큼 남습니다 (계산한 3종목 기준):\n   이평폭 ≤ 0.5% 0 · RSI ≤ 10.0 0\n"
                     "   가장 많이 좁히는 건 \"이평폭 ≤ 0.5%\" 입니다 (0종목). 여기부터 풀어 보세요."))
      << r;

  // One condition blocks: the relax hint names it; the near miss picks the closest (earliest on ties).
  a.conditions = {{"ma_spread_max", 2.5}, {"rsi_max", 50.5}};
  a.evaluated = pairs(3);   // rsi 50, 51, 52 -> only the first passes both... make it fail: bound below all
  a.conditions["rsi_max"] = 49.0;
  r = screen_chart_render(a);
  EXPECT_TRUE(contains(r, "💡 조건 **하나만 빼면** 이만큼 나옵니다:\n   RSI ≤ 49.0 빼면 3종목")) << r;
  EXPECT_TRUE(contains(r, "🔎 조건마다 문턱에 가장 가까웠던 종목:\n   RSI ≤ 49.0 → 종목1 000001 가 RSI 50.0 로 가장 가까웠습니다"))
      << r;

  // Exactly five matches print the breakdown under the table; six do not.
  RenderArgs five = base(5, 30, 1);
  five.conditions = {{"ma_spread_max", 2.5}, {"rsi_max", 100.0}};
  EXPECT_TRUE(contains(screen_chart_render(five), "💡 조건을 **하나씩만**"));
  RenderArgs six = base(6, 30, 1);
  six.conditions = five.conditions;
  EXPECT_FALSE(contains(screen_chart_render(six), "💡 조건을 **하나씩만**"));

  // Dropped stocks are named with the way to include them.
  RenderArgs d = base(1, 30, 1);
  d.dropped = {{"우선주", 3}};
  std::string rd = screen_chart_render(d);
  EXPECT_TRUE(contains(rd, "※ 후보에서 뺀 종목 3개 (우선주 3). 다 보려면 exclude=\"없음\", 시총 하한은 market_cap_min 으로 바꿉니다."));
}

// ---- faults of ordering, windows and paging ------------------------------------------

TEST(ScreenChartUniverse, AllMarketsMergeByMarketCap) {
  Sources s;
  s.market_cap_page = [](const std::string& m, int, int) {
    json rows = json::array();
    auto add = [&](const char* code, double cap) {
      rows.push_back({{"code", code}, {"name", std::string("종목") + code}, {"market_cap_billion", cap},
                      {"security_type", ""}, {"trade_stop", false}});
    };
    if (m == "KOSPI") add("100001", 3000), add("100002", 1000);
    else add("200001", 5000), add("200002", 2000);
    return json{{"rows", rows}, {"has_next", false}};
  };
  s.management_codes = [] { return json::object(); };
  s.alert_codes = [] { return json::object(); };
  auto [cands, dropped] = screen_chart_universe(s, "ALL", 10, {}, 0);
  std::vector<std::string> order;
  for (const auto& c : cands) order.push_back(c["code"]);
  EXPECT_EQ(order, (std::vector<std::string>{"200001", "100001", "200002", "100002"}));
  auto [one, _] = screen_chart_universe(s, "KOSPI", 10, {}, 0);
  EXPECT_EQ(one.front()["code"], "100001");
}

TEST(ScreenReport, NearMissOfAnOrderConditionNamesTheClosestStock) {
  RenderArgs a = base(0, 30, 1);
  a.conditions = {{"ma_spread_max", 50.0}, {"ma_order", "정배열"}};
  auto p = pairs(2);
  // The first is fully reversed, the second has only its last pair out of order.
  p[0].second["ma"] = {{"5", 9700.0}, {"20", 9800.0}, {"60", 9900.0}};
  p[0].second["ma_order"] = "역배열";
  p[1].second["ma"] = {{"5", 9900.0}, {"20", 9700.0}, {"60", 9800.0}};
  p[1].second["ma_order"] = "뒤엉킴";
  a.evaluated = p;
  a.universe.assign(2, json::object());
  std::string r = screen_chart_render(a);
  EXPECT_TRUE(contains(r, "   정배열 → 종목2 000002 가 뒤엉킴 로 가장 가까웠습니다")) << r;
  EXPECT_EQ(screener::condition_gap("ma_order", p[0].second, a.conditions), 1.0);
  EXPECT_EQ(screener::condition_gap("ma_order", p[1].second, a.conditions), 0.5);
}

TEST(ScreenChartEvaluate, NewLowIsJudgedOnItsOwnWindow) {
  // Flat 1,100 closes, one 900 ten bars back, the latest at 1,000.
  json rows = series(130, 1100, 0);
  rows[119]["close"] = 900.0;
  rows[119]["low"] = 899.0;
  rows[129]["close"] = 1000.0;
  rows[129]["low"] = 999.0;
  screener::EvalParams p;
  p.ma_periods = {5, 20};
  p.high_low_days = 5;   // new_high_days
  p.low_days = 20;       // new_low_days
  json m = screener::evaluate(rows, p);
  ASSERT_TRUE(m.is_object());
  EXPECT_EQ(m["is_new_low"], false);   // 900 lies inside the 20-bar window
  p.low_days.reset();
  EXPECT_EQ(screener::evaluate(rows, p)["is_new_low"], true);   // the 5-bar window alone
}

TEST(ScreenChartArgs, PageAboveTwoToTheThirtyFirstIsPastTheEnd) {
  FakeMarket fm;
  fm.n = 10;
  Sources s = fm.sources();
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"exclude", "없음"}, {"market", "KOSPI"},
                                     {"page", 2147483648LL}}),
                               s);
  EXPECT_TRUE(contains(r, "⚠️ 2147483648쪽에는 결과가 없습니다 (조건 통과 10종목")) << r;
  EXPECT_FALSE(contains(r, "\n1|"));
}

// count=0 shows one row of the clamp: the reply says so, and never reads as if
// that row (or nothing) were the whole result.
TEST(ScreenChartArgs, CountOutsideItsRangeIsSaid) {
  FakeMarket fm;
  fm.n = 10;
  Sources s = fm.sources();
  std::string r = screen_chart(args({{"ma_order", "정배열"}, {"exclude", "없음"}, {"market", "KOSPI"}, {"count", 0}}), s);
  EXPECT_TRUE(contains(r, "조건 통과 **10종목**")) << r;
  EXPECT_TRUE(contains(r, "※ count 는 1 ~ 100 입니다 (요청 0 → 1). 조건 통과는 모두 10종목입니다.")) << r;
  json m = meta_of(r);
  EXPECT_EQ(m["screen_shown"], 1);
  EXPECT_TRUE(contains(m["warnings"].dump(), "count 0 → 1")) << m.dump();
  r = screen_chart(args({{"ma_order", "정배열"}, {"exclude", "없음"}, {"market", "KOSPI"}, {"count", 500}}), s);
  EXPECT_TRUE(contains(r, "(요청 500 → 100)")) << r;
  r = screen_chart(args({{"ma_order", "정배열"}, {"exclude", "없음"}, {"market", "KOSPI"}, {"count", 5}}), s);
  EXPECT_FALSE(contains(r, "※ count")) << r;
}
