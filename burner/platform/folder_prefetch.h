// folder_prefetch.h: lists the folders of a tree ahead of a walk, on a
// thread of its own, so that the walk finds each listing ready instead of
// waiting on the file system.
//
// The prefetcher visits folders depth first, subfolders in listing order,
// which is the order in which a folder walk that adds subfolders before
// files asks for them; the walk follows only subfolders of listings it got
// from here, so every folder it asks for comes. Listings the walk passes over
// (a subtree it skips) are dropped when a later one is asked for, and the
// thread pauses while the listings waiting hold more than a set number of
// entries, so memory stays bounded.
//
// Listing a folder is spread over two threads: one walks the tree, reading
// each folder's names and the stat data of its subfolders (ScanFolder); the
// other reads the stat data of the rest (FinishScan) and makes the listings
// ready in the same order. With one thread only (no second could be started)
// the first does both. Thread safety: Get is called from one thread, the walk's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "burner/platform/find_file.h"

namespace zamo {

class FolderPrefetcher {
 public:
  // Starts listing `root` (a folder path ending in "/") and below it; each
  // listing is FindFiles(folder + "*.*", faAnyFile, ..., query_archive).
  FolderPrefetcher(const std::string& root, bool query_archive);
  ~FolderPrefetcher();  // stops and joins the thread
  FolderPrefetcher(const FolderPrefetcher&) = delete;
  FolderPrefetcher& operator=(const FolderPrefetcher&) = delete;

  // The listing of `folder` (ending in "/") with its errno, waiting until it
  // is made; nothing when the prefetcher ended without making it (the caller
  // then lists the folder itself).
  struct Listing {
    std::vector<TSearchRec> entries;
    int error = 0;
    std::vector<TSkippedEntry> skipped;  // neither files nor folders (FindFiles)
  };
  std::optional<Listing> Get(const std::string& folder);

 private:
  void Run() noexcept;
  void Visit(const std::string& folder, std::vector<std::pair<uint64_t, uint64_t>>& stack);
  // The second thread: finishes the scans in order.
  void FinishScans() noexcept;
  // Hands a scan to the second thread, waiting while it has many.
  void Hand(const std::string& folder, TFolderScan scan);
  // Makes a listing ready, waking the walk when it waits for it.
  void Publish(const std::string& folder, Listing listing);
  // Waits while too much is waiting; false when stopping.
  bool WaitForRoom();

  struct Item {
    Listing listing;
    uint64_t order;
  };
  const std::string root_;
  const bool query_archive_;
  std::mutex mutex_;
  std::condition_variable room_;
  std::condition_variable made_;
  bool done_ = false;
  std::unordered_map<std::string, Item> ready_;
  std::deque<std::pair<std::string, TFolderScan>> scans_;  // for the second thread, in walk order
  size_t scanned_entries_ = 0;  // names in scans_
  bool scanning_done_ = false;  // the walk of the tree ended: no more scans come
  bool finisher_waits_ = false;
  std::condition_variable scanned_;  // a scan was handed over, or the scanning ended
  std::map<uint64_t, std::string> by_order_;
  size_t waiting_entries_ = 0;
  uint64_t next_order_ = 0;
  // The walk waits until next_order_ reaches this (kNobodyWaits: it does not wait).
  static constexpr uint64_t kNobodyWaits = UINT64_MAX;
  uint64_t wake_at_ = kNobodyWaits;
  std::atomic<bool> stop_{false};
  bool two_threads_ = false;  // set before the threads start
  std::thread finisher_;
  std::thread thread_;
};

}  // namespace zamo
