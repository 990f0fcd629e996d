// mkiso_command.h: `zamo-cli mkiso`, the compilation saved as an image file.
#pragma once

#include "cli/log_output.h"

namespace zamo::cli {

// argv[0] is "mkiso". Returns the exit status: 0 success, 1 the job failed
// (or entries were left out), 2 usage error.
int RunMkiso(int argc, char** argv, bool verbose);

}  // namespace zamo::cli
