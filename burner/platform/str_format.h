// str_format.h: printf-style formatting into a std::string, checked by the
// compiler (GCC 12 has no <format>).
#pragma once

#include <string>

namespace zamo {

[[gnu::format(printf, 1, 2)]] std::string StrFormat(const char* format, ...);

}  // namespace zamo
