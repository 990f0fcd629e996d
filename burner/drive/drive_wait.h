// drive_wait.h: the bounded waits of a job on its drive: pauses that listen
// to the job's abort, and polls of the drive until an operation it runs on
// its own (a flush, a close, a format) is done. Every wait has a bound.
//
// Used by one job's thread at a time; the abort flag may be set from any thread.
#pragma once

#include <atomic>
#include <functional>

#include "burner/drive/scsi_device.h"

namespace zamo {

enum class TWaitResult { kDone, kFailed, kAborted, kTimedOut };

class TDriveWait {
 public:
  // The longest a drive may take over an operation started with the
  // immediate bit (a DVD+R DL close, a DVD+RW format's completion): the most
  // trusted recorders allow an hour. A command without the immediate bit gets
  // it as its time-out, so that the kernel never resets a drive mid-close.
  static constexpr int kLongOperationMs = 3600000;

  // Borrows `device` and `abort_flag` (the job's): both outlive the wait.
  TDriveWait(TSCSIDevice& device, const std::atomic<bool>& abort_flag) : device_(device), abort_flag_(abort_flag) {}
  TDriveWait(const TDriveWait&) = delete;
  TDriveWait& operator=(const TDriveWait&) = delete;

  bool AbortAsked() const { return abort_flag_; }
  // Sleeps `ms` through the device's Sleep, listening to the abort; false
  // when the job was aborted.
  bool Pause(int ms);
  // Calls `poll` every `step_ms` until it succeeds. Ends early when the
  // drive answers anything but "in progress" or busy (kFailed), when the job
  // is aborted or the command cut short (kAborted), or after `bound_ms`
  // (kTimedOut).
  TWaitResult PollUntil(const std::function<bool()>& poll, int bound_ms, int step_ms);
  // Polls TEST UNIT READY every second until the drive is done with a long
  // operation (kLongOperationMs at most).
  TWaitResult UntilIdle();

 private:
  TSCSIDevice& device_;
  const std::atomic<bool>& abort_flag_;
};

}  // namespace zamo
