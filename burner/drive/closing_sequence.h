// closing_sequence.h: what a recording job asks of the drive once its data
// is sent, per disc kind: the drive's buffer recorded (a DVD-R/-RW is polled
// until it answers again), the track and session closed with the commands
// the kind needs, the wait until the drive is idle, and the drive returned
// to idle. The table of close commands per kind is CloseSession.
//
// Runs on the writer thread; borrows the device, which the job holds.
#pragma once

#include <cstdint>

#include "burner/drive/drive_wait.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/status.h"

namespace zamo {

class TClosingSequence {
 public:
  // Borrows `device` and `wait`, which outlive the sequence; `kind` is the
  // disc's, as the recording noted it.
  TClosingSequence(TSCSIDevice& device, TDriveWait& wait, TDiscKind kind)
      : device_(device), wait_(wait), kind_(kind) {}
  TClosingSequence(const TClosingSequence&) = delete;
  TClosingSequence& operator=(const TClosingSequence&) = delete;

  // The disc has gone from the drive (MEDIUM NOT PRESENT): nothing is left
  // to flush or close.
  bool MediumGone();
  // The drive's buffer figures, asked once more (a DVD-RAM is not asked).
  void ReadBufferLevel();
  // The drive records what its buffer holds, also after a failed transfer
  // (the blocks it took stay readable). Stopped by the user: the drive is
  // told to, and not waited for. A DVD-R/-RW is then polled until it answers
  // the disc information (30 minutes at most); any other disc until it is
  // idle. The reason when the flush failed or the wait ended otherwise.
  Status FlushBuffer(bool stopped_by_user);
  // SYNCHRONIZE CACHE with the immediate bit, then polled until the drive is
  // idle; without the bit, with a long time-out, when the drive refuses it.
  // A drive that never answered the flush is not asked again.
  bool Flush();
  // Closes the recorded track and the session as the disc's kind needs,
  // after the write parameters that say whether the disc takes another
  // session (`finalize`, the user's choice). Nothing is closed on a DVD-RAM,
  // after a test write, or without FinalizeTrack.
  Status CloseSession(uint8_t track, TDiscFinalize finalize);
  // The drive may stay busy while it closes: waited for until it is idle.
  Status WaitUntilClosed();
  // The buffer's last figures, then the drive back to idle: the write
  // parameters of a CD's track-at-once (with `finalize`), the slowest write
  // speed, the head home, the door unlocked, the disc loaded.
  void ReturnToIdle(TDiscFinalize finalize);

 private:
  // One CLOSE TRACK/SESSION with the immediate bit, sent again while the
  // drive is too busy to take it (5 minutes at most), then waited for.
  Status CloseCommand(uint8_t function, uint8_t number);
  Status CloseCdSession();
  // The reason a close, or the wait after it (bounded by `bound_ms`), did
  // not end well; Ok when it did.
  Status Outcome(TWaitResult result, int bound_ms) const;
  Status FlushFailure() const;

  TSCSIDevice& device_;
  TDriveWait& wait_;
  const TDiscKind kind_;
};

}  // namespace zamo
