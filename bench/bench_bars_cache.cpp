// The daily-bar cache and connection reuse, measured against a loopback server
// that answers every request after 20 ms (ten in flight: the floor of 2,000
// daily fetches is 2000 / 10 x 20 ms = 4 s). All figures of one run are taken in
// the same process, so the ratios hold even on a busy machine; absolute times do not.
//
// (TESSARO_BENCH_PER_MARKET makes the universe smaller for a quick run.)
//  - ScreenColdWarmNextDay: a 2,000-stock screen with an empty cache (ratio to the
//    floor), again within the forming bar's time to live (wall, upstream bar
//    requests), and on the next trading day (requests per stock, bytes as a share
//    of the cold screen's).
//  - ChartWarmFromMemory: get_ohlcv through the cache and the whole get_chart tool,
//    both served from memory (the tool still asks the market division, here from a
//    server without delay).
//  - ResidentMemory: process memory and cache bytes with 2,000 x 260 bars cached.
//  - ConnectionReuse: requests per second on loopback with and without reuse.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "bench_home.hpp"
#include "bench_market.hpp"
#include "slow_server.hpp"
#include "sources/http.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"
#include "tools/kr/screener/screen_chart.hpp"

using namespace tessaro;

namespace {

// Stocks per market (two markets): 1,000 by default; TESSARO_BENCH_PER_MARKET=100
// gives a quick run of the same measurements on 200 stocks.
const int kPerMarket = [] {
  const char* v = std::getenv("TESSARO_BENCH_PER_MARKET");
  int n = v ? std::atoi(v) : 0;
  return n > 0 && n <= 1000 ? n : 1000;
}();
constexpr int kLatencyMs = 20;

// The last day the server has bars for (days since epoch); moved by the benchmark.
std::atomic<int> g_last_day{0};
bench::Market& market() {
  static bench::Market m{[] { return std::chrono::sys_days{std::chrono::days(g_last_day.load())}; }, "2026-06-16",
                         kPerMarket};
  return m;
}
bench::Reply answer(const std::string& target) { return market().answer(target); }

void fresh_home(const char* name) {
  bars_cache::flush_disk();   // nothing of a previous run lands in the new home
  bench::homes().fresh(name);   // a new folder of its own, never a fixed path
  ::setenv("TESSARO_BARS_CACHE", "on", 1);
  bars_cache::clear_memory();
}

// A Tuesday and the Wednesday after it, both before the after-market began.
void set_clock(const char* day, int hour) {
  auto d = *mt::parse_day(day);
  mt::set_now_for_tests(mt::from_kst(d, hour, 0));
  g_last_day = int(d.time_since_epoch().count());
}

void BM_ScreenColdWarmNextDay(benchmark::State& st) {
  bench::SlowServer srv(kLatencyMs, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  tools::screen::Sources src = bench::screen_sources();
  server::Args a = bench::screen_args(kPerMarket);
  const double floor_s = 2.0 * kPerMarket / tools::screen::SCREEN_DAILY_CONCURRENCY * kLatencyMs / 1000.0;
  auto screen = [&](double& wall, long long& reqs, long long& bytes) {
    long long r0 = market().bar_requests, b0 = market().bar_bytes;
    auto t0 = std::chrono::steady_clock::now();
    std::string r = tools::screen::screen_chart(a, src);
    wall = bench::seconds_since(t0);
    reqs = market().bar_requests - r0;
    bytes = market().bar_bytes - b0;
    if (r.find("계산 " + std::to_string(2 * kPerMarket)) == std::string::npos) st.SkipWithError("not every stock was measured");
  };
  for (auto _ : st) {
    // Uncached, for the same-run reference.
    fresh_home("tessaro-bench-bars");
    set_clock("2026-06-16", 14);
    ::setenv("TESSARO_BARS_CACHE", "off", 1);
    double w_off;
    long long q_off, b_off;
    screen(w_off, q_off, b_off);
    ::setenv("TESSARO_BARS_CACHE", "on", 1);

    double w_cold, w_warm, w_next;
    long long q_cold, q_warm, q_next, b_cold, b_warm, b_next;
    screen(w_cold, q_cold, b_cold);
    // The files are written by a background thread; how long they took after the reply.
    auto t_flush = std::chrono::steady_clock::now();
    bars_cache::flush_disk();
    double flush_after_cold = bench::seconds_since(t_flush);
    long all0 = srv.requests.load();
    screen(w_warm, q_warm, b_warm);   // within the 45 s time to live of the forming bar
    long warm_all = srv.requests.load() - all0;
    set_clock("2026-06-17", 14);      // the next trading day, one more bar per stock
    screen(w_next, q_next, b_next);

    st.counters["floor_s"] = floor_s;
    st.counters["uncached_ratio_to_floor"] = w_off / floor_s;
    st.counters["cold_ratio_to_floor"] = w_cold / floor_s;
    st.counters["cold_vs_uncached"] = w_cold / w_off;
    st.counters["cold_files_done_after_s"] = flush_after_cold;
    st.counters["warm_wall_s"] = w_warm;
    st.counters["warm_bar_requests"] = double(q_warm);
    st.counters["warm_other_requests"] = double(warm_all - q_warm);   // the universe list and the like
    st.counters["next_day_requests_per_stock"] = double(q_next) / (2.0 * kPerMarket);
    st.counters["next_day_bytes_share_of_cold"] = double(b_next) / double(b_cold);
    st.counters["next_day_wall_s"] = w_next;
  }
  mt::set_now_for_tests(std::nullopt);
}

void BM_ChartWarmFromMemory(benchmark::State& st) {
  bench::SlowServer srv(0, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  fresh_home("tessaro-bench-chart");
  set_clock("2026-06-16", 14);
  json args = {{"code", "100001"}, {"count", 120}};
  server::call_tool("get_chart", args);   // fills the cache
  long long r0 = market().bar_requests;
  double read_s = 0, tool_s = 0;
  int n = 0;
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    json rows = bars_cache::get_ohlcv("100001", "day", 120);
    read_s += bench::seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    std::string r = server::call_tool("get_chart", args);
    tool_s += bench::seconds_since(t0);
    benchmark::DoNotOptimize(r);
    ++n;
  }
  st.counters["cached_read_ms"] = read_s / n * 1000;
  st.counters["get_chart_ms"] = tool_s / n * 1000;
  st.counters["bar_requests_while_warm"] = double(market().bar_requests - r0);
  mt::set_now_for_tests(std::nullopt);
}

long rss_kb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

void BM_ResidentMemory(benchmark::State& st) {
  bench::SlowServer srv(0, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  for (auto _ : st) {
    fresh_home("tessaro-bench-rss");
    set_clock("2026-06-16", 14);
    long before = rss_kb();
    for (int i = 0; i < 2 * kPerMarket; ++i) {
      char code[8];
      std::snprintf(code, sizeof code, "%c%05d", i < kPerMarket ? '1' : '2', i % kPerMarket + 1);
      bars_cache::get_ohlcv(code, "day", 260);
    }
    st.counters["rss_mb"] = rss_kb() / 1024.0;
    st.counters["rss_growth_mb"] = (rss_kb() - before) / 1024.0;
    st.counters["cache_mb"] = double(bars_cache::memory_bytes()) / (1024.0 * 1024.0);
  }
  mt::set_now_for_tests(std::nullopt);
}

void BM_ConnectionReuse(benchmark::State& st) {
  bench::SlowServer srv(0, answer);
  const int kRequests = 2000;
  auto run = [&](bool reuse) {
    ::setenv("TESSARO_HTTP_REUSE", reuse ? "1" : "0", 1);
    std::atomic<int> next{0};
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> th;
    for (int t = 0; t < 10; ++t)
      th.emplace_back([&] {
        while (next++ < kRequests) http::get(http::Url::given(srv.base() + "/basic"));
      });
    for (auto& x : th) x.join();
    ::unsetenv("TESSARO_HTTP_REUSE");
    return kRequests / bench::seconds_since(t0);
  };
  for (auto _ : st) {
    run(true);   // warm up both paths once
    double without = run(false), with = run(true);
    st.counters["req_per_s_without_reuse"] = without;
    st.counters["req_per_s_with_reuse"] = with;
    st.counters["reuse_speedup"] = with / without;
  }
}

}  // namespace

BENCHMARK(BM_ScreenColdWarmNextDay)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ChartWarmFromMemory)->Unit(benchmark::kMicrosecond)->Iterations(200)->UseRealTime();
BENCHMARK(BM_ResidentMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ConnectionReuse)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_MAIN();
