// erase_thread.h: TEraseThread, the background half of erasing a rewritable
// disc. EraseDisc (erase_disc.cpp) starts the long operation in the drive;
// this thread estimates the progress, overwrites the start of a DVD+RW or
// DVD-RAM where that is how such a disc is erased, waits until the drive is
// ready again, returns the drive to idle and reports the outcome through the
// component's OnEraseDone on the user-interface thread.
//
// Every wait is bounded: the polls count the seconds they sleep and stop
// once the estimated duration is over, and each drive command is bounded by
// the command gate. A drive still busy (or without a disc) at that point is
// reported as a failure, and so is a deferred error, the drive's word that
// the blank or format it ran failed. Nothing thrown leaves the thread.
//
// The thread frees itself. It uses the component until its last call,
// DeliverEraseDone; the component's destructor waits for that (StopErase).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/platform/thread.h"

namespace zamo {

// The expected duration of an erase, in seconds: 150 (quick) or 4500 for
// CDs, 600 or 4440 for every other kind. The progress is measured against it
// until the drive tells its own.
uint16_t EstimatedEraseSeconds(TDiscKind kind, bool quick);

class TEraseThread : public TThread {
 public:
  // Borrows `device`; see the header comment for how long.
  TEraseThread(TSCSIDevice& device, TDiscKind kind, uint16_t estimated_seconds, bool quick);

  // In percent: what the drive says of its blank or format (the progress
  // indication of its sense data) once it has said it, else the seconds
  // counted so far against EstimatedSeconds (briefly above 100 before a wait
  // ends). Never goes back; also published to the component.
  int Progress() const { return progress_; }

  const TDiscKind Kind;
  TSCSIDevice& Device;
  const uint16_t EstimatedSeconds;
  bool WithError = false;  // passed to OnEraseDone

 protected:
  void Execute() override;

 private:
  // The waiting and overwriting; returns the failure text, "" on success.
  std::string WaitForErase();
  void WaitForDvdRwBlank();
  std::string FormatAndOverwriteDvdPlusRw();
  // Writes `count` blocks of 64 KB of zeros from block 0; with
  // `stop_at_failure` the first failed write ends it with its failure text.
  std::string OverwriteStart(int count, bool stop_at_failure);
  bool WriteZeros(uint32_t lba);
  std::string WaitForSettledSense();
  void ReturnDriveToIdle();

  // Polls: TEST UNIT READY, and a 2-second pause when it fails; READ DISC
  // INFORMATION. Both note a deferred error.
  void ReadyPoll();
  bool DiscInfoPoll();
  // Keeps the failure text of a deferred error the last command reported,
  // and the progress its sense data indicated.
  void NoteDeferredError();
  bool Busy() const { return Device.LastAsc() == 0x04; }  // logical unit not ready (current sense)
  // Busy, within the estimate, no deferred error, and not asked to stop.
  bool KeepWaiting() const {
    return Busy() && deferred_failure_.empty() && elapsed_ <= EstimatedSeconds && !Cancelled();
  }
  bool Cancelled() const;
  void Pause(int ms);
  void UpdateProgress();  // from the seconds counted, while the drive has told none
  void SetProgress(int percent);

  const bool quick_;
  int elapsed_ = 0;  // seconds counted by the polls
  std::string deferred_failure_;  // set by NoteDeferredError
  std::atomic<int> progress_{0};
  bool drive_progress_ = false;  // the drive's progress indication was seen
  std::vector<uint8_t> zeros_;
};

}  // namespace zamo
