// Wall time of get_indicators_bulk over 50 codes on a loopback server that
// answers every request after 20 ms (10 in flight per host; every Naver host is
// this one server). The floor of a run is its own requests ten at a time, one
// latency each (cold: 50 charts + 50 market divisions = 0.2 s); a ratio is
// wall / floor, cold (a new home, nothing cached; median and worst of the
// iterations) and warm
// (the same call again, clock inside the session past the forming bar's TTL,
// today's bars from batched quotes) reported apart.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_home.hpp"
#include "bench_market.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "slow_server.hpp"
#include "sources/http.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/lists_common.hpp"

using namespace tessaro;

namespace {

constexpr int kCodes = 50;
constexpr int kLatencyMs = 20;
constexpr const char* kToday = "2026-12-08";

const auto kLastDay = bench::day_of(2026, 12, 8);

bench::Market g_market{[] { return kLastDay; }, kToday, 1000};
bench::Reply answer(const std::string& target) { return g_market.answer(target); }

void BM_IndicatorsBulk50(benchmark::State& st) {
  bench::SlowServer srv(kLatencyMs, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  ::setenv("TESSARO_BARS_CACHE", "on", 1);
  json codes = json::array();
  for (int i = 0; i < kCodes; ++i) {
    char c[8];
    std::snprintf(c, sizeof c, "%06d", 100000 + i * 7);
    codes.push_back(c);
  }
  const auto day = *mt::parse_day(kToday);
  const int bound = http::per_host_limit();
  std::vector<double> cold_ratios;
  for (auto _ : st) {
    st.PauseTiming();
    bench::homes().fresh("indicators-bulk");
    bars_cache::clear_memory();
    naver::detail::clear_list_caches();
    mt::set_now_for_tests(mt::from_kst(day, 10, 0));
    st.ResumeTiming();
    std::string cold, warm;
    bench::Timed c = bench::timed(srv, [&] { cold = server::call_tool("get_indicators_bulk", {{"codes", codes}}); });
    const double cold_wall = c.wall_s;
    const long cold_requests = c.requests;
    st.PauseTiming();
    mt::set_now_for_tests(mt::from_kst(day, 10, 5));
    st.ResumeTiming();
    bench::Timed w = bench::timed(srv, [&] { warm = server::call_tool("get_indicators_bulk", {{"codes", codes}}); });
    const double warm_wall = w.wall_s;
    const long warm_requests = w.requests;
    benchmark::DoNotOptimize(cold);
    benchmark::DoNotOptimize(warm);
    const double floor_s = bench::floor_seconds(cold_requests, bound, kLatencyMs);
    const double warm_floor_s = bench::floor_seconds(warm_requests, bound, kLatencyMs);
    cold_ratios.push_back(cold_wall / floor_s);
    st.counters["cold_floor_s"] = floor_s;
    st.counters["cold_requests"] = double(cold_requests);
    st.counters["warm_wall_s"] = warm_wall;
    st.counters["warm_requests"] = double(warm_requests);
    st.counters["warm_ratio_to_floor"] = warm_floor_s > 0 ? warm_wall / warm_floor_s : 0;
    st.counters["warm_to_cold"] = warm_wall / cold_wall;
  }
  // Every iteration is a cold call of its own: the median and the worst of them.
  std::sort(cold_ratios.begin(), cold_ratios.end());
  st.counters["cold_ratio_median"] = cold_ratios[cold_ratios.size() / 2];
  st.counters["cold_ratio_worst"] = cold_ratios.back();
  mt::set_now_for_tests(std::nullopt);
}

}  // namespace

BENCHMARK(BM_IndicatorsBulk50)->Unit(benchmark::kMillisecond)->Iterations(7)->UseRealTime();
BENCHMARK_MAIN();
