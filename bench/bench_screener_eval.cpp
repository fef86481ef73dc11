// CPU cost of measuring a whole market: 2,000 stocks x 260 daily bars through the
// screener's evaluation, against a baseline of only reading the bars in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "bench_home.hpp"
#include "analysis/screener/screener.hpp"

using namespace tessaro;

namespace {
std::vector<json> make_market(size_t stocks, size_t bars) {
  std::mt19937 rng(7);
  std::normal_distribution<double> step(0.0, 0.02);
  std::vector<json> out;
  for (size_t s = 0; s < stocks; ++s) {
    json rows = json::array();
    double p = 10000 + double(s);
    for (size_t i = 0; i < bars; ++i) {
      p *= std::exp(step(rng));
      rows.push_back({{"date", "2026" + std::to_string(1000 + i)}, {"open", p}, {"high", p * 1.01}, {"low", p * 0.99},
                      {"close", p}, {"volume", 100000 + double(i)}});
    }
    out.push_back(std::move(rows));
  }
  return out;
}

const std::vector<json>& market() {
  static const std::vector<json> m = make_market(2000, 260);
  return m;
}

void BM_ReadBarsOnly(benchmark::State& st) {
  for (auto _ : st) {
    double sum = 0;
    for (const auto& rows : market())
      for (const auto& r : rows) sum += r["close"].get<double>();
    benchmark::DoNotOptimize(sum);
  }
}

void BM_EvaluateMarket(benchmark::State& st) {
  screener::EvalParams p;
  p.ma_periods = {5, 20, 60};
  p.cross_pair = std::make_pair(5, 20);
  p.cross_within = 3;
  p.high_low_days = 20;
  json cond = {{"ma_spread_max", 2.5}, {"rsi_max", 70.0}};
  for (auto _ : st) {
    int matched = 0;
    for (const auto& rows : market()) {
      json m = screener::evaluate(rows, p);
      if (screener::matches(m, cond)) ++matched;
    }
    benchmark::DoNotOptimize(matched);
  }
}
}  // namespace

BENCHMARK(BM_ReadBarsOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EvaluateMarket)->Unit(benchmark::kMillisecond);
// The series are built before anything is timed.
int main(int argc, char** argv) { return bench::run_benchmarks(argc, argv, [] { market(); }); }
