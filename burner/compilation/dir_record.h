// dir_record.h: one ISO 9660 directory record (ECMA-119 9.1), for both trees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "burner/compilation/iso9660_layout.h"
#include "burner/platform/date_time.h"

namespace zamo {

struct RecordFields {
  uint32_t extent = 0;
  uint32_t size = 0;
  RecordDate date{};
  uint8_t flags = 0;
  std::string_view id;  // identifier bytes as they go on the disc
};

// Length of a record with an identifier of `id_length` bytes: 33 + the
// identifier + one padding byte when the identifier length is even.
constexpr size_t DirectoryRecordLength(size_t id_length) {
  return kDrId + id_length + (id_length % 2 == 0 ? 1 : 0);
}

// Writes one record at the start of `out` and returns its length.
size_t PutDirectoryRecord(std::span<uint8_t> out, const RecordFields& f);

// ---- A file in several extents (ISO 9660 level 3, ECMA-119 6.5.1, 9.1.6) ----
// A file whose size fits the record's 32-bit data length has one record, as
// at every level. A larger one is recorded as consecutive extents, one
// record each, all with the file's identifier and all but the last flagged
// kFlagNotFinal. Every extent but the last holds kMaxExtentBytes, a whole
// number of sectors as the standard requires of a file section, so the
// extents follow one another and the data stays one run of sectors.
//
// ECMA-119 records no interchange level in any descriptor: the level is a
// property of what the volume holds, so nothing else changes in the image.
// (The "%/@" of the Joliet descriptor is Joliet's UCS-2 level, another thing.)
constexpr int64_t kMaxSingleExtentBytes = 0xFFFFFFFF;
constexpr int64_t kMaxExtentBytes = 0xFFFFF800;  // 4 GiB - 2048
constexpr uint32_t kMaxExtentSectors = static_cast<uint32_t>(kMaxExtentBytes / 2048);
// The records of one file are written side by side in one sector, never
// across a sector boundary: eight records of at most 255 bytes always fit.
// That bounds a file at eight extents, about 32 GiB, well past any disc.
constexpr int kMaxFileExtents = 8;
constexpr int64_t kMaxMultiExtentFileBytes = kMaxFileExtents * kMaxExtentBytes;

// The number of records (extents) of a file of `size` bytes; 1 up to 4 GiB - 1.
constexpr int ExtentCount(int64_t size) {
  return size <= kMaxSingleExtentBytes ? 1 : static_cast<int>((size + kMaxExtentBytes - 1) / kMaxExtentBytes);
}

// The data length of extent `index` (0-based) of a file of `size` bytes.
constexpr uint32_t ExtentBytes(int64_t size, int index) {
  if (size <= kMaxSingleExtentBytes) return static_cast<uint32_t>(size);
  const int64_t rest = size - int64_t{index} * kMaxExtentBytes;
  return static_cast<uint32_t>(rest < kMaxExtentBytes ? rest : kMaxExtentBytes);
}

}  // namespace zamo
