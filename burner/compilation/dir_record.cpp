// dir_record.cpp: writes one ISO 9660 directory record (ECMA-119 9.1).
#include "burner/compilation/dir_record.h"

#include <algorithm>
#include <cassert>

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

}  // namespace zamo
