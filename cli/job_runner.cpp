#include "cli/job_runner.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "burner/platform/call_queue.h"
#include "burner/platform/str_format.h"

namespace zamo::cli {
namespace {

// The component whose job Ctrl-C aborts, and how. Both only store to
// atomics, which a signal handler may do.
std::atomic<TVeskBurner*> g_abort_target{nullptr};
std::atomic<AbortFunction> g_abort{nullptr};

void OnInterrupt(int) {
  TVeskBurner* burner = g_abort_target.load();
  const AbortFunction abort = g_abort.load();
  if (burner != nullptr && abort != nullptr) abort(*burner);
}

class InterruptGuard {
 public:
  InterruptGuard(TVeskBurner& burner, AbortFunction abort) {
    g_abort = abort;
    g_abort_target = &burner;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_abort_target = nullptr;
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

std::string Duration(double seconds) {
  const auto s = static_cast<long>(seconds + 0.5);
  return StrFormat("%ld:%02ld", s / 60, s % 60);
}

// "  45 %   123.45 MB / 456.78 MB   85.2 MB/s   cache 97 %   tampon graveur 88 %   reste 0:04",
// and once the data is written, what the drive is doing instead of the time left.
std::string ProgressLine(TVeskBurner& burner, double elapsed) {
  const TVeskBurner::TJobProgress p = burner.Progress();
  const int64_t total = p.TotalBytes, done = p.BytesWritten;
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  std::string line = StrFormat("%3d %%   %s / %s   %.1f MB/s   cache %d %%", percent, FormatMb(done).c_str(),
                               FormatMb(total).c_str(), rate / 1048576.0, p.CacheFillPercent);
  if (p.DriveBufferSize > 0) {
    const uint32_t used = p.DriveBufferSize - p.DriveBufferFree;
    line += StrFormat("   tampon graveur %d %%", static_cast<int>(static_cast<uint64_t>(used) * 100 / p.DriveBufferSize));
  }
  if (p.Phase != TVeskBurner::TJobPhase::kWriting && p.Phase != TVeskBurner::TJobPhase::kIdle) {
    line += std::string("   ") + TVeskBurner::JobPhaseText(p.Phase);
  } else if (rate > 0 && done < total) {
    line += "   reste " + Duration(static_cast<double>(total - done) / rate);
  }
  return line;
}

}  // namespace

std::string RunJob(TVeskBurner& burner, LogOutput& log, TWriteDoneEvent TVeskBurner::*done_event, AbortFunction abort,
                   const std::function<std::string(double elapsed)>& progress_line, const std::function<void()>& start) {
  CallQueue queue;
  burner.Dispatcher = [&queue](std::function<void()> call) { queue.Post(std::move(call)); };
  bool done = false;
  std::string error;
  burner.*done_event = [&](TObject*, const std::string& e) {
    error = e;
    done = true;
  };
  InterruptGuard interrupt(burner, abort);
  const bool terminal = isatty(STDERR_FILENO) != 0;
  if (terminal) log.SetProgressActive(true);
  const auto started = std::chrono::steady_clock::now();
  start();
  // The job reports through the queue; one that could not start has
  // reported already.
  while (!done) {
    queue.RunFor(std::chrono::milliseconds(250));
    if (terminal && !done) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      log.Progress(progress_line(elapsed));
    }
  }
  if (terminal) log.SetProgressActive(false);
  burner.Dispatcher = nullptr;
  burner.*done_event = nullptr;
  return error;
}

std::string RunWriteJob(TVeskBurner& burner, LogOutput& log, const std::function<void()>& start) {
  return RunJob(
      burner, log, &TVeskBurner::OnWriteDone, [](TVeskBurner& b) { b.AbortWriting(); },
      [&burner](double elapsed) { return ProgressLine(burner, elapsed); }, start);
}

}  // namespace zamo::cli
