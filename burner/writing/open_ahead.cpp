#include "burner/writing/open_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "burner/platform/file_attributes.h"
#include "burner/writing/image_writer.h"

namespace zamo {
namespace {

// Files opened between two hand-overs: one lock and at most one wake-up per
// batch instead of per file.
constexpr size_t kBatch = 16;

void CloseAll(std::vector<int>& fds) {
  for (int fd : fds) close(fd);
  fds.clear();
}

}  // namespace

bool SourceOpenAhead::HasData(const TFEntry& entry) {
  return (entry.Attr & faDirectory) == 0 && entry.HasSource() && !entry.Imported;
}

SourceOpenAhead::SourceOpenAhead(const std::vector<const TFEntry*>& entries, size_t ahead, int64_t window)
    : entries_(entries), ahead_(std::max(ahead, kBatch)), window_(window), thread_([this] { Run(); }) {}

SourceOpenAhead::~SourceOpenAhead() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  room_.notify_all();
  thread_.join();
  for (const Opened& opened : queue_) {
    if (opened.fd >= 0) close(opened.fd);
  }
  CloseAll(to_close_);
  CloseAll(releasing_);
}

int SourceOpenAhead::Take(size_t index) {
  std::unique_lock lock(mutex_);
  for (;;) {
    while (!queue_.empty() && queue_.front().index < index) {
      // Not asked for (the caller skipped it): not kept open.
      if (queue_.front().fd >= 0) to_close_.push_back(queue_.front().fd);
      queue_.pop_front();
    }
    if (!queue_.empty()) {
      if (queue_.front().index > index) return -1;
      const int fd = queue_.front().fd;
      taken_start_ = queue_.front().start;
      queue_.pop_front();
      // Woken once half the room is free, not for each file taken; or, when
      // it waits for the window to move on, for each.
      if (waits_for_window_ || (waits_for_room_ && queue_.size() <= ahead_ / 2)) room_.notify_one();
      return fd;
    }
    if (finished_) return -1;
    // Waiting with nothing opened: the next file is the one wanted, even
    // outside the window.
    if (waits_for_window_) room_.notify_one();
    taker_waits_ = true;
    // Bounded: the thread's end or a batch is noticed within 100 ms even
    // if a wake-up were missed.
    ready_.wait_for(lock, std::chrono::milliseconds(100));
    taker_waits_ = false;
  }
}

void SourceOpenAhead::Release(int fd) {
  if (fd < 0) return;
  releasing_.push_back(fd);
  if (releasing_.size() < kBatch) return;
  std::unique_lock lock(mutex_);
  if (!finished_) {
    to_close_.insert(to_close_.end(), releasing_.begin(), releasing_.end());
    releasing_.clear();
    return;
  }
  lock.unlock();
  CloseAll(releasing_);
}

void SourceOpenAhead::Run() noexcept {
  std::vector<int> closing;
  try {
    OpenAll(closing);
  } catch (...) {
    // Out of memory or the like: the cache opens what was not handed over.
  }
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    closing.insert(closing.end(), to_close_.begin(), to_close_.end());
    to_close_.clear();
  }
  ready_.notify_all();
  CloseAll(closing);
}

void SourceOpenAhead::OpenAll(std::vector<int>& closing) {
  SourceOpener opener;
  std::string path;
  std::vector<Opened> batch;
  batch.reserve(kBatch);
  int64_t start = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const TFEntry* entry = entries_[i];
    if (entry == nullptr || !HasData(*entry)) continue;
    if (start - taken_start_.load(std::memory_order_relaxed) > window_) {
      // Far after the file being read: what is opened goes first, then the
      // thread waits for the reads to come near.
      if (!batch.empty() && !Publish(batch, closing)) return;
      if (!WaitForWindow(start)) return;
    }
    path.clear();
    entry->AppendSourcePath(path);
    batch.push_back(Opened{i, opener.OpenFd(path), start});
    start += SectorsFor(entry->IsoSize) * kSectorSize;
    if (batch.size() == kBatch && !Publish(batch, closing)) return;
  }
  Publish(batch, closing);
}

bool SourceOpenAhead::WaitForWindow(int64_t start) {
  std::unique_lock lock(mutex_);
  // Bounded waits: the stop flag is checked at least every 100 ms.
  while (!stop_ && start - taken_start_ > window_ && !(taker_waits_ && queue_.empty())) {
    waits_for_window_ = true;
    room_.wait_for(lock, std::chrono::milliseconds(100));
    waits_for_window_ = false;
  }
  return !stop_;
}

bool SourceOpenAhead::Publish(std::vector<Opened>& batch, std::vector<int>& closing) {
  bool wake = false;
  {
    std::unique_lock lock(mutex_);
    // Bounded waits: the stop flag is checked at least every 100 ms.
    while (!stop_ && queue_.size() + batch.size() > ahead_) {
      waits_for_room_ = true;
      room_.wait_for(lock, std::chrono::milliseconds(100));
      waits_for_room_ = false;
    }
    if (stop_) {
      for (const Opened& opened : batch) {
        if (opened.fd >= 0) closing.push_back(opened.fd);
      }
      batch.clear();
      return false;
    }
    queue_.insert(queue_.end(), batch.begin(), batch.end());
    batch.clear();
    closing.swap(to_close_);
    wake = taker_waits_;
  }
  if (wake) ready_.notify_one();
  CloseAll(closing);
  return true;
}

}  // namespace zamo
