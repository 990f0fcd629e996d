// dir_record.h: one ISO 9660 directory record (ECMA-119 9.1), for both trees,
// and the two date forms of the file system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "burner/platform/date_time.h"

namespace zamo {

constexpr size_t kDrLength = 0, kDrExtAttrLength = 1, kDrExtent = 2, kDrSize = 10, kDrDate = 18,
                 kDrFlags = 25, kDrUnitSize = 26, kDrGap = 27, kDrVolumeSeq = 28, kDrIdLength = 32,
                 kDrId = 33;
constexpr uint8_t kFlagHidden = 0x01;
constexpr uint8_t kFlagDirectory = 0x02;

using RecordDate = std::array<uint8_t, 7>;

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
  return 33 + id_length + (id_length % 2 == 0 ? 1 : 0);
}

// Writes one record at the start of `out` and returns its length.
size_t PutDirectoryRecord(std::span<uint8_t> out, const RecordFields& f);

// 7-byte recording date: years since 1900 (modulo 256), month, day, hour,
// minute, second, and the offset from Greenwich in 15-minute units.
RecordDate MakeRecordDate(TDateTime value, int16_t gmt_offset);

// 17-byte descriptor date: "yyyymmddhhnnss" and two digits of the
// milliseconds written with at least two digits (so hundredths from 100 ms
// on), then the offset byte, left 0.
std::array<uint8_t, 17> MakeDescriptorDate(TDateTime value);
// The "0000000000000000" text and a 0 byte of an unset date.
std::array<uint8_t, 17> ZeroDescriptorDate();

}  // namespace zamo
