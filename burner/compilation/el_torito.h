// el_torito.h: the El Torito boot record descriptor and the boot catalog
// (validation entry and initial/default entry, emulated diskette or hard disk).
#pragma once

#include <cstdint>
#include <span>

#include "burner/compilation/descriptors.h"

namespace zamo {

// Boot media type by the image's length in sectors: 600 -> 1 (1.2 MB),
// 720 -> 2 (1.44 MB), 1440 -> 3 (2.88 MB), any other -> 4 (hard disk).
uint8_t BootMediaType(int64_t boot_sectors);

// How the BIOS is to see the boot image: as its size says (a diskette of
// one of the three sizes, else a hard disk), as a diskette, or as a hard disk.
enum class TBootEmulation : uint8_t { kBySize, kDiskette, kHardDisk };
// The boot media type for that choice: a hard disk is 4 whatever the size;
// a diskette is the one of the image's size (by size when it has none of the
// three: callers check IsDisketteSize first).
uint8_t BootMediaType(int64_t boot_sectors, TBootEmulation emulation);
bool IsDisketteSize(int64_t boot_sectors);

Sector MakeBootRecord(uint32_t catalog_lba);
Sector MakeBootCatalog(uint8_t media_type, uint32_t load_lba);

// Two's complement of the sum of the entry's sixteen little-endian words,
// with its checksum field (bytes 28-29) taken as 0.
uint16_t ValidationChecksum(std::span<const uint8_t> entry);

}  // namespace zamo
