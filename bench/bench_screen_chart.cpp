// Wall time of a whole-market daily screen: a 2,000-stock universe (1,000 per
// market) served by a loopback HTTP server that answers every request after
// 20 ms. Ten requests are in flight at once, so the floor of a screen is its own
// requests (2,000 daily charts and 20 market-cap pages), ten at a time, one
// latency each: about 4.04 s. "ratio_to_floor" is wall time / that floor.
// Every timed screen is cold (a new home, an empty memory cache); the in-session
// re-screen (history cached, the clock inside the session, past the forming
// bar's TTL) is timed apart, against the floor of the requests it sent itself.
// A last case times the measurement alone (no network) for the same bars.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

#include "server/registry.hpp"
#include "bench_home.hpp"
#include "bench_market.hpp"
#include "slow_server.hpp"
#include "market_time/clock.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/lists_common.hpp"
#include "analysis/screener/screener.hpp"
#include "tools/kr/screener/screen_chart.hpp"

using namespace tessaro;

namespace {

constexpr int kPerMarket = 1000;
constexpr int kLatencyMs = 20;
constexpr int kBars = 120;   // what a 5/20/60 screen asks for

// Bars up to the in-session day of the re-screen (Tuesday 2026-12-08).
constexpr const char* kToday = "2026-12-08";
const auto kLastDay = bench::day_of(2026, 12, 8);

bench::Market g_market{[] { return kLastDay; }, kToday, kPerMarket};
bench::Reply answer(const std::string& target) { return g_market.answer(target); }

void BM_ScreenMarketOverLoopback(benchmark::State& st) {
  bench::SlowServer srv(kLatencyMs, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  tools::screen::Sources src = bench::screen_sources();
  server::Args a = bench::screen_args(kPerMarket);
  const int bound = tools::screen::SCREEN_DAILY_CONCURRENCY;
  for (auto _ : st) {
    st.PauseTiming();
    bench::homes().fresh("screen-cold");   // cold: nothing cached on disk or in memory
    bars_cache::clear_memory();
    naver::detail::clear_list_caches();
    st.ResumeTiming();
    std::string r;
    bench::Timed cold = bench::timed(srv, [&] { r = tools::screen::screen_chart(a, src); });
    benchmark::DoNotOptimize(r);
    double floor_s = bench::floor_seconds(cold.requests, bound, kLatencyMs);
    st.counters["wall_s"] = cold.wall_s;
    st.counters["requests"] = double(cold.requests);
    st.counters["floor_s"] = floor_s;
    st.counters["ratio_to_floor"] = cold.wall_s / floor_s;
    if (r.find("계산 " + std::to_string(2 * kPerMarket)) == std::string::npos) st.SkipWithError("not every stock was measured");
  }
}

// Cold at 10:00 of a trading day, then the same screen at 10:05: the history up
// to yesterday is cached and only today's bars are asked, in batched quotes.
void BM_ReScreenInSession(benchmark::State& st) {
  bench::SlowServer srv(kLatencyMs, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  ::setenv("TESSARO_BARS_CACHE", "on", 1);
  tools::screen::Sources src = bench::screen_sources();
  server::Args a = bench::screen_args(kPerMarket);
  const auto day = *mt::parse_day(kToday);
  const int bound = tools::screen::SCREEN_DAILY_CONCURRENCY;
  for (auto _ : st) {
    st.PauseTiming();
    bench::homes().fresh("rescreen");
    bars_cache::clear_memory();
    naver::detail::clear_list_caches();
    mt::set_now_for_tests(mt::from_kst(day, 10, 0));
    bench::Timed cold = bench::timed(srv, [&] { tools::screen::screen_chart(a, src); });
    const double cold_wall = cold.wall_s;
    const long cold_requests = cold.requests;
    mt::set_now_for_tests(mt::from_kst(day, 10, 5));
    st.ResumeTiming();
    std::string r;
    bench::Timed warm = bench::timed(srv, [&] { r = tools::screen::screen_chart(a, src); });
    benchmark::DoNotOptimize(r);
    const double wall = warm.wall_s;
    const long requests = warm.requests;
    // The floor of what this re-screen sent: its requests, ten at a time, one latency each.
    double floor_s = bench::floor_seconds(requests, bound, kLatencyMs);
    double cold_floor_s = bench::floor_seconds(cold_requests, bound, kLatencyMs);
    st.counters["cold_wall_s"] = cold_wall;
    st.counters["cold_requests"] = double(cold_requests);
    st.counters["cold_ratio_to_floor"] = cold_wall / cold_floor_s;
    st.counters["warm_wall_s"] = wall;
    st.counters["warm_requests"] = double(requests);
    st.counters["warm_floor_s"] = floor_s;
    st.counters["warm_ratio_to_floor"] = wall / floor_s;
    st.counters["warm_to_cold"] = wall / cold_wall;
    if (r.find("계산 " + std::to_string(2 * kPerMarket)) == std::string::npos) st.SkipWithError("not every stock was measured");
  }
  mt::set_now_for_tests(std::nullopt);
}

void BM_EvaluateOnlySameBars(benchmark::State& st) {
  std::vector<json> market;
  for (int i = 0; i < 2 * kPerMarket; ++i) {
    json rows = json::array();
    double p = 10000 + i;
    for (int b = 0; b < 260; ++b) {
      p *= 1.0 + std::sin(double(i * 7 + b)) / 100.0;
      rows.push_back({{"date", "2026" + std::to_string(1000 + b)}, {"open", p}, {"high", p + 50}, {"low", p - 50},
                      {"close", p}, {"volume", 100000.0}});
    }
    market.push_back(std::move(rows));
  }
  screener::EvalParams p;
  p.ma_periods = {5, 20, 60};
  json cond = {{"ma_spread_max", 2.5}};
  for (auto _ : st) {
    int matched = 0;
    for (const auto& rows : market)
      if (screener::matches(screener::evaluate(rows, p), cond)) ++matched;
    benchmark::DoNotOptimize(matched);
  }
}

}  // namespace

BENCHMARK(BM_ScreenMarketOverLoopback)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_ReScreenInSession)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_EvaluateOnlySameBars)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
