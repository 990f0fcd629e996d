// session_import.cpp: importing a session of the disc in the recorder into
// the compilation, through the drive's READ (10).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "burner/compilation/veskburner.h"
#include "burner/drive/replies.h"
#include "burner/drive/srb.h"
#include "burner/import/import_messages.h"
#include "burner/import/session_reader.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

// A CD holds 99 tracks at most; a DVD numbers them with 16 bits.
constexpr uint32_t kCdTrackLimit = 99;
constexpr uint32_t kTrackLimit = 0xFFFF;
// What the descriptor set of a session needs at least: an end below it is
// an answer that cannot be right for a session whose descriptors were read.
constexpr uint32_t kLeastSessionSectors = 17;

SectorReader DriveReader(TVeskBurner& burner) {
  return [&burner](uint32_t lba, uint8_t* out) {
    std::memset(out, 0, kSectorSize);
    return burner.Read10(lba, 1, out, kSectorSize);
  };
}

// Media written in sessions of tracks, whose tracks say how far each was
// recorded. The others (pressed, and overwritable media written anywhere in
// their formatted area) hold what READ CAPACITY says.
bool RecordedInTracks(TDiscKind kind) { return IsRecordableKind(kind) && !IsOverwritableKind(kind); }

// Where the data of the track in TrackInfo ends: a blank track holds none;
// an open one (the invisible track, a reserved one partly written) ends at
// its next writable address; a complete one at its start plus its size.
uint32_t TrackDataEnd(const TTrackInfo& track) {
  if (track.Blank()) return 0;
  if (track.NextWritableValid()) return track.NextWritable;
  return track.TrackStart + track.TrackSize;
}

// The end of the data of `session`'s tracks, from READ TRACK INFORMATION of
// each; nothing when the drive does not answer for the session.
std::optional<uint32_t> SessionTracksEnd(TVeskBurner& burner, int session, TDiscKind kind) {
  if (!burner.ReadTrackInformationOf(2, static_cast<uint32_t>(session))) return std::nullopt;
  const auto wanted = static_cast<uint32_t>(session);
  const uint32_t limit = IsCdKind(kind) ? kCdTrackLimit : kTrackLimit;
  uint32_t end = 0;
  for (uint32_t track = burner.TrackInfo.TrackNumber(); burner.TrackInfo.SessionNumber() == wanted;) {
    end = std::max(end, TrackDataEnd(burner.TrackInfo));
    if (track == 0 || track >= limit) break;
    ++track;
    if (!burner.ReadTrackInformation(static_cast<uint16_t>(track))) break;  // the disc's last track was the session's
  }
  return end;
}

// The block after the disc's last readable one, from READ CAPACITY.
std::optional<uint32_t> CapacityEnd(TVeskBurner& burner) {
  uint32_t last = 0, block_length = 0;
  if (!burner.ReadCapacity(last, block_length) || last == UINT32_MAX) return std::nullopt;
  return last + 1;
}

// The first sector after the data the disc holds recorded for `session`,
// which starts at `start`; 0 when the drive cannot say. The session an
// interrupted job of this component closed ends where that job stopped,
// whatever the drive padded after it.
uint32_t RecordedEnd(TVeskBurner& burner, int session, uint32_t start) {
  const TDiscKind kind = burner.GetDiscType();
  std::optional<uint32_t> end;
  if (RecordedInTracks(kind)) end = SessionTracksEnd(burner, session, kind);
  if (end && *end < start + kLeastSessionSectors) end.reset();
  if (!end) end = CapacityEnd(burner);
  if (end && *end < start + kLeastSessionSectors) end.reset();
  const uint32_t interrupted = burner.InterruptedSessionEnd;
  if (interrupted > start && (!end || interrupted < *end)) end = interrupted;
  return end.value_or(0);
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
  // command): their table of contents says it. The full TOC has, per
  // session, the first track's number and every track's start.
  TTableOfContents toc;
  if (ReadFullToc(static_cast<uint8_t>(std::min(session, 255)), toc) && session <= 255) {
    if (const std::optional<uint32_t> first = toc.SessionStart(static_cast<uint8_t>(session))) {
      start = *first;
      return true;
    }
  }
  // The last session's first track, from the multisession form.
  TMultisessionInfo last;
  if (session == count && ReadMultisessionInfo(last)) {
    start = last.LastSessionStart;
    return true;
  }
  return false;
}

bool TVeskBurner::ImportSessionTree(int Session, TDEntry* Into) {
  if (Into == nullptr) Into = RootDir;
  ImportedSession = 0;
  ImportedJoliet = false;
  ImportedSessionStart = 0;
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
  reader.SetRecordedEnd(RecordedEnd(*this, Session, start),
                        ImportLeavesOutDamaged ? DamagedFiles::kLeaveOut : DamagedFiles::kMark);
  switch (reader.ReadSession(start, Into)) {
    case SessionTreeReader::Tree::kJoliet:
      ImportedJoliet = true;
      ImportedSession = Session;
      ImportedSessionStart = start;
      return true;
    case SessionTreeReader::Tree::kIso9660:
      ImportedSession = Session;
      ImportedSessionStart = start;
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
