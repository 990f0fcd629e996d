// cache_thread.h: TCacheThread, the read-ahead cache of a writing job. It
// produces the image's byte stream, in order, as a queue of blocks of at most
// 64 KiB: the image head (from memory, then its directory extents as they are
// generated), then the boot image, then the data of
// every file of the compilation (each padded to whole 2048-byte sectors),
// then zero padding up to 300 sectors when asked; or an existing image file
// alone. It runs ahead of the writer by up to CacheSize bytes, so that the
// writer never waits for the disk. For an image file on disk, the data of a
// large file is queued as spans of its source instead (up to 1 MiB a block,
// read ahead by the kernel), which the writer copies file to file: where new
// page-cache pages are slow to come by, a copy through this process's
// memory on two threads paid for them several times over (see
// bench/README.md, "Large files as spans of their source").
//
// Thread safety: the producer is this thread; the only consumer is the writer.
// The queue and its counters are guarded by the component's critical section
// (Lock/Unlock); the flags are atomic.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "burner/compilation/entries.h"
#include "burner/compilation/image_head.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/stream_ex.h"
#include "burner/platform/thread.h"

namespace zamo {

constexpr int kCacheBlockBytes = 65540;
constexpr int64_t kMinimumStreamBytes = 614400;  // 300 sectors

// A source file held open for the writer while blocks name parts of it.
struct TSourceFile {
  TSourceFile(int fd, std::string name, int64_t size) : Fd(fd), Name(std::move(name)), Size(size) {}
  ~TSourceFile();
  TSourceFile(const TSourceFile&) = delete;
  TSourceFile& operator=(const TSourceFile&) = delete;
  int Fd;
  std::string Name;  // for the messages
  int64_t Size;      // the bytes it had when it was added
};

struct TCacheBlock {
  std::array<uint8_t, kCacheBlockBytes> Data;
  int Count = 0;  // valid bytes of Data; with Source, the bytes of the span
  // Set: the block carries no bytes but names Count bytes of a source file
  // from SourceOffset, which the writer copies file to file (in the kernel).
  std::shared_ptr<const TSourceFile> Source;
  int64_t SourceOffset = 0;
};

// The longest span of a source file one block names.
constexpr int kSpanBytes = 1 << 20;
// Files from this size on go as spans when the job allows it.
constexpr int64_t kSpanFileMinimum = 1 << 20;

// What a cache produces. Everything is fixed before the thread starts.
struct CacheJob {
  int cache_size = 4 << 20;
  TMemoryStreamEx* head = nullptr;  // the image head, or its first part; emptied once it is queued (not used with an image file)
  std::shared_ptr<HeadExtentsSource> head_extents;  // the rest of the head after `head`, generated as it is queued (null: none)
  bool keep_head = false;           // leave the head in place once queued (a verification compares the disc with it)
  int64_t total_bytes = 0;          // bytes the writer is to receive
  int boot_sectors = 0;
  std::string boot_image_name;      // "" for none
  int64_t pad_after_boot = 0;       // zero sectors after a short boot image, up to the file data
  std::vector<uint8_t> boot_info;   // the boot information table laid over the boot image at byte 8 ("" none)
  bool pad_to_minimum = false;      // pad the stream with zeros to 300 sectors
  int block_size = 65536;           // 55,296 (27 sectors) or 65,536 (32 sectors)
  std::string image_file_name;      // stream this existing image file and nothing else
  std::vector<const TFEntry*> entries;  // the compilation's file table, in order
  // The data of large files is queued as spans of their source (TCacheBlock::Source)
  // for the writer to copy itself: an image file on disk, never a recorder.
  bool file_spans = false;
};

class TCacheThread : public TThread {
 public:
  // Starts the thread. `queue_lock` is the component whose critical section
  // guards the queue; it must outlive the thread.
  TCacheThread(CacheJob job, TSCSIDevice& queue_lock);
  ~TCacheThread() override;

  // Copies the oldest block into `dest` (at least 65,540 bytes): its byte
  // count; 0 when everything has been taken (or after a failure or an abort);
  // -1 when nothing is ready yet (ask again). Not for a job with file_spans.
  int TakeBlock(uint8_t* dest);
  // The same, handing the block itself over (no copy); give it back with
  // Recycle once written.
  int TakeBlock(std::unique_ptr<TCacheBlock>& block);
  // Takes up to `max` ready blocks at once (appended to `blocks`): their
  // byte count, or 0 or -1 as TakeBlock.
  // Until the producer has staged everything, it answers -1 while fewer
  // than the hand-over batch (SetHandOver) are ready.
  int64_t TakeBlocks(std::vector<std::unique_ptr<TCacheBlock>>& blocks, size_t max);
  void Recycle(std::unique_ptr<TCacheBlock> block);

  // Asks the producer to stop; it empties the queue and ends.
  void Abort() { abort_requested_ = true; }
  bool Primed() const { return primed_; }
  bool Done() const { return done_; }
  std::string ErrorText();
  void SetErrorText(const std::string& text);
  std::string CurrentFile();
  int64_t BufferedBytes();
  int64_t RemainingBytes();
  // Bytes produced so far: a waiting consumer tells a slow producer from a
  // stalled one by it.
  int64_t ProducedBytes() const { return produced_; }
  int Capacity() const { return capacity_; }
  // Waits up to `ms` milliseconds for a hand-over batch to be ready, the
  // last blocks staged or the producer ended (the writer's pause when
  // nothing is ready).
  void WaitForData(int ms);
  // The consumer takes `blocks` at a time: the producer wakes it when that
  // many are ready (at most Capacity - 1, what the queue holds), not for each
  // block. Set before the first TakeBlocks.
  void SetHandOver(size_t blocks);
  const std::string& ImageFileName() const { return job_.image_file_name; }
  int CacheSize() const { return job_.cache_size; }

 protected:
  void Execute() override;

 private:
  enum class Step { kGoOn, kStop };
  Step StageHead();
  // Queues `data_bytes` read from `fd` (none when negative) followed by zero
  // bytes up to `total_bytes`, a multiple of 2048; with `boot_info`, that
  // table over the bytes read at 8 to 63.
  Step Stage(int fd, const std::string& name, int64_t data_bytes, int64_t total_bytes,
             std::span<const uint8_t> boot_info = {});
  // Queues the whole sectors of the file's data as spans; the bytes it
  // covered (0 when the file could not be shared).
  int64_t StageSpans(int fd, const std::string& name, int64_t data_bytes, Step& step);
  Step StageEntries();
  Step StagePadding();
  Step WaitForRoom();
  Step WaitUntilTaken();
  // Queues the block being filled, if it holds anything.
  void QueueBlock();
  std::unique_ptr<TCacheBlock> NewBlock();
  Step Fail(const std::string& text);
  Step AbortNow();
  void AdjustPriority(size_t queued);
  void WaitUntilNotTaking();
  // Stages the file table's entries; StageEntries keeps the last one's path.
  Step StageFiles();
  // Whether a consumer waiting in WaitForData has something to do.
  bool HandOverReady() const;
  // Wakes the consumer (under signal_mutex_, so that a wait that just found
  // nothing ready cannot miss it).
  void WakeConsumer();

  CacheJob job_;
  TSCSIDevice& lock_;
  int capacity_;
  std::deque<std::unique_ptr<TCacheBlock>> queue_;   // guarded by lock_
  std::vector<std::unique_ptr<TCacheBlock>> spare_;  // guarded by lock_
  int64_t buffered_bytes_ = 0;                       // guarded by lock_
  int64_t remaining_bytes_ = 0;                      // guarded by lock_
  int64_t pad_bytes_ = 0;
  std::string error_text_;    // guarded by lock_
  std::string current_file_;  // guarded by lock_
  // The file being staged, its path built when asked (CurrentFile): the
  // entries stay in place while the job runs. Null: current_file_ holds it.
  std::atomic<const TFEntry*> current_entry_{nullptr};
  int64_t unbuffered_ = 0;    // bytes staged into block_, added to buffered_bytes_ when it is queued
  std::atomic<size_t> queued_{0};        // queue_.size(), read without lock_
  std::atomic<size_t> hand_over_{1};     // blocks the consumer takes at a time
  std::atomic<bool> staged_all_{false};  // every byte of the stream is queued
  std::unique_ptr<TCacheBlock> block_;  // being filled
  int staged_ = 0;                      // bytes of block_ filled
  std::atomic<int64_t> produced_{0};
  std::atomic<bool> abort_requested_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> primed_{false};
  std::atomic<bool> taking_{false};
  std::atomic<bool> discarding_{false};
  int priority_level_ = 2;  // 0 idle, 1 lowest, 2 lower, 3 normal
  // Wake-ups between producer and consumer. They carry no state (the queue
  // is read under lock_) and every wait is bounded, so a lost one costs at
  // most the wait's bound.
  std::mutex signal_mutex_;
  std::condition_variable data_queued_;
  std::condition_variable block_taken_;
};

}  // namespace zamo
