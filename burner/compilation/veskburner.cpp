#include "burner/compilation/veskburner.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace zamo {
namespace {

std::atomic<bool> g_leave_trees{false};

// What a component's tree is made of, moved out of it whole.
struct LeftTree {
  RecordPool<TDEntry> dirs;
  RecordPool<TFEntry> files;
  TreeIndex index;
  std::unordered_map<const TDEntry*, TFEntry*> last_child;
  std::deque<std::string> source_folders;
};

// The trees left to the process' end, reachable from here until it ends.
std::mutex g_left_mutex;
std::vector<LeftTree*>* g_left_trees = nullptr;

}  // namespace

void TVeskBurner::LeaveTreesToProcessEnd() { g_leave_trees = true; }

TVeskBurner::TVeskBurner(TComponent* owner) : TSCSIDevice(owner) {
  WritePostGap = true;
  ResetCompilation();
  SetCacheSize(4 * 1024 * 1024);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
}

TVeskBurner::~TVeskBurner() {
  // A job still running reads this component: stop it. Its writer thread
  // uses the component until its very end, which may come after OnWriteDone
  // ran (the job then no longer counts as running): waited for, bounded.
  if (job_running_) AbortWriting();
  for (int waited = 0; waited < 300 && writer_running_; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  *alive_ = false;
  if (g_leave_trees) {
    // Moving the containers takes their contents along without touching a record.
    auto* left = new LeftTree{std::move(dir_pool_), std::move(file_pool_), std::move(index_), std::move(last_child_),
                              std::move(source_folders_)};
    const std::lock_guard lock(g_left_mutex);
    if (g_left_trees == nullptr) g_left_trees = new std::vector<LeftTree*>;
    g_left_trees->push_back(left);
  }
}

void TVeskBurner::SetCacheSize(int value) {
  constexpr int kMinimum = 2 * 1024 * 1024;
  if (value < kMinimum) value = kMinimum;
  cache_size_ = value - value % static_cast<int>(kSectorSize);
}

int64_t TVeskBurner::ImageSectors() const {
  if (WritePostGap && SessionSectors < kMinimumSessionSectors) return kMinimumSessionSectors;
  return SessionSectors;
}

}  // namespace zamo
