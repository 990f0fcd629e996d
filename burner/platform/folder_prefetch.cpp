#include "burner/platform/folder_prefetch.h"

#include <algorithm>
#include <chrono>
#include <system_error>

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
// Folders scanned and not yet finished by the second thread at most.
constexpr size_t kScansAhead = 64;

}  // namespace

FolderPrefetcher::FolderPrefetcher(const std::string& root, bool query_archive)
    : root_(root), query_archive_(query_archive) {
  try {
    finisher_ = std::thread([this] { FinishScans(); });
    two_threads_ = true;
  } catch (const std::system_error&) {
    // One thread does it all.
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    stop_ = true;
    scanned_.notify_all();
    if (finisher_.joinable()) finisher_.join();
    throw;
  }
}

FolderPrefetcher::~FolderPrefetcher() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  room_.notify_all();
  scanned_.notify_all();
  thread_.join();
  if (finisher_.joinable()) finisher_.join();
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
  while (!stop_ && !done_ && waiting_entries_ + scanned_entries_ > kMaxWaitingEntries)
    room_.wait_for(lock, std::chrono::milliseconds(100));
  // With two threads, the second one's end (out of memory) ends the walk of
  // the tree too: the walk lists the folders left itself.
  return !stop_ && !done_;
}

void FolderPrefetcher::Run() noexcept {
  try {
    std::vector<std::pair<uint64_t, uint64_t>> stack;
    Visit(root_, stack);
  } catch (...) {
    // Out of memory or the like: the walk lists the folders itself.
  }
  std::lock_guard lock(mutex_);
  if (two_threads_) {
    scanning_done_ = true;
    scanned_.notify_all();
  } else {
    done_ = true;
    made_.notify_all();
  }
}

void FolderPrefetcher::FinishScans() noexcept {
  try {
    for (;;) {
      std::pair<std::string, TFolderScan> item;
      {
        std::unique_lock lock(mutex_);
        // Bounded waits: the flag is checked at least every 100 ms.
        while (!stop_ && scans_.empty() && !scanning_done_) {
          finisher_waits_ = true;
          scanned_.wait_for(lock, std::chrono::milliseconds(100));
          finisher_waits_ = false;
        }
        if (stop_ || scans_.empty()) break;
        item = std::move(scans_.front());
        scans_.pop_front();
        scanned_entries_ -= item.second.Size();
        if (scans_.size() == kScansAhead / 2) room_.notify_all();
      }
      Listing listing;
      listing.entries = FinishScan(std::move(item.second), &listing.error, query_archive_, &listing.skipped);
      Publish(item.first, std::move(listing));
    }
  } catch (...) {
    // Out of memory or the like: the walk lists the folders left itself.
  }
  std::lock_guard lock(mutex_);
  done_ = true;
  made_.notify_all();
  room_.notify_all();
}

void FolderPrefetcher::Hand(const std::string& folder, TFolderScan scan) {
  std::unique_lock lock(mutex_);
  // Bounded waits: the flag is checked at least every 100 ms.
  while (!stop_ && !done_ && scans_.size() >= kScansAhead) room_.wait_for(lock, std::chrono::milliseconds(100));
  if (stop_ || done_) return;  // the second thread ended early: the walk lists the rest
  scanned_entries_ += scan.Size();
  scans_.emplace_back(folder, std::move(scan));
  if (finisher_waits_) scanned_.notify_one();
}

void FolderPrefetcher::Publish(const std::string& folder, Listing listing) {
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
}

void FolderPrefetcher::Visit(const std::string& folder, std::vector<std::pair<uint64_t, uint64_t>>& stack) {
  if (stop_ || !WaitForRoom()) return;
  TFolderScan scan = ScanFolder(folder);
  // The folders being visited, this one last: a subfolder that is one of
  // them is a symbolic link back up the tree and is not followed. (The root
  // of the file system has no "." entry to tell its identity.)
  uint64_t device = 0, inode = 0;
  const bool known = folder != "/" && scan.Identity(device, inode);
  if (known) stack.emplace_back(device, inode);
  std::vector<std::string> subfolders;
  for (const TFolderScan::Subfolder& sub : scan.Subfolders()) {
    if (std::find(stack.begin(), stack.end(), std::make_pair(sub.device, sub.inode)) == stack.end())
      subfolders.push_back(folder + sub.name + "/");
  }
  if (two_threads_) {
    Hand(folder, std::move(scan));
  } else {
    Listing listing;
    listing.entries = FinishScan(std::move(scan), &listing.error, query_archive_, &listing.skipped);
    Publish(folder, std::move(listing));
  }
  for (const std::string& sub : subfolders) Visit(sub, stack);
  if (known) stack.pop_back();
}

}  // namespace zamo
