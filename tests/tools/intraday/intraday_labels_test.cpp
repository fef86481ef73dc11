// Labels of minute bars from their own day's sessions: the exam day's minutes,
// a long interval in the middle of the session, a requested day without trading
// and the closing auction's one-minute bar. Minute bodies are written from the
// documented api.stock minute format.
#include <gtest/gtest.h>

#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/fixture_server.hpp"
#include "support/naver_env.hpp"
#include "support/frozen_clock.hpp"

namespace md = tessaro::market_data;
namespace mt = tessaro::mt;
using tessaro::json;
using tessaro::server::call_tool;
using tessaro::testing::has_warning;
using tessaro::testing::meta_of;
using std::chrono::minutes;

namespace {

// A broker serving every minute of the session begun by "now", each of volume
// 100; the closing auction's bar (stamped at the close) has `auction_volume`.
class SessionBroker : public md::Provider {
 public:
  std::string id() const override { return "kis"; }
  bool is_broker() const override { return true; }
  std::string intraday_capability(const std::string& m, const std::string&) const override {
    return m == "KR" ? "available" : "unsupported";
  }
  md::BarDataset fetch_bars(const md::BarRequest& req, const md::ProviderContext&) override {
    ++calls;
    md::BarDataset ds;
    mt::Instant now = mt::now();
    int n = 0;
    for (mt::Instant t = req.start_at; t < req.end_at && t < now && n < per_day; t += minutes(1), ++n) {
      md::Bar b;
      b.start_at = t;
      b.end_at = t + minutes(1);
      b.open = b.low = 70000 + n % 7;
      b.high = b.open + 50;
      b.close = b.open + 10;
      b.volume = t + minutes(1) == req.end_at ? auction_volume : 100;   // the window ends one minute after the close
      b.complete = b.end_at <= now;
      ds.bars.push_back(b);
    }
    ds.source_endpoint = "domestic_minute";
    ds.coverage = {{"complete", true}, {"returned_rows", (int)ds.bars.size()}};
    return ds;
  }
  int calls = 0;
  int per_day = 100000;
  double auction_volume = 1100;
};

using Clock = tessaro::testing::FrozenClock;

class IntradayLabels : public ::testing::Test {
 protected:
  void SetUp() override {
    md::ConnectionState s;
    s.providers["kis"] = md::ProviderProfile{"real", "k", "s", "", ""};
    s.primary_provider = "kis";
    md::save_state_v2(s);
    md::override_provider_for_tests("kis", kis);
  }
  void TearDown() override { md::override_provider_for_tests("kis", nullptr); }
  std::string chart(json args) {
    args["symbol"] = "005930";
    return call_tool("get_intraday_chart", args);
  }
  tessaro::testing::TempHome home;
  std::shared_ptr<SessionBroker> kis = std::make_shared<SessionBroker>();
};

bool warning_has(const json& meta, const std::string& part) { return has_warning(meta, part); }

}  // namespace

// 2026-11-19, the exam day: the regular session runs 10:00-16:30 and its closing
// auction prints at 16:30. Naver's minutes after 15:30 are regular minutes,
// not closing-price or after-market trades.
TEST(IntradayExamDay, NaverMinutesAreLabelledByTheDaysOwnSessions) {
  tessaro::testing::NaverEnv env("2026-11-19 21:00");
  json body = json::array();
  for (const char* hm : {"1529", "1545", "1610", "1630"})
    body.push_back({{"localDateTime", std::string("20261119") + hm + "00"},
                    {"openPrice", 70000},
                    {"highPrice", 70100},
                    {"lowPrice", 69900},
                    {"currentPrice", 70050},
                    {"accumulatedTradingVolume", 10}});
  env.srv.route("/api.stock.naver.com/chart/domestic/item/005930/minute", tessaro::testing::reply(200, body.dump()));
  std::string r = call_tool("get_intraday_chart",
                            {{"symbol", "005930"}, {"interval", "1m"}, {"date", "2026-11-19"}, {"row_limit", 4}});
  json m = meta_of(r);
  ASSERT_TRUE(m.is_object()) << r;
  EXPECT_EQ(m["bar_sessions"], json({{"regular", 4}})) << m.dump();
  EXPECT_EQ(m["price_session"], "regular");
  EXPECT_NE(r.find("2026-11-19 16:30"), std::string::npos) << r;
}

// 10:38: the first 240m bar ends at 13:00. The day has bars, none finished.
TEST_F(IntradayLabels, ALongIntervalMidSessionNamesTheFormingBarNotAMissingDay) {
  Clock c("2026-12-04", 10, 38);
  {
    json m = meta_of(chart({{"interval", "240m"}, {"row_limit", 2}}));
    EXPECT_FALSE(warning_has(m, "에는 봉이 없어")) << m["warnings"];
    EXPECT_TRUE(warning_has(m, "기준일 2026-12-04의 봉은 아직 끝난 것이 없어")) << m["warnings"];
    EXPECT_EQ(m["data_as_of"], "2026-12-03");
  }
  {
    json m = meta_of(chart({{"interval", "240m"}, {"row_limit", 2}, {"completed_only", false}}));
    EXPECT_EQ(m["bar_forming"], true);
    EXPECT_FALSE(warning_has(m, "09:00에 끝난 봉까지만")) << m["warnings"];
    EXPECT_TRUE(warning_has(m, "오늘 끝난 봉은 아직 없고")) << m["warnings"];
    EXPECT_TRUE(warning_has(m, "마지막 봉(09:00~)은 아직 만들어지는 중입니다")) << m["warnings"];
  }
}

// A Saturday asked for is no trading day: it asks for nothing and the ten
// back-fill days are ten trading days before it.
TEST_F(IntradayLabels, ARequestedDayWithoutTradingUsesNoneOfTheTenDays) {
  Clock c("2026-12-07", 8, 0);
  kis->per_day = 3;
  std::string r = chart({{"interval", "1m"}, {"row_limit", 500}, {"date", "2026-12-05"}});
  json m = meta_of(r);
  EXPECT_EQ(kis->calls, 10);
  EXPECT_EQ(m["coverage"]["days_fetched"], 10) << m.dump();
  EXPECT_NE(r.find("(30 bars, KRX"), std::string::npos) << r.substr(0, 200);
  EXPECT_NE(r.find("2026-11-23 09:00|"), std::string::npos);   // ten trading days back from Friday 12-04
  EXPECT_TRUE(warning_has(m, "기준일 2026-12-05은 거래일이 아니어서 그 이전 거래일(2026-12-04)")) << m["warnings"];
}

// The closing auction's one-minute bar holds the auction's volume (11x an
// ordinary minute here): it stays out of the volume ratio and rank, and the
// reply says so.
TEST_F(IntradayLabels, TheClosingAuctionBarIsLeftOutOfTheVolumeRatio) {
  Clock c("2026-12-04", 16, 0);
  json r = json::parse(call_tool("get_intraday_indicators",
                                 {{"symbol", "005930"}, {"interval", "1m"}, {"bars", 60}, {"include", {"volume"}}}));
  const json& vol = r["indicators"]["volume"];
  EXPECT_EQ(vol["closing_auction_bars_excluded"], 1) << vol.dump();
  EXPECT_EQ(vol["latest"], 100);
  EXPECT_EQ(vol["ratio_vs_avg_20b"], 1.0);
  EXPECT_NE(vol.value("closing_auction_note", std::string()).find("종가 단일가"), std::string::npos);
  EXPECT_TRUE(warning_has(r["_meta"], "종가 단일가 봉 1개를 빼고")) << r["_meta"]["warnings"];
}
