// str_format.h: printf-style formatting into a std::string, checked by the
// compiler (GCC 12 has no <format>).
#pragma once

#include <cstdint>
#include <string>

namespace zamo {

[[gnu::format(printf, 1, 2)]] std::string StrFormat(const char* format, ...);

// "1,234,567" with the locale's thousands separator.
std::string FormatThousands(uint64_t value);

// Bytes as megabytes of 1,048,576 bytes, "#,##0.00" with the locale's
// separators, followed by " MB".
std::string FormatMb(int64_t bytes);
// The same number without the unit.
std::string FormatMegabytes(int64_t bytes);
// Bytes rounded to whole megabytes first, then as FormatMb ("703.00 MB").
std::string FormatWholeMb(int64_t bytes);

// The decimal digits of `value` preceded by as many copies of `pad` as it
// takes to reach `width` characters (UTF-16 units, as every length limit of
// the program counts them): PadLeft(8, " ", 1234) is "    1234". A value
// already as wide, or an empty pad, is returned as its digits alone; a pad
// of several characters may overshoot the width by less than its length.
std::string PadLeft(size_t width, const std::string& pad, int64_t value);

}  // namespace zamo
