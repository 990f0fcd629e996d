// verify_thread.h: TVerifyThread, the thread of one verification. It reads
// the sectors its plan names from the disc, in blocks as large as the drive
// takes (READ (10) of up to 1 MiB, smaller when the drive refuses), and hands
// each block to a second thread that compares it with what it must hold (a
// source file read afresh, the image head, zeros) while the next block is
// read. Each file or area gets one verdict, written to the log as soon as
// it is known; the totals and the outcome reach the component's OnVerifyDone
// on the user-interface thread.
//
// Thread safety: the plan is the thread's own; the progress figures are
// atomics. The component owns the thread: it stops it (a drive command in
// flight is cut short), waits for it and frees it (VerifyThreadDeleter).
// Once cancelled the thread neither logs nor reports anything. Nothing
// thrown leaves either thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/platform/thread.h"
#include "burner/verify/verify_plan.h"

namespace zamo {

// One block read from the disc: `count` sectors of item `item` from its
// sector `first`, or where it stopped being readable.
struct VerifyBlock {
  size_t item = 0;
  uint32_t first = 0;
  uint32_t count = 0;
  bool last = false;        // the item's last block
  bool unreadable = false;  // sector `bad_lba` could not be read (nothing of the block is compared)
  uint32_t bad_lba = 0;
  std::string drive_error;
  std::vector<uint8_t> data;
};

// The blocks between the reading and the comparing thread: a few buffers
// that go round. Every wait is sliced and gives up once `stop` says so.
class VerifyBlockQueue {
 public:
  VerifyBlockQueue(size_t buffers, size_t bytes, std::function<bool()> stop);
  // A buffer to fill; null once stopped.
  std::unique_ptr<VerifyBlock> Free();
  void Push(std::unique_ptr<VerifyBlock> block);
  // No block follows.
  void Close();
  // The next block; null once closed and empty, or stopped.
  std::unique_ptr<VerifyBlock> Pop();
  void Recycle(std::unique_ptr<VerifyBlock> block);

 private:
  const std::function<bool()> stop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<VerifyBlock>> full_;   // guarded by mutex_
  std::vector<std::unique_ptr<VerifyBlock>> free_;  // guarded by mutex_
  bool closed_ = false;                             // guarded by mutex_
};

class TVerifyThread : public TThread {
 public:
  // Replaces the component's last verification by one running `plan`:
  // logs its first lines and starts it. REQUIRES: no verification running.
  static void Launch(TVeskBurner& burner, VerifyPlan plan);

  // Set from the start until OnVerifyDone has run.
  bool Running() const { return running_; }
  int64_t BytesDone() const { return bytes_done_; }
  int64_t BytesTotal() const { return bytes_total_; }
  // The component is going away: stop at once, log and report nothing.
  void Cancel();

  // The largest and the smallest READ (10): 1 MiB; 64 KiB.
  static constexpr uint32_t kLargestRead = 512;
  static constexpr uint32_t kSmallestRead = 32;

 protected:
  void Execute() override;

 private:
  friend class VerifyCompareThread;
  TVerifyThread(TVeskBurner& burner, VerifyPlan plan);

  // Reads every item's sectors into the queue, in order.
  void ReadItems();
  // Fills `block` from the disc; false once stopped. A sector that cannot
  // be read is found and named in the block.
  bool ReadBlock(uint32_t lba, VerifyBlock& block);
  bool Stopped() const { return burner_.verify_abort_ || cancelled_ || halted_; }
  // A line of the log, unless cancelled.
  void Log(const std::string& text, uint8_t type);
  void Summarize(const TVeskBurner::TVerifyCounts& counts);
  void Deliver(const TVeskBurner::TVerifyCounts& counts, const std::string& error);

  TVeskBurner& burner_;
  const VerifyPlan plan_;
  uint32_t read_sectors_ = kLargestRead;  // sectors a READ (10) asks for; lowered when the drive refuses
  std::atomic<bool> running_{true};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> halted_{false};  // the comparing thread failed
  std::atomic<int64_t> bytes_done_{0};
  std::atomic<int64_t> bytes_total_{0};
  VerifyBlockQueue queue_;
};

}  // namespace zamo
