// erase_command.h: `zamo-cli erase [--full]`, erasing the rewritable disc in
// the recorder quickly or completely.
#pragma once

#include "cli/drive_commands.h"

namespace zamo::cli {

// argv[0] is "erase". Returns the exit status: 0 success, 1 the erase failed
// (or could not start), 2 usage error.
int RunErase(int argc, char** argv, const DriveOptions& drive);

}  // namespace zamo::cli
