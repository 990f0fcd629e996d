#include "burner/compilation/veskburner.h"

#include <chrono>
#include <thread>

namespace zamo {

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
