// media.cpp: the table of disc kinds.
#include "emulator/media.h"

#include <array>
#include <span>
#include <vector>

namespace zamo::emu {
namespace {

// 1x is 176.4 KB/s on a CD (rounded as drives report it) and 1385 KB/s on a DVD.
constexpr uint16_t kCd40x = 7056;
constexpr uint16_t kDvd16x = 22160;

constexpr std::array<TMediaTraits, 10> kTraits = {{
    {TMediaKind::kCdRom, "cd-rom", kProfileCdRom, true, true, false, false, false, false, 0, kCd40x, kCd40x},
    {TMediaKind::kCdR, "cd-r", kProfileCdR, true, false, true, false, false, false, kCd80Blocks, kCd40x, kCd40x},
    {TMediaKind::kCdRw, "cd-rw", kProfileCdRw, true, false, false, true, true, false, kCd80Blocks, kCd40x, 4234},
    {TMediaKind::kDvdRom, "dvd-rom", kProfileDvdRom, false, true, false, false, false, false, 0, kDvd16x, kDvd16x},
    {TMediaKind::kDvdR, "dvd-r", kProfileDvdR, false, false, true, false, false, false, kDvd47Blocks, kDvd16x, kDvd16x},
    {TMediaKind::kDvdRw, "dvd-rw", kProfileDvdRwSequential, false, false, false, true, true, false, kDvd47Blocks,
     kDvd16x, 8310},
    {TMediaKind::kDvdPlusR, "dvd+r", kProfileDvdPlusR, false, false, true, false, false, false, kDvd47Blocks, kDvd16x,
     kDvd16x},
    {TMediaKind::kDvdPlusRDl, "dvd+r-dl", kProfileDvdPlusRDl, false, false, true, false, false, false,
     kDvdPlusRDlBlocks, kDvd16x, 11080},
    {TMediaKind::kDvdPlusRw, "dvd+rw", kProfileDvdPlusRw, false, false, false, false, true, true, kDvd47Blocks, kDvd16x,
     11080},
    {TMediaKind::kDvdRam, "dvd-ram", kProfileDvdRam, false, false, false, false, true, true, kDvdRam47Blocks, 6925,
     6925},
}};

constexpr std::array<uint16_t, 6> kCdSpeeds = {7056, 5645, 4234, 2822, 1411, 706};
constexpr std::array<uint16_t, 5> kDvdSpeeds = {22160, 16620, 11080, 5540, 2770};

}  // namespace

const TMediaTraits& Traits(TMediaKind kind) { return kTraits[static_cast<size_t>(kind)]; }

std::optional<TMediaKind> MediaKindFromName(std::string_view name) {
  for (const TMediaTraits& traits : kTraits)
    if (traits.name == name) return traits.kind;
  return std::nullopt;
}

std::string MediaKindNames() {
  std::string names;
  for (const TMediaTraits& traits : kTraits) {
    if (!names.empty()) names += ", ";
    names += traits.name;
  }
  return names;
}

std::vector<uint16_t> WriteSpeeds(TMediaKind kind) {
  const TMediaTraits& traits = Traits(kind);
  std::span<const uint16_t> steps = traits.is_cd ? std::span<const uint16_t>(kCdSpeeds)
                                                 : std::span<const uint16_t>(kDvdSpeeds);
  std::vector<uint16_t> speeds = {traits.max_write_kbs};  // the kind's own maximum opens its list
  for (uint16_t speed : steps)
    if (speed < traits.max_write_kbs) speeds.push_back(speed);
  return speeds;
}

}  // namespace zamo::emu
