// job_runner.h: runs a writing job of the component from the command line:
// the component's events arrive on the main thread through a call queue, the
// progress is shown (a line kept up to date on a terminal, a plain line every
// few seconds elsewhere), and Ctrl-C aborts the job cleanly, saying at once
// what it waits for.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "burner/compilation/veskburner.h"
#include "cli/log_output.h"
#include "cli/progress_meter.h"

namespace zamo::cli {

using AbortFunction = void (*)(TVeskBurner&);

// Shows a running job's progress and hears Ctrl-C while the caller waits for
// it. On a terminal the progress line stands at the bottom of the log; on
// anything else (a file, a pipe) a plain line is written every
// PlainLineInterval() seconds, so that a log shows the job moving. Ctrl-C or
// SIGTERM call `abort` (which must only store to atomics) from the signal
// handler; the caller says what that stops, at once, through Heard.
class JobWatch {
 public:
  // Borrows `burner` and `log` for its whole life.
  JobWatch(TVeskBurner& burner, LogOutput& log, AbortFunction abort);
  ~JobWatch();
  JobWatch(const JobWatch&) = delete;
  JobWatch& operator=(const JobWatch&) = delete;

  // Seconds since the watch began.
  double Elapsed() const;
  // Shows `view` as the terminal's line, or as a plain line when the
  // interval has passed since the last one.
  void Show(const ProgressView& view);
  // The job's last line once it succeeded, when plain lines were written:
  // a log then ends on the whole job done.
  void ShowEnd(ProgressView view);
  // True once Ctrl-C or SIGTERM came since the watch began; the first call
  // that sees it writes `stopping()`: what stops, and what is waited for.
  bool Heard(const std::function<std::string()>& stopping);

 private:
  class InterruptGuard;
  std::unique_ptr<InterruptGuard> interrupt_;
  LogOutput& log_;
  const bool terminal_;
  const double interval_;
  const std::chrono::steady_clock::time_point started_;
  double last_plain_ = 0;  // Elapsed() at the last plain line
  bool plain_written_ = false;
  bool announced_ = false;
};

// What a job's progress line says at one look, `elapsed` seconds after its start.
using ProgressLook = std::function<ProgressView(double elapsed)>;

// Starts a job of `burner` with `start` and waits for the event `done_event`
// (OnWriteDone, OnVerifyDone) the job reports through, its progress shown by
// a JobWatch from `look` and Ctrl-C answered with `stopping()`. Returns the
// job's error text ("" on success).
std::string RunJob(TVeskBurner& burner, LogOutput& log, TWriteDoneEvent TVeskBurner::*done_event, AbortFunction abort,
                   const ProgressLook& look, const std::function<std::string()>& stopping,
                   const std::function<void()>& start);

// Where a writing job writes: an image file, or a disc.
enum class WriteTarget { kImageFile, kDisc };

// Starts the job with `start` (which calls a writing job of `burner`) and
// waits for its OnWriteDone. Returns the error text ("" on success).
std::string RunWriteJob(TVeskBurner& burner, LogOutput& log, WriteTarget target, const std::function<void()>& start);

}  // namespace zamo::cli
