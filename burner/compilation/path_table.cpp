#include "burner/compilation/path_table.h"

#include <algorithm>
#include <cassert>

#include "burner/platform/byte_order.h"

namespace zamo {

size_t PutPathTableRecord(std::span<uint8_t> out, std::string_view id, uint32_t extent, uint16_t parent,
                          ByteOrder order) {
  const size_t length = PathTableRecordLength(id.size());
  assert(id.size() <= 255 && length <= out.size());
  std::fill_n(out.begin(), length, uint8_t{0});
  out[0] = static_cast<uint8_t>(id.size());
  out[1] = 0;
  if (order == ByteOrder::kLittle) {
    PutLe32(out, 2, extent);
    PutLe16(out, 6, parent);
  } else {
    PutBe32(out, 2, extent);
    PutBe16(out, 6, parent);
  }
  std::copy(id.begin(), id.end(), out.begin() + 8);
  return length;
}

}  // namespace zamo
