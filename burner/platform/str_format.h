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

}  // namespace zamo
