// disc_kind.cpp: the table of disc kinds and the profile names of MMC.
#include "burner/drive/disc_kind.h"

#include <iterator>

namespace zamo {
namespace {

enum class Family : uint8_t { kCd, kDvdRom, kDvdMinus, kDvdRam, kDvdPlus, kDdcd, kNone };
enum class Recording : uint8_t {
  kNone,          // pressed, or not known
  kOnce,          // write-once, in sessions
  kSessions,      // rewritable in sessions, after an erase
  kOverwritable,  // written over anywhere
};

struct KindTraits {
  const char* name;
  uint16_t profile;  // the current profile that gives the kind; 0 for none
  Family family;
  Recording recording;
  bool erasable;
};

// Indexed by the kind's code.
constexpr KindTraits kKinds[] = {
    {"UNKNOWN", 0x00, Family::kNone, Recording::kNone, false},
    {"CD-ROM", 0x08, Family::kCd, Recording::kNone, false},
    {"CD-R", 0x09, Family::kCd, Recording::kOnce, false},
    {"CD-RW", 0x0A, Family::kCd, Recording::kSessions, true},
    {"DVD-ROM", 0x10, Family::kDvdRom, Recording::kNone, false},
    {"DVD-R", 0x11, Family::kDvdMinus, Recording::kOnce, false},
    {"DVD-RAM", 0x12, Family::kDvdRam, Recording::kOverwritable, true},
    {"DVD-RW", 0x00, Family::kDvdMinus, Recording::kSessions, true},
    {"DVD-RW", 0x13, Family::kDvdMinus, Recording::kOverwritable, true},
    {"DVD-RW", 0x14, Family::kDvdMinus, Recording::kSessions, true},
    {"DVD+RW", 0x1A, Family::kDvdPlus, Recording::kOverwritable, true},
    {"DVD+R", 0x1B, Family::kDvdPlus, Recording::kOnce, false},
    {"DVD+R DL", 0x2B, Family::kDvdPlus, Recording::kOnce, false},
    {"DDCD-ROM", 0x20, Family::kDdcd, Recording::kNone, false},
    {"DDCD-R", 0x21, Family::kDdcd, Recording::kOnce, false},
    {"DDCD-RW", 0x22, Family::kDdcd, Recording::kSessions, true},
};
static_assert(std::size(kKinds) == dkDdcdRw + 1, "one row per kind");

// A kind outside the enumeration reads as unknown.
const KindTraits& Traits(TDiscKind kind) { return kind <= dkDdcdRw ? kKinds[kind] : kKinds[dkUnknown]; }

struct ProfileEntry {
  uint16_t profile;
  const char* name;
};
// MMC's profile names, as far as the disc record's type names go.
constexpr ProfileEntry kProfileNames[] = {
    {0x01, "Non-removable disk"},
    {0x02, "Removable disk"},
    {0x03, "MO Eraseable"},
    {0x04, "MO Write Once"},
    {0x05, "AS-MO"},
    {0x08, "CD-ROM"},
    {0x09, "CD-R"},
    {0x0A, "CD-RW"},
    {0x10, "DVD-ROM"},
    {0x11, "DVD-R"},
    {0x12, "DVD-RAM"},
    {0x13, "DVD-RW Restricted Overwrite"},
    {0x14, "DVD-RW Sequential Recording"},
    {0x1A, "DVD+RW"},
    {0x1B, "DVD+R"},
    {0x20, "DDCD-ROM"},
    {0x21, "DDCD-R"},
    {0x22, "DDCD-RW"},
};
constexpr uint16_t kProfileDvdPlusRDl = 0x2B;

}  // namespace

const char* DiscKindName(TDiscKind kind) { return Traits(kind).name; }

TDiscKind DiscKindOfProfile(uint16_t profile) {
  if (profile == 0) return dkUnknown;
  for (uint8_t code = 0; code < std::size(kKinds); ++code) {
    if (kKinds[code].profile == profile) return static_cast<TDiscKind>(code);
  }
  return dkUnknown;
}

uint16_t ProfileOfDiscKind(TDiscKind kind) { return Traits(kind).profile; }

const char* ProfileTypeName(uint16_t profile) {
  for (const auto& entry : kProfileNames) {
    if (entry.profile == profile) return entry.name;
  }
  return "???????";
}

const char* ProfileName(uint16_t profile) {
  if (profile == kProfileDvdPlusRDl) return "DVD+R DL";
  return ProfileTypeName(profile);
}

bool ErasableProfile(uint16_t profile) {
  switch (profile) {
    case 0x03:  // MO erasable
    case 0x0A:  // CD-RW
    case 0x13:  // DVD-RW, restricted overwrite
    case 0x14:  // DVD-RW, sequential recording
    case 0x1A:  // DVD+RW
    case 0x22:  // DDCD-RW
      return true;
    default:
      return false;
  }
}

bool IsCdKind(TDiscKind kind) { return kind < dkDvdRom; }

bool IsDvdKind(TDiscKind kind) {
  const Family family = Traits(kind).family;
  return family == Family::kDvdRom || family == Family::kDvdMinus || family == Family::kDvdRam ||
         family == Family::kDvdPlus;
}

bool IsDvdMinusKind(TDiscKind kind) { return Traits(kind).family == Family::kDvdMinus; }

bool IsDvdRwKind(TDiscKind kind) { return IsDvdMinusKind(kind) && Traits(kind).erasable; }

bool IsDvdPlusKind(TDiscKind kind) { return Traits(kind).family == Family::kDvdPlus; }

bool IsRecordableKind(TDiscKind kind) { return Traits(kind).recording != Recording::kNone; }

bool IsWriteOnceKind(TDiscKind kind) { return Traits(kind).recording == Recording::kOnce; }

bool IsOverwritableKind(TDiscKind kind) { return Traits(kind).recording == Recording::kOverwritable; }

bool IsOverwritableOnceFormatted(TDiscKind kind) { return IsOverwritableKind(kind) || kind == dkDvdRwSequential; }

bool IsErasableKind(TDiscKind kind) { return Traits(kind).erasable; }

}  // namespace zamo
