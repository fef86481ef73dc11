// Atomic writes and temp files: secrets are never written through a leftover
// temp name, and temp files of killed processes do not pile up.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>

#include "core/files.hpp"
#include "sources/market_data/market_data.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;
namespace fs = std::filesystem;
namespace tt = tessaro::testing;

namespace {

// A pid that certainly belongs to no running process: a child that has exited.
pid_t dead_pid() {
  pid_t p = ::fork();
  if (p == 0) ::_exit(0);
  int st = 0;
  ::waitpid(p, &st, 0);
  return p;
}

void touch(const fs::path& p, const std::string& text = "x") {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

bool fmt_ends(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int mode_of(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return int(st.st_mode & 0777);
}

}  // namespace

TEST(AtomicWrite, SecretsNeverGoThroughALeftoverTempName) {
  tt::TempHome home;
  fs::path dir = fs::path(home.path()) / "brokers";
  fs::create_directories(dir);
  fs::path target = dir / "connections.json", leak = fs::path(home.path()) / "leak";
  // Leftovers under every temp name this process could pick next: links to a
  // file elsewhere. Writing through one would put the keys into `leak`.
  for (int n = 0; n < 3000; ++n) {
    fs::path t = target;
    t += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(n);
    fs::create_symlink(leak, t);
  }
  mode_t old = ::umask(0);
  write_file_atomic(target, "{\"app_secret\":\"S3CRET\"}\n", 0600);
  ::umask(old);
  EXPECT_FALSE(fs::exists(leak));
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(mode_of(target), 0600);
  EXPECT_EQ(read_file(target).value_or(""), "{\"app_secret\":\"S3CRET\"}\n");
}

TEST(TempFiles, StaleOnesAreRemovedAndLiveOnesKept) {
  tt::TempHome home;
  fs::path h = home.path();
  pid_t gone = dead_pid();
  std::string me = std::to_string(::getpid()), dead = std::to_string(gone);
  fs::path stale_keys = h / "brokers" / ("connections.json.tmp." + dead + ".3");
  fs::path stale_book = h / "snapshots" / (".tmp-" + dead + "-0.xlsx");
  fs::path deep = h / "cache" / "kis" / "2026" / ("005930.json.tmp." + dead + ".12");
  fs::path live = h / "brokers" / ("tokens.json.tmp." + me + ".1");
  fs::path old_live = h / "state" / ("last_start.json.tmp." + me + ".2");
  fs::path user_file = h / "snapshots" / "메모.tmp.txt";
  fs::path finished = h / "snapshots" / "결과.xlsx";
  for (const auto& p : {stale_keys, stale_book, deep, live, old_live, user_file, finished}) touch(p);
  fs::last_write_time(old_live, fs::file_time_type::clock::now() - std::chrono::hours(48));

  EXPECT_EQ(remove_stale_temp_files(h), 4u);
  EXPECT_FALSE(fs::exists(stale_keys));
  EXPECT_FALSE(fs::exists(stale_book));
  EXPECT_FALSE(fs::exists(deep));
  EXPECT_FALSE(fs::exists(old_live));   // a day old: no write takes that long
  EXPECT_TRUE(fs::exists(live));        // a write in progress in this process
  EXPECT_TRUE(fs::exists(user_file));
  EXPECT_TRUE(fs::exists(finished));
  EXPECT_FALSE(is_temp_file_name("report.xlsx"));
  EXPECT_FALSE(is_temp_file_name("a.tmp.b.c"));
}

TEST(TempFiles, SavingTheBrokerStateDropsLeftoverKeyCopies) {
  tt::TempHome home;
  fs::path copy = market_data::state_path();
  copy += ".tmp." + std::to_string(dead_pid()) + ".0";
  touch(copy, "{\"providers\":{\"kis\":{\"app_key\":\"K\",\"app_secret\":\"S\"}}}");
  market_data::ConnectionState st;   // what a disconnect of the last broker saves
  market_data::save_state_v2(st);
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_EQ(mode_of(market_data::state_path()), 0600);
}

TEST(TempFiles, PublishNeverReplacesAnExistingFile) {
  tt::TempHome home;
  fs::path dir = home.path();
  touch(dir / "a.xlsx", "first");
  touch(dir / "t1", "second");
  fs::path got = publish_unique(dir / "t1", dir, "a", ".xlsx");
  EXPECT_EQ(got.filename(), "a_2.xlsx");
  EXPECT_EQ(read_file(dir / "a.xlsx").value_or(""), "first");
  EXPECT_EQ(read_file(got).value_or(""), "second");
  EXPECT_FALSE(fs::exists(dir / "t1"));
  EXPECT_TRUE(path_inside(dir / "a.xlsx", dir));
  EXPECT_FALSE(path_inside(dir / ".." / "a.xlsx", dir));
  EXPECT_FALSE(path_inside(dir, dir));
}

// The one maker of file names from text: a long Hangul title fits the 255 bytes
// a name may have (with room for "_NN"), cut between characters; device names
// and direction marks never reach a name.
TEST(FileNames, FitOnACharacterBoundaryWithoutDeviceNamesOrDirectionMarks) {
  std::string title;
  for (int i = 0; i < 200; ++i) title += "가";
  std::string name = file_name_from_text(title, "_20261204_101500.xlsx", "x");
  EXPECT_LE(name.size() + FILE_NAME_UNIQUE_ROOM, FILE_NAME_MAX_BYTES);
  ASSERT_TRUE(fmt_ends(name, "_20261204_101500.xlsx"));
  std::string stem = name.substr(0, name.size() - std::string("_20261204_101500.xlsx").size());
  EXPECT_EQ(stem.size() % 3, 0u);   // whole three-byte characters only
  EXPECT_EQ(file_name_from_text("CON", ".xlsx", "x"), "_CON.xlsx");
  EXPECT_EQ(file_name_from_text("nul", "", "x"), "_nul");
  EXPECT_EQ(file_name_from_text("COM1", ".xlsx", "x"), "_COM1.xlsx");
  EXPECT_EQ(file_name_from_text("CONSOLE", ".xlsx", "x"), "CONSOLE.xlsx");
  EXPECT_EQ(file_name_from_text("a\u202Egpj.exe\u200F", ".xlsx", "x"), "agpj.exe.xlsx");
  EXPECT_EQ(file_name_from_text("../../x/y", ".xlsx", "x"), "xy.xlsx");
  EXPECT_EQ(file_name_from_text("\u202E", ".xlsx", "분석결과"), "분석결과.xlsx");
  EXPECT_TRUE(reserved_file_name("lpt9.txt"));
  EXPECT_TRUE(has_control_or_direction_mark("x\u2066y"));
  EXPECT_FALSE(has_control_or_direction_mark("삼성전자 분석"));
}

// The start of every serving process sweeps temp files of killed writers down
// to the daily-bar cache (cache/bars/<source>/<timeframe>/).
TEST(TempFiles, DailyBarLeftoversAreSweptAtStart) {
  tt::TempHome home;
  fs::path h = home.path();
  std::string dead = std::to_string(dead_pid());
  fs::path bar_tmp = h / "cache" / "bars" / "naver" / "day" / ("005930.bars.tmp." + dead + ".4");
  touch(bar_tmp);
  std::string bin = (fs::read_symlink("/proc/self/exe").parent_path() / "tessaro-mcp").string();
  int rc = std::system(("TESSARO_HOME='" + h.string() + "' '" + bin + "' < /dev/null > /dev/null 2>&1").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 0);
  EXPECT_FALSE(fs::exists(bar_tmp));
}
