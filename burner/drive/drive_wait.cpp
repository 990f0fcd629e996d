// drive_wait.cpp: pauses and polls of a job on its drive, each bounded.
#include "burner/drive/drive_wait.h"

#include <algorithm>
#include <chrono>

namespace zamo {
namespace {

// A drive still at work on an earlier command (in progress, busy): a poll
// that fails so is polled again; any other failure ends the wait.
bool StillWorking(const TSCSIDevice& drive) {
  if (drive.LastCommandTimedOut || drive.LastCommandCancelled || drive.LastFailureIsTransport()) return false;
  return drive.TargetBusy || drive.LastAsc() == 0x04;
}

}  // namespace

bool TDriveWait::Pause(int ms) {
  for (int left = ms; left > 0; left -= TSCSIDevice::kCancelCheckMs) {
    if (abort_flag_) return false;
    device_.Sleep(std::min(left, TSCSIDevice::kCancelCheckMs));
  }
  return !abort_flag_;
}

TWaitResult TDriveWait::PollUntil(const std::function<bool()>& poll, int bound_ms, int step_ms) {
  using SteadyClock = std::chrono::steady_clock;
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(bound_ms);
  for (;;) {
    if (poll()) return TWaitResult::kDone;
    if (abort_flag_ || device_.LastCommandCancelled) return TWaitResult::kAborted;
    if (!StillWorking(device_)) return TWaitResult::kFailed;
    if (SteadyClock::now() >= deadline) return TWaitResult::kTimedOut;
    if (!Pause(step_ms)) return TWaitResult::kAborted;
  }
}

TWaitResult TDriveWait::UntilIdle() {
  const auto ready = [this] { return device_.TestUnitReady(5000); };
  return PollUntil(ready, kLongOperationMs, 1000);
}

}  // namespace zamo
