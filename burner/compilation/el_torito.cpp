// el_torito.cpp: boot record and boot catalog (El Torito 1.0, sections
// 2.0-2.3), and the boot information table of no-emulation images.
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
  switch (emulation) {
    case TBootEmulation::kNone: return 0;
    case TBootEmulation::kHardDisk: return 4;
    case TBootEmulation::kDiskette:
    case TBootEmulation::kBySize: break;
  }
  return BootMediaType(boot_sectors);
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

Sector MakeBootCatalog(uint8_t media_type, uint32_t load_lba, uint16_t sector_count) {
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
  PutLe16(all, 38, sector_count);  // virtual 512-byte sectors loaded
  PutLe32(all, 40, load_lba);
  return s;
}

BootInfoTable MakeBootInfoTable(uint32_t primary_lba, uint32_t image_lba, uint32_t image_bytes, uint32_t checksum) {
  BootInfoTable table{};
  PutLe32(table, 0, primary_lba);
  PutLe32(table, 4, image_lba);
  PutLe32(table, 8, image_bytes);
  PutLe32(table, 12, checksum);
  return table;  // bytes 16-55 reserved, zero
}

uint32_t AddLe32Words(uint32_t sum, std::span<const uint8_t> bytes) {
  size_t i = 0;
  for (; i + 4 <= bytes.size(); i += 4) sum += GetLe32(bytes, i);
  uint32_t last = 0;
  for (size_t k = 0; i + k < bytes.size(); ++k) last |= uint32_t{bytes[i + k]} << (8 * k);
  return sum + last;
}

void LayBootInfoTable(std::span<uint8_t> data, int64_t image_offset, std::span<const uint8_t> table) {
  const int64_t table_start = static_cast<int64_t>(kBootInfoOffset);
  const int64_t from = std::max(image_offset, table_start);
  const int64_t to = std::min(image_offset + static_cast<int64_t>(data.size()),
                              table_start + static_cast<int64_t>(table.size()));
  if (from >= to) return;
  std::copy(table.begin() + (from - table_start), table.begin() + (to - table_start),
            data.begin() + (from - image_offset));
}

}  // namespace zamo
