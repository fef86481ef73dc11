// CPU cost of the indicator engine over a market: 500 stocks x 500 daily bars
// with every indicator, against computing only "ma" over the same rows in the
// same run. The target is under 0.5 s for all indicators on one core.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "bench_home.hpp"
#include "analysis/indicators/indicators.hpp"

using namespace tessaro;

namespace {
std::vector<json> make_market(size_t stocks, size_t bars) {
  std::mt19937 rng(11);
  std::normal_distribution<double> step(0.0, 0.02), noise(0.0, 0.006);
  std::lognormal_distribution<double> vol(12.0, 0.5);
  std::vector<json> out;
  for (size_t s = 0; s < stocks; ++s) {
    json rows = json::array();
    double p = 5000 + 10.0 * double(s);
    for (size_t i = 0; i < bars; ++i) {
      double o = p * (1 + noise(rng));
      p *= std::exp(step(rng));
      double h = std::max(o, p) * (1 + std::fabs(noise(rng))), l = std::min(o, p) * (1 - std::fabs(noise(rng)));
      rows.push_back({{"date", "2026-01-01"}, {"open", std::round(o)}, {"high", std::round(h)}, {"low", std::round(l)},
                      {"close", std::round(p)}, {"volume", std::round(vol(rng))}});
    }
    out.push_back(std::move(rows));
  }
  return out;
}

const std::vector<json>& market() {
  static const std::vector<json> m = make_market(500, 500);
  return m;
}

void run(benchmark::State& st, const std::vector<std::string>& include) {
  for (auto _ : st) {
    size_t keys = 0;
    for (const auto& rows : market()) keys += indicators::compute_indicators(rows, include, nullptr, "day").size();
    benchmark::DoNotOptimize(keys);
  }
  st.counters["stocks"] = double(market().size());
}

void BM_MaOnly(benchmark::State& st) { run(st, {"ma"}); }
void BM_AllIndicators(benchmark::State& st) { run(st, indicators::AVAILABLE_INDICATORS); }
}  // namespace

BENCHMARK(BM_MaOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllIndicators)->Unit(benchmark::kMillisecond);
// The series are built before anything is timed.
int main(int argc, char** argv) { return bench::run_benchmarks(argc, argv, [] { market(); }); }
