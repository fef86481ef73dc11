// Today's daily bar from the batched polling quote: the bar a real quote builds
// against the chart's bar of the same moment, the batches a re-screen sends, the
// chart standing in for a failed batch (and the ledger saying so), and the
// chart's own bar replacing the quote's once the day is final.
// Loopback chart series and polling items are written from the documented
// formats (fchart items "YYYYMMDD|o|h|l|c|v"; polling fields of naver.md §3).
#include <gtest/gtest.h>

#include <mutex>

#include "core/call_context.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/market_data/today_bars.hpp"
#include "sources/naver/naver.hpp"
#include "sources/naver/parse_util.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;

namespace {

const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";
const std::string kPolling = "/polling.finance.naver.com/api/realtime/domestic/stock/";

json sample_item(const std::string& rel) {
  std::string body = read_shared_sample(rel);
  if (body.empty()) return nullptr;
  return json::parse(body)["datas"][0];
}

json day_row(const json& rows, const std::string& day) {
  for (const auto& r : rows)
    if (r.value("date", "") == day) return r;
  return nullptr;
}

std::string close_of_code(const std::string& code) { return std::to_string(1000 + std::stoi(code) % 500); }

// Many stocks on a loopback: a chart series per code (80 weekdays up to `last`,
// plus today's forming bar when `today` is set) and polling batches answered
// from the same numbers as documented items.
struct MarketEnv : NaverEnv {
  ScopedEnv cache_on{"TESSARO_BARS_CACHE", "on"};
  std::vector<std::string> codes;
  std::vector<std::string> history;   // YYYYMMDD, oldest first
  std::string today;                  // YYYYMMDD of the forming bar, "" for none
  int today_close_bump = 0;           // the chart's today bar moves by this (after the quote was read)
  std::mutex m;

  MarketEnv(const char* kst, const std::string& last_final, int n_codes, const std::string& today_ymd)
      : NaverEnv(kst), today(today_ymd) {
    bars_cache::clear_memory();
    auto days = weekdays_back(last_final, 80);
    history.assign(days.rbegin(), days.rend());
    for (int i = 0; i < n_codes; ++i) codes.push_back(code6(100000 + i * 7));
    srv.route(kFchart, [this](const FixtureRequest& r) {
      std::lock_guard<std::mutex> lk(m);
      std::string code = r.params.at("symbol");
      int count = std::stoi(r.params.at("count"));
      std::vector<std::string> items;
      int c = std::stoi(close_of_code(code));
      for (size_t k = 0; k < history.size(); ++k)
        items.push_back(history[k] + "|" + std::to_string(c - 5) + "|" + std::to_string(c + 10) + "|" +
                        std::to_string(c - 10) + "|" + std::to_string(c) + "|" + std::to_string(c * 3 + int(k)));
      if (!today.empty()) items.push_back(today_item(code, today_close_bump));
      size_t from = items.size() > size_t(count) ? items.size() - size_t(count) : 0;
      return reply(200, fchart_xml({items.begin() + long(from), items.end()}, "day", code),
                   "text/xml; charset=EUC-KR");
    });
    for (size_t b = 0; b * 30 < codes.size(); ++b) {
      std::string joined;
      for (size_t i = b * 30; i < std::min(codes.size(), (b + 1) * 30); ++i) joined += (joined.empty() ? "" : ",") + codes[i];
      srv.route(kPolling + joined, [this, joined](const FixtureRequest&) {
        json datas = json::array();
        for (size_t p = 0; p < joined.size(); p += 7) datas.push_back(item(joined.substr(p, 6)));
        return reply(200, json{{"pollingInterval", 7000}, {"datas", datas}, {"time", "20261208101500"}}.dump());
      });
    }
  }
  ~MarketEnv() { bars_cache::clear_memory(); }
  std::string batch_path(size_t b) const {
    std::string joined;
    for (size_t i = b * 30; i < std::min(codes.size(), (b + 1) * 30); ++i) joined += (joined.empty() ? "" : ",") + codes[i];
    return kPolling + joined;
  }
  int polling_hits() const {
    int n = 0;
    for (size_t b = 0; b * 30 < codes.size(); ++b) n += srv.hits(batch_path(b));
    return n;
  }
  // Today's bar as the chart shows it: open c+1, high c+20, low c-3, close c+12.
  std::string today_item(const std::string& code, int bump) const {
    int c = std::stoi(close_of_code(code));
    return today + "|" + std::to_string(c + 1) + "|" + std::to_string(c + 20 + bump) + "|" + std::to_string(c - 3) + "|" +
           std::to_string(c + 12 + bump) + "|" + std::to_string(777 + bump);
  }
  // The same bar as a polling item: KRX block in the top-level fields, a
  // different NXT block and integrated volume that must never be read.
  json item(const std::string& code) const {
    int c = std::stoi(close_of_code(code));
    auto n = [](int v) { return fmt::fixed(v, 0, true); };
    std::string day = today.substr(0, 4) + "-" + today.substr(4, 2) + "-" + today.substr(6, 2);
    return json{{"itemCode", code},
                {"stockName", "종목" + code},
                {"closePrice", n(c + 12)},
                {"compareToPreviousClosePrice", "12"},
                {"compareToPreviousPrice", {{"code", "2"}, {"text", "상승"}, {"name", "RISING"}}},
                {"openPrice", n(c + 1)},
                {"highPrice", n(c + 20)},
                {"lowPrice", n(c - 3)},
                {"accumulatedTradingVolume", "777"},
                {"marketStatus", "OPEN"},
                {"localTradedAt", day + "T10:14:59+09:00"},
                {"tradeStopType", {{"code", "1"}, {"text", "운영.Trading"}, {"name", "TRADING"}}},
                {"overMarketPriceInfo",
                 {{"tradingSessionType", "REGULAR_MARKET"}, {"overPrice", n(c + 30)}, {"openPrice", n(c - 50)},
                  {"highPrice", n(c + 90)}, {"lowPrice", n(c - 90)}, {"accumulatedTradingVolume", "5,000"}}},
                {"integratedPriceInfo", {{"accumulatedTradingVolume", "5,777"}, {"lowPrice", n(c - 90)}}}};
  }
  int chart_hits() const { return srv.hits(kFchart); }
  void warm(int count) {
    for (const auto& c : codes) bars_cache::get_ohlcv(c, "day", count);
  }
};

}  // namespace

// ---- the bar a real quote builds -------------------------------------------------

TEST(QuoteBar, AfterTwentyHundredEqualsTheChartsFinalBarOfThatDay) {
  json item = sample_item("naver/polling_realtime_domestic_stock_005930_after_close.json");
  TESSARO_REQUIRE_SAMPLE(fchart, "naver/fchart_sise_day_005930_count3_marketKRX_after2000KST.xml");
  ASSERT_FALSE(item.is_null());
  auto bar = bars_cache::quote_bar(item);
  ASSERT_TRUE(bar);
  // Labelled by its own trade time: 20:00, the end of the KRX after-market,
  // not the 15:30 regular close.
  EXPECT_EQ(bar->traded_at, "2026-09-29T20:00:00+09:00");
  json chart = day_row(naver::parse_fchart_bars(fchart, false), "2026-09-29");
  ASSERT_FALSE(chart.is_null());
  for (const char* k : {"date", "open", "high", "low", "close", "volume"}) EXPECT_EQ(bar->row[k], chart[k]) << k;
  // KRX volume only: 15,653,425, not KRX+NXT 24,668,889 nor NXT 9,015,464.
  EXPECT_EQ(bar->row["volume"], 15653425);
}

TEST(QuoteBar, DiffersFromTheChartAt1934OnlyByTheAfterMarketStillTrading) {
  // No quote was captured at 19:34; the chart's bar of that moment is forming.
  // The 20:00 quote keeps its open, high and low and moves only close and volume:
  // the KRX after-market traded on until 20:00.
  json item = sample_item("naver/polling_realtime_domestic_stock_005930_after_close.json");
  TESSARO_REQUIRE_SAMPLE(fchart, "naver/fchart_sise_day_005930_count3_at1934KST.xml");
  ASSERT_FALSE(item.is_null());
  auto bar = bars_cache::quote_bar(item);
  ASSERT_TRUE(bar);
  json at1934 = day_row(naver::parse_fchart_bars(fchart, false), "2026-09-29");
  for (const char* k : {"open", "high", "low"}) EXPECT_EQ(bar->row[k], at1934[k]) << k;
  EXPECT_EQ(at1934["close"], 273500);
  EXPECT_EQ(bar->row["close"], 275000);
  EXPECT_GT(bar->row["volume"].get<double>(), at1934["volume"].get<double>());
  // And neither is the 15:30 regular close (272,500 in the minute capture).
  TESSARO_REQUIRE_SAMPLE(minute, "naver/api_stock_chart_domestic_item_minute_005930_20260929.json");
  json m = naver::parse_minute_chart(json::parse(minute));
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m[0]["datetime"], "2026-09-29 15:30");
  EXPECT_NE(m[0]["close"], bar->row["close"]);
}

TEST(QuoteBar, InSessionTakesTheKrxBlockNeverNxtOrIntegrated) {
  json item = sample_item("naver/polling_realtime_domestic_stock_005930.json");
  if (item.is_null()) GTEST_SKIP() << "shared sample naver/polling_realtime_domestic_stock_005930.json not present";
  auto bar = bars_cache::quote_bar(item);
  ASSERT_TRUE(bar);
  EXPECT_EQ(bar->row["date"], "2025-12-02");
  EXPECT_EQ(bar->row["open"], 101200);    // NXT and integrated open 101,000
  EXPECT_EQ(bar->row["low"], 101000);     // integrated low 100,800
  EXPECT_EQ(bar->row["high"], 103500);
  EXPECT_EQ(bar->row["close"], 103400);
  EXPECT_EQ(bar->row["volume"], 10079219);   // not 14,842,826 (KRX+NXT)
}

TEST(QuoteBar, HaltedPreOpenAndUntradedStandForNoBar) {
  json item = sample_item("naver/polling_realtime_domestic_stock_005930.json");
  if (item.is_null()) GTEST_SKIP() << "shared sample naver/polling_realtime_domestic_stock_005930.json not present";
  std::string why;
  json halted = item;
  halted["tradeStopType"] = {{"code", "2"}, {"text", "거래정지"}, {"name", "STOP"}};
  EXPECT_FALSE(bars_cache::quote_bar(halted, &why));
  EXPECT_EQ(why, "halted");
  json pre = item;
  pre["marketStatus"] = "PREOPEN";
  EXPECT_FALSE(bars_cache::quote_bar(pre, &why));
  json untraded = item;
  untraded["openPrice"] = "0";
  untraded["highPrice"] = "0";
  untraded["lowPrice"] = "0";
  EXPECT_FALSE(bars_cache::quote_bar(untraded, &why));   // zeros are no trade, never a bar at 0
  json blank = item;
  blank["accumulatedTradingVolume"] = "-";
  EXPECT_FALSE(bars_cache::quote_bar(blank, &why));
}

// ---- batches against the cache ---------------------------------------------------

TEST(TodayBars, InSessionReScreenAsksOneQuotePerThirtyStocksAndMatchesTheChart) {
  // Tuesday 2026-12-08 in session; the series were read at 10:00 the same day.
  MarketEnv env("2026-12-08 10:00", "2026-12-07", 70, "20261208");
  env.warm(60);
  ASSERT_EQ(env.chart_hits(), 70);
  env.freeze("2026-12-08 10:15");   // past the forming bar's TTL
  auto rep = bars_cache::prefetch_today_bars(env.codes, 60);
  EXPECT_EQ(rep.wanted, 70u);
  EXPECT_EQ(rep.batches, 3u);
  EXPECT_EQ(rep.from_quote, 70u);
  EXPECT_EQ(env.polling_hits(), 3);
  for (const auto& c : env.codes) {
    json got = bars_cache::get_ohlcv(c, "day", 60);
    ASSERT_EQ(got.size(), 60u);
    // The chart's own series at this moment, through the source directly.
    EXPECT_EQ(got, naver::get_ohlcv(c, "day", 60)) << c;
  }
  EXPECT_EQ(env.chart_hits(), 70 + 70);   // only the direct comparisons above
}

TEST(TodayBars, FailedBatchFallsBackToTheChartAndTheLedgerSaysSo) {
  MarketEnv env("2026-12-08 10:00", "2026-12-07", 70, "20261208");
  env.warm(60);
  env.freeze("2026-12-08 10:15");
  env.srv.fail_next(env.batch_path(1), 500, 5);   // the second batch is down (one retry included)
  CallContext ctx;
  CallScope scope(&ctx);
  int before = env.chart_hits();
  auto rep = bars_cache::prefetch_today_bars(env.codes, 60);
  EXPECT_EQ(rep.failed_batches, 1u);
  EXPECT_EQ(rep.from_quote, 40u);
  ASSERT_EQ(rep.chart_fallback.size(), 30u);
  EXPECT_EQ(rep.chart_fallback.front(), env.codes[30]);
  EXPECT_EQ(env.chart_hits(), before + 30);   // one chart request for each stock of that batch
  bool failed_batch = false, stand_in = false;
  for (const auto& e : ctx.ledger()) {
    if (e.source == "naver.polling_today_bars" && e.outcome == LookupStatus::failed) failed_batch = true;
    if (e.source == "naver.daily_chart" && e.stood_in_for == "naver.polling_today_bars" &&
        e.outcome == LookupStatus::found)
      stand_in = true;
  }
  EXPECT_TRUE(failed_batch);
  EXPECT_TRUE(stand_in);
  // Every stock still has today's bar, and nothing more is asked for them.
  int after = env.chart_hits();
  for (const auto& c : env.codes) EXPECT_EQ(bars_cache::get_ohlcv(c, "day", 60).back()["date"], "2026-12-08");
  EXPECT_EQ(env.chart_hits(), after);
}

TEST(TodayBars, TheChartsBarReplacesTheQuotesOnceTheDayIsFinal) {
  MarketEnv env("2026-12-08 10:00", "2026-12-07", 3, "20261208");
  env.warm(60);
  env.freeze("2026-12-08 10:15");
  EXPECT_EQ(bars_cache::prefetch_today_bars(env.codes, 60).from_quote, 3u);
  // The day goes on after the quote was read; at 20:30 it is final.
  env.today_close_bump = 40;
  env.freeze("2026-12-08 20:30");
  auto rep = bars_cache::prefetch_today_bars(env.codes, 60);
  EXPECT_EQ(rep.wanted, 0u);   // a final day is the chart's
  EXPECT_EQ(env.polling_hits(), 1);
  for (const auto& c : env.codes) {
    json last = bars_cache::get_ohlcv(c, "day", 60).back();
    EXPECT_EQ(last["date"], "2026-12-08");
    EXPECT_EQ(last["close"].get<int>(), std::stoi(close_of_code(c)) + 12 + 40) << c;
  }
}

TEST(TodayBars, HistoryFromDiskServesOnlyAcrossAWeekend) {
  // Read on Friday evening (final, on disk); Monday morning the history is whole.
  {
    MarketEnv env("2026-12-04 21:00", "2026-12-04", 2, "");
    env.warm(60);
    bars_cache::flush_disk();
    bars_cache::clear_memory();
    env.freeze("2026-12-07 10:15");
    EXPECT_EQ(bars_cache::prefetch_today_bars(env.codes, 60).wanted, 2u);
  }
  // Read on Thursday evening: Friday may have traded, so the chart is asked.
  {
    MarketEnv env("2026-12-03 21:00", "2026-12-03", 2, "");
    env.warm(60);
    bars_cache::flush_disk();
    bars_cache::clear_memory();
    env.freeze("2026-12-07 10:15");
    EXPECT_EQ(bars_cache::prefetch_today_bars(env.codes, 60).wanted, 0u);
  }
}

TEST(TodayBars, IndicatorsBulkReRunInSessionAsksTheQuoteNotTheChart) {
  MarketEnv env("2026-12-08 10:00", "2026-12-07", 40, "20261208");
  json codes = json::array();
  for (const auto& c : env.codes) codes.push_back(c);
  std::string cold = server::call_tool("get_indicators_bulk", {{"codes", codes}});
  const int chart_cold = env.chart_hits();
  EXPECT_GE(chart_cold, 40);
  EXPECT_EQ(env.polling_hits(), 0);   // nothing cached yet: the chart for every stock
  env.freeze("2026-12-08 10:15");
  std::string again = server::call_tool("get_indicators_bulk", {{"codes", codes}});
  EXPECT_EQ(env.polling_hits(), 2);            // 30 + 10 codes
  EXPECT_EQ(env.chart_hits(), chart_cold);     // no chart request per stock
  // The quote's bar is the chart's bar of the moment, so the verdicts agree.
  json a = json::parse(again), c = json::parse(cold);
  EXPECT_TRUE(a["results"] == c["results"]);
  EXPECT_EQ(a["results"].size(), 40u);
}
