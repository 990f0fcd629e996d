// burn_command.h: `zamo-cli burn` (the compilation recorded as a new session
// of the disc) and `zamo-cli burn-image` (an image file recorded as it is).
#pragma once

#include "cli/drive_commands.h"

namespace zamo::cli {

// argv[0] is "burn" or "burn-image". Returns the exit status: 0 success, 1
// the job failed, 2 usage error.
int RunBurn(int argc, char** argv, const DriveOptions& drive);

}  // namespace zamo::cli
