// Test processes reach nothing beyond loopback: the runner's defaults point every
// source at a closed loopback port, and the HTTP layer refuses any other address,
// naming it, before a name is looked up (redirects included).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sys/wait.h>

#include "core/errors.hpp"
#include "sources/http.hpp"
#include "sources/loopback_guard.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
namespace fs = std::filesystem;
using tessaro::testing::FixtureResponse;
using tessaro::testing::FixtureServer;
using tessaro::testing::reply;

namespace {

// What a request ended with: "" when it was answered, else the error's class and text.
std::string failure_of(const std::string& url) {
  try {
    http::get(http::Url::given(url), {}, 2.0);
    return "";
  } catch (const TransportError& e) {
    return std::string(e.class_name()) + ": " + e.what();
  }
}

bool any_starts_with(const std::vector<std::string>& v, const std::string& prefix) {
  for (const auto& s : v)
    if (s.rfind(prefix, 0) == 0) return true;
  return false;
}

}  // namespace

TEST(LoopbackGuard, ARequestBeyondLoopbackIsRefusedNamingItsUrlAndNothingIsSent) {
  ASSERT_TRUE(http::loopback_only()) << "the test runner sets TESSARO_TEST_LOOPBACK_ONLY";
  long long sent = http::request_count();
  for (const std::string url : {"https://m.stock.naver.com/api/stock/005930/basic", "http://10.0.0.1:8080/x",
                                "https://user@[2001:db8::1]:443/y"}) {
    std::string why = failure_of(url);
    EXPECT_EQ(why.rfind("ConnectError: ", 0), 0u) << why;
    EXPECT_NE(why.find("non-loopback"), std::string::npos) << why;
    EXPECT_NE(why.find(url), std::string::npos) << why;
  }
  EXPECT_EQ(http::request_count(), sent) << "no transfer was started";
  EXPECT_EQ(http::take_refused_non_loopback(),
            (std::vector<std::string>{"https://m.stock.naver.com/api/stock/005930/basic", "http://10.0.0.1:8080/x",
                                      "https://user@[2001:db8::1]:443/y"}));
  EXPECT_TRUE(http::take_refused_non_loopback().empty()) << "taking them empties the list";
}

TEST(LoopbackGuard, ARedirectBeyondLoopbackIsRefusedToo) {
  FixtureServer srv;
  for (const char* to : {"http://example.invalid/y", "http://192.0.2.1:9/z"}) {
    FixtureResponse r = reply(302, "");
    r.headers["Location"] = to;
    srv.route("/go", r);
    std::string why = failure_of(srv.base_url() + "/go");
    EXPECT_EQ(why.rfind("ConnectError: ", 0), 0u) << to << ": " << why;
    auto refused = http::take_refused_non_loopback();
    EXPECT_TRUE(any_starts_with(refused, to)) << to << ": " << ::testing::PrintToString(refused);
  }
  // Loopback itself is served as always.
  srv.route("/ok", reply(200, "{}"));
  EXPECT_EQ(failure_of(srv.base_url() + "/ok"), "");
  EXPECT_TRUE(http::take_refused_non_loopback().empty());
}

TEST(LoopbackGuard, LoopbackHostsAsWrittenInUrls) {
  for (const char* h : {"127.0.0.1", "127.1.2.3", "localhost", "LOCALHOST", "[::1]", "::1"})
    EXPECT_TRUE(http::is_loopback_host(h)) << h;
  for (const char* h : {"128.0.0.1", "0.0.0.0", "10.0.0.1", "m.stock.naver.com", "127.0.0.1.nip.io", "localhost.example",
                        "[2001:db8::1]", "::ffff:8.8.8.8", ""})
    EXPECT_FALSE(http::is_loopback_host(h)) << h;
  tessaro::testing::ScopedEnv off("TESSARO_TEST_LOOPBACK_ONLY", "0");
  EXPECT_FALSE(http::loopback_only());
}

// Every group src/sources hands to http::base has a default at a closed loopback
// port in a test process, so a test that forgets its fixture server gets a refused
// connection, never the internet (and never the guard's refusal either).
TEST(LoopbackGuard, EverySourceGroupDefaultsToAClosedLoopbackPort) {
  std::set<std::string> groups;
  const std::regex call(R"(\bbase\("([A-Z]+)\")");
  for (auto& e : fs::recursive_directory_iterator(fs::path(TESSARO_SOURCE_DIR) / "src" / "sources")) {
    if (e.path().extension() != ".cpp" && e.path().extension() != ".hpp") continue;
    std::ifstream in(e.path());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) groups.insert((*it)[1]);
  }
  ASSERT_TRUE(groups.count("NAVER") && groups.count("YAHOO") && groups.count("SEC")) << groups.size();
  for (const auto& g : groups) {
    const char* v = std::getenv(("TESSARO_" + g + "_BASE_URL").c_str());
    ASSERT_TRUE(v) << "TESSARO_" << g << "_BASE_URL has no default: add " << g
                   << " to TESSARO_SOURCE_GROUPS (CMakeLists.txt) and SOURCE_GROUPS (tests/e2e/lib.mjs)";
    EXPECT_TRUE(std::regex_match(v, std::regex(R"(http://127\.0\.0\.1:\d+)"))) << g << ": " << v;
    std::string why = failure_of(http::base(g, "example.host") + "/x");
    EXPECT_EQ(why.rfind("ConnectError: ", 0), 0u) << g << ": " << why;
  }
  EXPECT_TRUE(http::take_refused_non_loopback().empty());
}

// A refusal nobody took fails the test process, naming the test and the URL: this
// test runs itself again as a child that sends such a request and ignores the error.
TEST(LoopbackGuard, ARefusalLeftBehindFailsTheRunNamingTestAndUrl) {
  if (std::getenv("TESSARO_GUARD_CHILD")) {
    failure_of("https://polling.finance.naver.com/api/realtime/domestic/stock/005930");
    return;   // passes by itself; the process must still fail
  }
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string cmd = "TESSARO_GUARD_CHILD=1 '" + self +
                    "' --gtest_filter=LoopbackGuard.ARefusalLeftBehindFailsTheRunNamingTestAndUrl 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int status = ::pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << out;
  EXPECT_NE(out.find("requests to a non-loopback address in this test run:\n"
                     "LoopbackGuard.ARefusalLeftBehindFailsTheRunNamingTestAndUrl\n"
                     "  https://polling.finance.naver.com/api/realtime/domestic/stock/005930"),
            std::string::npos)
      << out;
}
