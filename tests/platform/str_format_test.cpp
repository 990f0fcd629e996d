// str_format_test.cpp: the number formats of the log and the windows.
#include "burner/platform/str_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>

namespace zamo {
namespace {

TEST(PadLeft, PadsTheDigitsToTheWidthWithCopiesOfThePad) {
  EXPECT_EQ(PadLeft(8, " ", 1234), "    1234");
  EXPECT_EQ(PadLeft(2, " ", 8), " 8");  // the cache size label: " 8 MB"
  EXPECT_EQ(PadLeft(6, "0", 0), "000000");
  EXPECT_EQ(PadLeft(5, " ", -12), "  -12") << "the sign counts in the width";
  // A value as wide as the width, or wider, keeps every digit.
  EXPECT_EQ(PadLeft(4, " ", 1234), "1234");
  EXPECT_EQ(PadLeft(3, " ", 4'294'967'296), "4294967296");
  EXPECT_EQ(PadLeft(21, " ", INT64_MIN), " -9223372036854775808");
  EXPECT_EQ(PadLeft(0, " ", 7), "7");
}

TEST(PadLeft, AnEmptyPadEndsAndAWidePadCountsItsCharacters) {
  EXPECT_EQ(PadLeft(10, "", 42), "42") << "an empty pad must not loop";
  EXPECT_EQ(PadLeft(6, "ab", 42), "abab42");
  EXPECT_EQ(PadLeft(5, "ab", 42), "abab42") << "whole copies of the pad only";
  // "é" is one character (two UTF-8 bytes): three copies reach the width.
  EXPECT_EQ(PadLeft(4, "\xC3\xA9", 7), "\xC3\xA9\xC3\xA9\xC3\xA9" "7");
}

TEST(FormatMb, RoundsToHundredthsOfAMebibyteWithTheLocalesSeparators) {
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(FormatMb(0), "0.00 MB");
  EXPECT_EQ(FormatMb(1048576), "1.00 MB");
  EXPECT_EQ(FormatMb(5242), "0.00 MB");
  EXPECT_EQ(FormatMb(5243), "0.01 MB") << "half a hundredth rounds up";
  EXPECT_EQ(FormatMb(int64_t{4700} * 1048576 + 1048576 / 2), "4700.50 MB");
  EXPECT_EQ(FormatThousands(1234567), "1234567") << "the C locale has no thousands separator";
}

// The number alone (a progress label's "12.34/56.78 MB"), and a size rounded
// to whole megabytes before it is written (a disc's free space).
TEST(FormatMb, WithoutUnitAndInWholeMegabytes) {
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(FormatMegabytes(int64_t{3} * 1048576 / 2), "1.50");
  EXPECT_EQ(FormatWholeMb(int64_t{3} * 1048576 / 2), "2.00 MB") << "half a megabyte rounds up";
  EXPECT_EQ(FormatWholeMb(int64_t{3} * 1048576 / 2 - 1), "1.00 MB");
  EXPECT_EQ(FormatWholeMb(int64_t{359849} * 2048), "703.00 MB");  // a blank CD-R's 702.83 MB
}

}  // namespace
}  // namespace zamo
