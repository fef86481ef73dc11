// Usage log: one line per call, safe under concurrent appends and after a crash.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "sources/metrics.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;

TEST(Metrics, ConcurrentAppendsKeepEveryLineWhole) {
  tessaro::testing::NaverEnv env("2026-12-01 10:00");   // a home and a frozen clock
  std::vector<std::thread> threads;
  std::string big(5000, 'x');   // longer than a pipe buffer's atomic write size
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i)
        metrics::track("tool_" + std::to_string(t % 2), [&] { return big; });
    });
  for (auto& th : threads) th.join();
  auto entries = metrics::load_metrics(1);
  ASSERT_EQ(entries.size(), 200u);
  auto stats = metrics::summarize_metrics(entries);
  EXPECT_EQ(stats["tool_0"]["call_count"], 100);
  EXPECT_EQ(stats["tool_1"]["avg_tokens"], 1250);
  EXPECT_EQ(stats["tool_1"]["total_output_tokens"], 125000);
}

TEST(Metrics, TornLastLineIsSkippedAndErrorsAreCounted) {
  tessaro::testing::NaverEnv env("2026-12-01 10:00");   // a home and a frozen clock
  metrics::track("get_price", [] { return std::string("ok"); });
  metrics::track("get_price", [] { return std::string("⚠️ 종목코드 형식이 올바르지 않습니다"); });
  EXPECT_THROW(metrics::track("get_chart", []() -> std::string { throw std::runtime_error("boom"); }),
               std::runtime_error);
  {
    std::ofstream out(metrics::get_metrics_file(), std::ios::app);
    out << "{\"tool\":\"get_price\",\"ts\":\"2026-12-01T10:";   // a crash mid-write
  }
  auto entries = metrics::load_metrics(1);
  ASSERT_EQ(entries.size(), 3u);
  auto stats = metrics::summarize_metrics(entries);
  EXPECT_EQ(stats["get_price"]["errors"], 1);
  EXPECT_EQ(stats["get_chart"]["errors"], 1);
  // First-seen order is kept for equal counts.
  EXPECT_EQ(stats.begin().key(), "get_price");
}

TEST(Metrics, SummaryToolClampsDaysAndReadsEarlierFiles) {
  tessaro::testing::NaverEnv env("2026-11-01 10:00");
  metrics::track("search", [] { return std::string("a"); });
  env.freeze("2026-12-01 10:00");
  // Nothing today: one day is read for days=0.
  std::string none = server::call_tool("get_metrics_summary", json{{"days", 0}});
  EXPECT_EQ(none.rfind("최근 1일간 기록이 없습니다.\n로그 파일: ", 0), 0u) << none;
  // 90 days are read as 30, which reaches 2026-11-02 but not 2026-11-01.
  std::string thirty = server::call_tool("get_metrics_summary", json{{"days", 90}});
  EXPECT_NE(thirty.find("(최근 30일, 총 1회 호출)"), std::string::npos) << thirty;   // the first summary call
  EXPECT_EQ(thirty.find("search |"), std::string::npos);
  metrics::track("search", [] { return std::string("b"); });
  std::string today = server::call_tool("get_metrics_summary", json{{"days", 1}});
  EXPECT_NE(today.find("search | 1 | "), std::string::npos) << today;
  EXPECT_NE(today.find("**총 호출: "), std::string::npos);
}
