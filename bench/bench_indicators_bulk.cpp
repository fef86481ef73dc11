// Wall time of get_indicators_bulk over 50 codes on a loopback server that
// answers every request after 20 ms (10 in flight per host; every Naver host is
// this one server). The floor of a run is its own requests ten at a time, one
// latency each (cold: 50 charts + 50 market divisions = 0.2 s); "ratio_to_floor"
// is wall / floor, cold (a new home, nothing cached) and warm
// (the same call again, clock inside the session past the forming bar's TTL,
// today's bars from batched quotes) reported apart.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

#include "bench_home.hpp"
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

std::string weekday_back(int back) {
  auto d = *mt::parse_day(kToday);
  while (back > 0) {
    d -= std::chrono::days(1);
    std::chrono::weekday wd{d};
    if (wd != std::chrono::Saturday && wd != std::chrono::Sunday) --back;
  }
  std::chrono::year_month_day ymd{d};
  char b[16];
  std::snprintf(b, sizeof b, "%04d%02u%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
  return b;
}

std::string bars_xml(const std::string& code, int count) {
  std::string s = "<?xml version=\"1.0\" encoding=\"EUC-KR\" ?>\n<protocol>\n<chartdata symbol=\"" + code +
                  "\" name=\"x\" count=\"" + std::to_string(count) + "\" timeframe=\"day\" precision=\"0\">\n";
  unsigned seed = unsigned(std::stoul(code));
  double p = 10000 + seed % 5000;
  for (int i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    p *= 1.0 + (double(seed % 2001) - 1000.0) / 50000.0;
    long long c = (long long)p;
    s += "<item data=\"" + weekday_back(count - 1 - i) + "|" + std::to_string(c) + "|" + std::to_string(c + 50) + "|" +
         std::to_string(c - 50) + "|" + std::to_string(c) + "|100000\" />\n";
  }
  return s + "</chartdata>\n</protocol>\n";
}

std::string polling(const std::string& target) {
  std::string list = target.substr(target.find("/domestic/stock/") + 16);
  list = list.substr(0, list.find('?'));
  for (size_t p; (p = list.find("%2C")) != std::string::npos;) list.replace(p, 3, ",");
  std::string s = "{\"pollingInterval\":7000,\"datas\":[";
  for (size_t at = 0; at < list.size(); at += 7) {
    if (at) s += ",";
    s += "{\"itemCode\":\"" + list.substr(at, 6) + "\",\"closePrice\":\"10,100\",\"openPrice\":\"10,000\","
         "\"highPrice\":\"10,200\",\"lowPrice\":\"9,900\",\"accumulatedTradingVolume\":\"50,000\",\"marketStatus\":\"OPEN\","
         "\"localTradedAt\":\"" + std::string(kToday) + "T10:04:59+09:00\",\"tradeStopType\":{\"name\":\"TRADING\"}}";
  }
  return s + "]}";
}

bench::Reply answer(const std::string& target) {
  if (target.find("/sise.nhn") != std::string::npos)
    return {bars_xml(bench::param(target, "symbol"), std::atoi(bench::param(target, "count").c_str())), "text/xml"};
  if (target.find("/api/realtime/domestic/stock/") != std::string::npos)
    return {polling(target), "application/json; charset=utf-8"};
  if (target.find("/basic") != std::string::npos)
    return {"{\"stockEndType\":\"stock\",\"stockExchangeType\":{\"code\":\"KS\",\"nameEng\":\"KOSPI\"}}",
            "application/json; charset=utf-8"};
  return {"[]", "application/json; charset=utf-8"};
}

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
  for (auto _ : st) {
    st.PauseTiming();
    bench::homes().fresh("indicators-bulk");
    bars_cache::clear_memory();
    naver::detail::clear_list_caches();
    mt::set_now_for_tests(mt::from_kst(day, 10, 0));
    st.ResumeTiming();
    long r0 = srv.requests.load();
    auto t0 = std::chrono::steady_clock::now();
    std::string cold = server::call_tool("get_indicators_bulk", {{"codes", codes}});
    double cold_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long cold_requests = srv.requests.load() - r0;
    st.PauseTiming();
    mt::set_now_for_tests(mt::from_kst(day, 10, 5));
    st.ResumeTiming();
    long r1 = srv.requests.load();
    auto t1 = std::chrono::steady_clock::now();
    std::string warm = server::call_tool("get_indicators_bulk", {{"codes", codes}});
    double warm_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
    long warm_requests = srv.requests.load() - r1;
    benchmark::DoNotOptimize(cold);
    benchmark::DoNotOptimize(warm);
    const double floor_s = std::ceil(double(cold_requests) / bound) * kLatencyMs / 1000.0;
    const double warm_floor_s = std::ceil(double(warm_requests) / bound) * kLatencyMs / 1000.0;
    st.counters["cold_floor_s"] = floor_s;
    st.counters["cold_wall_s"] = cold_wall;
    st.counters["cold_requests"] = double(cold_requests);
    st.counters["cold_ratio_to_floor"] = cold_wall / floor_s;
    st.counters["warm_wall_s"] = warm_wall;
    st.counters["warm_requests"] = double(warm_requests);
    st.counters["warm_ratio_to_floor"] = warm_floor_s > 0 ? warm_wall / warm_floor_s : 0;
    st.counters["warm_to_cold"] = warm_wall / cold_wall;
  }
  mt::set_now_for_tests(std::nullopt);
}

}  // namespace

BENCHMARK(BM_IndicatorsBulk50)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
