// Test processes send nothing beyond this machine, however a test is started
// (through ctest, which sets the same environment, or by hand). Before any test
// runs, every source's base URL that is not set already points at a closed
// loopback port, so a test that forgets its fixture server gets a refused
// connection; and the HTTP layer refuses any other address
// (sources/loopback_guard.hpp). A test process in which such a request was
// made fails, naming the URL and the test that sent it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "sources/loopback_guard.hpp"

namespace tessaro::testing {
namespace {

struct OfflineDefaults {
  OfflineDefaults() {
    std::stringstream groups(TESSARO_SOURCE_GROUPS);   // "NAVER,YAHOO,…", from CMakeLists.txt
    for (std::string g; std::getline(groups, g, ',');)
      ::setenv(("TESSARO_" + g + "_BASE_URL").c_str(), TESSARO_CLOSED_URL, 0);
    ::setenv("TESSARO_TEST_LOOPBACK_ONLY", "1", 0);
  }
};
const OfflineDefaults kOfflineDefaults;

std::string joined(const std::vector<std::string>& urls) {
  std::string s;
  for (const auto& u : urls) s += "\n  " + u;
  return s;
}

// Names the test right after it sent the request, and fails the run at its end.
class RefusedRequests : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo& t) override {
    auto urls = http::take_refused_non_loopback();
    if (urls.empty()) return;
    std::string line = std::string(t.test_suite_name()) + "." + t.name() + joined(urls);
    std::fprintf(stderr, "tessaro: a test sent a request to a non-loopback address: %s\n", line.c_str());
    seen_ += "\n" + line;
  }
  void finish() {
    auto late = http::take_refused_non_loopback();   // from outside any test
    if (!late.empty()) seen_ += "\n(outside a test)" + joined(late);
    if (!seen_.empty()) ADD_FAILURE() << "requests to a non-loopback address in this test run:" << seen_;
  }

 private:
  std::string seen_;
};

struct AtTheEnd : ::testing::Environment {
  explicit AtTheEnd(RefusedRequests* r) : r_(r) {}
  void TearDown() override { r_->finish(); }
  RefusedRequests* r_;
};

struct Install {
  Install() {
    auto* r = new RefusedRequests();   // both owned by gtest from here
    ::testing::UnitTest::GetInstance()->listeners().Append(r);
    ::testing::AddGlobalTestEnvironment(new AtTheEnd(r));
  }
};
const Install kInstall;

}  // namespace
}  // namespace tessaro::testing
