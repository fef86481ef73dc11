// Bar layer: resampling with session tails, routing (strict named sources,
// failover only for "auto"), the connection state file and the day cache.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/files.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/fixture_server.hpp"

namespace md = tessaro::market_data;
namespace mt = tessaro::mt;
using tessaro::json;
using std::chrono::minutes;

namespace {

const mt::Day kFri = *mt::parse_day("2026-12-04");

md::Bar minute_bar(mt::Day d, int hh, int mm, double px, double vol) {
  md::Bar b;
  b.start_at = mt::from_kst(d, hh, mm);
  b.end_at = b.start_at + minutes(1);
  b.open = px, b.high = px + 1, b.low = px - 1, b.close = px + 0.5, b.volume = vol;
  return b;
}

// A KRX day as brokers deliver it: continuous trading 09:00-15:19, the closing
// auction (no trades 15:20-15:29) printed as one bar at 15:30.
std::vector<md::Bar> krx_day(mt::Day d) {
  std::vector<md::Bar> v;
  for (int m = 9 * 60; m < 15 * 60 + 20; ++m) v.push_back(minute_bar(d, m / 60, m % 60, 1000 + m % 7, 10));
  v.push_back(minute_bar(d, 15, 30, 1003, 500));
  return v;
}

}  // namespace

TEST(BarLayer, ResamplingAnchorsAtTheOpenAndCutsTheClosingAuctionShort) {
  auto day = krx_day(kFri);
  mt::Instant after = mt::from_kst(kFri, 18, 0);

  auto five = md::resample_intraday(day, 5, "KR", after);
  ASSERT_EQ(five.size(), 76u + 1u);   // 09:00..15:15 plus the auction bar
  EXPECT_EQ(mt::to_kst(five.front().start_at).hm(), "09:00");
  EXPECT_DOUBLE_EQ(five.front().volume, 50);
  EXPECT_DOUBLE_EQ(five.front().open, day[0].open);
  EXPECT_DOUBLE_EQ(five.front().close, day[4].close);
  EXPECT_FALSE(five[75].session_tail);
  const md::Bar& tail = five.back();
  EXPECT_TRUE(tail.session_tail);
  EXPECT_EQ(tail.actual_minutes, 1);
  EXPECT_EQ(mt::to_kst(tail.start_at).hm(), "15:30");
  EXPECT_DOUBLE_EQ(tail.volume, 500);

  auto hour = md::resample_intraday(day, 60, "KR", after);
  ASSERT_EQ(hour.size(), 7u);   // 09..14 full hours, 15:00 cut at the auction
  EXPECT_TRUE(hour.back().session_tail);
  EXPECT_EQ(hour.back().actual_minutes, 31);
  EXPECT_DOUBLE_EQ(hour.back().volume, 20 * 10 + 500);

  auto four = md::resample_intraday(day, 240, "KR", after);
  ASSERT_EQ(four.size(), 2u);
  EXPECT_FALSE(four[0].session_tail);
  EXPECT_EQ(mt::to_kst(four[1].start_at).hm(), "13:00");
  EXPECT_EQ(four[1].actual_minutes, 151);
}

TEST(BarLayer, UnfinishedBucketsAreMarkedAndFilteredAndDuplicatesCollapse) {
  std::vector<md::Bar> v;
  for (int m = 0; m < 12; ++m) v.push_back(minute_bar(kFri, 10, m, 100 + m, 1));
  v.push_back(minute_bar(kFri, 10, 3, 999, 7));   // a page boundary repeated: the later copy wins
  v = md::sort_and_dedupe(v);
  ASSERT_EQ(v.size(), 12u);
  EXPECT_DOUBLE_EQ(v[3].open, 999);

  mt::Instant now = mt::from_kst(kFri, 10, 12) - std::chrono::seconds(30);   // 10:11:30
  auto five = md::resample_intraday(v, 5, "KR", now);
  ASSERT_EQ(five.size(), 3u);
  EXPECT_TRUE(five[1].complete);
  EXPECT_FALSE(five[2].complete);   // 10:10-10:15 is still forming
  EXPECT_EQ(md::filter_completed(five, now).size(), 2u);
}

// The day cache's round trip is checked through get_intraday_chart served from disk.
TEST(BarLayer, MalformedBarDictIsRefused) {
  json j = md::bar_to_dict(minute_bar(kFri, 15, 30, 71000, 123456), mt::KST);
  EXPECT_EQ(j["start_at"], "2026-12-04T15:30:00+09:00");
  j.erase("low");
  EXPECT_THROW(md::bar_from_dict(j), tessaro::ValueError);
}

TEST(BarLayer, SessionWindowsFollowTheCalendars) {
  auto kr = md::session_window("KR", kFri);
  ASSERT_TRUE(kr);
  EXPECT_EQ(mt::to_kst(kr->start_at).hm(), "09:00");
  EXPECT_EQ(mt::to_kst(kr->close_at).hm(), "15:30");
  EXPECT_FALSE(md::session_window("KR", *mt::parse_day("2026-12-05")));   // Saturday
  EXPECT_EQ(mt::to_ny(md::session_window("US", *mt::parse_day("2026-11-27"))->close_at).hm(), "13:00");   // early close
}

namespace {

class StubProvider : public md::Provider {
 public:
  StubProvider(std::string id, bool broker, std::string status = "") : id_(id), broker_(broker), fail_(status) {}
  std::string id() const override { return id_; }
  bool is_broker() const override { return broker_; }
  std::string intraday_capability(const std::string& market, const std::string&) const override {
    return (market == "KR" || id_ != "kiwoom") ? "available" : "unsupported";
  }
  md::BarDataset fetch_bars(const md::BarRequest& req, const md::ProviderContext&) override {
    ++calls;
    last_interval = req.interval;
    if (!fail_.empty()) throw md::BrokerApiError("down", id_, fail_);
    md::BarDataset ds;
    ds.bars = {minute_bar(kFri, 10, 0, 1, 1)};
    return ds;
  }
  int calls = 0;
  std::string last_interval;

 private:
  std::string id_;
  bool broker_;
  std::string fail_;
};

struct Connected {
  tessaro::testing::TempHome home;
  Connected(std::vector<std::string> brokers) {
    md::ConnectionState s;
    for (auto& b : brokers) s.providers[b] = md::ProviderProfile{"real", "KEY-" + b, "SECRET-" + b, "", ""};
    if (!brokers.empty()) s.primary_provider = brokers.front();
    md::save_state_v2(s);
  }
};

json caps(bool kr, bool us) { return {{"connected", true}, {"kr_intraday", kr}, {"us_intraday", us}}; }

}  // namespace

TEST(BarRouter, StateFileIsPrivateAndNeverShowsSecrets) {
  Connected c({"kis"});
  struct stat st {};
  ASSERT_EQ(stat(md::state_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
  md::ConnectionState s = md::load_state_v2();
  ASSERT_TRUE(s.primary_provider);
  EXPECT_EQ(s.providers["kis"].app_secret, "SECRET-kis");
  EXPECT_EQ(s.raw.dump().find("SECRET"), std::string::npos);
  EXPECT_EQ(s.raw.dump().find("KEY-kis"), std::string::npos);
}

TEST(BarRouter, NamedSourcesAreStrictAndAutoStaysOnThePrimaryBroker) {
  Connected c({"kis", "kiwoom"});
  auto kis = std::make_shared<StubProvider>("kis", true, md::ST_RATE_LIMITED);
  auto yahoo = std::make_shared<StubProvider>("yahoo", false);
  md::override_provider_for_tests("kis", kis);
  md::override_provider_for_tests("yahoo", yahoo);

  md::BarRequest req;
  req.market = "US";
  req.interval = "5m";
  // A named source that is down gives its failure, never another source's bars:
  // checked through get_intraday_chart. Auto on US: the primary broker first,
  // Yahoo after a temporary failure.
  md::Route named = md::resolve_source("legacy", "US", "5m", "kis", caps(true, true), std::string("kis"));
  EXPECT_EQ(named.candidates, std::vector<std::string>{"kis"});
  md::Route autor = md::resolve_source("legacy", "US", "5m", "auto", caps(true, true), std::string("kis"));
  auto ds = md::fetch_with_failover(autor, req, md::runtime());
  EXPECT_EQ(kis->last_interval, "1m");   // brokers are always asked for minutes
  EXPECT_TRUE(autor.fallback_used);
  EXPECT_EQ(autor.fallback_from.value_or(""), "kis");
  EXPECT_EQ(autor.selected_provider, "yahoo");
  EXPECT_EQ(yahoo->last_interval, "5m");   // Yahoo serves 5m natively

  // Auto on KR has no public fallback.
  md::Route kr = md::resolve_source("legacy", "KR", "5m", "auto", caps(true, true), std::string("kis"));
  EXPECT_EQ(kr.candidates, std::vector<std::string>{"kis"});
  md::override_provider_for_tests("kis", nullptr);
  md::override_provider_for_tests("yahoo", nullptr);
}

TEST(BarRouter, MissingConnectionsAndMarketsAreRefusedWithTheirStatus) {
  Connected none({});
  auto status_of = [](auto fn) {
    try {
      fn();
    } catch (const md::RouterError& e) {
      return e.status();
    }
    return std::string("no error");
  };
  // Korean minutes without a broker come from Naver's public chart.
  md::Route kr = md::resolve_source("legacy", "KR", "5m", "auto", json::object(), std::nullopt);
  EXPECT_EQ(kr.selected_provider, "naver");
  EXPECT_EQ(kr.selection_reason, "public_default");
  EXPECT_EQ(status_of([] { md::resolve_source("legacy", "KR", "5m", "kis", json::object(), std::nullopt); }),
            md::ST_NOT_CONFIGURED);
  EXPECT_EQ(status_of([] { md::resolve_source("legacy", "KR", "5m", "yahoo", json::object(), std::nullopt); }),
            md::ST_UNSUPPORTED);
  md::Route us = md::resolve_source("legacy", "US", "5m", "auto", json::object(), std::nullopt);
  EXPECT_EQ(us.selected_provider, "yahoo");
  EXPECT_EQ(us.selection_reason, "public_default");
}

TEST(BarRouter, DayCacheReadsOnlyTheExactKey) {
  tessaro::testing::TempHome home;
  md::ProviderCache cache(tessaro::home_dir() / "cache" / "intraday");
  json key = {{"provider", "kis"}, {"market", "KR"}, {"symbol", "005930"}, {"trading_date", "20261204"}};
  EXPECT_FALSE(cache.get(key));
  cache.put(key, {{"complete", true}});
  ASSERT_TRUE(cache.get(key));
  json other = key;
  other["symbol"] = "../../etc";
  EXPECT_FALSE(cache.get(other));
  EXPECT_NE(cache.path_of(other).string().find("cache/intraday/kis/"), std::string::npos);
}
