#pragma once
// A loopback HTTP server for source tests. Routes answer from fixture text or a
// callback; any route can be told to delay, drop the connection, or fail with a
// status a number of times before answering normally.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tessaro::testing {

struct FixtureRequest {
  std::string method, path, query, body;   // query without '?'
  std::map<std::string, std::string> headers;   // names lower-cased
  std::map<std::string, std::string> params;    // query parameters (last wins)
};

struct FixtureResponse {
  int status = 200;
  std::string body;
  std::string content_type = "application/json; charset=utf-8";
  std::map<std::string, std::string> headers;
};

inline FixtureResponse reply(int status, std::string body,
                             std::string content_type = "application/json; charset=utf-8") {
  return FixtureResponse{status, std::move(body), std::move(content_type), {}};
}

class FixtureServer {
 public:
  FixtureServer();   // binds 127.0.0.1 on a free port and starts serving
  ~FixtureServer();
  int port() const;
  std::string base_url() const;   // "http://127.0.0.1:PORT"

  // Exact path (without query). Later registrations replace earlier ones.
  void route(const std::string& path, FixtureResponse resp);
  void route(const std::string& path, std::function<FixtureResponse(const FixtureRequest&)> fn);
  // Answers every request no route matches (default: 404 "not found: <path>").
  void fallback(std::function<FixtureResponse(const FixtureRequest&)> fn);
  // Body from tests/fixtures/<relative> (our own fixtures).
  void route_file(const std::string& path, const std::string& fixture_relative,
                  const std::string& content_type = "application/json; charset=utf-8");
  // Faults for one path: the next `times` requests get the fault.
  void fail_next(const std::string& path, int status, int times = 1,
                 const std::string& retry_after = "");
  void delay(const std::string& path, int millis);   // every request to path
  void drop(const std::string& path);                // close without answering
  int hits(const std::string& path) const;           // requests seen for path
  int total_hits() const;                            // requests seen, any path
  std::vector<std::string> paths_seen() const;       // every path asked for, sorted
  FixtureRequest last_request(const std::string& path) const;

  FixtureServer(const FixtureServer&) = delete;
  FixtureServer& operator=(const FixtureServer&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Sets an environment variable for a test's lifetime and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// One fixture server standing in for the hosts of every source group (Naver,
// Yahoo, SEC, the brokers) for a test's lifetime, with an SEC contact set. What
// no route answers gets the server's fallback: 404 unless the test sets one.
class AllUpstreams {
 public:
  AllUpstreams();
  FixtureServer& server() { return srv_; }
  const FixtureServer& server() const { return srv_; }
  std::string base_url() const { return srv_.base_url(); }

 private:
  FixtureServer srv_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// The temporary TESSARO_HOME made for this whole test process when none was
// given ("" when one was): tests never share the user's ~/.tessaro.
const std::string& process_home();

// A fresh temporary TESSARO_HOME for a test's lifetime.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::unique_ptr<ScopedEnv> env_;
};

// Reads ../shared/reference/samples/<relative>; returns "" when absent
// (callers GTEST_SKIP with a clear message).
std::string read_shared_sample(const std::string& relative);
std::string read_fixture(const std::string& relative);

#define TESSARO_REQUIRE_SAMPLE(var, rel)                                                  \
  std::string var = ::tessaro::testing::read_shared_sample(rel);                          \
  if (var.empty()) GTEST_SKIP() << "shared sample " << rel << " not present (../shared absent)"

}  // namespace tessaro::testing
