// Connection reuse of the HTTP client, against a keep-alive loopback server that
// counts the TCP connections it accepts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "../../bench/slow_server.hpp"
#include "sources/http.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;

namespace {

// `threads` callers at once, `each` requests apiece, all to one host.
void hammer(const std::string& url, int threads, int each) {
  std::vector<std::thread> th;
  for (int t = 0; t < threads; ++t)
    th.emplace_back([&] {
      for (int i = 0; i < each; ++i) http::get(http::Url::given(url));
    });
  for (auto& x : th) x.join();
}

}  // namespace

TEST(HttpConnectionReuse, ManyCallersShareTheHostsBoundedSetOfConnections) {
  // Three times more callers than the per-host bound, each waiting its turn: the
  // connections opened stay within the bound and are reused by later calls.
  bench::SlowServer srv(5, [](const std::string&) { return bench::Reply{"{}", "application/json"}; });
  hammer(srv.base() + "/a", 3 * http::per_host_limit(), 2);
  EXPECT_EQ(srv.requests.load(), 6 * http::per_host_limit());
  EXPECT_LE(srv.max_in_flight.load(), http::per_host_limit());
  EXPECT_LE(srv.connections.load(), http::per_host_limit());

  // A later call finds a warm connection: no new one.
  int before = srv.connections.load();
  http::get(http::Url::given(srv.base() + "/b"));
  EXPECT_EQ(srv.connections.load(), before);
}

TEST(HttpConnectionReuse, SwitchedOffEveryRequestOpensItsOwnConnection) {
  tessaro::testing::ScopedEnv off("TESSARO_HTTP_REUSE", "0");
  bench::SlowServer srv(0, [](const std::string&) { return bench::Reply{"{}", "application/json"}; });
  hammer(srv.base() + "/a", 4, 5);
  EXPECT_EQ(srv.connections.load(), 20);
}

TEST(HttpConnectionReuse, TwoOriginsKeepTheirOwnConnections) {
  // Alternating between two servers must not trade one's connection for the other's.
  auto ok = [](const std::string&) { return bench::Reply{"{}", "application/json"}; };
  bench::SlowServer a(0, ok), b(0, ok);
  for (int i = 0; i < 20; ++i) {
    http::get(http::Url::given(a.base() + "/x"));
    http::get(http::Url::given(b.base() + "/x"));
  }
  EXPECT_EQ(a.connections.load(), 1);
  EXPECT_EQ(b.connections.load(), 1);
}

// A part of a call bounds its own requests below the host's bound, and holds a
// slot for the transfer only: a thread reading its answer holds none.
TEST(HttpRequestBound, AtMostTheBoundInFlightAndNoSlotWhileReading) {
  bench::SlowServer srv(5, [](const std::string&) { return bench::Reply{"{}", "application/json"}; });
  Semaphore three{3};
  std::atomic<int> reading{0}, most_reading{0};
  std::vector<std::thread> th;
  for (int t = 0; t < 12; ++t)
    th.emplace_back([&] {
      http::RequestBound bound(three);
      for (int i = 0; i < 3; ++i) {
        http::get(http::Url::given(srv.base() + "/a"));
        int now = ++reading;   // "reading the answer": no request of ours in flight
        for (int seen = most_reading.load(); now > seen && !most_reading.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --reading;
      }
    });
  for (auto& x : th) x.join();
  EXPECT_EQ(srv.requests.load(), 36);
  EXPECT_LE(srv.max_in_flight.load(), 3);
  EXPECT_GT(most_reading.load(), 3) << "readers beyond the bound: the slot was let go with the answer";
  // Outside a bound, a stand-in's "request" runs at once.
  bool ran = false;
  http::as_bound_request([&] { ran = true; });
  EXPECT_TRUE(ran);
}
