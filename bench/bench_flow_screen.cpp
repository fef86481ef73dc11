// Wall time of screen_by_flow over 500 candidates: the trade-value ranking (five
// pages of 100) and one investor-flow request per stock, served by a loopback
// server that answers every request after 20 ms. All candidate fetches start at
// once; the HTTP layer's per-host connection bound keeps at most that many
// requests at the site. Floor = 5 ranking pages in sequence + 500 / bound x 20 ms;
// counters report wall / floor and the most requests the server ever held at once.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "server/registry.hpp"
#include "bench_home.hpp"
#include "slow_server.hpp"
#include "sources/http.hpp"

using namespace tessaro;

namespace {

constexpr int kCandidates = 500;
constexpr int kLatencyMs = 20;

std::string ranking_page(int start, int size) {
  std::string s = "[";
  for (int i = start; i < std::min(start + size, kCandidates); ++i) {
    char code[8];
    std::snprintf(code, sizeof code, "%06d", 100000 + i);
    if (i > start) s += ",";
    s += "{\"itemcode\":\"" + std::string(code) + "\",\"itemname\":\"종목" + code +
         "\",\"sosok\":\"0\",\"nowPrice\":\"10,000\",\"prevChangeRate\":\"1.5\",\"tradeVolume\":\"100000\","
         "\"tradeAmount\":\"" + std::to_string(900000000 - i) + "\",\"marketStatus\":\"CLOSE\"}";
  }
  return s + "]";
}

std::string trend(const std::string& target) {
  // Alternating buyers so that some candidates pass and some do not.
  unsigned seed = unsigned(std::hash<std::string>{}(target));
  std::string s = "[";
  for (int d = 0; d < 3; ++d) {
    if (d) s += ",";
    bool buy = ((seed >> d) & 1u) != 0;
    s += "{\"bizdate\":\"202612" + std::to_string(4 - d + 10) + "\",\"closePrice\":\"10,000\","
         "\"accumulatedTradingVolume\":\"100,000\",\"foreignerPureBuyQuant\":\"" +
         std::string(buy ? "+1,000" : "-1,000") + "\",\"organPureBuyQuant\":\"+500\",\"individualPureBuyQuant\":\"-1,500\"}";
  }
  return s + "]";
}

bench::Reply answer(const std::string& target) {
  if (target.find("/api/domestic/market/stock/default") != std::string::npos)
    return {ranking_page(std::atoi(bench::param(target, "startIdx").c_str()),
                         std::atoi(bench::param(target, "pageSize").c_str())),
            "application/json; charset=utf-8"};
  if (target.find("/trend") != std::string::npos) return {trend(target), "application/json; charset=utf-8"};
  return {"[]", "application/json; charset=utf-8"};
}

void BM_ScreenByFlow500(benchmark::State& st) {
  bench::homes().fresh("flow");   // usage metrics land here, not in the user's home
  bench::SlowServer srv(kLatencyMs, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  int bound = http::per_host_limit();
  double floor_s = (5.0 + double(kCandidates) / bound) * kLatencyMs / 1000.0;
  json args = {{"top_n", kCandidates}, {"market", "KOSPI"}, {"exclude_etf", false}};
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    std::string r = server::call_tool("screen_by_flow", args);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(r);
    st.counters["wall_s"] = wall;
    st.counters["floor_s"] = floor_s;
    st.counters["ratio_to_floor"] = wall / floor_s;
    if (r.find("상위 500") == std::string::npos) st.SkipWithError("the screen did not cover 500 candidates");
  }
  st.counters["per_host_bound"] = bound;
  st.counters["max_in_flight"] = srv.max_in_flight.load();
  st.counters["requests"] = double(srv.requests.load());
}

}  // namespace

BENCHMARK(BM_ScreenByFlow500)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
