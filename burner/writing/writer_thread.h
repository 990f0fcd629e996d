// writer_thread.h: TThWrite, the thread that carries out one writing job: it
// takes the image block by block from the read-ahead cache and writes it to
// an image file (or, with the drive layer, to a recorder), then reports the
// outcome once through the component's OnWriteDone, on the user-interface
// thread. It frees itself when it ends, and frees the cache thread.
//
// The body runs start, transfer, closing and finishing phases. For a
// recorder, the drive layer's steps come before and after the transfer:
// readying the drive per disc kind (burner/drive/recording_steps.h) and the
// closing sequence per disc kind (burner/drive/closing_sequence.h); the
// thread keeps the WRITE (10) loop, its retries, the head copy of an
// overwritable disc and what a failure means for the job.
#pragma once

#include <sys/uio.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "burner/drive/drive_wait.h"
#include "burner/drive/recording_steps.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/status.h"
#include "burner/platform/stream_ex.h"
#include "burner/platform/thread.h"

namespace zamo {

class TVeskBurner;
class TCacheThread;
class TClosingSequence;
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
  // The recorder readied for the session (the drive layer's steps).
  void PrepareRecorder();
  // Sectors the cache delivers for this job.
  int64_t SectorsToWrite() const;
  // Writes the head copy (the new volume descriptors) at sector 0 of an
  // overwritable disc, once the session's data is recorded, and flushes it;
  // false when the job failed.
  bool WriteHeadCopy(TClosingSequence& closing);
  // The sector after the descriptor set terminator found from sector 16 of
  // the disc; 0 when there is no readable set.
  uint32_t DescriptorSetEnd();
  // Sends one block to the recorder at SessionStart + written_; false when
  // the job failed.
  bool WriteToRecorder(TCacheBlock& block, int bytes);
  // One WRITE (10), sent again while the drive is not ready for it (for
  // DriveBusyBound at most); false when the job failed.
  bool WriteWithRetries(uint32_t lba, uint8_t* data, int bytes);
  // One WRITE (10) of at most what one command may carry, with its retries.
  bool WriteCommand(uint32_t lba, uint8_t* data, int bytes);
  // The closing sequence (burner/drive/closing_sequence.h) in the job's
  // phases: the buffer flushed, the head copy, the close, the wait, idle.
  void CloseRecorder();
  bool Aborted();
  // Writes the blocks, in order, to the image file with as few calls as
  // the system allows; every byte is checked. In a new regular file a block
  // of zeros is passed over: the file reads zeros there (a hole).
  Status WriteToFile(const std::vector<std::unique_ptr<TCacheBlock>>& blocks);
  Status WriteRun(std::vector<iovec>& parts);
  // Copies a span of a source file (TCacheBlock::Source) to the image file
  // at file_offset_: file to file in the kernel, a new file's holes kept
  // as holes; read and written through `buffer` where the kernel cannot.
  Status CopySpan(const TCacheBlock& span, std::span<uint8_t> buffer);
  // A file that ends in holes gets its whole length.
  Status EndFile();
  void Finish();

  TVeskBurner& burner_;
  TCacheThread& cache_;
  // The image goes to a pipe, a socket or a terminal: written in order, no offsets.
  bool in_sequence_ = false;
  std::unique_ptr<TFileStreamEx> file_;
  int64_t file_offset_ = 0;
  bool holes_ = false;  // the image is a new regular file: zeros need not be written
  TDriveWait wait_;        // the job's waits on the drive, listening to its abort
  TRecordingSteps steps_;  // the drive's steps before and during the transfer

  // Recorder job state.
  TDiscKind kind_ = dkUnknown;
  bool compilation_ = false;       // recording the compilation (not an image file)
  int buffer_poll_countdown_ = 5;
  uint32_t written_ = 0;           // sectors written so far
  int retries_ = 0;
  bool head_copy_pending_ = false;    // overwritable disc: the head copy goes at the end
  bool hold_back_descriptors_ = false;  // the session's own descriptors wait for the head copy
  int head_sectors_ = 0;              // sectors of the head copy (system area and descriptors)
  uint32_t old_descriptor_set_end_ = 0;  // the disc's descriptor set before the job: [16, end)
};

}  // namespace zamo
