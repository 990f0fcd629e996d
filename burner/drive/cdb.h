// cdb.h: a SCSI command descriptor block under construction, with named
// fields: Cdb(0x28, 10).Be32(2, lba).Be16(7, blocks). Every multi-byte field
// of an MMC or SPC command block is big-endian. The component's command set
// builds its commands with it, and so do the tests that send raw commands to
// the emulated recorder.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "burner/platform/byte_order.h"

namespace zamo {

class Cdb {
 public:
  static constexpr size_t kMaxLength = 16;

  // A block of `length` bytes (6, 10, 12 or 16) holding `opcode`; every
  // other byte is 0 until set.
  Cdb(uint8_t opcode, size_t length) : length_(std::min(length, kMaxLength)) { bytes_[0] = opcode; }

  Cdb& Byte(size_t at, uint8_t value) {
    assert(at < length_);
    bytes_[at] = value;
    return *this;
  }
  Cdb& Be16(size_t at, uint16_t value) {
    PutBe16(writable(), at, value);
    return *this;
  }
  Cdb& Be32(size_t at, uint32_t value) {
    PutBe32(writable(), at, value);
    return *this;
  }

  uint8_t opcode() const { return bytes_[0]; }
  const uint8_t* data() const { return bytes_.data(); }
  size_t length() const { return length_; }
  std::span<const uint8_t> bytes() const { return {bytes_.data(), length_}; }

 private:
  std::span<uint8_t> writable() { return {bytes_.data(), length_}; }

  std::array<uint8_t, kMaxLength> bytes_{};
  size_t length_;
};

}  // namespace zamo
