// path_table.h: one path table record (ECMA-119 9.4), type L (little-endian
// numbers) or type M (big-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "burner/compilation/iso9660_layout.h"

namespace zamo {

enum class ByteOrder { kLittle, kBig };

// 8 bytes, the identifier, and one padding byte when its length is odd.
constexpr size_t PathTableRecordLength(size_t id_length) { return kPtId + id_length + (id_length % 2); }

// Writes one record at the start of `out` and returns its length.
size_t PutPathTableRecord(std::span<uint8_t> out, std::string_view id, uint32_t extent, uint16_t parent,
                          ByteOrder order);

}  // namespace zamo
