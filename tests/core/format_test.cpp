#include <gtest/gtest.h>

#include "core/format.hpp"
#include "core/settled.hpp"

using namespace tessaro;

TEST(Format, ThousandsAndSigns) {
  EXPECT_EQ(fmt::thousands(1234567), "1,234,567");
  EXPECT_EQ(fmt::thousands(-1000), "-1,000");
  EXPECT_EQ(fmt::thousands(999), "999");
  EXPECT_EQ(fmt::thousands(5, true), "+5");
  EXPECT_EQ(fmt::thousands(0, true), "0");
  EXPECT_EQ(fmt::fixed(1234.5, 2, true, true), "+1,234.50");
  EXPECT_EQ(fmt::fixed(-0.001, 2), "0.00");
  EXPECT_EQ(fmt::fixed(-3.456, 1, false, true), "-3.5");
  EXPECT_EQ(fmt::pyfloat(12.0), "12.0");
  EXPECT_EQ(fmt::pyfloat(0.1), "0.1");
}

TEST(Format, CodePointsNotBytes) {
  std::string s = "삼성전자우";  // 5 code points, 15 bytes
  EXPECT_EQ(fmt::cp_len(s), 5u);
  EXPECT_EQ(fmt::cp_cut(s, 2), "삼성");
  EXPECT_EQ(fmt::cp_truncate(s, 4), "삼성전자…");
  EXPECT_EQ(fmt::cp_truncate(s, 5), s);
}

TEST(Format, SiteNumbersMissingIsNotZero) {
  EXPECT_EQ(fmt::parse_number("+1,000").value(), 1000);
  EXPECT_EQ(fmt::parse_number("-3.5%").value(), -3.5);
  EXPECT_EQ(fmt::parse_number("1,234원").value(), 1234);
  EXPECT_EQ(fmt::parse_number("▼500").value(), -500);
  EXPECT_FALSE(fmt::parse_number("-").has_value());
  EXPECT_FALSE(fmt::parse_number("N/A").has_value());
  EXPECT_FALSE(fmt::parse_number("").has_value());
  EXPECT_FALSE(fmt::parse_number("abc").has_value());
}

// 10.5 against 10 is 5 % over in decimal and 5.000000000000004 in binary: a
// bound compared on the raw value tags it as over the line.
TEST(Format, SettledMakesBoundsExact) {
  double gap = (10.5 / 10.0 - 1.0) * 100.0;
  ASSERT_GT(gap, 5.0);
  EXPECT_EQ(fmt::settled(gap), 5.0);
  EXPECT_GT(fmt::settled((10.51 / 10.0 - 1.0) * 100.0), 5.0);
  EXPECT_EQ(fmt::settled((9.5 / 10.0 - 1.0) * 100.0), -5.0);
}
