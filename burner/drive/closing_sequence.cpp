// closing_sequence.cpp: the closing sequence of a recording, per disc kind.
#include "burner/drive/closing_sequence.h"

#include <string>

#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

// Commands with the immediate bit return at once.
constexpr int kShortCommandMs = 30000;
// The drive's closing of a DVD-R/-RW after the last write: checked every
// second, given up after 30 minutes.
constexpr int kFinalizeWaitSeconds = 1800;
// A close the drive is still too busy to take is sent again for 5 minutes.
constexpr int kCloseWaitMs = 300000;
// Close functions of CLOSE TRACK/SESSION (MMC-5 6.3).
constexpr uint8_t kCloseTrack = 1;
constexpr uint8_t kCloseSession = 2;
constexpr uint8_t kStopBackgroundFormat = 3;   // DVD+RW: ends its background format
constexpr uint8_t kFinalizeDvdPlusR = 5;       // close the session and the disc
constexpr uint8_t kFinalizeDvdPlusRDl = 6;

}  // namespace

bool TClosingSequence::MediumGone() {
  TSCSIDevice& d = device_;
  if (d.LastAsc() == 0x3A) return true;
  return !d.TestUnitReady(5000) && d.LastAsc() == 0x3A;
}

void TClosingSequence::ReadBufferLevel() {
  uint32_t size = 0, free_bytes = 0;
  if (kind_ != dkDvdRam) device_.ReadBufferCapacity(size, free_bytes);
}

Status TClosingSequence::FlushFailure() const {
  if (wait_.AbortAsked() || device_.LastCommandCancelled) return Status::Aborted(msg::kAbortedWhileClosing);
  return Status::IoError(std::string(msg::kFlushFailed) + " [" + device_.LastError + "]");
}

Status TClosingSequence::FlushBuffer(bool stopped_by_user) {
  TSCSIDevice& d = device_;
  if (stopped_by_user) {
    d.SynchronizeCache(kShortCommandMs, /*Immediate=*/true);
    return Status::Ok();
  }
  if (!IsDvdMinusKind(kind_)) return Flush() ? Status::Ok() : FlushFailure();

  const bool flushed = d.SynchronizeCache(kShortCommandMs, /*Immediate=*/true);
  d.DeviceFreeBufferSize = d.DeviceBufferSize.load();
  if (!flushed) return FlushFailure();
  // The drive records its buffer, then answers again; the buffer shown
  // empties meanwhile.
  const auto answered = [&d] {
    if (d.ReadDiscInfo()) return true;
    const uint32_t step = d.DeviceBufferSize / 960;
    const uint32_t left = d.DeviceFreeBufferSize;
    d.DeviceFreeBufferSize = left > step ? left - step : 0;
    return false;
  };
  switch (wait_.PollUntil(answered, kFinalizeWaitSeconds * 1000, 1000)) {
    case TWaitResult::kDone:
      return Status::Ok();
    case TWaitResult::kAborted:
      return Status::Aborted(msg::kAbortedWhileClosing);
    case TWaitResult::kTimedOut:
      return Status::IoError(StrFormat(msg::kFinalizeTimeout, kFinalizeWaitSeconds));
    case TWaitResult::kFailed:
      return FlushFailure();
  }
  return Status::Ok();
}

bool TClosingSequence::Flush() {
  TSCSIDevice& d = device_;
  if (d.SynchronizeCache(kShortCommandMs, /*Immediate=*/true)) return wait_.UntilIdle() == TWaitResult::kDone;
  // A drive that never answered the flush is not asked again: it would take
  // as long again. One that refused the immediate bit is asked without it.
  if (d.LastCommandTimedOut || d.LastCommandCancelled || wait_.AbortAsked()) return false;
  return d.SynchronizeCache(TDriveWait::kLongOperationMs, /*Immediate=*/false);
}

Status TClosingSequence::CloseSession(uint8_t track, TDiscFinalize finalize) {
  TSCSIDevice& d = device_;
  if (d.TestWrite || kind_ == dkDvdRam || !d.FinalizeTrack) return Status::Ok();
  // The real multisession setting: the disc closed for good, or left open.
  const bool closing_disc = finalize == TDiscFinalize::kFinalize;
  d.SetWriteParameters(d.TestWrite, d.UnderrunProtection, closing_disc, kind_, finalize);
  switch (kind_) {
    case dkDvdPlusR:
      // Closing the session leaves a DVD+R appendable; finalizing closes the
      // session and the disc.
      if (Status s = CloseCommand(kCloseTrack, track); !s.ok()) return s;
      return closing_disc ? CloseCommand(kFinalizeDvdPlusR, 0) : CloseCommand(kCloseSession, 255);
    case dkDvdPlusRDl:
      if (Status s = CloseCommand(kCloseTrack, track); !s.ok()) return s;
      return CloseCommand(closing_disc ? kFinalizeDvdPlusRDl : kCloseSession, 0);
    case dkDvdR:
      // The reserved track, then the session; the multisession field of the
      // write parameters page decides whether the disc stays appendable.
      if (Status s = CloseCommand(kCloseTrack, track); !s.ok()) return s;
      return CloseCommand(kCloseSession, 0);
    case dkDvdRwRestricted:
    case dkDvdRwSequential:
      return CloseCommand(kCloseSession, 0);
    case dkDvdPlusRw:
      return CloseCommand(kStopBackgroundFormat, 255);
    default:
      return CloseCdSession();
  }
}

Status TClosingSequence::CloseCommand(uint8_t function, uint8_t number) {
  TSCSIDevice& d = device_;
  // With the immediate bit: the drive answers at once and stays busy while
  // it closes, and the next command waits until it is idle.
  const auto close = [&] { return d.CloseTrackSession(/*Immediate=*/true, function, number); };
  if (Status s = Outcome(wait_.PollUntil(close, kCloseWaitMs, 1000), kCloseWaitMs); !s.ok()) return s;
  return WaitUntilClosed();
}

Status TClosingSequence::CloseCdSession() {
  TSCSIDevice& d = device_;
  // Drives known to mishandle the immediate bit close without it, with the
  // long time-out.
  const bool immediate = TSCSIDevice::ImmediateCloseModel;
  const auto close = [&] { return d.CloseSessionOrTrack(/*CloseTrack=*/false, immediate, /*Finalize=*/false); };
  TWaitResult result = wait_.PollUntil(close, kCloseWaitMs, 1000);
  // A refusal for another reason: one more attempt. A close the drive never
  // answered is not sent again: it would take as long again.
  if (result == TWaitResult::kFailed && !d.LastCommandTimedOut && !d.LastCommandCancelled &&
      d.CloseSessionOrTrack(/*CloseTrack=*/false, immediate, /*Finalize=*/false)) {
    result = TWaitResult::kDone;
  }
  if (Status s = Outcome(result, kCloseWaitMs); !s.ok()) return s;
  return WaitUntilClosed();
}

Status TClosingSequence::WaitUntilClosed() { return Outcome(wait_.UntilIdle(), TDriveWait::kLongOperationMs); }

Status TClosingSequence::Outcome(TWaitResult result, int bound_ms) const {
  switch (result) {
    case TWaitResult::kDone:
      return Status::Ok();
    case TWaitResult::kAborted:
      return Status::Aborted(msg::kAbortedWhileClosing);
    case TWaitResult::kTimedOut:
      return Status::IoError(StrFormat(msg::kCloseTimeout, bound_ms / 1000));
    case TWaitResult::kFailed:
      return Status::IoError(std::string(msg::kCloseFailed) + " [" + device_.LastError + "]");
  }
  return Status::Ok();
}

void TClosingSequence::ReturnToIdle(TDiscFinalize finalize) {
  TSCSIDevice& d = device_;
  ReadBufferLevel();
  d.SetWriteParameters(/*TestWriteOn=*/false, /*UnderrunProtectionOn=*/false, /*CloseFlag=*/false, dkCdRom, finalize);
  d.SetCdSpeed(d.GetMaxReadSpeed(), 2);
  d.RezeroUnit();
  d.PreventAllowRemoval(true);
  d.LoadEject(false);
  d.RezeroUnit();
  d.TestUnitReady(5000);
}

}  // namespace zamo
