#include "burner/platform/date_time.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

namespace zamo {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;
// Days since 0000-03-01 (proleptic Gregorian), after H. Hinnant's algorithm.
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

// The day TDateTime counts from.
constexpr int64_t kEpochShift = DaysFromCivil(1899, 12, 30);

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// A calendar date with a time of day (no leap second), as MS-DOS and
// ISO 9660 dates must hold.
bool ValidFields(const DateTimeFields& f) {
  static constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > kDaysInMonth[f.month - 1]) return false;
  if (f.hour < 0 || f.hour > 23 || f.minute < 0 || f.minute > 59 || f.second < 0 || f.second > 59) return false;
  const bool leap = (f.year % 4 == 0 && f.year % 100 != 0) || f.year % 400 == 0;
  return !(f.month == 2 && f.day == 29 && !leap);
}

// The broken-down time of the fields, to the second.
struct tm BrokenDown(const DateTimeFields& f) {
  struct tm out {};
  out.tm_year = f.year - 1900;
  out.tm_mon = f.month - 1;
  out.tm_mday = f.day;
  out.tm_hour = f.hour;
  out.tm_min = f.minute;
  out.tm_sec = f.second;
  return out;
}

}  // namespace

TDateTime EncodeDateTime(const DateTimeFields& f) {
  const int64_t days = DaysFromCivil(f.year, f.month, f.day) - kEpochShift;
  const double time =
      ((f.hour * 60.0 + f.minute) * 60.0 + f.second) / 86400.0 + f.millisecond / static_cast<double>(kMsPerDay);
  // Negative dates keep the time of day as a positive fraction (-1.25 is 29 Dec 1899, 06:00).
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

DateTimeFields DecodeDateTime(TDateTime value) {
  double whole = std::trunc(value);
  int64_t ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= kMsPerDay) {  // rounding reached the next day
    ms -= kMsPerDay;
    days += value >= 0 ? 1 : -1;
  }
  DateTimeFields f;
  CivilFromDays(days + kEpochShift, f.year, f.month, f.day);
  f.millisecond = static_cast<int>(ms % 1000);
  int64_t seconds = ms / 1000;
  f.second = static_cast<int>(seconds % 60);
  f.minute = static_cast<int>((seconds / 60) % 60);
  f.hour = static_cast<int>(seconds / 3600);
  return f;
}

bool LocalTime(time_t seconds, struct tm& out) {
  constexpr int64_t kQuarter = 900;
  thread_local std::unordered_map<int64_t, long> offsets;
  thread_local const char* zone_names[2] = {nullptr, nullptr};
  thread_local long zone_offset = 0;
  if (tzname[0] != zone_names[0] || tzname[1] != zone_names[1] || timezone != zone_offset) {
    offsets.clear();  // tzset chose another zone
    zone_names[0] = tzname[0];
    zone_names[1] = tzname[1];
    zone_offset = timezone;
  }
  const int64_t t = seconds;
  const int64_t quarter = (t >= 0 ? t : t - (kQuarter - 1)) / kQuarter;
  auto it = offsets.find(quarter);
  if (it == offsets.end()) {
    if (localtime_r(&seconds, &out) == nullptr) return false;
    if (offsets.size() > 100'000) offsets.clear();
    offsets.emplace(quarter, out.tm_gmtoff);
    return true;
  }
  const int64_t local = t + it->second;
  const int64_t days = (local >= 0 ? local : local - 86399) / 86400;
  const int64_t rest = local - days * 86400;
  int year = 0, month = 0, day = 0;
  CivilFromDays(days + DaysFromCivil(1970, 1, 1), year, month, day);
  out = tm{};
  out.tm_year = year - 1900;
  out.tm_mon = month - 1;
  out.tm_mday = day;
  out.tm_hour = static_cast<int>(rest / 3600);
  out.tm_min = static_cast<int>(rest / 60 % 60);
  out.tm_sec = static_cast<int>(rest % 60);
  out.tm_gmtoff = it->second;
  return true;
}

bool DateTimeFromUnix(time_t seconds, long nanoseconds, TDateTime& out) {
  struct tm local {};
  if (!LocalTime(seconds, local)) return false;
  DateTimeFields f;
  f.year = local.tm_year + 1900;
  f.month = local.tm_mon + 1;
  f.day = local.tm_mday;
  f.hour = local.tm_hour;
  f.minute = local.tm_min;
  f.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  f.millisecond = static_cast<int>(nanoseconds / 1'000'000);
  out = EncodeDateTime(f);
  return true;
}

bool DateTimeToUnix(TDateTime value, time_t& out) {
  if (!std::isfinite(value) || std::fabs(value) > 3.0e6) return false;
  const DateTimeFields f = DecodeDateTime(value);
  struct tm local = BrokenDown(f);
  local.tm_isdst = -1;
  out = mktime(&local);
  return out != static_cast<time_t>(-1) || (f.year == 1969 && f.month == 12 && f.day == 31);
}

TDateTime NowDateTime() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  TDateTime value = 0;
  DateTimeFromUnix(now.tv_sec, now.tv_nsec, value);
  return value;
}

uint32_t DosDateTimeFromFields(const DateTimeFields& f) {
  const uint32_t date = static_cast<uint32_t>(((f.year - 1980) << 9) | (f.month << 5) | f.day);
  const uint32_t time = static_cast<uint32_t>((f.hour << 11) | (f.minute << 5) | (f.second / 2));
  return (date << 16) | time;
}

bool DosDateTimeToDateTime(uint32_t packed, TDateTime& out) {
  const uint32_t date = packed >> 16;
  const uint32_t time = packed & 0xFFFF;
  DateTimeFields f;
  f.year = static_cast<int>((date >> 9) + 1980);
  f.month = static_cast<int>((date >> 5) & 0x0F);
  f.day = static_cast<int>(date & 0x1F);
  f.hour = static_cast<int>(time >> 11);
  f.minute = static_cast<int>((time >> 5) & 0x3F);
  f.second = static_cast<int>((time & 0x1F) * 2);
  if (!ValidFields(f)) return false;
  out = EncodeDateTime(f);
  return true;
}

RecordDate MakeRecordDate(TDateTime value, int16_t gmt_offset) {
  const DateTimeFields f = DecodeDateTime(value);
  return RecordDate{static_cast<uint8_t>((f.year - 1900) & 0xFF), static_cast<uint8_t>(f.month),
                    static_cast<uint8_t>(f.day),  static_cast<uint8_t>(f.hour),
                    static_cast<uint8_t>(f.minute), static_cast<uint8_t>(f.second),
                    static_cast<uint8_t>(gmt_offset)};
}

bool RecordDateToUnix(const RecordDate& date, time_t& out) {
  DateTimeFields f;
  f.year = 1900 + date[0];
  f.month = date[1];
  f.day = date[2];
  f.hour = date[3];
  f.minute = date[4];
  f.second = date[5];
  if (!ValidFields(f)) return false;
  const auto offset = static_cast<int8_t>(date[6]);
  if (offset >= -48 && offset <= 52) {
    struct tm fields = BrokenDown(f);
    out = timegm(&fields) - static_cast<time_t>(offset) * 15 * 60;
    return true;
  }
  return DateTimeToUnix(EncodeDateTime(f), out);
}

DescriptorDate MakeDescriptorDate(TDateTime value) {
  const DateTimeFields f = DecodeDateTime(value);
  char text[40];
  std::snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d%02d", f.year % 10000, f.month, f.day, f.hour,
                f.minute, f.second, f.millisecond);
  DescriptorDate out{};
  std::copy_n(text, 16, out.begin());  // only 16 characters are kept: 123 ms gives "12"
  out[16] = 0;
  return out;
}

DescriptorDate ZeroDescriptorDate() {
  DescriptorDate out{};
  std::fill_n(out.begin(), 16, uint8_t{'0'});
  return out;
}

bool GmtOffsetQuartersAt(TDateTime local, int16_t& quarters) {
  time_t t = 0;
  if (!DateTimeToUnix(local, t)) return false;
  struct tm broken {};
  if (localtime_r(&t, &broken) == nullptr) return false;
  quarters = static_cast<int16_t>(broken.tm_gmtoff / 60 / 15);
  return true;
}

int16_t StandardGmtOffsetQuarters() {
  tzset();
  const long bias_minutes = timezone / 60;  // minutes west of Greenwich, like a Windows bias
  return static_cast<int16_t>(-bias_minutes / 15);
}

}  // namespace zamo
