// disc_kind.h: the kinds of disc a recorder holds, as its current MMC profile
// names them, and what each kind is: its family (CD, DVD-, DVD+), how it is
// recorded (pressed, once, in sessions again after an erase, or written over
// anywhere), whether the component can erase it, and the name users read.
// Every part of the component asks these questions here rather than listing
// kinds; the table behind them is in disc_kind.cpp.
//
// Pure functions of their arguments: safe from any thread.
#pragma once

#include <cstdint>

namespace zamo {

// Kind of the disc in the drive, from its current profile (DiscKindOfProfile).
// The values are the component's disc kind codes 0 to 15.
enum TDiscKind : uint8_t {
  dkUnknown = 0,
  dkCdRom = 1,
  dkCdR = 2,
  dkCdRw = 3,
  dkDvdRom = 4,
  dkDvdR = 5,
  dkDvdRam = 6,
  dkDvdRw = 7,  // a DVD-RW whose recording mode is not known: no profile gives it
  dkDvdRwRestricted = 8,
  dkDvdRwSequential = 9,
  dkDvdPlusRw = 10,
  dkDvdPlusR = 11,
  dkDvdPlusRDl = 12,
  dkDdcdRom = 13,
  dkDdcdR = 14,
  dkDdcdRw = 15,
};

// The name users read: "CD-R", "DVD+RW", "DVD+R DL", "UNKNOWN" for none.
const char* DiscKindName(TDiscKind kind);

// ---- Profiles (MMC GET CONFIGURATION) ---------------------------------------

// The kind of a current profile; dkUnknown for none (0) or any other.
TDiscKind DiscKindOfProfile(uint16_t profile);
// The profile that gives `kind`; 0 for the kinds no profile gives (unknown, DVD-RW).
uint16_t ProfileOfDiscKind(TDiscKind kind);
// MMC's name of a profile: "DVD-RW Restricted Overwrite", "DVD+R DL"; "???????" for one not listed.
const char* ProfileName(uint16_t profile);
// The disc record's type name of a profile: MMC's names up to the DDCD
// profiles, "???????" for any other (DVD+R DL included).
const char* ProfileTypeName(uint16_t profile);
// The profiles of media that can be erased: MO erasable, CD-RW, DVD-RW in
// either mode, DVD+RW, DDCD-RW.
bool ErasableProfile(uint16_t profile);

// ---- Traits -----------------------------------------------------------------

// Handled as a CD: the CD kinds, and an unknown disc (kinds below DVD-ROM).
bool IsCdKind(TDiscKind kind);
// A DVD of any kind: DVD-ROM, DVD-R, DVD-RAM, DVD-RW (every mode), DVD+RW, DVD+R, DVD+R DL.
bool IsDvdKind(TDiscKind kind);
// The DVD- family: DVD-R and DVD-RW in any mode.
bool IsDvdMinusKind(TDiscKind kind);
// A DVD-RW, in any recording mode.
bool IsDvdRwKind(TDiscKind kind);
// The DVD+ family: DVD+RW, DVD+R, DVD+R DL.
bool IsDvdPlusKind(TDiscKind kind);
// Takes recordings: anything but a pressed disc (CD-ROM, DVD-ROM, DDCD-ROM) and an unknown one.
bool IsRecordableKind(TDiscKind kind);
// Recorded once, session after session: CD-R, DVD-R, DVD+R, DVD+R DL, DDCD-R.
bool IsWriteOnceKind(TDiscKind kind);
// Written over anywhere, without sessions: DVD+RW, DVD-RW in restricted
// overwrite, DVD-RAM.
bool IsOverwritableKind(TDiscKind kind);
// Written over by the writing jobs: the overwritable kinds, and a sequential
// DVD-RW, which a job quick-formats to restricted overwrite before it writes.
bool IsOverwritableOnceFormatted(TDiscKind kind);
// Erased by the component (blanked, or formatted anew): CD-RW, DVD-RW in any
// mode, DVD+RW, DVD-RAM, DDCD-RW.
bool IsErasableKind(TDiscKind kind);

}  // namespace zamo
