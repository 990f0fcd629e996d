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

// ---- ISO 9660 dates ---------------------------------------------------------------

TEST(IsoDates, RecordAndDescriptorDateBytes) {
  EXPECT_EQ(MakeRecordDate(0.0, 0)[0], 255);  // 30 December 1899: year byte (-1) mod 256
  EXPECT_EQ(MakeRecordDate(EncodeDateTime({2155, 1, 1, 0, 0, 0, 0}), 0)[0], 255);
  EXPECT_EQ(MakeRecordDate(EncodeDateTime({2007, 6, 15, 0, 0, 0, 0}), -20)[6], 0xEC);  // signed offset
  EXPECT_EQ(MakeRecordDate(EncodeDateTime({2007, 6, 15, 10, 30, 59, 0}), 4), (RecordDate{107, 6, 15, 10, 30, 59, 4}));

  auto digits = [](const DateTimeFields& f) {
    const auto d = MakeDescriptorDate(EncodeDateTime(f));
    EXPECT_EQ(d[16], 0);
    return std::string(d.begin(), d.begin() + 16);
  };
  EXPECT_EQ(digits({2007, 6, 15, 14, 5, 9, 7}), "2007061514050907");
  EXPECT_EQ(digits({2007, 6, 15, 14, 5, 9, 250}), "2007061514050925");
  EXPECT_EQ(digits({2007, 6, 15, 14, 5, 9, 123}), "2007061514050912");
  EXPECT_EQ(digits({2007, 6, 15, 14, 5, 9, 45}), "2007061514050945");
  EXPECT_EQ(digits({1899, 12, 30, 0, 0, 0, 0}), "1899123000000000");
  const auto zero = ZeroDescriptorDate();
  EXPECT_EQ(std::string(zero.begin(), zero.begin() + 16), "0000000000000000");
  EXPECT_EQ(zero[16], 0);
}

TEST(IsoDates, TheRecordsOffsetFromGreenwichGivesTheInstant) {
  time_t t = 0;
  // 15 June 2007 10:30:00 at +01:00 is 09:30:00 UTC.
  ASSERT_TRUE(RecordDateToUnix({107, 6, 15, 10, 30, 0, 4}, t));
  EXPECT_EQ(t, 1181899800);
  ASSERT_TRUE(RecordDateToUnix({107, 6, 15, 10, 30, 0, static_cast<uint8_t>(-20)}, t));  // -05:00
  EXPECT_EQ(t, 1181899800 + 6 * 3600);
  ASSERT_TRUE(RecordDateToUnix({0, 1, 1, 0, 0, 0, 0}, t));  // 1900: before the epoch, still a date
  EXPECT_EQ(t, -2208988800);
  ASSERT_TRUE(RecordDateToUnix({100, 2, 29, 0, 0, 0, 0}, t));  // 2000 is a leap year
}

TEST(IsoDates, InvalidFieldsAreNoDate) {
  time_t t = 0;
  EXPECT_FALSE(RecordDateToUnix({107, 0, 15, 10, 30, 0, 0}, t));
  EXPECT_FALSE(RecordDateToUnix({107, 13, 15, 10, 30, 0, 0}, t));
  EXPECT_FALSE(RecordDateToUnix({107, 4, 31, 10, 30, 0, 0}, t));
  EXPECT_FALSE(RecordDateToUnix({101, 2, 29, 10, 30, 0, 0}, t));
  EXPECT_FALSE(RecordDateToUnix({107, 6, 15, 24, 0, 0, 0}, t));
  EXPECT_FALSE(RecordDateToUnix({107, 6, 15, 10, 60, 0, 0}, t));
  EXPECT_FALSE(RecordDateToUnix({0, 0, 0, 0, 0, 0, 0}, t));  // "not specified"
}

TEST(IsoDates, AnOffsetOutOfRangeReadsTheFieldsAsLocalTime) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  time_t t = 0;
  ASSERT_TRUE(RecordDateToUnix({107, 1, 15, 10, 30, 0, 100}, t));
  EXPECT_EQ(t, 1168853400);  // 10:30 in Paris in winter is 09:30 UTC
}

TEST(IsoDates, WhatTheWriterRecordsTheReaderTakesBackAtTheSameInstant) {
  // A summer and a winter date in a zone with summer time, each written with
  // the offset in effect then, read back as the instant the local date was.
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  for (const DateTimeFields& f : {DateTimeFields{2007, 6, 15, 10, 30, 0, 0}, DateTimeFields{2024, 1, 31, 23, 59, 58, 0}}) {
    const TDateTime local = EncodeDateTime(f);
    int16_t quarters = 0;
    ASSERT_TRUE(GmtOffsetQuartersAt(local, quarters));
    time_t written = 0, expected = 0;
    ASSERT_TRUE(RecordDateToUnix(MakeRecordDate(local, quarters), written));
    ASSERT_TRUE(DateTimeToUnix(local, expected));
    EXPECT_EQ(written, expected) << f.year << "-" << f.month << "-" << f.day;
  }
}

}  // namespace
}  // namespace zamo
