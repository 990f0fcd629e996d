// dir_record.cpp: writes one ISO 9660 directory record (ECMA-119 9.1).
#include "burner/compilation/dir_record.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "burner/platform/byte_order.h"

namespace zamo {

size_t PutDirectoryRecord(std::span<uint8_t> out, const RecordFields& f) {
  const size_t length = DirectoryRecordLength(f.id.size());
  assert(length <= 255 && length <= out.size());
  std::fill_n(out.begin(), length, uint8_t{0});
  out[kDrLength] = static_cast<uint8_t>(length);
  out[kDrExtAttrLength] = 0;
  PutBoth32(out, kDrExtent, f.extent);
  PutBoth32(out, kDrSize, f.size);
  std::copy(f.date.begin(), f.date.end(), out.begin() + kDrDate);
  out[kDrFlags] = f.flags;
  out[kDrUnitSize] = 0;
  out[kDrGap] = 0;
  PutBoth16(out, kDrVolumeSeq, 1);
  out[kDrIdLength] = static_cast<uint8_t>(f.id.size());
  std::copy(f.id.begin(), f.id.end(), out.begin() + kDrId);
  return length;
}

RecordDate MakeRecordDate(TDateTime value, int16_t gmt_offset) {
  const DateTimeFields f = DecodeDateTime(value);
  return RecordDate{static_cast<uint8_t>((f.year - 1900) & 0xFF), static_cast<uint8_t>(f.month),
                    static_cast<uint8_t>(f.day),  static_cast<uint8_t>(f.hour),
                    static_cast<uint8_t>(f.minute), static_cast<uint8_t>(f.second),
                    static_cast<uint8_t>(gmt_offset)};
}

std::array<uint8_t, 17> MakeDescriptorDate(TDateTime value) {
  const DateTimeFields f = DecodeDateTime(value);
  char text[40];
  std::snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d%02d", f.year % 10000, f.month, f.day, f.hour,
                f.minute, f.second, f.millisecond);
  std::array<uint8_t, 17> out{};
  std::copy_n(text, 16, out.begin());  // only 16 characters are kept: 123 ms gives "12"
  out[16] = 0;
  return out;
}

std::array<uint8_t, 17> ZeroDescriptorDate() {
  std::array<uint8_t, 17> out{};
  std::fill_n(out.begin(), 16, uint8_t{'0'});
  return out;
}

}  // namespace zamo
