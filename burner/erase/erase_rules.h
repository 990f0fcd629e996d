// erase_rules.h: whether an erase may start, the same rule for every front
// end (the desktop program's "Effacer" buttons and zamo-cli erase).
#pragma once

#include "burner/drive/disc_kind.h"
#include "burner/drive/scsi_device.h"

namespace zamo {

// What the user is told when the disc cannot be erased.
inline constexpr const char* kDiscNotErasable = "Média non effaçable";

// Whether an erase of the disc in `device` (of `kind`, as GetDiscType said)
// may start: the drive calls the disc erasable; a quick erase also takes a
// DVD-RAM, which it overwrites whatever the drive says, a complete one does
// not.
inline bool EraseAllowed(TSCSIDevice& device, TDiscKind kind, bool quick) {
  return device.IsDiscErasable() || (quick && kind == dkDvdRam);
}

}  // namespace zamo
