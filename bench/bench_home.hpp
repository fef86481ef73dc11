#pragma once
// Every benchmark process works in a home of its own: a fresh temporary folder
// (never the user's ~/.tessaro, never a fixed path two runs could share), and a
// case that needs a cold cache asks for a new one.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

class TempHomes {
 public:
  // A new empty home, set as TESSARO_HOME; removed when the process ends.
  std::string fresh(const std::string& label) {
    std::string tmpl = (std::filesystem::temp_directory_path() / ("tessaro-bench-" + label + "-XXXXXX")).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) return "";
    std::string home(buf.data());
    made_.push_back(home);
    ::setenv("TESSARO_HOME", home.c_str(), 1);
    return home;
  }
  ~TempHomes() {
    for (const auto& h : made_) {
      std::error_code ec;
      std::filesystem::remove_all(h, ec);
    }
  }

 private:
  std::vector<std::string> made_;
};

// main() of a benchmark whose input is built before anything is timed.
template <class Prepare>
int run_benchmarks(int argc, char** argv, Prepare prepare) {
  prepare();
  ::benchmark::Initialize(&argc, argv);
  ::benchmark::RunSpecifiedBenchmarks();
  ::benchmark::Shutdown();
  return 0;
}

inline TempHomes& homes() {
  static TempHomes h;
  return h;
}

}  // namespace bench
