// media.h: the kinds of disc the emulated recorder holds and what each one is
// physically: its MMC profile, its capacity, whether it is a CD, write-once,
// erasable or formattable, and the speeds the recorder reaches on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zamo::emu {

enum class TMediaKind {
  kCdRom,
  kCdR,
  kCdRw,
  kDvdRom,
  kDvdR,
  kDvdRw,
  kDvdPlusR,
  kDvdPlusRDl,
  kDvdPlusRw,
  kDvdRam,
};

// MMC-5 profile numbers (GET CONFIGURATION, feature 0).
constexpr uint16_t kProfileNone = 0x0000;
constexpr uint16_t kProfileCdRom = 0x0008;
constexpr uint16_t kProfileCdR = 0x0009;
constexpr uint16_t kProfileCdRw = 0x000A;
constexpr uint16_t kProfileDvdRom = 0x0010;
constexpr uint16_t kProfileDvdR = 0x0011;
constexpr uint16_t kProfileDvdRam = 0x0012;
constexpr uint16_t kProfileDvdRwRestricted = 0x0013;
constexpr uint16_t kProfileDvdRwSequential = 0x0014;
constexpr uint16_t kProfileDvdPlusRw = 0x001A;
constexpr uint16_t kProfileDvdPlusR = 0x001B;
constexpr uint16_t kProfileDvdPlusRDl = 0x002B;

// Capacities in 2048-byte blocks.
// An 80-minute CD: the ATIP's last possible lead-out start is 79:59:74.
constexpr uint32_t kCd80Blocks = 359'849;
constexpr uint32_t kDvd47Blocks = 2'295'104;     // DVD±R, DVD±RW 4.7 GB
constexpr uint32_t kDvdRam47Blocks = 2'236'704;  // DVD-RAM 4.7 GB after its spare areas
constexpr uint32_t kDvdPlusRDlBlocks = 4'173'824;

// Sectors of the MSF time line before LBA 0 (the two-second pre-gap).
constexpr int32_t kMsfOffset = 150;

struct TMediaTraits {
  TMediaKind kind;
  std::string_view name;  // as written in the drive list ("dvd+r-dl")
  uint16_t profile;       // current profile when loaded (DVD-RW: sequential)
  bool is_cd;
  bool read_only;         // pressed disc holding an existing image file
  bool write_once;        // sequential recording, no overwriting
  bool blankable;         // BLANK applies (CD-RW, DVD-RW)
  bool rewritable;        // READ DISC INFORMATION's erasable bit
  bool overwritable;      // random writes after formatting (DVD+RW, DVD-RAM)
  uint32_t capacity;      // blocks; 0 for pressed discs (the image's size)
  uint16_t max_read_kbs;
  uint16_t max_write_kbs;
};

const TMediaTraits& Traits(TMediaKind kind);
std::optional<TMediaKind> MediaKindFromName(std::string_view name);
// Every kind name, for messages ("cd-rom, cd-r, ...").
std::string MediaKindNames();

// Write speeds the recorder offers for a kind, fastest first (KB/s); the
// first is the kind's maximum.
std::vector<uint16_t> WriteSpeeds(TMediaKind kind);

// A speed in KB/s as an x-speed of the kind (1x: 176.4 KB/s on a CD, 1385 on a DVD).
double XSpeed(TMediaKind kind, uint32_t kbs);

}  // namespace zamo::emu
