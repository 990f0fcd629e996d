// system_error.h: short French texts for the operating system's error codes,
// for messages that name the failing file.
#pragma once

#include <string>

namespace zamo {

std::string SystemErrorText(int error);

}  // namespace zamo
