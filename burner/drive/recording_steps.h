// recording_steps.h: the drive's steps of a recording job before and during
// its transfer, per disc kind: the speeds, the write parameters, the DVD
// streaming performance, a DVD-R's reserved track and time stamp, power
// calibration, the start line of the log; and the background format of a
// blank DVD+RW that refused the first write. The writer thread
// (burner/writing) runs the WRITE (10) transfer between these steps and the
// closing sequence (closing_sequence.h) after it.
//
// Runs on the writer thread; borrows the device, which the job holds.
#pragma once

#include <cstdint>

#include "burner/drive/drive_wait.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/status.h"

namespace zamo {

// The session a job records.
struct TRecordingSession {
  uint32_t start = 0;            // its first sector (SessionStart)
  uint32_t image_sectors = 0;    // the image's sectors: the extent of the DVD streaming performance
  int64_t sectors_to_write = 0;  // what the job writes: a DVD-R reserves them
};

class TRecordingSteps {
 public:
  // Borrows `device` and `wait`: both outlive the steps.
  TRecordingSteps(TSCSIDevice& device, TDriveWait& wait) : device_(device), wait_(wait) {}
  TRecordingSteps(const TRecordingSteps&) = delete;
  TRecordingSteps& operator=(const TRecordingSteps&) = delete;

  // Readies the drive to record `session`, in this order: the buffer asked
  // for once, the disc's kind noted, the disc loaded (and the head sent home
  // but on a DVD+RW), the chosen speeds, the write parameters as for a disc
  // to be closed (the real multisession setting goes with the close), the
  // streaming performance of a DVD- or DVD+ disc, a DVD-R's whole-disc
  // streaming, time stamp and reserved track, power calibration when asked;
  // then the start line goes to the log. The commands' failures are left to
  // the first write to tell.
  void Prepare(const TRecordingSession& session);

  // What Prepare learnt.
  TDiscKind kind() const { return kind_; }
  uint8_t new_track() const { return new_track_; }            // the track (and session) recorded
  bool buffer_answers() const { return buffer_answers_; }     // READ BUFFER CAPACITY answered

  // The write just refused was refused because the disc is a blank DVD+RW
  // (30h, incompatible medium) that this job has not formatted yet.
  bool NeedsFormat() const;
  // Formats the blank DVD+RW in the background (the drive takes writes
  // meanwhile) and waits until it says the format runs; the reason on failure.
  Status FormatBlankDvdPlusRw();

 private:
  void SetSessionPerformance(const TRecordingSession& session, uint16_t read_kbs, uint16_t write_kbs);
  void ReserveDvdRTrack(const TRecordingSession& session, uint16_t read_kbs, uint16_t write_kbs);
  void LogStart(uint16_t speed_kbs);

  TSCSIDevice& device_;
  TDriveWait& wait_;
  TDiscKind kind_ = dkUnknown;
  uint8_t new_track_ = 1;
  bool buffer_answers_ = false;
  bool formatted_ = false;  // this job formatted a blank DVD+RW
};

}  // namespace zamo
