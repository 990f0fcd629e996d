#include "burner/compilation/veskburner.h"

namespace zamo {

TVeskBurner::TVeskBurner(TComponent* owner) : TSCSIDevice(owner) {
  WritePostGap = true;
  ResetCompilation();
  SetCacheSize(4 * 1024 * 1024);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
}

TVeskBurner::~TVeskBurner() = default;

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
