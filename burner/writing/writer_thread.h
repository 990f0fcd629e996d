// writer_thread.h: TThWrite, the thread that carries out one writing job: it
// takes the image block by block from the read-ahead cache and writes it to
// an image file (or, with the drive layer, to a recorder), then reports the
// outcome once through the component's OnWriteDone, on the user-interface
// thread. It frees itself when it ends, and frees the cache thread.
//
// The body runs start, transfer, closing and finishing phases: for a
// recorder it prepares the drive (speeds, write parameters, performance,
// reservation, power calibration) before the transfer, and afterwards
// flushes the drive's cache, closes the track or session as the disc kind
// needs, and returns the drive to idle.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/platform/status.h"
#include "burner/platform/stream_ex.h"
#include "burner/platform/thread.h"

namespace zamo {

class TVeskBurner;
class TCacheThread;
struct TCacheBlock;

class TThWrite : public TThread {
 public:
  // Borrows `burner`, which must stay alive until OnWriteDone has come.
  TThWrite(TVeskBurner& burner, bool to_file);

  const bool ToFile;

 protected:
  void Execute() override;

 private:
  // Fails the job: aborts the cache and makes `text` its error.
  void Fail(const std::string& text);
  void TransferLoop();
  // The recorder's steps around the transfer.
  void PrepareRecorder();
  // Sectors the cache delivers for this job.
  int64_t SectorsToWrite() const;
  // Writes the head copy (the new volume descriptors) at sector 0 of an
  // overwritable disc, once the session's data is recorded; false when the
  // job failed.
  bool WriteHeadCopy();
  // The sector after the descriptor set terminator found from sector 16 of
  // the disc; 0 when there is no readable set.
  uint32_t DescriptorSetEnd();
  // Formats a blank DVD+RW (in the background) and waits until the drive
  // takes writes; false when the job failed.
  bool FormatBlankDvdPlusRw();
  // Sends one block to the recorder at SessionStart + written_; false when
  // the job failed.
  bool WriteToRecorder(TCacheBlock& block, int bytes);
  // One WRITE (10), sent again while the drive is not ready for it (for
  // DriveBusyBound at most); false when the job failed.
  bool WriteWithRetries(uint32_t lba, uint8_t* data, int bytes);
  // One WRITE (10) of at most what one command may carry, with its retries.
  bool WriteCommand(uint32_t lba, uint8_t* data, int bytes);
  // The drive's cache flushed: with the immediate bit, then polled until the
  // drive is idle (without it, with a long time-out, when the drive refuses
  // the bit).
  bool Flush();
  // The disc has gone from the drive (MEDIUM NOT PRESENT).
  bool MediumGone();
  void CloseRecorder();
  // The close commands of the disc kind; false when the job failed.
  bool CloseSession();
  // One CLOSE TRACK/SESSION, then the wait until the drive is done with it.
  bool CloseCommand(uint8_t function, uint8_t number);
  bool Aborted();
  // Sleeps, listening to the abort; false when the job was aborted.
  bool Pause(int ms);
  enum class WaitResult { kDone, kFailed, kAborted, kTimedOut };
  // Calls `poll` every `step_ms` until it succeeds. Ends early when the
  // drive answers anything but "in progress" or busy (kFailed), when the
  // job is aborted, or after `bound_ms` (kTimedOut).
  WaitResult PollUntil(const std::function<bool()>& poll, int bound_ms, int step_ms);
  // Polls TEST UNIT READY until the drive is done with a long operation
  // (an hour at most).
  WaitResult WaitUntilIdle();
  // True when a close (or the wait after it, bounded by `bound_ms`) ended
  // well; otherwise fails the job with its reason.
  bool Closed(WaitResult result, int bound_ms);
  // Writes the blocks, in order, to the image file with as few calls as
  // the system allows; every byte is checked.
  Status WriteToFile(const std::vector<std::unique_ptr<TCacheBlock>>& blocks);
  void Finish();

  TVeskBurner& burner_;
  TCacheThread& cache_;
  std::unique_ptr<TFileStreamEx> file_;
  int64_t file_offset_ = 0;

  // Recorder job state.
  TDiscKind kind_ = dkUnknown;
  bool compilation_ = false;       // recording the compilation (not an image file)
  bool buffer_queries_ = false;    // the drive answered READ BUFFER CAPACITY at the start
  int buffer_poll_countdown_ = 5;
  uint32_t written_ = 0;           // sectors written so far
  uint8_t new_track_ = 1;          // track (and session) being written
  int retries_ = 0;
  bool formatted_ = false;            // a blank DVD+RW was formatted by this job
  bool head_copy_pending_ = false;    // overwritable disc: the head copy goes at the end
  bool hold_back_descriptors_ = false;  // the session's own descriptors wait for the head copy
  int head_sectors_ = 0;              // sectors of the head copy (system area and descriptors)
  uint32_t old_descriptor_set_end_ = 0;  // the disc's descriptor set before the job: [16, end)
};

}  // namespace zamo
