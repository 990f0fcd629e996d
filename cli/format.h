// format.h: numbers as the user reads them.
#pragma once

#include <cstdint>
#include <string>

namespace zamo::cli {

// Bytes as megabytes of 1,048,576 bytes, "#,##0.00" with the locale's
// separators, followed by " MB".
std::string FormatMb(int64_t bytes);

}  // namespace zamo::cli
