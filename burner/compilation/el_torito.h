// el_torito.h: the El Torito boot record descriptor, the boot catalog
// (validation entry and initial/default entry: emulated diskette or hard
// disk, or no emulation) and the boot information table a no-emulation boot
// program may ask for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "burner/compilation/descriptors.h"

namespace zamo {

// Boot media type by the image's length in sectors: 600 -> 1 (1.2 MB),
// 720 -> 2 (1.44 MB), 1440 -> 3 (2.88 MB), any other -> 4 (hard disk).
uint8_t BootMediaType(int64_t boot_sectors);

// How the BIOS is to see the boot image: as its size says (a diskette of
// one of the three sizes, else a hard disk), as a diskette, as a hard disk,
// or as a program it loads at 07C0:0000 and runs (no emulation).
enum class TBootEmulation : uint8_t { kBySize, kDiskette, kHardDisk, kNone };
// The boot media type for that choice: a hard disk is 4 whatever the size,
// no emulation 0; a diskette is the one of the image's size (by size when it
// has none of the three: callers check IsDisketteSize first).
uint8_t BootMediaType(int64_t boot_sectors, TBootEmulation emulation);
bool IsDisketteSize(int64_t boot_sectors);

Sector MakeBootRecord(uint32_t catalog_lba);
// `sector_count`: the 512-byte sectors the BIOS loads, 1 for an emulated
// disk (its boot sector); the load size for no emulation.
Sector MakeBootCatalog(uint8_t media_type, uint32_t load_lba, uint16_t sector_count = 1);

// No emulation: the BIOS loads 4 sectors of 512 bytes unless told otherwise.
constexpr uint16_t kDefaultBootLoadSize = 4;

// The boot information table (the layout mkisofs introduced, which boot
// loaders such as ISOLINUX read): 56 bytes laid over the boot image at byte
// 8 as it goes onto the disc: the primary descriptor's LBA, the boot image's
// LBA and length in bytes, the checksum of its bytes from 64 on, 40 zeros.
constexpr size_t kBootInfoOffset = 8;
constexpr size_t kBootInfoBytes = 56;
constexpr int64_t kBootInfoChecksumFrom = 64;
using BootInfoTable = std::array<uint8_t, kBootInfoBytes>;
BootInfoTable MakeBootInfoTable(uint32_t primary_lba, uint32_t image_lba, uint32_t image_bytes, uint32_t checksum);

// Adds the little-endian 32-bit words of `bytes` to `sum` (modulo 2^32); a
// last word cut short counts as if padded with zeros. Called piece by piece,
// every piece but the last must hold a multiple of 4 bytes.
uint32_t AddLe32Words(uint32_t sum, std::span<const uint8_t> bytes);

// Lays the part of `table` (empty: nothing) that falls in `data`, which
// holds the boot image's bytes from `image_offset` on, over those bytes.
void LayBootInfoTable(std::span<uint8_t> data, int64_t image_offset, std::span<const uint8_t> table);

// Two's complement of the sum of the entry's sixteen little-endian words,
// with its checksum field (bytes 28-29) taken as 0.
uint16_t ValidationChecksum(std::span<const uint8_t> entry);

}  // namespace zamo
