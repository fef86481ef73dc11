// get_intraday_chart / get_intraday_indicators over a stand-in broker: argument
// checks, the day cache across the close, back-fill, labels of the forming bar,
// and strict named sources.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/files.hpp"
#include "server/registry.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/naver_env.hpp"
#include "sources/market_data/screen_intraday.hpp"
#include "tools/intraday/intraday.hpp"
#include "support/frozen_clock.hpp"

namespace md = tessaro::market_data;
namespace mt = tessaro::mt;
using tessaro::json;
using tessaro::server::call_tool;
using std::chrono::minutes;

namespace {

using tessaro::testing::meta_of;

// A broker that serves every minute of the session that has started by "now";
// `per_day` limits the bars of one day (a thin day), `fail` makes it refuse.
class MinuteBroker : public md::Provider {
 public:
  explicit MinuteBroker(std::string id) : id_(std::move(id)) {}
  std::string id() const override { return id_; }
  bool is_broker() const override { return true; }
  std::string intraday_capability(const std::string& m, const std::string&) const override {
    return m == "KR" || us ? "available" : "unsupported";
  }
  md::BarDataset fetch_bars(const md::BarRequest& req, const md::ProviderContext&) override {
    ++calls;
    if (!fail.empty() && calls > fail_after) throw md::BrokerApiError(fail_text, id_, fail);
    md::BarDataset ds;
    mt::Instant now = mt::now();
    int n = 0;
    for (mt::Instant t = req.start_at; t < req.end_at && t < now && n < per_day; t += minutes(1), ++n) {
      md::Bar b;
      b.start_at = t;
      b.end_at = t + minutes(1);
      b.open = b.high = b.low = b.close = 70000 + n;
      b.high += 50;
      b.volume = 100;
      b.complete = b.end_at <= now;
      ds.bars.push_back(b);
    }
    ds.source_endpoint = "domestic_minute";
    ds.coverage = {{"complete", true}, {"returned_rows", (int)ds.bars.size()}};
    return ds;
  }
  int calls = 0;
  int per_day = 100000;
  std::string fail;
  int fail_after = 0;   // calls served before `fail` applies
  std::string fail_text = "초당 거래건수를 초과하였습니다.";
  bool us = false;      // also serves US minutes

 private:
  std::string id_;
};

using Clock = tessaro::testing::FrozenClock;

class IntradayTools : public ::testing::Test {
 protected:
  void SetUp() override {
    md::ConnectionState s;
    s.providers["kis"] = md::ProviderProfile{"real", "k", "s", "", ""};
    s.providers["kiwoom"] = md::ProviderProfile{"real", "k2", "s2", "", ""};
    s.primary_provider = "kis";
    md::save_state_v2(s);
    md::override_provider_for_tests("kis", kis);
    md::override_provider_for_tests("kiwoom", kiwoom);
  }
  void TearDown() override {
    md::override_provider_for_tests("kis", nullptr);
    md::override_provider_for_tests("kiwoom", nullptr);
  }
  std::string chart(json args) {
    args["symbol"] = args.value("symbol", "005930");
    return call_tool("get_intraday_chart", args);
  }
  tessaro::testing::TempHome home;
  std::shared_ptr<MinuteBroker> kis = std::make_shared<MinuteBroker>("kis");
  std::shared_ptr<MinuteBroker> kiwoom = std::make_shared<MinuteBroker>("kiwoom");
};

}  // namespace

TEST_F(IntradayTools, ArgumentsOutsideTheListsAreRefusedBeforeAnyFetch) {
  Clock c("2026-12-04", 16, 0);
  EXPECT_EQ(chart({{"market", "JP"}}), "market은 KR 또는 US여야 합니다.");
  EXPECT_EQ(chart({{"session", "after"}}), "지원하지 않는 session입니다: after (현재 regular만 지원, 검증 후 확대 예정)");
  EXPECT_EQ(chart({{"interval", "2m"}}),
            "지원하지 않는 interval입니다: 2m (지원: 1m, 3m, 5m, 10m, 15m, 30m, 60m, 120m, 240m)");
  EXPECT_EQ(chart({{"source", "toss"}}), "지원하지 않는 source입니다: toss (지원: kis, kiwoom, naver, yahoo)");
  EXPECT_EQ(chart({{"date", "2026-13-01"}}), "날짜 형식이 올바르지 않습니다 (YYYY-MM-DD).");
  EXPECT_EQ(call_tool("get_intraday_indicators", {{"symbol", "005930"}, {"include", json::array({"ma", "zigzag"})}})
                .rfind("지원하지 않는 지표: zigzag\n사용 가능: ", 0),
            0u);
  EXPECT_EQ(kis->calls, 0);
  {
    tessaro::testing::ScopedEnv on("ORVANE_ENABLE_EXPERIMENTAL_BROKERS", "1");
    auto pub = tessaro::intraday::public_intraday_sources();
    EXPECT_NE(std::find(pub.begin(), pub.end(), "toss"), pub.end());
  }
  // Eight digits and dots read as the same day.
  for (const char* d : {" 20261204 ", "2026.12.04"})
    EXPECT_EQ(*tessaro::intraday::validate_intraday_args("KR", "5m", "auto", std::string(d), "regular").trading_date,
              "2026-12-04");
  // Blanks are a date that cannot be read, not a missing one.
  EXPECT_EQ(*tessaro::intraday::validate_intraday_args("KR", "5m", "auto", std::string("  "), "regular").error,
            "날짜 형식이 올바르지 않습니다 (YYYY-MM-DD).");
}

TEST_F(IntradayTools, OpenDaysAreNeverCachedAndAFinishedDayIsServedFromDisk) {
  auto cache_dir = std::filesystem::path(home.path()) / "cache" / "intraday" / "kis";
  {
    Clock c("2026-12-04", 11, 2, 30);
    std::string r = chart({{"interval", "1m"}, {"completed_only", false}, {"row_limit", 5}});
    json m = meta_of(r);
    ASSERT_FALSE(m.is_null()) << r;
    EXPECT_EQ(m["data_basis"], "in_progress_bar");   // the last minute is still forming
    bool in_progress = false;
    for (const auto& w : m["warnings"])
      in_progress |= w.get<std::string>() ==
                     "정규장이 아직 진행 중입니다. 11:02에 끝난 봉까지만 담았고, 장이 끝날 때까지 봉이 더 붙습니다. "
                     "마지막 봉(11:02~)은 아직 만들어지는 중입니다(11:02 현재).";
    EXPECT_TRUE(in_progress) << m["warnings"].dump();
    chart({{"interval", "1m"}, {"row_limit", 5}});
    EXPECT_EQ(kis->calls, 2);
    EXPECT_FALSE(std::filesystem::exists(cache_dir));
    // completed_only drops the forming minute.
    std::string done = chart({{"interval", "1m"}, {"row_limit", 5}});
    EXPECT_EQ(meta_of(done)["data_basis"], "last_close");
    EXPECT_NE(done.find("2026-12-04 11:01|"), std::string::npos);
    EXPECT_EQ(done.find("2026-12-04 11:02|"), std::string::npos);
  }
  Clock c("2026-12-04", 16, 0);
  int before = kis->calls;
  std::string first = chart({{"interval", "5m"}, {"row_limit", 10}});
  EXPECT_EQ(kis->calls, before + 1);
  EXPECT_TRUE(std::filesystem::exists(cache_dir));
  std::string second = chart({{"interval", "5m"}, {"row_limit", 10}});
  EXPECT_EQ(kis->calls, before + 1);
  json m = meta_of(second);
  EXPECT_EQ(m["cache_hit"], true) << m.dump();
  EXPECT_EQ(m["provider_status"], "ok");
  // Same table either way; the auction bar is a one-minute session tail.
  auto table = [](const std::string& r) { return r.substr(0, r.find("RESULT_META")); };
  EXPECT_EQ(table(first), table(second));
  EXPECT_NE(first.find("※ 세션 꼬리 봉 1개 포함 (예: 15:30~15:31, 1분). 일반 5m 봉과 거래량을 직접 비교하지 마세요."),
            std::string::npos)
      << first;
}

TEST_F(IntradayTools, ThinDaysReachBackAtMostTenTradingDays) {
  Clock c("2026-12-04", 16, 0);
  kis->per_day = 3;
  std::string r = chart({{"interval", "1m"}, {"row_limit", 500}});
  json m = meta_of(r);
  EXPECT_EQ(kis->calls, 10);
  EXPECT_EQ(m["coverage"]["days_fetched"], 10) << m.dump();
  EXPECT_NE(r.find("(30 bars, KRX, regular session)"), std::string::npos);
  // Weekends in between are skipped, not fetched: the oldest day is 2026-11-23.
  EXPECT_NE(r.find("2026-11-23 09:00|"), std::string::npos);
  EXPECT_EQ(r.find("2026-11-20"), std::string::npos);
}

TEST_F(IntradayTools, RowLimitsAndBarCountsAreClamped) {
  Clock c("2026-12-04", 16, 0);
  EXPECT_NE(chart({{"row_limit", 0}}).find("(1 bars, KRX"), std::string::npos);
  EXPECT_NE(chart({{"interval", "1m"}, {"row_limit", 9999}}).find("(500 bars, KRX"), std::string::npos);
  json ind = json::parse(call_tool("get_intraday_indicators", {{"symbol", "005930"}, {"bars", 10}, {"interval", "5m"}}));
  EXPECT_EQ(ind["bars"], 30);
  EXPECT_EQ(ind["_meta"]["data_completeness"], "partial");   // 30 bars are too few for the longer averages
}

TEST_F(IntradayTools, ANamedBrokerThatIsDownGivesTheErrorReplyNotAnotherSource) {
  Clock c("2026-12-04", 16, 0);
  kiwoom->fail = md::ST_RATE_LIMITED;
  std::string r = chart({{"source", "kiwoom"}});
  EXPECT_EQ(r.rfind("증권사 데이터 조회 실패: 초당 거래건수를 초과하였습니다.", 0), 0u) << r;
  json m = meta_of(r);
  EXPECT_EQ(m["provider_status"], "rate_limited");
  EXPECT_EQ(m["data_completeness"], "none");
  EXPECT_EQ(kis->calls, 0);
  // A broker lacking the market says so, with the hint that it is not a key problem.
  std::string us = chart({{"symbol", "AAPL"}, {"market", "US"}, {"source", "kiwoom"}});
  EXPECT_NE(us.find("API 키 문제가 아닙니다."), std::string::npos) << us;
  EXPECT_EQ(meta_of(us)["provider_status"], "unsupported");
}

TEST_F(IntradayTools, TheChartScreenRefinesOnTheConnectedBrokersBars) {
  Clock c("2026-12-04", 16, 0);
  tessaro::screener::IntradayRequest q;
  q.symbol = "005930";
  q.interval = "60m";
  q.trading_date = "2026-12-04";
  q.row_limit = 14;
  json ds = tessaro::screener::fetch_intraday_dataset(q);
  ASSERT_EQ(ds["bars"].size(), 14u);   // two trading days of seven hourly bars
  EXPECT_EQ(ds["bars"][0]["start_at"], "2026-12-03T09:00:00+09:00");
  EXPECT_EQ(ds["coverage"]["complete"], true);
  kis->fail = md::ST_RATE_LIMITED;
  EXPECT_NO_THROW(tessaro::screener::fetch_intraday_dataset(q));   // both finished days come from the disk cache
  q.symbol = "000660";
  EXPECT_THROW(tessaro::screener::fetch_intraday_dataset(q), tessaro::screener::BrokerApiError);
  // With no broker left, Korean minutes go to the public Naver minute chart; when
  // that fails too the refine fails, it never returns an empty dataset.
  md::save_state_v2(md::ConnectionState{});
  tessaro::testing::NaverEnv naver;
  naver.srv.route("/api.stock.naver.com/chart/domestic/item/000660/minute",
                  tessaro::testing::reply(500, "busy", "text/plain"));
  EXPECT_ANY_THROW(tessaro::screener::fetch_intraday_dataset(q));
  EXPECT_GE(naver.srv.hits("/api.stock.naver.com/chart/domestic/item/000660/minute"), 1);
}

TEST_F(IntradayTools, AnEarlierDayNeverComesFromTheFallbackSource) {
  // US minutes from the primary broker, Yahoo as its fallback. The broker serves the
  // requested day and then refuses: the back-fill stops instead of adding Yahoo's bars.
  Clock c("2026-12-05", 8, 0);   // 2026-12-04 18:00 in New York
  auto yahoo = std::make_shared<MinuteBroker>("yahoo");
  yahoo->us = true;
  md::override_provider_for_tests("yahoo", yahoo);
  kis->us = true;
  kis->per_day = 3;
  kis->fail = md::ST_RATE_LIMITED;
  kis->fail_after = 1;
  std::string r = chart({{"symbol", "AAPL"}, {"market", "US"}, {"date", "2026-12-04"}, {"interval", "1m"},
                         {"row_limit", 10}});
  md::override_provider_for_tests("yahoo", nullptr);
  EXPECT_EQ(yahoo->calls, 0) << r;
  EXPECT_NE(r.find("(3 bars, "), std::string::npos) << r;
  json m = meta_of(r);
  EXPECT_EQ(m["provider"], "kis");
  EXPECT_EQ(m["fallback_used"], false);
  bool stopped = false;
  for (const auto& w : m["warnings"])
    stopped |= w.get<std::string>() == "2026-12-03 분봉 조회에 실패해 그 이전 이력 없이 계산합니다.";
  EXPECT_TRUE(stopped) << m["warnings"].dump();
}

TEST_F(IntradayTools, AFormingMinuteDoesNotCountTowardTheRowsAsked) {
  Clock c("2026-12-04", 11, 2, 30);   // 122 finished minutes today, the 123rd still forming
  std::string r = chart({{"interval", "1m"}, {"row_limit", 123}});
  EXPECT_NE(r.find("(123 bars, KRX"), std::string::npos) << r.substr(0, 200);
  EXPECT_NE(r.find("2026-12-03 15:30|"), std::string::npos);   // the previous day's last bar fills the gap
  EXPECT_EQ(r.find("2026-12-04 11:02|"), std::string::npos);
}

TEST_F(IntradayTools, TheFormingBarWarningNamesTheLastEndedMinuteAndTheMetaSaysForming) {
  Clock c("2026-12-04", 10, 37, 30);   // the 10:37 minute is still forming
  std::string r = chart({{"interval", "1m"}, {"row_limit", 5}, {"completed_only", false}});
  json m = meta_of(r);
  EXPECT_EQ(m["bar_forming"], true);
  EXPECT_EQ(m["data_basis"], "in_progress_bar");
  bool found = false;
  for (const auto& w : m["warnings"]) {
    std::string s = w.get<std::string>();
    if (s.find("정규장이 아직 진행 중입니다.") == std::string::npos) continue;
    found = true;
    EXPECT_NE(s.find("10:37에 끝난 봉까지만 담았고"), std::string::npos) << s;
    EXPECT_NE(s.find("마지막 봉(10:37~)은 아직 만들어지는 중입니다"), std::string::npos) << s;
  }
  EXPECT_TRUE(found) << m["warnings"];
}

TEST_F(IntradayTools, ALongIntervalMidSessionSaysNoBarHasFinishedNotThatThereAreNone) {
  Clock c("2026-12-04", 10, 38);   // 98 minutes traded; the first 240m bar ends at 13:00
  kis->fail = md::ST_RATE_LIMITED;
  kis->fail_after = 1;   // the earlier day cannot be fetched
  std::string r = chart({{"interval", "240m"}, {"date", "2026-12-04"}});
  EXPECT_EQ(r.find("받은 봉이 없습니다"), std::string::npos) << r;
  EXPECT_NE(r.find("005930 240m 봉 중 끝난 봉이 아직 없습니다 (2026-12-04).\n원천 분봉은 98개 받았지만"), std::string::npos) << r;
  EXPECT_EQ(meta_of(r)["data_basis"], "in_progress_bar");
}

// Without a broker, Korean minutes come from Naver's public minute chart
// (the real 2026-09-29 capture): the route says so, every bar is labelled regular
// and the closing-price trades after 15:30 are not mixed in.
TEST(IntradayNaver, KoreanMinutesWithoutABrokerComeFromNaver) {
  TESSARO_REQUIRE_SAMPLE(m0929, "naver/api_stock_chart_domestic_item_minute_005930_20260929.json");
  tessaro::testing::NaverEnv env("2026-09-30 09:00");
  env.srv.route("/api.stock.naver.com/chart/domestic/item/005930/minute", tessaro::testing::reply(200, m0929));
  std::string r = call_tool("get_intraday_chart",
                            {{"symbol", "005930"}, {"interval", "1m"}, {"date", "2026-09-29"}, {"row_limit", 1}});
  EXPECT_NE(r.find("2026-09-29 15:30"), std::string::npos) << r;
  EXPECT_EQ(r.find("15:40"), std::string::npos);
  json m = meta_of(r);
  ASSERT_TRUE(m.is_object()) << r;
  std::string d = m.dump();
  EXPECT_NE(d.find("\"selection_reason\":\"public_default\""), std::string::npos) << d;
  EXPECT_NE(d.find("\"provider\":\"naver\""), std::string::npos);
  EXPECT_NE(d.find("\"bar_sessions\":{\"regular\":1}"), std::string::npos) << d;
  EXPECT_NE(d.find("\"volume_basis\":\"KRX\""), std::string::npos);
}

TEST_F(IntradayTools, AFailedBackFillDayIsNotComplete) {
  Clock c("2026-12-04", 16, 0);
  kis->per_day = 3;
  kis->fail = md::ST_RATE_LIMITED;
  kis->fail_after = 1;
  std::string r = chart({{"interval", "1m"}, {"row_limit", 10}});
  json m = meta_of(r);
  EXPECT_EQ(m["data_completeness"], "partial") << m.dump();
  EXPECT_EQ(m["coverage"]["complete"], false);
  bool named = false;
  for (const auto& w : m["warnings"])
    named |= w.get<std::string>() == "2026-12-03 분봉 조회에 실패해 그 이전 이력 없이 계산합니다.";
  EXPECT_TRUE(named) << m["warnings"].dump();
}

TEST_F(IntradayTools, AnIndicatorErrorMakesTheIntradayReplyPartialWithAWarning) {
  Clock c("2026-12-04", 16, 0);
  json ind = json::parse(call_tool("get_intraday_indicators", {{"symbol", "005930"}, {"bars", 100}, {"interval", "1m"},
                                                               {"include", {"rsi"}},
                                                               {"params", {{"rsi", {{"period", "x"}}}}}}));
  const json& m = ind["_meta"];
  EXPECT_EQ(m["data_completeness"], "partial") << m.dump();
  EXPECT_EQ(m["coverage"]["reason"], "indicator_error");
  bool warned = false;
  for (const auto& w : m["warnings"]) warned |= w.get<std::string>().rfind("계산에 실패한 지표: rsi(", 0) == 0;
  EXPECT_TRUE(warned) << m["warnings"].dump();
}

TEST_F(IntradayTools, BrokerErrorTextsHideUrlQueries) {
  Clock c("2026-12-04", 16, 0);
  kiwoom->fail = md::ST_RATE_LIMITED;
  kiwoom->fail_text = "거절됨 https://api.kiwoom.test/chart?appkey=SECRET123&token=T 다시 시도";
  std::string r = chart({{"source", "kiwoom"}});
  EXPECT_EQ(r.find("SECRET123"), std::string::npos) << r;
  EXPECT_NE(r.find("https://api.kiwoom.test/chart?… 다시 시도"), std::string::npos) << r;
}
