// drive_config.h: the description of the emulated recorders, as given in the
// environment variable ZAMO_EMULATED_DRIVES or zamo-cli's --emulate option:
// a ";"-separated list of KIND:IMAGEFILE[,option=value...] entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/media.h"

namespace zamo::emu {

// A sense triple (sense key, additional sense code and qualifier).
struct TSenseCode {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  friend bool operator==(const TSenseCode&, const TSenseCode&) = default;
};

// writeerror=LBA:KEY/ASC/ASCQ: every WRITE covering `lba` fails there.
struct TInjectedWriteError {
  uint32_t lba = 0;
  TSenseCode sense;
};

struct TDriveConfig {
  TMediaKind kind = TMediaKind::kCdR;
  std::string image_path;                  // sector n at byte n x 2048
  std::string model = "VIRTUAL RECORDER";  // INQUIRY product, at most 16 characters
  bool tray_open = false;                  // tray=open: the disc waits in the open tray
  bool no_disc = false;                    // disc=none: the tray is empty
  bool write_protected = false;            // protected=1
  uint32_t not_ready_commands = 0;         // notready=N
  uint32_t busy_commands = 0;              // busy=N
  bool opc_fails = false;                  // opc=fail
  std::vector<TInjectedWriteError> write_errors;
  // Parsed now, acted on by later versions of the unit.
  uint32_t speed_x = 0;                    // speed=N: throttle writes to N x (0: instant)
  std::optional<uint8_t> hang_opcode;      // hang=OPCODE: that command never completes
};

// Parses the whole list. On failure returns false with a message naming the
// entry and what is wrong in it; `configs` is then left empty.
bool ParseDriveList(std::string_view list, std::vector<TDriveConfig>* configs, std::string* error);

}  // namespace zamo::emu
