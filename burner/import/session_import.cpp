// session_import.cpp: importing a session of the disc in the recorder into
// the compilation, through the drive's READ (10).
#include <cstring>

#include "burner/compilation/veskburner.h"
#include "burner/drive/srb.h"
#include "burner/import/import_messages.h"
#include "burner/import/session_reader.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

SectorReader DriveReader(TVeskBurner& burner) {
  return [&burner](uint32_t lba, uint8_t* out) {
    std::memset(out, 0, kSectorSize);
    return burner.Read10(lba, 1, out, kSectorSize);
  };
}

}  // namespace

bool TVeskBurner::ReadSessionTrackInformation(int session) {
  // MMC READ TRACK INFORMATION with address type 10b: bytes 2-5 hold a
  // session number and the drive answers for that session's first track.
  TrackInfo = TTrackInfo{};
  uint8_t cdb[10] = {0x52, 0x02};
  PutBe32(cdb, 2, static_cast<uint32_t>(session));
  cdb[8] = sizeof TrackInfo.Raw;
  if (!RunCommand(cdb, sizeof cdb, kFlagsIn, TrackInfo.Raw, sizeof TrackInfo.Raw, 60000)) return false;
  const std::span<const uint8_t> raw(TrackInfo.Raw, sizeof TrackInfo.Raw);
  TrackInfo.DataLength = GetBe16(raw, 0);
  TrackInfo.TrackStart = GetBe32(raw, 8);
  TrackInfo.NextWritable = GetBe32(raw, 12);
  TrackInfo.FreeBlocks = GetBe32(raw, 16);
  TrackInfo.FixedPacketSize = GetBe32(raw, 20);
  TrackInfo.TrackSize = GetBe32(raw, 24);
  TrackInfo.LastRecorded = GetBe32(raw, 28);
  return true;
}

bool TVeskBurner::ImportSessionTree(int Session, TDEntry* Into) {
  if (Into == nullptr) Into = RootDir;
  ImportedSession = 0;
  ImportedJoliet = false;
  const int count = GetSessionCount();
  if (count == 0) return false;
  if (Session < 0 || Session > count) Session = count;
  if (Session == 0) return false;
  DebugMessage(">>> " + StrFormat(msg::kImportSession, Session), kMsgInfo);

  // The session's first track says where it starts. A session may hold
  // several tracks, so the drive is asked for the session itself; a drive
  // that does not know that form is asked for the track of that number.
  if (!ReadSessionTrackInformation(Session) && !ReadTrackInformation(static_cast<uint16_t>(Session))) {
    DebugMessage(">>> " + std::string(msg::kImportSessionFailed) + " # " + std::to_string(Session), kMsgCompilation);
    return false;
  }
  SessionTreeReader reader(*this, DriveReader(*this));
  switch (reader.ReadSession(TrackInfo.TrackStart, Into)) {
    case SessionTreeReader::Tree::kJoliet:
      ImportedJoliet = true;
      ImportedSession = Session;
      return true;
    case SessionTreeReader::Tree::kIso9660:
      ImportedSession = Session;
      return true;
    case SessionTreeReader::Tree::kUnreadable:
      return false;
    case SessionTreeReader::Tree::kNone:
      break;
  }
  DebugMessage(">>> " + StrFormat(msg::kImportNoIsoImage, Session), kMsgCompilation);
  return false;
}

bool TVeskBurner::ImportJolietDirectory(int32_t Lba, int32_t Length, TDEntry* Into) {
  SessionTreeReader reader(*this, DriveReader(*this));
  return reader.ReadDirectory(static_cast<uint32_t>(Lba), static_cast<uint32_t>(Length), Into ? Into : RootDir, true);
}

bool TVeskBurner::ImportIsoDirectory(int32_t Lba, int32_t Length, TDEntry* Into) {
  SessionTreeReader reader(*this, DriveReader(*this));
  return reader.ReadDirectory(static_cast<uint32_t>(Lba), static_cast<uint32_t>(Length), Into ? Into : RootDir, false);
}

}  // namespace zamo
