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

// Starts a job of `burner` with `start` and waits for the event `done_event`
// (OnWriteDone, OnVerifyDone) the job reports through. Meanwhile, on a
// terminal, `progress_line` (given the seconds since the start) stands at
// the bottom of the log, and Ctrl-C or SIGTERM call `abort`, which must only
// store to atomics. Returns the job's error text ("" on success).
using AbortFunction = void (*)(TVeskBurner&);
std::string RunJob(TVeskBurner& burner, LogOutput& log, TWriteDoneEvent TVeskBurner::*done_event, AbortFunction abort,
                   const std::function<std::string(double elapsed)>& progress_line, const std::function<void()>& start);

// Starts the job with `start` (which calls a writing job of `burner`) and
// waits for its OnWriteDone. Returns the error text ("" on success).
std::string RunWriteJob(TVeskBurner& burner, LogOutput& log, const std::function<void()>& start);

}  // namespace zamo::cli
