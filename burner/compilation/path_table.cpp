#include "burner/compilation/path_table.h"

#include <algorithm>
#include <cassert>

#include "burner/compilation/iso9660_layout.h"
#include "burner/platform/byte_order.h"

namespace zamo {

size_t PutPathTableRecord(std::span<uint8_t> out, std::string_view id, uint32_t extent, uint16_t parent,
                          ByteOrder order) {
  const size_t length = PathTableRecordLength(id.size());
  assert(id.size() <= 255 && length <= out.size());
  std::fill_n(out.begin(), length, uint8_t{0});
  out[kPtIdLength] = static_cast<uint8_t>(id.size());
  out[kPtExtAttrLength] = 0;
  if (order == ByteOrder::kLittle) {
    PutLe32(out, kPtExtent, extent);
    PutLe16(out, kPtParent, parent);
  } else {
    PutBe32(out, kPtExtent, extent);
    PutBe16(out, kPtParent, parent);
  }
  std::copy(id.begin(), id.end(), out.begin() + kPtId);
  return length;
}

}  // namespace zamo
