// drive_config.h: the description of the emulated recorders, as given in the
// environment variable ZAMO_EMULATED_DRIVES or zamo-cli's --emulate option:
// a ";"-separated list of KIND:IMAGEFILE[,option=value...] entries.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/media.h"
#include "emulator/strict_rules.h"

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

// notready=always, busy=always: the fault never ends.
inline constexpr uint32_t kWithoutEnd = UINT32_MAX;

// faultat=: the command from which the injected faults are on. The
// first WRITE whose blocks reach `lba`, the first SYNCHRONIZE CACHE or the
// first CLOSE TRACK/SESSION; that command is the first one to meet it.
struct TFaultStart {
  enum class TAt { kWrite, kSynchronize, kClose } at = TAt::kWrite;
  uint32_t lba = 0;  // kWrite
  friend bool operator==(const TFaultStart&, const TFaultStart&) = default;
};

// ioerror=LBA:ERRNO, ioerrorop=OPCODE:ERRNO: the command fails below SCSI,
// as the kernel's SG_IO reports a request it could not carry: no status, no
// sense data, only an errno.
struct TInjectedErrno {
  uint32_t lba = 0;      // ioerror=: a READ or WRITE whose blocks cover it
  uint8_t opcode = 0;    // ioerrorop=: every command with this opcode
  int error = 0;         // EIO, ENODEV, ENXIO, EPERM, EACCES, EBUSY, ENOMEDIUM
};

// The errno of a name ("EIO"), and back; nullopt / "" for others.
std::optional<int> ErrnoFromName(std::string_view name);
std::string_view ErrnoName(int error);

// How long a spinning-up disc answers BECOMING READY after a load, unless spinup= says.
inline constexpr std::chrono::milliseconds kDefaultSpinUp{500};
// A kernel time-out (kerneltimeout=) comes back after this long.
inline constexpr std::chrono::milliseconds kKernelTimeoutDelay{250};

// writes=: every recordable kind (the pressed cd-rom and dvd-rom are none).
inline constexpr uint32_t kWritesAll = ~((1u << static_cast<int>(TMediaKind::kCdRom)) |
                                         (1u << static_cast<int>(TMediaKind::kDvdRom)));

struct TDriveConfig {
  TMediaKind kind = TMediaKind::kCdR;
  std::string image_path;                  // sector n at byte n x 2048
  std::string model = "VIRTUAL RECORDER";  // INQUIRY product, at most 16 characters
  bool tray_open = false;                  // tray=open: the disc waits in the open tray
  bool no_disc = false;                    // disc=none: the tray is empty
  bool write_protected = false;            // protected=1
  bool erasable_bit = true;                // erasable=0: READ DISC INFORMATION never sets its erasable bit
  uint32_t not_ready_commands = 0;         // notready=N|always (kWithoutEnd)
  uint32_t busy_commands = 0;              // busy=N|always (kWithoutEnd)
  bool opc_fails = false;                  // opc=fail
  std::vector<TInjectedWriteError> write_errors;
  std::optional<uint32_t> remove_at;       // removeat=LBA: the disc vanishes when a write reaches LBA
  bool remove_at_close = false;            // removeat=close: ... at the first CLOSE TRACK/SESSION
  std::optional<uint8_t> hang_opcode;      // hang=OPCODE: that command never completes
  // faultat=LBA|sync|close: notready=, busy= and hang= wait for this command;
  // the not-ready answer is then LONG WRITE IN PROGRESS. None: from the start.
  std::optional<TFaultStart> fault_start;
  std::string trace_path;                  // trace=FILE: one line per command

  // model=modern: a drive of MMC-5's generation. The speed fields MMC-5
  // makes obsolete in the capabilities page (2Ah) are zero; GET PERFORMANCE
  // gives the speeds. (Any other model= text is the INQUIRY product.)
  bool modern = false;
  // The MMC rules enforced (lenient=, strict=).
  TRuleSet rules = TRuleSet::Default();
  // writes=KIND[/KIND...]|all|none: the recordable media the drive writes
  // (one bit per TMediaKind); it reads every kind all the same. Default: all.
  uint32_t writes = kWritesAll;
  // Whether the drive writes media of kind `medium` (never a pressed kind).
  bool Writes(TMediaKind medium) const { return (writes >> static_cast<int>(medium) & 1u) != 0; }
  // spinup=S: a disc loaded into the drive answers BECOMING READY this long.
  std::chrono::milliseconds spin_up = kDefaultSpinUp;

  // Faults of the transport: the host's side of the cable (the back end).
  std::vector<TInjectedErrno> io_errors;      // ioerror=LBA:ERRNO
  std::vector<TInjectedErrno> opcode_errors;  // ioerrorop=OPCODE:ERRNO
  std::optional<uint8_t> kernel_timeout;      // kerneltimeout=OPCODE: the kernel gives up on it
  bool read_only_access = false;              // access=readonly: only an O_RDONLY handle
  uint32_t max_transfer_bytes = 0;            // maxtransfer=SIZE: 0 without a limit

  // Writing at a real speed through the drive buffer.
  uint32_t speed_x = 0;                    // speed=N[x]: record at N x (0: as fast as the host sends)
  bool speed_from_host = false;            // speed=drive: record at the speed the host set
  uint32_t buffer_bytes = 2 * 1024 * 1024; // buffer=SIZE[K|M]

  // How long the long operations keep the unit busy. timing=real gives each
  // operation its default duration below; blank=, fullblank=, format=,
  // close= and sync= (seconds) set one whatever the timing says.
  bool real_timing = false;
  std::optional<std::chrono::milliseconds> blank_time, full_blank_time, format_time, close_time, sync_time;
};

// The durations timing=real gives the long operations that have none of their own.
inline constexpr std::chrono::milliseconds kRealBlankTime{20'000};
inline constexpr std::chrono::milliseconds kRealFullBlankTime{120'000};
inline constexpr std::chrono::milliseconds kRealFormatTime{60'000};
inline constexpr std::chrono::milliseconds kRealCloseTime{5'000};
inline constexpr std::chrono::milliseconds kRealSyncTime{2'000};

// Parses the whole list. On failure returns false with a message naming the
// entry and what is wrong in it; `configs` is then left empty.
bool ParseDriveList(std::string_view list, std::vector<TDriveConfig>* configs, std::string* error);

}  // namespace zamo::emu
