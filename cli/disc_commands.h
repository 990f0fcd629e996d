// disc_commands.h: `zamo-cli ls` (the files of a session of the disc in the
// drive) and `zamo-cli extract` (a file or a folder of a session copied to
// the computer with the disc's dates).
#pragma once

#include "cli/drive_commands.h"

namespace zamo::cli {

// argv[0] is "ls" or "extract". Returns the exit status: 0 success, 1 the
// disc could not be read or something was left out, 2 usage error.
int RunDiscCommand(int argc, char** argv, const DriveOptions& drive);

}  // namespace zamo::cli
