// The one page walk of the broker clients: how many pages are asked for and when
// the series is reported as cut by the page cap.
#include <gtest/gtest.h>

#include "sources/brokers/broker_common.hpp"

using tessaro::brokers::walk_pages;

TEST(BrokerPaging, StopsWhenAPageSaysThereIsNoMore) {
  int asked = 0;
  bool truncated = walk_pages(10, [&] { return ++asked < 3; });
  EXPECT_EQ(asked, 3);
  EXPECT_FALSE(truncated);
}

TEST(BrokerPaging, TheCapCutsTheSeriesShortAndSaysSo) {
  int asked = 0;
  bool truncated = walk_pages(4, [&] {
    ++asked;
    return true;
  });
  EXPECT_EQ(asked, 4);
  EXPECT_TRUE(truncated);
  // The last page allowed saying "no more" is a whole series, not a cut one.
  asked = 0;
  EXPECT_FALSE(walk_pages(4, [&] { return ++asked < 4; }));
  EXPECT_EQ(asked, 4);
  // No page allowed: nothing asked, nothing claimed.
  asked = 0;
  EXPECT_FALSE(walk_pages(0, [&] { return ++asked > 0; }));
  EXPECT_EQ(asked, 0);
}
