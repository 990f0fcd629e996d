// job_runner.h: runs a writing job of the component from the command line:
// the component's events arrive on the main thread through a call queue, a
// progress line is kept up to date on a terminal, and Ctrl-C aborts the job
// cleanly.
#pragma once

#include <functional>
#include <string>

#include "burner/compilation/veskburner.h"
#include "cli/log_output.h"

namespace zamo::cli {

// Starts the job with `start` (which calls a writing job of `burner`) and
// waits for its OnWriteDone. Returns the error text ("" on success).
std::string RunWriteJob(TVeskBurner& burner, LogOutput& log, const std::function<void()>& start);

}  // namespace zamo::cli
