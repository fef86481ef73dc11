// The daily-bar cache: tail fetch with overlap, a revised overlap, unreadable
// files, the forming bar, the after-market cut-off and labels warm vs cold.
// Bars are written here from the documented fchart item format.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "core/files.hpp"
#include "core/format.hpp"
#include "market_time/clock.hpp"
#include "server/registry.hpp"
#include "server/status.hpp"
#include "sources/market_data/daily_bars.hpp"
#include "sources/naver/naver.hpp"
#include "support/naver_env.hpp"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;

namespace {

const std::string kFchart = "/fchart.stock.naver.com/sise.nhn";

// A loopback chart server over a mutable series; it answers the latest `count`
// bars as the site does and remembers the counts it was asked for.
struct BarsEnv : NaverEnv {
  ScopedEnv cache_on{"TESSARO_BARS_CACHE", "on"};
  std::mutex m;
  std::vector<std::string> items;   // "YYYYMMDD|o|h|l|c|v", oldest first
  std::vector<int> asked;
  explicit BarsEnv(const char* kst, const std::string& last_day, int n) : NaverEnv(kst) {
    bars_cache::clear_memory();
    auto days = weekdays_back(last_day, n);
    for (auto it = days.rbegin(); it != days.rend(); ++it) items.push_back(item(*it, 1000 + int(items.size())));
    srv.route(kFchart, [this](const FixtureRequest& r) {
      std::lock_guard<std::mutex> lk(m);
      int count = std::stoi(r.params.at("count"));
      asked.push_back(count);
      size_t from = items.size() > size_t(count) ? items.size() - size_t(count) : 0;
      return reply(200, fchart_xml({items.begin() + long(from), items.end()}), "text/xml; charset=EUC-KR");
    });
  }
  ~BarsEnv() { bars_cache::clear_memory(); }
  static std::string item(const std::string& ymd, int close) {
    return ymd + "|" + std::to_string(close - 5) + "|" + std::to_string(close + 10) + "|" + std::to_string(close - 10) +
           "|" + std::to_string(close) + "|" + std::to_string(close * 3);
  }
  void add(const std::string& ymd, int close) {
    std::lock_guard<std::mutex> lk(m);
    items.push_back(item(ymd, close));
  }
  int requests() {
    std::lock_guard<std::mutex> lk(m);
    return int(asked.size());
  }
  int last_asked() {
    std::lock_guard<std::mutex> lk(m);
    return asked.empty() ? 0 : asked.back();
  }
  // The file of a series: the one .bars file under cache/bars/.
  fs::path file(const std::string& code = "005930", const std::string& tf = "day") {
    bars_cache::flush_disk();
    for (auto& e : fs::recursive_directory_iterator(fs::path(home.path()) / "cache" / "bars"))
      if (e.path().filename() == code + ".bars" && e.path().parent_path().filename() == tf) return e.path();
    return {};
  }
  // Dates held on disk (the body lists them in order).
  std::vector<std::string> disk_dates() {
    std::vector<std::string> out;
    fs::path p = file();
    if (p.empty()) return out;
    std::ifstream f(p);
    std::string head, body;
    std::getline(f, head);
    std::getline(f, body);
    // Keep the parsed document alive: a range over a member of a temporary dangles.
    json doc = json::parse(body);
    for (const auto& r : doc["rows"]) out.push_back(r[0].get<std::string>());
    return out;
  }
  json direct(int count) { return naver::get_ohlcv("005930", "day", count); }
};

std::string last_date(const json& rows) { return rows.empty() ? "" : rows.back()["date"].get<std::string>(); }

}  // namespace

TEST(DailyBarsCache, NextDayFetchesOnlyTheTailWithOverlapAndMatchesTheSource) {
  // Friday 2026-12-04 after 20:00: that day is final.
  BarsEnv env("2026-12-04 21:00", "2026-12-04", 140);
  json cold = bars_cache::get_ohlcv("005930", "day", 120);
  ASSERT_FALSE(env.disk_dates().empty());
  EXPECT_EQ(cold, env.direct(120));
  EXPECT_GE(env.last_asked(), 120);
  EXPECT_EQ(env.disk_dates().back(), "2026-12-04");

  // The weekend: nothing can change, so nothing is asked.
  env.freeze("2026-12-05 11:00");
  int before = env.requests();
  EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120), cold);
  EXPECT_EQ(env.requests(), before);

  // Monday evening: one new bar; one short request reaching back over the cached end.
  env.freeze("2026-12-07 21:00");
  env.add("20261207", 2000);
  before = env.requests();
  json next = bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(env.requests(), before + 1);
  EXPECT_LE(env.last_asked(), 8);
  EXPECT_GE(env.last_asked(), 4);   // overlap of 3 plus the new day
  EXPECT_EQ(last_date(next), "2026-12-07");
  EXPECT_EQ(next, env.direct(120));
  EXPECT_EQ(env.disk_dates().back(), "2026-12-07");
}

TEST(DailyBarsCache, RevisedOverlapDropsTheSeriesAndFetchesItWhole) {
  BarsEnv env("2026-12-04 21:00", "2026-12-04", 140);
  bars_cache::get_ohlcv("005930", "day", 120);
  env.freeze("2026-12-07 21:00");
  {
    // A split: every past bar is rewritten by the source.
    std::lock_guard<std::mutex> lk(env.m);
    for (auto& it : env.items) it = BarsEnv::item(it.substr(0, 8), std::stoi(it.substr(it.rfind('|', it.rfind('|') - 1) + 1)) / 2);
  }
  env.add("20261207", 700);
  json got = bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_GE(env.last_asked(), 120);   // the tail disagreed, so the whole series came again
  EXPECT_EQ(got, env.direct(120));
  EXPECT_EQ(got[0]["close"], env.direct(120)[0]["close"]);
  // What is on disk is the new series.
  bars_cache::clear_memory();
  env.freeze("2026-12-08 07:00");   // before the next open: not quiet, tail only
  json again = bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(again, env.direct(120));
}

TEST(DailyBarsCache, UnreadableFileIsIgnoredAndRewrittenNeverServed) {
  BarsEnv env("2026-12-05 11:00", "2026-12-04", 140);   // Saturday: settled
  json first = bars_cache::get_ohlcv("005930", "day", 120);
  fs::path p = env.file();
  ASSERT_FALSE(p.empty());

  // A good file is served without a request after a restart (memory cleared).
  bars_cache::clear_memory();
  int before = env.requests();
  EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120), first);
  EXPECT_EQ(env.requests(), before);

  // The source now says something else about an old bar; a damaged file must not
  // hide that: the whole series is fetched and the file written again.
  {
    std::lock_guard<std::mutex> lk(env.m);
    env.items[130] = BarsEnv::item(env.items[130].substr(0, 8), 4242);
  }
  std::string text;
  {
    std::ifstream f(p);
    text.assign(std::istreambuf_iterator<char>(f), {});
  }
  for (const std::string& damaged : {text.substr(0, text.size() / 2),                 // torn write
                                     fmt::replace_all(text, "1130.0", "1131.0"),       // a changed value
                                     std::string("garbage")}) {
    bars_cache::clear_memory();
    {
      std::ofstream f(p, std::ios::trunc);
      f << damaged;
    }
    before = env.requests();
    json got = bars_cache::get_ohlcv("005930", "day", 120);
    EXPECT_EQ(env.requests(), before + 1);
    EXPECT_EQ(got, env.direct(120));
    bars_cache::flush_disk();
    std::ifstream f(p);
    std::string now_text((std::istreambuf_iterator<char>(f)), {});
    EXPECT_NE(now_text, damaged);
    EXPECT_NE(now_text.find("4242"), std::string::npos);
  }
}

TEST(DailyBarsCache, FormingBarStaysInMemoryAndAfterMarketDayIsFinalOnlyAt2000) {
  // Monday 2026-12-07, an after-market day, during the regular session.
  BarsEnv env("2026-12-07 14:00", "2026-12-07", 140);
  json got = bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(last_date(got), "2026-12-07");
  EXPECT_EQ(env.disk_dates().back(), "2026-12-04");

  // Within the short time to live a second look asks nothing.
  int before = env.requests();
  EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120), got);
  EXPECT_EQ(env.requests(), before);

  // 19:59: the after-market still runs; the day's bar is fetched again and kept off disk.
  env.freeze("2026-12-07 19:59");
  before = env.requests();
  bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(env.requests(), before + 1);
  EXPECT_LE(env.last_asked(), 8);
  EXPECT_EQ(env.disk_dates().back(), "2026-12-04");

  // 20:00: final.
  env.freeze("2026-12-07 20:00");
  bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(env.disk_dates().back(), "2026-12-07");
}

TEST(DailyBarsCache, WeeklyBarOfAnOpenWeekIsNotOnDisk) {
  BarsEnv env("2026-12-09 21:00", "2026-12-09", 30);   // a Wednesday evening
  {
    // Weekly bars dated by their Monday.
    std::lock_guard<std::mutex> lk(env.m);
    env.items.clear();
    auto d = *mt::parse_day("2026-12-07") - std::chrono::days(7 * 29);
    for (int i = 0; i < 30; ++i, d += std::chrono::days(7))
      env.items.push_back(BarsEnv::item(fmt::replace_all(mt::day_str(d), "-", ""), 1000 + i));
  }
  json got = bars_cache::get_ohlcv("005930", "week", 20);
  EXPECT_EQ(last_date(got), "2026-12-07");
  std::vector<std::string> disk;
  {
    std::ifstream f(env.file("005930", "week"));
    std::string head, body;
    std::getline(f, head);
    std::getline(f, body);
    json doc = json::parse(body);
    for (const auto& r : doc["rows"]) disk.push_back(r[0].get<std::string>());
  }
  EXPECT_EQ(disk.back(), "2026-11-30");
}

TEST(DailyBarsCache, UnwritableFolderMeansMemoryOnlyAndAStatusLine) {
  BarsEnv env("2026-12-05 11:00", "2026-12-04", 140);
  fs::create_directories(fs::path(env.home.path()) / "cache");
  std::ofstream(fs::path(env.home.path()) / "cache" / "bars") << "not a folder";
  json got = bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(got, env.direct(120));
  ASSERT_TRUE(bars_cache::disk_problem().has_value());
  EXPECT_NE(server::format_status(server::build_status()).find("일봉 캐시"), std::string::npos);
  // Still served from memory.
  int before = env.requests();
  EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120), got);
  EXPECT_EQ(env.requests(), before);
  // A writable folder again clears the line.
  fs::remove(fs::path(env.home.path()) / "cache" / "bars");
  bars_cache::clear_memory();
  bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_FALSE(bars_cache::disk_problem().has_value());
}

TEST(DailyBarsCache, ChartRepliesAreIdenticalColdWarmAndUncached) {
  // 17:00 on an after-market day: today's bar is forming, labels say so.
  BarsEnv env("2026-12-07 17:00", "2026-12-07", 140);
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/basic", "naver/mstock_basic_005930.json");
  json args = {{"code", "005930"}, {"count", 60}};
  std::string cold = server::call_tool("get_chart", args);
  std::string warm = server::call_tool("get_chart", args);
  EXPECT_EQ(warm, cold);
  EXPECT_EQ(meta_of(cold)["bar_state"]["last_bar_complete"], false) << cold;
  EXPECT_EQ(meta_of(cold)["data_as_of"], "2026-12-07");
  {
    ScopedEnv off("TESSARO_BARS_CACHE", "off");
    EXPECT_EQ(server::call_tool("get_chart", args), cold);
  }
  // From disk only (a restart) the next morning before the open: same reply as uncached.
  bars_cache::clear_memory();
  env.freeze("2026-12-08 08:00");
  std::string from_disk = server::call_tool("get_chart", args);
  ScopedEnv off("TESSARO_BARS_CACHE", "off");
  EXPECT_EQ(from_disk, server::call_tool("get_chart", args));
}

TEST(DailyBarsCache, UnreadVolumeStaysMissingFromMemoryAndFromDisk) {
  // Friday evening, final: the old bar with an unread volume goes to disk.
  BarsEnv env("2026-12-04 21:00", "2026-12-04", 140);
  {
    std::lock_guard<std::mutex> lk(env.m);
    std::string& it = env.items[100];
    it = it.substr(0, it.rfind('|') + 1);   // "YYYYMMDD|o|h|l|c|" : volume not given
  }
  const std::string day = env.items[100].substr(0, 4) + "-" + env.items[100].substr(4, 2) + "-" + env.items[100].substr(6, 2);
  json args = {{"code", "005930"}, {"count", 60}};
  env.srv.route_file("/m.stock.naver.com/api/stock/005930/basic", "naver/mstock_basic_005930.json");
  auto check = [&](const json& rows, const char* when) {
    for (const auto& r : rows) {
      if (r["date"] != day) continue;
      EXPECT_TRUE(r["volume"].is_null()) << when << ": " << r.dump();
      EXPECT_EQ(r[naver::PARSE_MISS_KEY], json::array({"volume"})) << when;
      return;
    }
    ADD_FAILURE() << when << ": no bar of " << day;
  };
  check(bars_cache::get_ohlcv("005930", "day", 120), "cold");
  check(bars_cache::get_ohlcv("005930", "day", 120), "memory");
  std::string warm = server::call_tool("get_chart", args);
  bars_cache::clear_memory();
  int before = env.requests();
  check(bars_cache::get_ohlcv("005930", "day", 120), "disk");
  EXPECT_EQ(env.requests(), before);   // really from the file
  bars_cache::clear_memory();
  std::string from_disk = server::call_tool("get_chart", args);
  EXPECT_EQ(from_disk, warm);
  EXPECT_NE(from_disk.find("거래량 '-'는 0이 아니라 결측입니다"), std::string::npos) << from_disk;
  EXPECT_EQ(from_disk.find("nan"), std::string::npos);
  ScopedEnv off("TESSARO_BARS_CACHE", "off");
  EXPECT_EQ(server::call_tool("get_chart", args), from_disk);
}

TEST(DailyBarsCache, TwoUpstreamsNeverShareASeries) {
  // Same home, same code: a second source must get its own bars, from memory or disk.
  BarsEnv a("2026-12-05 11:00", "2026-12-04", 140);
  json from_a = bars_cache::get_ohlcv("005930", "day", 120);
  fs::path file_a = a.file();
  ASSERT_FALSE(file_a.empty());

  FixtureServer other;
  other.route(kFchart, [](const FixtureRequest& r) {
    std::vector<std::string> items;
    for (const auto& d : weekdays_back("2026-12-04", std::stoi(r.params.at("count"))))
      items.insert(items.begin(), BarsEnv::item(d, 5000));
    return reply(200, fchart_xml(items), "text/xml; charset=EUC-KR");
  });
  ScopedEnv base_b("TESSARO_NAVER_BASE_URL", other.base_url());
  json from_b = bars_cache::get_ohlcv("005930", "day", 120);
  EXPECT_EQ(from_b.back()["close"], 5000);
  EXPECT_EQ(other.hits(kFchart), 1);

  // A's file put where B's belongs is not taken for B's (it names its source).
  fs::path file_b;
  bars_cache::flush_disk();
  for (auto& e : fs::recursive_directory_iterator(fs::path(a.home.path()) / "cache" / "bars"))
    if (e.path().filename() == "005930.bars" && e.path() != file_a) file_b = e.path();
  ASSERT_FALSE(file_b.empty());
  fs::copy_file(file_a, file_b, fs::copy_options::overwrite_existing);
  bars_cache::clear_memory();
  EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120).back()["close"], 5000);
  EXPECT_EQ(other.hits(kFchart), 2);
}

TEST(TestSupport, EachTestProcessHasItsOwnHome) {
  // Outside any TempHome the process home is in force, never the user's ~/.tessaro.
  if (process_home().empty()) GTEST_SKIP() << "TESSARO_HOME was given for this run";
  const char* h = std::getenv("TESSARO_HOME");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(std::string(h), process_home());
  EXPECT_EQ(home_dir(), fs::path(process_home()));
  EXPECT_TRUE(fs::is_directory(process_home()));
}

// A recorded or replayed session keeps bars of its own: a close served from a
// recording never becomes the live site's close, and the other way round.
TEST(DailyBarsCache, ReplayAndRecordNeverMixWithLiveBars) {
  BarsEnv env("2026-12-05 11:00", "2026-12-04", 140);
  char tmpl[] = "/tmp/tessaro-replay-bars-XXXXXX";
  std::string dir = ::mkdtemp(tmpl);
  {
    ScopedEnv record("TESSARO_RECORD_DIR", dir);
    EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120).back()["close"], 1139);
  }
  EXPECT_EQ(env.requests(), 1);
  // The site revises the day afterwards (the recorded close was the in-progress one).
  {
    std::lock_guard<std::mutex> lk(env.m);
    env.items.back() = BarsEnv::item("20261204", 1500);
  }
  {
    ScopedEnv replay("TESSARO_REPLAY_DIR", dir);
    EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120).back()["close"], 1139);
  }
  EXPECT_EQ(env.requests(), 1);   // the replay sent nothing
  // Live again: neither the recorded nor the replayed bars answer for the site.
  EXPECT_EQ(bars_cache::get_ohlcv("005930", "day", 120).back()["close"], 1500);
  EXPECT_EQ(env.requests(), 2);
  std::error_code ec;
  fs::remove_all(dir, ec);
}
