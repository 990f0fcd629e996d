#include "burner/platform/str_format.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>

#include "burner/platform/text.h"

namespace zamo {

std::string StrFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (length > 0) {
    out.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return out;
}

std::string FormatThousands(uint64_t value) {
  std::string digits = std::to_string(value);
  const char* separator = std::localeconv()->thousands_sep;
  if (separator == nullptr || *separator == '\0') return digits;
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), separator);
  return digits;
}

std::string FormatMegabytes(int64_t bytes) {
  const lconv* conv = std::localeconv();
  const std::string point = conv->decimal_point && *conv->decimal_point ? conv->decimal_point : ".";
  const int64_t hundredths = (bytes * 100 + 524288) / 1048576;
  return FormatThousands(static_cast<uint64_t>(hundredths / 100)) + point +
         StrFormat("%02d", static_cast<int>(hundredths % 100));
}

std::string FormatMb(int64_t bytes) { return FormatMegabytes(bytes) + " MB"; }

std::string FormatWholeMb(int64_t bytes) { return FormatMb((bytes + 524288) / 1048576 * 1048576); }

std::string PadLeft(size_t width, const std::string& pad, int64_t value) {
  std::string digits = std::to_string(value);
  const size_t pad_length = Utf16Length(pad);
  if (pad_length == 0) return digits;
  size_t length = digits.size();  // digits and '-' are one unit each
  std::string prefix;
  while (length < width) {
    prefix += pad;
    length += pad_length;
  }
  return prefix + digits;
}

}  // namespace zamo
