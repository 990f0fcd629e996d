// import_fuzzer.cpp: libFuzzer target for the reading of a session's file
// system. The input is a disc from its sector 16 on (the descriptor set and
// whatever follows; the system area before it is zero), held in memory and
// read through the same SessionTreeReader the drive import uses. The tree it
// gives is then laid out and its image head built, as a following session
// would be, so that nothing read from a disc can break the writer either.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/import/session_reader.h"

namespace {

constexpr size_t kSector = 2048;
constexpr size_t kSystemArea = 16 * kSector;

zamo::TVeskBurner& Burner() {
  static zamo::TVeskBurner* burner = [] {
    auto* b = new zamo::TVeskBurner(nullptr);
    b->Clock = [] { return 39000.5; };  // fixed dates: runs repeat exactly
    return b;
  }();
  return *burner;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disc(kSystemArea + (size + kSector - 1) / kSector * kSector, 0);
  if (size > 0) std::memcpy(disc.data() + kSystemArea, data, size);
  const auto sectors = static_cast<uint32_t>(disc.size() / kSector);

  zamo::TVeskBurner& burner = Burner();
  burner.ClearCompilation(20000, 2000);
  zamo::ImportLimits limits;
  limits.max_records = 20000;
  limits.max_directory_sectors = 4000;
  zamo::SessionTreeReader reader(
      burner,
      [&](uint32_t lba, uint8_t* out) {
        if (lba >= sectors) return false;
        std::memcpy(out, disc.data() + size_t{lba} * kSector, kSector);
        return true;
      },
      limits);
  if (reader.ReadSession(0, burner.RootDir) == zamo::SessionTreeReader::Tree::kNone) return 0;
  for (const zamo::TFEntry* entry : burner.FileEntries()) {
    const std::string name = zamo::DiscName(*entry);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
      __builtin_trap();  // a name that would leave the extraction folder
  }
  burner.LayoutImage(true, nullptr);
  burner.BuildImageHeader(true, nullptr);
  return 0;
}
