// date_time.h: TDateTime, the component's date type: a double counting days
// since 30 December 1899, midnight, local time; the fraction is the time of day
// (for negative values, its absolute value). Helpers to and from time_t, DOS
// packed date-time, broken-down fields and the two date forms of ISO 9660.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

namespace zamo {

using TDateTime = double;

struct DateTimeFields {
  int year = 1899;
  int month = 12;  // 1 to 12
  int day = 30;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  bool operator==(const DateTimeFields&) const = default;
};

TDateTime EncodeDateTime(const DateTimeFields& f);
// Splits a date into fields, rounding the time of day to the millisecond.
DateTimeFields DecodeDateTime(TDateTime value);

// localtime_r, with the offset from Greenwich remembered for each quarter of
// an hour met (offsets change on such boundaries), so that the dates of many
// files cost one look-up of the time zone rules each quarter. Follows a time
// zone set by tzset; thread-safe.
bool LocalTime(time_t seconds, struct tm& out);

// Local time of a POSIX time stamp; false when it cannot be represented.
bool DateTimeFromUnix(time_t seconds, long nanoseconds, TDateTime& out);
// POSIX time stamp of a local date; false when out of range.
bool DateTimeToUnix(TDateTime value, time_t& out);
// The clock, local time, to the millisecond.
TDateTime NowDateTime();

// MS-DOS packed date-time (date in the high word): 2-second resolution, years
// 1980 to 2107. Conversion of an invalid value fails.
uint32_t DosDateTimeFromFields(const DateTimeFields& f);
bool DosDateTimeToDateTime(uint32_t packed, TDateTime& out);

// ISO 9660 7-byte recording date (ECMA-119 9.1.5): years since 1900
// (modulo 256), month, day, hour, minute, second, and the offset from
// Greenwich in 15-minute units (signed).
using RecordDate = std::array<uint8_t, 7>;
RecordDate MakeRecordDate(TDateTime value, int16_t gmt_offset);
// The instant of a recording date: the fields are local time at the
// record's offset from Greenwich, which is honoured when it lies in the
// standard's range (-48 to +52); outside it the fields are taken as local
// time here. False when the fields are not a valid date.
bool RecordDateToUnix(const RecordDate& date, time_t& out);

// ISO 9660 17-byte descriptor date (ECMA-119 8.4.26.1): "yyyymmddhhnnss" and
// two digits of the milliseconds written with at least two digits (so
// hundredths from 100 ms on), then the offset byte, left 0.
using DescriptorDate = std::array<uint8_t, 17>;
DescriptorDate MakeDescriptorDate(TDateTime value);
// The "0000000000000000" text and a 0 byte of an unset date.
DescriptorDate ZeroDescriptorDate();

// The local time zone's standard offset from Greenwich in 15-minute units,
// east positive, daylight saving not applied.
int16_t StandardGmtOffsetQuarters();

// The offset from Greenwich in 15-minute units that was in effect at a local
// date, daylight saving included; false when the date cannot be placed.
bool GmtOffsetQuartersAt(TDateTime local, int16_t& quarters);

}  // namespace zamo
