#include "cli/format.h"

#include <clocale>
#include <cstdio>

namespace zamo::cli {

std::string FormatMb(int64_t bytes) {
  const lconv* conv = std::localeconv();
  const std::string point = conv->decimal_point && *conv->decimal_point ? conv->decimal_point : ".";
  const std::string group = conv->thousands_sep ? conv->thousands_sep : "";
  const int64_t hundredths = (bytes * 100 + 524288) / 1048576;
  std::string whole = std::to_string(hundredths / 100);
  std::string grouped;
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) grouped += group;
    grouped += whole[i];
  }
  char cents[8];
  std::snprintf(cents, sizeof(cents), "%02d", static_cast<int>(hundredths % 100));
  return grouped + point + cents + " MB";
}

}  // namespace zamo::cli
