// session_start.cpp: the layout for a disc. Its disc step asks the drive
// what disc is loaded and, for a writing job, where the new session starts,
// then imports the previous session's files so that the new directories
// list them too; the layout proper (compilation/layout.cpp) then works from
// what that step left, without a drive command.
#include <array>
#include <cstring>

#include "burner/compilation/veskburner.h"
#include "burner/import/import_messages.h"
#include "burner/platform/byte_order.h"

namespace zamo {
namespace {

constexpr int kReadyWaitMs = 10000;
constexpr int kReadyStepMs = 500;
// A next writable address above this, read as unsigned, is a negative one.
constexpr uint32_t kHighestStart = 0xFF000000u;
constexpr uint8_t kLastSessionByte = 0xFF;  // the low byte of FFFFh

}  // namespace

int TVeskBurner::CalculateLayout(bool to_image_file, TDEntry* import_into) {
  return LayoutImage(to_image_file, import_into);
}

int TVeskBurner::LayoutImage(bool to_image_file, TDEntry* import_into) {
  // The boot image is checked first, so that a line about a missing one
  // comes before the import's (the layout proper finds booting off already).
  CheckBootImage();
  // An image file starts at sector 0 and no drive is asked; a disc too,
  // unless the disc step learns where a writing job's session starts.
  SessionStart = 0;
  if (!to_image_file) LayoutDiscStep(import_into);
  return LayoutCompilation();
}

void TVeskBurner::LayoutDiscStep(TDEntry* import_into) {
  NoteDiscKind();
  if (WritingToDisc) {
    if (!FindSessionStart()) DebugMessage(">>> " + std::string(msg::kNoNextWritableAddress), kMsgStatus);
    if (static_cast<uint32_t>(SessionStart) > kHighestStart) SessionStart = 0;
  }
  // Only the low byte of SessionToImport names the session: FFFFh arrives
  // as 255, the last session, and 256 as 0, none (not the last session, as
  // the whole value would make it).
  const uint8_t session_byte = static_cast<uint8_t>(SessionToImport & 0xFF);
  if (session_byte != 0) {
    const int session = session_byte == kLastSessionByte ? -1 : session_byte;
    // The new session lists only files a reader can get back whole: those
    // whose data runs past what the disc holds recorded are left out.
    const bool leaves_out = ImportLeavesOutDamaged;
    ImportLeavesOutDamaged = true;
    ImportSessionTree(session, import_into != nullptr ? import_into : RootDir);
    ImportLeavesOutDamaged = leaves_out;
  }
}

bool TVeskBurner::FindSessionStart() {
  SessionStart = 0;
  WaitUntilReady(kReadyWaitMs, kReadyStepMs);
  const TDiscKind kind = NoteDiscKind();
  // The write parameters of a closing session, as the writer will send them:
  // some drives report the next writable address of the write type in force.
  SetWriteParameters(TestWrite, UnderrunProtection, /*CloseFlag=*/true, kind, TDiscFinalize::kFinalize);
  WaitUntilReady(kReadyWaitMs, kReadyStepMs);

  if (IsOverwritableKind(kind)) {
    // No sessions (a DVD-RW in restricted overwrite is written like a
    // DVD+RW): the new volume follows the one already recorded, whose files
    // the new session still lists. Its track's next writable address would
    // put the new session over them.
    // On a whole ECC block (16 sectors): a restricted-overwrite DVD-RW
    // takes writes of whole blocks only, and the others write faster so.
    const uint32_t end = FindLastVolumeSize();
    SessionStart = static_cast<int32_t>((end + 15) / 16 * 16);
    return true;
  }
  const bool have_disc_info = ReadDiscInfo();
  // The track that takes the new session: the last track of the last
  // session, which on an appendable disc is the invisible (or incomplete)
  // one; on a blank disc, track 1 at 0. A session may hold several tracks,
  // so that number is not the count of sessions + 1 in general, nor track 1
  // on a sequential DVD-RW that already holds a session (whose track 1 is
  // complete); the count stands in without disc information.
  uint16_t track = have_disc_info ? LastTrackOfLastSession() : 0;
  if (track == 0) track = static_cast<uint16_t>(GetSessionCount() + 1);
  // A closed disc has no next writable address: its track says so (NWA_V clear).
  if (!ReadTrackInformation(track) || !TrackInfo.NextWritableValid()) return false;
  SessionStart = static_cast<int32_t>(TrackInfo.NextWritable);
  return true;
}

uint32_t TVeskBurner::FindLastVolumeSize() {
  // The descriptor set as readers walk it: from sector 16 up to its
  // terminator. Sectors after the terminator are not descriptors of this
  // volume, whatever they hold (an older, longer set may have left some).
  std::array<uint8_t, kSectorSize> sector{};
  uint32_t supplementary_size = 0;
  for (uint32_t lba = 16; lba <= 32; ++lba) {
    sector.fill(0);
    if (!Read10(lba, 1, sector.data(), kSectorSize)) break;
    if (std::memcmp(sector.data() + 1, "CD001", 5) != 0) break;
    if (sector[0] == 1) return GetLe32(sector, 80);
    if (sector[0] == 2 && supplementary_size == 0) supplementary_size = GetLe32(sector, 80);
    if (sector[0] == 255) break;
  }
  return supplementary_size;
}

}  // namespace zamo
