#include "burner/platform/date_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <tuple>
#include <vector>
#include <string>

namespace zamo {

void PrintTo(const DateTimeFields& f, std::ostream* os) {
  *os << f.year << "-" << f.month << "-" << f.day << " " << f.hour << ":" << f.minute << ":" << f.second << "."
      << f.millisecond;
}

namespace {

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) setenv("TZ", saved_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST(DateTimeTest, DaysCountFrom30December1899) {
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1900, 1, 1, 0, 0, 0, 0}), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1970, 1, 1, 0, 0, 0, 0}), 25569.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
  // Before the epoch the time of day stays a positive fraction.
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 29, 6, 0, 0, 0}), -1.25);
  EXPECT_EQ(DecodeDateTime(-1.25), (DateTimeFields{1899, 12, 29, 6, 0, 0, 0}));
}

TEST(DateTimeTest, DecodeRoundsToTheMillisecond) {
  const DateTimeFields f{2007, 6, 15, 10, 30, 59, 999};
  EXPECT_EQ(DecodeDateTime(EncodeDateTime(f)), f);
  EXPECT_EQ(DecodeDateTime(EncodeDateTime({2024, 2, 29, 23, 59, 59, 0})),
            (DateTimeFields{2024, 2, 29, 23, 59, 59, 0}));
  // Day 1 plus 0.9999999999 rounds up to the next midnight, not to hour 24.
  EXPECT_EQ(DecodeDateTime(1.9999999999), (DateTimeFields{1900, 1, 1, 0, 0, 0, 0}));
}

TEST(DateTimeTest, PosixTimesAreLocal) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  TDateTime value = 0;
  ASSERT_TRUE(DateTimeFromUnix(0, 0, value));
  EXPECT_EQ(DecodeDateTime(value), (DateTimeFields{1970, 1, 1, 1, 0, 0, 0}));
  ASSERT_TRUE(DateTimeFromUnix(1181896200, 250'000'000, value));  // 2007-06-15 08:30:00 UTC
  EXPECT_EQ(DecodeDateTime(value), (DateTimeFields{2007, 6, 15, 10, 30, 0, 250}));
  time_t back = 0;
  ASSERT_TRUE(DateTimeToUnix(value, back));
  EXPECT_EQ(back, 1181896200);
}

TEST(DateTimeTest, RememberedOffsetsGiveWhatLocaltimeGives) {
  for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30", "UTC0"}) {
    ScopedTimeZone tz(zone);
    // Every 7 minutes 13 seconds across the 2021 spring change, and days spread over a century.
    std::vector<time_t> times;
    for (time_t t = 1616886000 - 86400; t < 1616886000 + 86400; t += 433) times.push_back(t);
    for (time_t t = -1'000'000'000; t < 3'000'000'000; t += 8'640'013) times.push_back(t);
    for (int pass = 0; pass < 2; ++pass) {  // the second pass finds the offsets remembered
      for (time_t t : times) {
        struct tm expected {}, got {};
        ASSERT_NE(localtime_r(&t, &expected), nullptr);
        ASSERT_TRUE(LocalTime(t, got));
        ASSERT_EQ(std::tie(got.tm_year, got.tm_mon, got.tm_mday, got.tm_hour, got.tm_min, got.tm_sec),
                  std::tie(expected.tm_year, expected.tm_mon, expected.tm_mday, expected.tm_hour, expected.tm_min,
                           expected.tm_sec))
            << zone << " at " << t;
      }
    }
  }
}

TEST(DateTimeTest, GmtOffsetIgnoresDaylightSaving) {
  {
    ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(StandardGmtOffsetQuarters(), 4);
  }
  {
    ScopedTimeZone tz("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(StandardGmtOffsetQuarters(), -20);
  }
  {
    ScopedTimeZone tz("IST-5:30");
    EXPECT_EQ(StandardGmtOffsetQuarters(), 22);
  }
  {
    ScopedTimeZone tz("UTC0");
    EXPECT_EQ(StandardGmtOffsetQuarters(), 0);
  }
}

TEST(DateTimeTest, DosDateTimes) {
  const DateTimeFields f{2007, 6, 15, 10, 30, 58, 0};
  TDateTime value = 0;
  ASSERT_TRUE(DosDateTimeToDateTime(DosDateTimeFromFields(f), value));
  EXPECT_EQ(DecodeDateTime(value), f);
  EXPECT_FALSE(DosDateTimeToDateTime(0, value));                         // day 0, month 0
  EXPECT_FALSE(DosDateTimeToDateTime(DosDateTimeFromFields({2023, 2, 29, 0, 0, 0, 0}), value));
  EXPECT_FALSE(DosDateTimeToDateTime(DosDateTimeFromFields({2023, 1, 1, 24, 0, 0, 0}), value));
}

}  // namespace
}  // namespace zamo
