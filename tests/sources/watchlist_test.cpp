#include <gtest/gtest.h>

#include <thread>

#include "core/errors.hpp"
#include "core/files.hpp"
#include "sources/watchlist.hpp"
#include "support/fixture_server.hpp"

using namespace tessaro;

TEST(Watchlist, AddRemoveClearRoundTrip) {
  tessaro::testing::TempHome home;
  EXPECT_TRUE(wl::load().empty());
  EXPECT_EQ(wl::add("005930", "삼성전자"), std::make_pair(true, std::string()));
  EXPECT_TRUE(wl::add("0088m0", "스팩").first);   // stored upper-case
  EXPECT_FALSE(wl::add("12345", "짧은코드").first);
  EXPECT_EQ(wl::codes(), (std::vector<std::string>{"005930", "0088M0"}));
  // Remove by name or by code in any case.
  EXPECT_EQ(wl::remove(" 삼성전자 ")["code"], "005930");
  EXPECT_EQ(wl::remove("0088m0")["name"], "스팩");
  EXPECT_EQ(wl::clear(), 0);
  wl::add("000660", "SK하이닉스");
  wl::add("035720", "카카오");
  EXPECT_EQ(wl::clear(), 2);
  EXPECT_TRUE(wl::load().empty());
}

TEST(Watchlist, OtherProgramsChangesAreSeenAndTheirKeysKept) {
  tessaro::testing::TempHome home;
  auto path = home_dir() / "watchlist.json";
  // Written by a sibling program between our calls.
  write_file_atomic(path, R"({"version":1,"owner":"dorvik","items":[{"code":"039840","name":"디오","memo":"장기"}]})");
  EXPECT_EQ(wl::codes(), std::vector<std::string>{"039840"});
  wl::add("005930", "삼성전자");
  json doc = json::parse(*read_file(path));
  EXPECT_EQ(doc["owner"], "dorvik");
  EXPECT_EQ(doc["items"][0]["memo"], "장기");
  EXPECT_EQ(doc["items"][1]["code"], "005930");
  // A bare array is read too.
  write_file_atomic(path, R"([{"code":"000660","name":"SK하이닉스"}])");
  EXPECT_EQ(wl::load()[0]["name"], "SK하이닉스");
}

TEST(Watchlist, UnreadableFileIsNeverOverwritten) {
  tessaro::testing::TempHome home;
  auto path = home_dir() / "watchlist.json";
  write_file_atomic(path, "{not json");
  EXPECT_THROW(wl::add("005930", "삼성전자"), ValueError);
  EXPECT_EQ(*read_file(path), "{not json");
}

TEST(Watchlist, ConcurrentAddsLoseNothing) {
  tessaro::testing::TempHome home;
  std::vector<std::thread> ts;
  for (int i = 0; i < 16; ++i)
    ts.emplace_back([i] {
      char code[8];
      std::snprintf(code, sizeof code, "%06d", 100000 + i);
      wl::add(code, std::string("종목") + std::to_string(i));
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(wl::load().size(), 16u);
}

TEST(Watchlist, WritesKeepTheFileShape) {
  tessaro::testing::TempHome home;
  auto path = home_dir() / "watchlist.json";
  // A sibling writes a bare array with one entry we cannot read as a stock.
  write_file_atomic(path, R"([{"code":"000660","name":"SK하이닉스"},{"group":"메모"}])");
  EXPECT_TRUE(wl::add("005930", "삼성전자").first);
  json doc = json::parse(*read_file(path));
  ASSERT_TRUE(doc.is_array()) << doc.dump();
  ASSERT_EQ(doc.size(), 3u);
  EXPECT_EQ(doc[1], json({{"group", "메모"}}));
  EXPECT_EQ(doc[2]["code"], "005930");
  EXPECT_EQ(wl::remove("000660")["name"], "SK하이닉스");
  doc = json::parse(*read_file(path));
  ASSERT_TRUE(doc.is_array());
  EXPECT_EQ(doc.size(), 2u);
  EXPECT_EQ(wl::clear(), 1);
  EXPECT_EQ(json::parse(*read_file(path)), json::array({{{"group", "메모"}}}));

  // A list of plain codes stays a list of plain codes.
  write_file_atomic(path, R"({"version":1,"items":["039840"]})");
  EXPECT_TRUE(wl::add("005930", "삼성전자").first);
  EXPECT_EQ(json::parse(*read_file(path)), json({{"version", 1}, {"items", {"039840", "005930"}}}));
}

TEST(Watchlist, DecorationLookupNamesTheUnreadableFile) {
  tessaro::testing::TempHome home;
  auto path = home_dir() / "watchlist.json";
  write_file_atomic(path, "{not json");
  auto got = wl::try_codes();
  EXPECT_TRUE(got.failure());
  EXPECT_EQ(got.reason, "관심종목 파일을 읽지 못했습니다: " + path.string());
  write_file_atomic(path, R"({"items":[{"code":"005930"}]})");
  EXPECT_EQ(wl::try_codes().value, std::vector<std::string>{"005930"});
}
