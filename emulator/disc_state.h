// disc_state.h: the logical layout of a recordable disc, as MMC-5 describes
// it: sessions made of tracks, each track with its start, size, recorded
// length and state (invisible, reserved, complete), the disc's status, and for
// overwritable media whether and how far they are formatted.
//
// Invariants (checked when a state is read from its file):
// - tracks are numbered from 1 and lie in ascending, non-overlapping order;
//   the tracks of session n follow those of session n - 1;
// - a disc that is not finalized ends with an open session whose last track
//   is the invisible track (the rest of the disc, written at its next writable
//   address); a finalized disc has no open session and no invisible track;
// - a formatted disc is one closed session holding one complete track that
//   covers the formatted area, and takes writes anywhere inside it.
// Track and session numbers are 32-bit: nothing wraps at 255.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/media.h"

namespace zamo::emu {

enum class TTrackState { kInvisible, kReserved, kComplete };

struct TTrack {
  uint32_t session = 1;
  uint32_t start = 0;
  uint32_t size = 0;     // reserved and complete tracks; the invisible track ends where the disc does
  uint32_t written = 0;  // blocks recorded from `start`
  TTrackState state = TTrackState::kInvisible;
  // The last blocks of a CD track closed in track-at-once mode: the run-out
  // the drive writes after the data. Part of the track, but no data block.
  uint32_t run_out = 0;
};

// How a drive ends an incomplete track it closes: a CD track closed in
// track-at-once mode is padded to 300 blocks and followed by two run-out
// blocks; other tracks end where their data does.
struct TTrackEnding {
  uint32_t minimum = 0;
  uint32_t run_out = 0;
};

// Blocks a drive recorded with zeros of its own (padding).
struct TBlockRange {
  uint32_t lba = 0;
  uint32_t blocks = 0;
};

// READ DISC INFORMATION's disc status and state of the last session.
enum class TDiscStatus : uint8_t { kEmpty = 0, kIncomplete = 1, kComplete = 2, kOthers = 3 };
enum class TSessionState : uint8_t { kEmpty = 0, kIncomplete = 1, kComplete = 3 };

// Blocks between the end of a closed CD session and its successor's first
// track: lead-out (6750 after the first session, 2250 after later ones), the
// next lead-in (4500) and the first track's pre-gap (150).
constexpr uint32_t kCdFirstSessionGap = 6750 + 4500 + 150;
constexpr uint32_t kCdLaterSessionGap = 2250 + 4500 + 150;
// A closed track-at-once CD track is followed by the next track's pre-gap.
constexpr uint32_t kCdTrackGap = 150;
constexpr uint32_t kCdMaxTracks = 99;
// A CD track holds 4 seconds at least; a track-at-once track ends with two
// run-out blocks.
constexpr uint32_t kCdMinimumTrack = 300;
constexpr uint32_t kCdRunOut = 2;
// DVD-R/-RW border zone and DVD+R session closure (lead-out and next lead-in).
constexpr uint32_t kDvdMinusFirstBorder = 16'384;
constexpr uint32_t kDvdMinusLaterBorder = 3'072;
constexpr uint32_t kDvdPlusSessionGap = 2'048;
// DVD tracks start on an ECC block.
constexpr uint32_t kDvdEccBlock = 16;

class TDiscState {
 public:
  // A blank disc: one empty open session holding the invisible track 1.
  static TDiscState Blank(TMediaKind kind);
  // A pressed disc: one closed session holding one complete track of `blocks`.
  static TDiscState Pressed(TMediaKind kind, uint32_t blocks);

  TMediaKind kind() const { return kind_; }
  uint32_t capacity() const { return capacity_; }
  bool finalized() const { return finalized_; }
  bool formatted() const { return formatted_; }
  bool restricted_overwrite() const { return restricted_overwrite_; }
  // A DVD-RW blank from a minimal blank: no incremental recording until it
  // is formatted or blanked whole.
  bool minimally_blanked() const { return minimally_blanked_; }
  uint16_t Profile() const;

  uint32_t TrackCount() const { return static_cast<uint32_t>(tracks_.size()); }
  uint32_t SessionCount() const { return static_cast<uint32_t>(session_closed_.size()); }
  // REQUIRES: 1 <= number <= TrackCount().
  const TTrack& Track(uint32_t number) const { return tracks_[number - 1]; }
  // REQUIRES: 1 <= number <= SessionCount().
  uint32_t FirstTrackOf(uint32_t session) const;
  uint32_t LastTrackOf(uint32_t session) const;
  bool SessionClosed(uint32_t session) const { return session_closed_[session - 1]; }
  // Sessions before the first open one (all of them on a finalized disc).
  uint32_t ClosedSessionCount() const;

  // The number of the invisible track, when the disc has one.
  std::optional<uint32_t> InvisibleTrack() const;
  // The track whose area [start, end) holds `lba`.
  std::optional<uint32_t> TrackAt(uint32_t lba) const;
  uint32_t TrackEnd(uint32_t number) const;
  uint32_t NextWritable(uint32_t number) const { return Track(number).start + Track(number).written; }
  // The end of the track's data blocks: its next writable address less any run-out.
  uint32_t DataEnd(uint32_t number) const { return NextWritable(number) - Track(number).run_out; }
  uint32_t FreeBlocks(uint32_t number) const;
  bool TrackAcceptsData(uint32_t number) const;

  TDiscStatus Status() const;
  TSessionState LastSessionState() const;
  bool SessionHasData(uint32_t session) const;
  // The highest recorded block, when any block is recorded.
  std::optional<uint32_t> LastRecordedLba() const;
  bool IsRecorded(uint32_t lba) const;

  // Changes. The unit checks the preconditions and reports misuse itself.
  // `blocks` more blocks are recorded at the next writable address of `number`.
  void Record(uint32_t number, uint32_t blocks);
  // Moves the next writable address of an open track to the next ECC block
  // (DVD linking), not past the track's end; returns the blocks padded.
  TBlockRange PadToEccBlock(uint32_t number);
  // Closes a reserved or partly recorded invisible track (padding a reserved
  // one, ending an invisible one as `ending` says); an empty invisible or a
  // complete track is left as it is. Returns the blocks padded with zeros.
  std::vector<TBlockRange> CloseTrack(uint32_t number, const TTrackEnding& ending = {});
  // Closes the open session, which must hold data, and its tracks as
  // CloseTrack does. With `allow_next` a new empty session follows when the
  // disc has room for one; otherwise, or without room, the disc is finalized.
  std::vector<TBlockRange> CloseSession(bool allow_next, const TTrackEnding& ending = {});
  // Finalizes: closes the open session when it holds data, or drops it when
  // it is empty. REQUIRES: at least one session holds data.
  std::vector<TBlockRange> Finalize(const TTrackEnding& ending = {});
  // Turns the empty invisible track into a reserved track of `blocks` (already
  // rounded as the medium needs) followed by a new invisible track.
  void Reserve(uint32_t blocks);
  // The disc becomes one formatted area of `blocks`.
  void Format(uint32_t blocks, bool restricted_overwrite);
  // Back to a blank disc (DVD-RW: sequential recording again).
  void MakeBlank();
  // A blank DVD-RW that a minimal blank left (MakeBlank first).
  void MarkMinimallyBlanked() { minimally_blanked_ = true; }

  // The text of the state file, and reading it back.
  std::string Serialize() const;
  static std::optional<TDiscState> Parse(std::string_view text, TMediaKind expected, std::string* error);

 private:
  explicit TDiscState(TMediaKind kind);
  uint32_t SessionEnd(uint32_t session) const;  // end of its last track
  uint32_t NextTrackStart(uint32_t after) const;
  uint32_t NextSessionStart(uint32_t after) const;
  void OpenSessionAt(uint32_t start);
  std::string Check() const;  // empty when the invariants hold

  TMediaKind kind_;
  uint32_t capacity_;
  std::vector<TTrack> tracks_;
  std::vector<bool> session_closed_;
  bool finalized_ = false;
  bool formatted_ = false;
  bool restricted_overwrite_ = false;
  bool minimally_blanked_ = false;
};

}  // namespace zamo::emu
