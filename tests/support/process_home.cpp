// Every test process gets a home of its own. Tests that do not make a TempHome
// would otherwise write their caches (daily bars, lists, usage notes) under the
// user's ~/.tessaro, and one test process would read what another left there.
// When TESSARO_HOME is already set (a developer pointing the run at a folder on
// purpose) it is left alone; otherwise a fresh temporary folder is made before
// any test runs and removed when the process ends.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tessaro::testing {
namespace {

struct ProcessHome {
  std::string made;
  pid_t owner = 0;
  ProcessHome() {
    const char* set = std::getenv("TESSARO_HOME");
    if (set && *set) return;
    char tmpl[] = "/tmp/tessaro-test-home-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    made = tmpl;
    owner = ::getpid();
    ::setenv("TESSARO_HOME", made.c_str(), 1);
  }
  ~ProcessHome() {
    // A forked child (a server test's) must not remove its parent's folder.
    if (made.empty() || ::getpid() != owner) return;
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  }
};

const ProcessHome kProcessHome;

}  // namespace

// The folder made for this process ("" when TESSARO_HOME was given).
const std::string& process_home() { return kProcessHome.made; }

}  // namespace tessaro::testing
