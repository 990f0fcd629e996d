// source_prefetch.h: opens the source files of a writing job ahead of the
// thread that reads them. With many small files, opening them (a name looked
// up, a file object made) costs more than reading them: a second thread does
// it while the cache thread reads the files opened before.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "burner/compilation/entries.h"
#include "burner/platform/stream_ex.h"

namespace zamo {

class SourcePrefetch {
 public:
  // One file opened: its path and its stream (Handle < 0 when it could not be opened).
  struct Opened {
    const TFEntry* entry = nullptr;
    std::string path;
    std::unique_ptr<TFileStreamEx> stream;
  };

  // Starts opening, in order, the sources of the files of `entries` that
  // have one (not directories, not imported), at most `ahead` files and
  // `bytes_ahead` bytes (those of the file being read included) ahead of the
  // reader: a file is not opened while a large one is read, so a file that
  // vanishes or changes before its turn is still met as such. It stops at the
  // first null entry. `entries` must outlive this object.
  SourcePrefetch(std::span<const TFEntry* const> entries, size_t ahead, int64_t bytes_ahead);
  // Stops the opening thread (it finishes the open under way) and closes
  // every file not taken.
  ~SourcePrefetch();
  SourcePrefetch(const SourcePrefetch&) = delete;
  SourcePrefetch& operator=(const SourcePrefetch&) = delete;

  // Whether `entry` is one whose source is opened (the same test the thread makes).
  static bool Wanted(const TFEntry* entry);
  // The next file opened, which is that of `entry` when the caller walks
  // the same entries in the same order; waits for it. False when there is
  // none (the thread ended early: the caller opens the file itself).
  bool Take(const TFEntry* entry, Opened& out);

 private:
  void Run();

  std::span<const TFEntry* const> entries_;
  const size_t ahead_;
  const int64_t bytes_ahead_;
  int64_t queued_bytes_ = 0;   // the sizes of the files in ready_
  int64_t current_bytes_ = 0;  // the size of the file the reader took last, until it asks for the next
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Opened> ready_;
  bool stop_ = false;
  bool ended_ = false;
  std::thread thread_;
};

}  // namespace zamo
