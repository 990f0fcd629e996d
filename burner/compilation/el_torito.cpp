// el_torito.cpp: boot record and boot catalog (El Torito 1.0, sections 2.0-2.3).
#include "burner/compilation/el_torito.h"

#include <algorithm>
#include <cassert>

#include "burner/compilation/iso9660_layout.h"
#include "burner/platform/byte_order.h"

namespace zamo {

uint8_t BootMediaType(int64_t boot_sectors) {
  switch (boot_sectors) {
    case 600: return 1;
    case 720: return 2;
    case 1440: return 3;
    default: return 4;
  }
}

uint8_t BootMediaType(int64_t boot_sectors, TBootEmulation emulation) {
  return emulation == TBootEmulation::kHardDisk ? 4 : BootMediaType(boot_sectors);
}

bool IsDisketteSize(int64_t boot_sectors) { return BootMediaType(boot_sectors) != 4; }

Sector MakeBootRecord(uint32_t catalog_lba) {
  Sector s{};
  s[kVdType] = kVdTypeBootRecord;
  std::copy_n(kVdStandardId, kVdStandardIdLength, s.begin() + kVdId);
  s[kVdVersion] = 1;
  static constexpr char kSystem[] = "EL TORITO SPECIFICATION";
  std::copy_n(kSystem, sizeof(kSystem) - 1, s.begin() + 7);
  PutLe32(s, 71, catalog_lba);
  return s;
}

uint16_t ValidationChecksum(std::span<const uint8_t> entry) {
  assert(entry.size() >= 32);
  uint16_t sum = 0;
  for (size_t i = 0; i < 32; i += 2) {
    if (i == 28) continue;
    sum = static_cast<uint16_t>(sum + GetLe16(entry, i));
  }
  return static_cast<uint16_t>(0x10000 - sum);
}

Sector MakeBootCatalog(uint8_t media_type, uint32_t load_lba) {
  Sector s{};
  std::span<uint8_t> all(s);
  // Validation entry.
  s[0] = 0x01;  // header ID
  s[1] = 0x00;  // platform 80x86
  static constexpr char kIdString[] = "Vesk";
  std::copy_n(kIdString, sizeof(kIdString) - 1, s.begin() + 4);
  s[30] = 0x55;
  s[31] = 0xAA;
  PutLe16(all, 28, ValidationChecksum(all.first(32)));
  // Initial/default entry.
  s[32] = 0x88;  // bootable
  s[33] = media_type;
  PutLe16(all, 34, 0);  // load segment: the default 07C0h
  s[36] = 0;            // system type
  PutLe16(all, 38, 1);  // sector count
  PutLe32(all, 40, load_lba);
  return s;
}

}  // namespace zamo
