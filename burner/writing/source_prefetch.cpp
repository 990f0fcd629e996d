#include "burner/writing/source_prefetch.h"

#include "burner/platform/file_attributes.h"
#include "burner/writing/image_writer.h"

namespace zamo {

SourcePrefetch::SourcePrefetch(std::span<const TFEntry* const> entries, size_t ahead, int64_t bytes_ahead)
    : entries_(entries), ahead_(ahead < 1 ? 1 : ahead), bytes_ahead_(bytes_ahead) {
  thread_ = std::thread([this] { Run(); });
}

SourcePrefetch::~SourcePrefetch() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool SourcePrefetch::Wanted(const TFEntry* entry) {
  return entry != nullptr && (entry->Attr & faDirectory) == 0 && entry->HasSource() && !entry->Imported;
}

void SourcePrefetch::Run() {
  // Nothing may leave the thread: a failure to open is the stream's, and
  // anything else ends the opening early (the reader then opens alone).
  try {
    SourceOpener opener;
    for (const TFEntry* entry : entries_) {
      if (entry == nullptr) break;
      if (!Wanted(entry)) continue;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] {
          return stop_ || (ready_.size() < ahead_ && current_bytes_ + queued_bytes_ <= bytes_ahead_);
        });
        if (stop_) break;
      }
      Opened opened;
      opened.entry = entry;
      entry->AppendSourcePath(opened.path);
      opened.stream = opener.Open(opened.path);
      {
        const std::lock_guard lock(mutex_);
        queued_bytes_ += entry->IsoSize;
        ready_.push_back(std::move(opened));
      }
      changed_.notify_all();
    }
  } catch (...) {
  }
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

bool SourcePrefetch::Take(const TFEntry* entry, Opened& out) {
  std::unique_lock lock(mutex_);
  current_bytes_ = 0;  // the reader is done with the file it took last
  changed_.notify_all();
  // The opener never stops without saying so (ended_), whatever it meets.
  changed_.wait(lock, [this] { return !ready_.empty() || ended_; });
  if (ready_.empty() || ready_.front().entry != entry) return false;
  out = std::move(ready_.front());
  ready_.pop_front();
  queued_bytes_ -= entry->IsoSize;
  current_bytes_ = entry->IsoSize;
  lock.unlock();
  changed_.notify_all();
  return true;
}

}  // namespace zamo
