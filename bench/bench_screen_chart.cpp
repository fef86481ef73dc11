// Wall time of a whole-market daily screen: a 2,000-stock universe (1,000 per
// market) served by a loopback HTTP server that answers every request after
// 20 ms. Ten daily fetches are in flight at once, so the floor is
// 2000 / 10 x 20 ms = 4 s; the counter "ratio_to_floor" reports wall time / floor
// (the market-cap pages add 20 sequential requests, 0.4 s, on top of it).
// A second case times the measurement alone (no network) for the same bars.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

#include "server/registry.hpp"
#include "slow_server.hpp"
#include "analysis/screener/screener.hpp"
#include "tools/kr/screener/screen_chart.hpp"

using namespace tessaro;

namespace {

constexpr int kPerMarket = 1000;
constexpr int kLatencyMs = 20;
constexpr int kBars = 120;   // what a 5/20/60 screen asks for

std::string bars_xml(const std::string& code, int count) {
  std::string s = "<?xml version=\"1.0\" encoding=\"EUC-KR\" ?>\n<protocol>\n<chartdata symbol=\"" + code +
                  "\" name=\"x\" count=\"" + std::to_string(count) + "\" timeframe=\"day\" precision=\"0\">\n";
  unsigned seed = unsigned(std::stoul(code.substr(1)));
  double p = 10000 + seed % 5000;
  for (int i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    p *= 1.0 + (double(seed % 2001) - 1000.0) / 50000.0;
    char d[16];
    std::snprintf(d, sizeof d, "2026%02d%02d", 1 + i / 28 % 12, 1 + i % 28);
    long long c = (long long)p;
    s += "<item data=\"" + std::string(d) + "|" + std::to_string(c) + "|" + std::to_string(c + 50) + "|" +
         std::to_string(c - 50) + "|" + std::to_string(c) + "|100000\" />\n";
  }
  return s + "</chartdata>\n</protocol>\n";
}

std::string cap_page(const std::string& market, int page) {
  std::string s = "{\"stocks\":[";
  for (int i = (page - 1) * 100; i < std::min(page * 100, kPerMarket); ++i) {
    char code[8];
    std::snprintf(code, sizeof code, "%c%05d", market == "KOSPI" ? '1' : '2', i + 1);
    if (i % 100) s += ",";
    s += "{\"itemCode\":\"" + std::string(code) + "\",\"stockName\":\"종목" + code +
         "\",\"stockEndType\":\"stock\",\"closePrice\":\"10,000\",\"marketValue\":\"" +
         std::to_string(900000 - i) + "\",\"tradeStopType\":{\"name\":\"TRADING\"}}";
  }
  return s + "],\"totalCount\":" + std::to_string(kPerMarket) + ",\"page\":" + std::to_string(page) +
         ",\"pageSize\":100}";
}

// The universe: market-cap pages and daily bars of every stock.
bench::Reply answer(const std::string& target) {
  if (target.find("/sise.nhn") != std::string::npos)
    return {bars_xml(bench::param(target, "symbol"), std::atoi(bench::param(target, "count").c_str())), "text/xml"};
  if (target.find("/api/stocks/marketValue/") != std::string::npos) {
    std::string market = target.find("KOSDAQ") != std::string::npos ? "KOSDAQ" : "KOSPI";
    return {cap_page(market, std::atoi(bench::param(target, "page").c_str())), "application/json; charset=utf-8"};
  }
  return {"[]", "application/json; charset=utf-8"};
}

server::Args screen_args() {
  json a = json::object();
  for (const auto& p : server::find_tool("screen_chart")->params) a[p.name] = p.default_value;
  a["universe_top"] = kPerMarket;
  a["exclude"] = "없음";
  a["market_cap_min"] = 0.0;
  a["ma_spread_max"] = 2.5;
  return server::Args(a);
}

void BM_ScreenMarketOverLoopback(benchmark::State& st) {
  bench::SlowServer srv(kLatencyMs, answer);
  ::setenv("TESSARO_NAVER_BASE_URL", srv.base().c_str(), 1);
  tools::screen::Sources src = tools::screen::default_sources();
  src.management_codes = [] { return json::array(); };
  src.alert_codes = [] { return json::object(); };
  server::Args a = screen_args();
  double floor_s = 2.0 * kPerMarket / tools::screen::SCREEN_DAILY_CONCURRENCY * kLatencyMs / 1000.0;
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    std::string r = tools::screen::screen_chart(a, src);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(r);
    st.counters["wall_s"] = wall;
    st.counters["floor_s"] = floor_s;
    st.counters["ratio_to_floor"] = wall / floor_s;
    if (r.find("계산 " + std::to_string(2 * kPerMarket)) == std::string::npos) st.SkipWithError("not every stock was measured");
  }
  st.counters["requests"] = double(srv.requests.load());
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
BENCHMARK(BM_EvaluateOnlySameBars)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
