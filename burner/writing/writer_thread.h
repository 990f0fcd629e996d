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

#include <memory>
#include <string>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/platform/status.h"
#include "burner/platform/thread.h"
#include "burner/writing/stream_ex.h"

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
  // Writes the head copy (the new volume descriptors) at sector 0 of an
  // overwritable disc; false when the job failed.
  bool WriteHeadCopy();
  // Sends one block to the recorder at SessionStart + written_, retrying
  // while the drive is busy; false when the job failed.
  bool WriteToRecorder(TCacheBlock& block, int bytes);
  void CloseRecorder();
  bool Aborted();
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
};

}  // namespace zamo
