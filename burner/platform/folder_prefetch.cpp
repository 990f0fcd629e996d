#include "burner/platform/folder_prefetch.h"

#include <algorithm>
#include <chrono>

#include "burner/platform/file_attributes.h"

namespace zamo {
namespace {

// Entries the prefetcher may hold before it waits for the walk.
constexpr size_t kMaxWaitingEntries = 200'000;
// A walk that caught up with the thread is woken once this many more
// listings are made, not for each one: a folder of small files is listed in
// about the time the walk takes to add it, and a wake-up for each folder
// (two futex calls on each side) cost more than the wait it ended.
constexpr uint64_t kListingsAhead = 32;
// ... or once the listings made hold this many entries, so that a walk of
// large folders does not wait for 32 of them before it goes on.
constexpr size_t kEntriesAhead = 4096;

}  // namespace

FolderPrefetcher::FolderPrefetcher(const std::string& root, bool query_archive)
    : root_(root), query_archive_(query_archive), thread_([this] { Run(); }) {}

FolderPrefetcher::~FolderPrefetcher() {
  stop_ = true;
  room_.notify_all();
  thread_.join();
}

std::optional<FolderPrefetcher::Listing> FolderPrefetcher::Get(const std::string& folder) {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto it = ready_.find(folder);
    if (it != ready_.end()) {
      const uint64_t order = it->second.order;
      Listing listing = std::move(it->second.listing);
      waiting_entries_ -= listing.entries.size();
      ready_.erase(it);
      // Listings made before this one and not taken belong to folders the
      // walk passed over: they will not be asked for.
      while (!by_order_.empty() && by_order_.begin()->first <= order) {
        auto stale = ready_.find(by_order_.begin()->second);
        if (stale != ready_.end() && stale->second.order == by_order_.begin()->first) {
          waiting_entries_ -= stale->second.listing.entries.size();
          ready_.erase(stale);
        }
        by_order_.erase(by_order_.begin());
      }
      room_.notify_all();
      return listing;
    }
    // Everything made so far comes before `folder` in the walk's order, so
    // none of it will be asked for: making room lets the thread reach it.
    ready_.clear();
    by_order_.clear();
    waiting_entries_ = 0;
    room_.notify_all();
    if (done_) return std::nullopt;
    wake_at_ = next_order_ + kListingsAhead;
    // Bounded waits: the thread's end is noticed within 100 ms.
    made_.wait_for(lock, std::chrono::milliseconds(100));
    wake_at_ = kNobodyWaits;
  }
}

bool FolderPrefetcher::WaitForRoom() {
  std::unique_lock lock(mutex_);
  // The walk waits for more listings than there is room for: it takes what
  // is made now.
  if (waiting_entries_ > kMaxWaitingEntries && wake_at_ != kNobodyWaits) made_.notify_all();
  // Bounded waits: the flag is checked at least every 100 ms.
  while (!stop_ && waiting_entries_ > kMaxWaitingEntries) room_.wait_for(lock, std::chrono::milliseconds(100));
  return !stop_;
}

void FolderPrefetcher::Run() noexcept {
  try {
    std::vector<std::pair<uint64_t, uint64_t>> stack;
    Visit(root_, stack);
  } catch (...) {
    // Out of memory or the like: the walk lists the folders itself.
  }
  std::lock_guard lock(mutex_);
  done_ = true;
  made_.notify_all();
}

void FolderPrefetcher::Visit(const std::string& folder, std::vector<std::pair<uint64_t, uint64_t>>& stack) {
  if (stop_ || !WaitForRoom()) return;
  Listing listing;
  listing.entries = FindFiles(folder + "*.*", faAnyFile, &listing.error, query_archive_, &listing.skipped);
  // The folders being visited, this one last: a subfolder that is one of
  // them is a symbolic link back up the tree and is not followed.
  const bool known = !listing.entries.empty() && listing.entries.front().Name == ".";
  if (known) stack.emplace_back(listing.entries.front().Device, listing.entries.front().Inode);
  std::vector<std::string> subfolders;
  for (const TSearchRec& rec : listing.entries) {
    if ((rec.Attr & faDirectory) == 0 || rec.Name == "." || rec.Name == "..") continue;
    if (std::find(stack.begin(), stack.end(), std::make_pair(rec.Device, rec.Inode)) == stack.end())
      subfolders.push_back(folder + rec.Name + "/");
  }
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    waiting_entries_ += listing.entries.size();
    const uint64_t order = next_order_++;
    by_order_.emplace(order, folder);
    ready_[folder] = Item{std::move(listing), order};
    wake = next_order_ >= wake_at_ || (wake_at_ != kNobodyWaits && waiting_entries_ >= kEntriesAhead);
  }
  if (wake) made_.notify_all();
  for (const std::string& sub : subfolders) Visit(sub, stack);
  if (known) stack.pop_back();
}

}  // namespace zamo
