// unit_command.h: what the emulated unit's command handlers see of a
// command, and the CDB field readers they share. Private to emulator/.
#pragma once

#include <cstdint>
#include <span>

#include "burner/platform/byte_order.h"
#include "emulator/emulated_unit.h"

namespace zamo::emu {

struct TEmulatedUnit::TCommand {
  std::span<const uint8_t> cdb;  // at least as long as the opcode's CDB
  TDataDirection direction;
  std::span<uint8_t> data;       // the host's buffer
};

inline uint16_t CdbBe16(const std::span<const uint8_t> cdb, size_t at) { return GetBe16(cdb, at); }
inline uint32_t CdbBe24(const std::span<const uint8_t> cdb, size_t at) {
  return (static_cast<uint32_t>(cdb[at]) << 16) | (static_cast<uint32_t>(cdb[at + 1]) << 8) | cdb[at + 2];
}
inline uint32_t CdbBe32(const std::span<const uint8_t> cdb, size_t at) { return GetBe32(cdb, at); }

// Absolute CD time (LBA + 150) as the 4-byte field 0, M, S, F; addresses
// before -150 (the lead-in) wrap as MMC's MSF-to-LBA table says.
void PutMsf(std::span<uint8_t> out, size_t at, int32_t lba);
// The same time as three bytes M, S, F.
void PutMsf3(std::span<uint8_t> out, size_t at, int32_t lba);

}  // namespace zamo::emu
