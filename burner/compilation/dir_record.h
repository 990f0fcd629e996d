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

}  // namespace zamo
