// session_import.cpp: importing a session of the disc in the recorder into
// the compilation, through the drive's READ (10).
#include <algorithm>
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
  // Address type 10b: the drive answers for that session's first track.
  return ReadTrackInformationOf(2, static_cast<uint32_t>(session));
}

bool TVeskBurner::FindSessionAddress(int session, int count, uint32_t& start) {
  // The session's first track says where it starts. A session may hold
  // several tracks, so the drive is asked for the session itself; a drive
  // that does not know that form is asked for the track of that number.
  if (ReadSessionTrackInformation(session) || ReadTrackInformation(static_cast<uint16_t>(session))) {
    start = TrackInfo.TrackStart;
    return true;
  }
  // Read-only drives often know no READ TRACK INFORMATION (a recorder's
  // command): their table of contents says it. The full TOC (format 2) has,
  // per session, the first track's number (point A0h) and every track's start.
  uint8_t toc[255] = {};
  if (ReadTocPmaAtip(2, toc, 0, false, static_cast<uint8_t>(std::min(session, 255)), sizeof toc)) {
    const size_t length = std::min<size_t>(size_t{2} + (toc[0] << 8 | toc[1]), sizeof toc);
    int first_track = -1;
    for (size_t at = 4; at + 11 <= length; at += 11) {
      if (toc[at] == session && toc[at + 3] == 0xA0) first_track = toc[at + 8];
    }
    for (size_t at = 4; at + 11 <= length && first_track > 0; at += 11) {
      if (toc[at] != session || toc[at + 3] != first_track) continue;
      const uint32_t frames = MsfToLba(0, toc[at + 8], toc[at + 9], toc[at + 10]);
      start = frames >= 150 ? frames - 150 : 0;  // MSF 00:02:00 is block 0
      return true;
    }
  }
  // The last session's first track, from the multisession form (format 1).
  uint8_t last[12] = {};
  if (session == count && ReadTocPmaAtip(1, last, 0, false, 0, sizeof last)) {
    start = GetBe32(std::span<const uint8_t>(last, sizeof last), 8);
    return true;
  }
  return false;
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

  uint32_t start = 0;
  if (!FindSessionAddress(Session, count, start)) {
    DebugMessage(">>> " + std::string(msg::kImportSessionFailed) + " # " + std::to_string(Session), kMsgCompilation);
    return false;
  }
  SessionTreeReader reader(*this, DriveReader(*this));
  switch (reader.ReadSession(start, Into)) {
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
