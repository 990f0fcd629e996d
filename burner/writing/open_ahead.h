// open_ahead.h: SourceOpenAhead opens the source files of a compilation on a
// thread of its own, in the order the cache reads them and a bounded number
// ahead of it, and closes the ones the cache is done with.
//
// With small files, opening and closing are most of the cost of reading one
// (a path lookup, a new file description, its release): done here, that cost
// runs on the second core beside the reads instead of before each of them.
//
// Files are opened as SourceOpener opens them (without blocking).
//
// A file is opened only once the one being read starts at most `window`
// bytes of the stream before it, or when the cache asks for it: a file
// removed or replaced while the job reads far before it is still found so
// (the job fails naming it), as without opening ahead.
//
// Thread safety: Take and Release are called from one thread, the cache's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "burner/compilation/entries.h"

namespace zamo {

class SourceOpenAhead {
 public:
  // Whether the cache reads `entry` from a source file: the entries opened
  // here, in the order of the file table.
  static bool HasData(const TFEntry& entry);
  // Starts opening the entries of `entries` that HasData, at most `ahead`
  // of them open and not yet taken, none whose data starts more than
  // `window` bytes after the start of the one taken last. `entries` must
  // outlive the object. Throws std::system_error when no thread can be started.
  SourceOpenAhead(const std::vector<const TFEntry*>& entries, size_t ahead, int64_t window);
  ~SourceOpenAhead();  // stops and joins the thread, closes what is left
  SourceOpenAhead(const SourceOpenAhead&) = delete;
  SourceOpenAhead& operator=(const SourceOpenAhead&) = delete;

  // The descriptor opened for entries[index], asked in the order of the file
  // table: the caller owns it until it gives it back with Release. -1 when it
  // was not opened here (the open failed, or the thread ended early): the
  // caller then opens the file itself, which gives a failure its own text.
  int Take(size_t index);
  // Hands back a descriptor from Take, closed on the thread (or at once once
  // the thread has opened everything).
  void Release(int fd);

 private:
  struct Opened {
    size_t index;   // in the file table
    int fd;         // -1: not opened
    int64_t start;  // where the file's data starts, in bytes after the first file's
  };
  void Run() noexcept;
  void OpenAll(std::vector<int>& closing);
  // Moves `batch` into the ready queue, waiting for room; takes the
  // descriptors to close. False when stopping.
  bool Publish(std::vector<Opened>& batch, std::vector<int>& closing);
  // Waits until the file starting at `start` is within the window of the
  // one taken last, or the cache waits with nothing opened (it wants this
  // one); false when stopping.
  bool WaitForWindow(int64_t start);

  const std::vector<const TFEntry*>& entries_;
  const size_t ahead_;
  const int64_t window_;
  std::mutex mutex_;
  std::condition_variable room_;   // the cache took some: the thread may go on
  std::condition_variable ready_;  // a batch is ready, or the thread ended
  std::deque<Opened> queue_;  // in the order of the file table
  // Where the data of the file taken last starts; written under mutex_.
  std::atomic<int64_t> taken_start_{0};
  std::vector<int> to_close_;
  bool finished_ = false;    // the thread opens nothing more
  bool taker_waits_ = false;
  bool waits_for_room_ = false;
  bool waits_for_window_ = false;
  std::vector<int> releasing_;  // the cache's side: handed over a batch at a time
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zamo
