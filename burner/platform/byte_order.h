// byte_order.h: explicit little- and big-endian stores and loads over byte
// spans. ISO 9660 "both-byte order" fields hold the little-endian copy first,
// then the big-endian one (ECMA-119 7.2.3, 7.3.3); MMC fields are big-endian.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zamo {

inline void PutLe16(std::span<uint8_t> out, size_t at, uint16_t v) {
  assert(at + 2 <= out.size());
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void PutBe16(std::span<uint8_t> out, size_t at, uint16_t v) {
  assert(at + 2 <= out.size());
  out[at] = static_cast<uint8_t>(v >> 8);
  out[at + 1] = static_cast<uint8_t>(v);
}
inline void PutLe32(std::span<uint8_t> out, size_t at, uint32_t v) {
  assert(at + 4 <= out.size());
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutBe32(std::span<uint8_t> out, size_t at, uint32_t v) {
  assert(at + 4 <= out.size());
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void PutBoth16(std::span<uint8_t> out, size_t at, uint16_t v) {
  PutLe16(out, at, v);
  PutBe16(out, at + 2, v);
}
inline void PutBoth32(std::span<uint8_t> out, size_t at, uint32_t v) {
  PutLe32(out, at, v);
  PutBe32(out, at + 4, v);
}

inline uint16_t GetLe16(std::span<const uint8_t> in, size_t at) {
  assert(at + 2 <= in.size());
  return static_cast<uint16_t>(in[at] | (in[at + 1] << 8));
}
inline uint16_t GetBe16(std::span<const uint8_t> in, size_t at) {
  assert(at + 2 <= in.size());
  return static_cast<uint16_t>((in[at] << 8) | in[at + 1]);
}
inline uint32_t GetLe32(std::span<const uint8_t> in, size_t at) {
  assert(at + 4 <= in.size());
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | in[at + i];
  return v;
}
inline uint32_t GetBe32(std::span<const uint8_t> in, size_t at) {
  assert(at + 4 <= in.size());
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | in[at + i];
  return v;
}

}  // namespace zamo
