// media.cpp: the table of disc kinds.
#include "emulator/media.h"

#include <array>
#include <span>
#include <vector>

namespace zamo::emu {
namespace {

// Speeds in KB/s: 1x is 176.4 KB/s on a CD and 1385 KB/s on a DVD, rounded as
// drives report them.
constexpr uint16_t Cd(double x) { return static_cast<uint16_t>(x * 176.4 + 0.5); }
constexpr uint16_t Dvd(double x) { return static_cast<uint16_t>(x * 1385 + 0.5); }

constexpr std::array<TMediaTraits, 10> kTraits = {{
    {TMediaKind::kCdRom, "cd-rom", kProfileCdRom, true, true, false, false, false, false, 0, Cd(48), Cd(48)},
    {TMediaKind::kCdR, "cd-r", kProfileCdR, true, false, true, false, false, false, kCd80Blocks, Cd(48), Cd(48)},
    {TMediaKind::kCdRw, "cd-rw", kProfileCdRw, true, false, false, true, true, false, kCd80Blocks, Cd(48), Cd(24)},
    {TMediaKind::kDvdRom, "dvd-rom", kProfileDvdRom, false, true, false, false, false, false, 0, Dvd(16), Dvd(16)},
    {TMediaKind::kDvdR, "dvd-r", kProfileDvdR, false, false, true, false, false, false, kDvd47Blocks, Dvd(16),
     Dvd(16)},
    {TMediaKind::kDvdRw, "dvd-rw", kProfileDvdRwSequential, false, false, false, true, true, false, kDvd47Blocks,
     Dvd(16), Dvd(6)},
    {TMediaKind::kDvdPlusR, "dvd+r", kProfileDvdPlusR, false, false, true, false, false, false, kDvd47Blocks, Dvd(16),
     Dvd(16)},
    {TMediaKind::kDvdPlusRDl, "dvd+r-dl", kProfileDvdPlusRDl, false, false, true, false, false, false,
     kDvdPlusRDlBlocks, Dvd(12), Dvd(8)},
    {TMediaKind::kDvdPlusRw, "dvd+rw", kProfileDvdPlusRw, false, false, false, false, true, true, kDvd47Blocks,
     Dvd(16), Dvd(8)},
    {TMediaKind::kDvdRam, "dvd-ram", kProfileDvdRam, false, false, false, false, true, true, kDvdRam47Blocks,
     Dvd(12), Dvd(5)},
}};

// The write speeds a recorder of today offers on each kind, fastest first
// (x-speeds; the kind's maximum opens each list).
constexpr std::array<double, 7> kCdRSpeeds = {48, 40, 32, 24, 16, 8, 4};
constexpr std::array<double, 4> kCdRwSpeeds = {24, 16, 10, 4};
constexpr std::array<double, 5> kDvdRSpeeds = {16, 12, 8, 6, 4};
constexpr std::array<double, 4> kDvdRDlSpeeds = {8, 6, 4, 2.4};
constexpr std::array<double, 3> kDvdRwSpeeds = {6, 4, 2};
constexpr std::array<double, 3> kDvdPlusRwSpeeds = {8, 6, 4};
constexpr std::array<double, 3> kDvdRamSpeeds = {5, 3, 2};

std::span<const double> XSpeeds(TMediaKind kind) {
  switch (kind) {
    case TMediaKind::kCdRom:
    case TMediaKind::kCdR:
      return kCdRSpeeds;
    case TMediaKind::kCdRw:
      return kCdRwSpeeds;
    case TMediaKind::kDvdPlusRDl:
      return kDvdRDlSpeeds;
    case TMediaKind::kDvdRw:
      return kDvdRwSpeeds;
    case TMediaKind::kDvdPlusRw:
      return kDvdPlusRwSpeeds;
    case TMediaKind::kDvdRam:
      return kDvdRamSpeeds;
    default:
      return kDvdRSpeeds;
  }
}

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
  std::vector<uint16_t> speeds;
  for (double x : XSpeeds(kind)) speeds.push_back(Traits(kind).is_cd ? Cd(x) : Dvd(x));
  return speeds;
}

double XSpeed(TMediaKind kind, uint32_t kbs) { return kbs / (Traits(kind).is_cd ? 176.4 : 1385.0); }

}  // namespace zamo::emu
