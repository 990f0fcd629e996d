// disc_state.cpp: the disc layout, its changes and its state file.
#include "emulator/state_file.h"
#include "emulator/disc_state.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace zamo::emu {
namespace {

uint32_t AlignUp(uint32_t value, uint32_t step) {
  const uint64_t aligned = (static_cast<uint64_t>(value) + step - 1) / step * step;
  return static_cast<uint32_t>(std::min<uint64_t>(aligned, UINT32_MAX));
}

uint32_t SaturatingAdd(uint32_t a, uint32_t b) {
  return static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(a) + b, UINT32_MAX));
}

const char* StateName(TTrackState state) {
  switch (state) {
    case TTrackState::kInvisible:
      return "invisible";
    case TTrackState::kReserved:
      return "reserved";
    case TTrackState::kComplete:
      return "complete";
  }
  return "?";
}

std::optional<TTrackState> StateFromName(std::string_view name) {
  if (name == "invisible") return TTrackState::kInvisible;
  if (name == "reserved") return TTrackState::kReserved;
  if (name == "complete") return TTrackState::kComplete;
  return std::nullopt;
}

std::optional<uint32_t> ToNumber(std::string_view text) {
  uint32_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<bool> ToYesNo(std::string_view text) {
  if (text == "yes") return true;
  if (text == "no") return false;
  return std::nullopt;
}

}  // namespace

TDiscState::TDiscState(TMediaKind kind) : kind_(kind), capacity_(Traits(kind).capacity) {}

TDiscState TDiscState::Blank(TMediaKind kind) {
  TDiscState state(kind);
  state.MakeBlank();
  return state;
}

TDiscState TDiscState::Pressed(TMediaKind kind, uint32_t blocks) {
  TDiscState state(kind);
  state.capacity_ = blocks;
  state.tracks_ = {TTrack{1, 0, blocks, blocks, TTrackState::kComplete}};
  state.session_closed_ = {true};
  state.finalized_ = true;
  return state;
}

void TDiscState::MakeBlank() {
  formatted_ = false;
  restricted_overwrite_ = false;
  minimally_blanked_ = false;
  finalized_ = false;
  tracks_.clear();
  session_closed_.clear();
  OpenSessionAt(0);
  // DVD-RAM comes formatted from the factory; a blank one is a formatted one.
  if (kind_ == TMediaKind::kDvdRam) Format(capacity_, false);
}

uint16_t TDiscState::Profile() const {
  if (kind_ == TMediaKind::kDvdRw && restricted_overwrite_) return kProfileDvdRwRestricted;
  return Traits(kind_).profile;
}

uint32_t TDiscState::FirstTrackOf(uint32_t session) const {
  for (uint32_t i = 0; i < tracks_.size(); ++i)
    if (tracks_[i].session == session) return i + 1;
  return 0;
}

uint32_t TDiscState::LastTrackOf(uint32_t session) const {
  for (uint32_t i = static_cast<uint32_t>(tracks_.size()); i > 0; --i)
    if (tracks_[i - 1].session == session) return i;
  return 0;
}

uint32_t TDiscState::ClosedSessionCount() const {
  uint32_t count = 0;
  while (count < session_closed_.size() && session_closed_[count]) ++count;
  return count;
}

std::optional<uint32_t> TDiscState::InvisibleTrack() const {
  if (tracks_.empty() || tracks_.back().state != TTrackState::kInvisible) return std::nullopt;
  return TrackCount();
}

std::optional<uint32_t> TDiscState::TrackAt(uint32_t lba) const {
  // Tracks are in ascending order: find the last one starting at or before lba.
  auto it = std::upper_bound(tracks_.begin(), tracks_.end(), lba,
                             [](uint32_t value, const TTrack& track) { return value < track.start; });
  if (it == tracks_.begin()) return std::nullopt;
  const uint32_t number = static_cast<uint32_t>(it - tracks_.begin());
  if (lba >= TrackEnd(number)) return std::nullopt;
  return number;
}

uint32_t TDiscState::TrackEnd(uint32_t number) const {
  const TTrack& track = Track(number);
  if (track.state == TTrackState::kInvisible) return std::max(capacity_, track.start);
  return SaturatingAdd(track.start, track.size);
}

uint32_t TDiscState::FreeBlocks(uint32_t number) const {
  const TTrack& track = Track(number);
  if (formatted_) return track.size;  // random writable: the whole area takes data
  if (track.state == TTrackState::kComplete) return 0;
  return TrackEnd(number) - std::min(TrackEnd(number), NextWritable(number));
}

bool TDiscState::TrackAcceptsData(uint32_t number) const {
  return Track(number).state != TTrackState::kComplete && NextWritable(number) < TrackEnd(number);
}

bool TDiscState::SessionHasData(uint32_t session) const {
  for (const TTrack& track : tracks_)
    if (track.session == session && (track.written > 0 || track.state != TTrackState::kInvisible)) return true;
  return false;
}

TDiscStatus TDiscState::Status() const {
  if (formatted_) return kind_ == TMediaKind::kDvdRam ? TDiscStatus::kOthers : TDiscStatus::kComplete;
  if (finalized_) return TDiscStatus::kComplete;
  if (SessionCount() == 1 && !SessionHasData(1)) return TDiscStatus::kEmpty;
  return TDiscStatus::kIncomplete;
}

TSessionState TDiscState::LastSessionState() const {
  if (finalized_ || SessionClosed(SessionCount())) return TSessionState::kComplete;
  return SessionHasData(SessionCount()) ? TSessionState::kIncomplete : TSessionState::kEmpty;
}

std::optional<uint32_t> TDiscState::LastRecordedLba() const {
  std::optional<uint32_t> last;
  for (const TTrack& track : tracks_)
    if (track.written > 0) last = track.start + track.written - 1;
  return last;
}

bool TDiscState::IsRecorded(uint32_t lba) const {
  const std::optional<uint32_t> number = TrackAt(lba);
  return number && lba < DataEnd(*number);
}

void TDiscState::Record(uint32_t number, uint32_t blocks) {
  TTrack& track = tracks_[number - 1];
  if (formatted_) return;  // random writes: the formatted area is recorded as a whole
  track.written += blocks;
}

uint32_t TDiscState::SessionEnd(uint32_t session) const {
  const uint32_t last = LastTrackOf(session);
  return last == 0 ? 0 : Track(last).start + Track(last).size;
}

uint32_t TDiscState::NextTrackStart(uint32_t after) const {
  if (Traits(kind_).is_cd) return SaturatingAdd(after, kCdTrackGap);
  return AlignUp(after, kDvdEccBlock);
}

uint32_t TDiscState::NextSessionStart(uint32_t after) const {
  const bool first = ClosedSessionCount() == 1;
  uint32_t gap = 0;
  if (Traits(kind_).is_cd)
    gap = first ? kCdFirstSessionGap : kCdLaterSessionGap;
  else if (kind_ == TMediaKind::kDvdR || kind_ == TMediaKind::kDvdRw)
    gap = first ? kDvdMinusFirstBorder : kDvdMinusLaterBorder;
  else
    gap = kDvdPlusSessionGap;
  const uint32_t start = SaturatingAdd(after, gap);
  return Traits(kind_).is_cd ? start : AlignUp(start, kDvdEccBlock);
}

void TDiscState::OpenSessionAt(uint32_t start) {
  session_closed_.push_back(false);
  tracks_.push_back(TTrack{SessionCount(), std::min(start, capacity_), 0, 0, TTrackState::kInvisible});
}

TBlockRange TDiscState::PadToEccBlock(uint32_t number) {
  TTrack& track = tracks_[number - 1];
  if (track.state == TTrackState::kComplete || track.written == 0) return {};
  const uint32_t next = NextWritable(number);
  const uint32_t aligned = std::min(AlignUp(next, kDvdEccBlock), TrackEnd(number));
  track.written += aligned - next;
  return {next, aligned - next};
}

std::vector<TBlockRange> TDiscState::CloseTrack(uint32_t number, const TTrackEnding& ending) {
  TTrack& track = tracks_[number - 1];
  if (track.state == TTrackState::kReserved) {
    // The drive pads the rest of a reserved track.
    const TBlockRange padding{track.start + track.written, track.size - track.written};
    track.written = track.size;
    track.state = TTrackState::kComplete;
    return {padding};
  }
  if (track.state != TTrackState::kInvisible || track.written == 0) return {};
  // Padded to the medium's shortest track, within the disc; then the run-out.
  const uint32_t room = TrackEnd(number) - track.start;
  const uint32_t data = std::min(std::max(track.written, ending.minimum), room);
  const TBlockRange padding{track.start + track.written, data - track.written};
  const uint32_t run_out = std::min(ending.run_out, room - data);
  track.size = data + run_out;
  track.written = track.size;
  track.run_out = run_out;
  track.state = TTrackState::kComplete;
  const uint32_t session = track.session;
  const uint32_t next = NextTrackStart(track.start + track.size);
  tracks_.push_back(TTrack{session, std::min(next, capacity_), 0, 0, TTrackState::kInvisible});
  return {padding};
}

std::vector<TBlockRange> TDiscState::CloseSession(bool allow_next, const TTrackEnding& ending) {
  const uint32_t session = SessionCount();
  std::vector<TBlockRange> padded;
  for (uint32_t n = FirstTrackOf(session); n != 0 && n <= TrackCount(); ++n) {
    TTrack& track = tracks_[n - 1];
    if (track.session != session || track.state == TTrackState::kComplete) continue;
    if (track.state == TTrackState::kInvisible && track.written == 0) continue;
    const bool invisible = track.state == TTrackState::kInvisible;
    for (const TBlockRange& range : CloseTrack(n, ending)) padded.push_back(range);
    // Closing the invisible track opened an empty one after it: the session ends here.
    if (invisible) break;
  }
  // An invisible track that received nothing is not part of the session.
  if (!tracks_.empty() && tracks_.back().session == session && tracks_.back().state == TTrackState::kInvisible &&
      tracks_.back().written == 0)
    tracks_.pop_back();
  session_closed_[session - 1] = true;

  const uint32_t next = NextSessionStart(SessionEnd(session));
  const bool room = next < capacity_ && (!Traits(kind_).is_cd || TrackCount() < kCdMaxTracks);
  if (allow_next && room)
    OpenSessionAt(next);
  else
    finalized_ = true;
  return padded;
}

std::vector<TBlockRange> TDiscState::Finalize(const TTrackEnding& ending) {
  const uint32_t session = SessionCount();
  if (SessionClosed(session)) {
    finalized_ = true;
    return {};
  }
  if (SessionHasData(session)) return CloseSession(false, ending);
  tracks_.pop_back();  // the empty invisible track of the empty last session
  session_closed_.pop_back();
  finalized_ = true;
  return {};
}

void TDiscState::Reserve(uint32_t blocks) {
  TTrack& track = tracks_.back();
  track.state = TTrackState::kReserved;
  track.size = blocks;
  const uint32_t session = track.session;
  const uint32_t next = NextTrackStart(track.start + blocks);
  tracks_.push_back(TTrack{session, std::min(next, capacity_), 0, 0, TTrackState::kInvisible});
}

void TDiscState::Format(uint32_t blocks, bool restricted_overwrite) {
  tracks_ = {TTrack{1, 0, blocks, blocks, TTrackState::kComplete}};
  session_closed_ = {true};
  finalized_ = true;
  formatted_ = true;
  restricted_overwrite_ = restricted_overwrite;
  minimally_blanked_ = false;
}

std::string TDiscState::Serialize() const {
  std::ostringstream out;
  out << "zamo-disc 1\n"
      << "# State of an emulated " << Traits(kind_).name << " disc; its sectors are in the image file beside it.\n"
      << "# track NUMBER STATE START SIZE WRITTEN [RUN-OUT] (blocks of 2048 bytes; the invisible track's size is "
         "the rest of the disc)\n"
      << "kind " << Traits(kind_).name << "\n"
      << "finalized " << (finalized_ ? "yes" : "no") << "\n"
      << "formatted " << (formatted_ ? "yes" : "no") << "\n"
      << "restricted-overwrite " << (restricted_overwrite_ ? "yes" : "no") << "\n";
  if (minimally_blanked_) out << "minimal-blank yes\n";
  uint32_t session = 0;
  for (uint32_t i = 0; i < tracks_.size(); ++i) {
    const TTrack& track = tracks_[i];
    if (track.session != session) {
      session = track.session;
      out << "session " << session << (SessionClosed(session) ? " closed" : " open") << "\n";
    }
    out << "track " << i + 1 << " " << StateName(track.state) << " " << track.start << " "
        << (track.state == TTrackState::kInvisible ? 0 : track.size) << " " << track.written;
    if (track.run_out > 0) out << " " << track.run_out;
    out << "\n";
  }
  return out.str();
}

std::optional<TDiscState> TDiscState::Parse(std::string_view text, TMediaKind expected, std::string* error) {
  TDiscState state(expected);
  bool seen_header = false;
  bool seen_kind = false;
  size_t line_number = 0;
  const auto fail = [&](const std::string& problem) -> std::optional<TDiscState> {
    if (error) *error = "ligne " + std::to_string(line_number) + "\u00A0: " + problem;
    return std::nullopt;
  };
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(begin, end - begin);
    begin = end + 1;
    ++line_number;
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0].front() == '#') continue;
    if (!seen_header) {
      if (words.size() != 2 || words[0] != "zamo-disc" || words[1] != "1")
        return fail("«\u00A0zamo-disc 1\u00A0» attendu (ce n'est pas un fichier d'état de cette version)");
      seen_header = true;
      continue;
    }
    const std::string_view key = words[0];
    if (key == "kind" && words.size() == 2) {
      const std::optional<TMediaKind> kind = MediaKindFromName(words[1]);
      if (!kind) return fail("type inconnu «\u00A0" + std::string(words[1]) + "\u00A0»");
      if (*kind != expected)
        return fail("le disque est un " + std::string(words[1]) + ", pas un " + std::string(Traits(expected).name));
      seen_kind = true;
    } else if ((key == "finalized" || key == "formatted" || key == "restricted-overwrite" || key == "minimal-blank") &&
               words.size() == 2) {
      const std::optional<bool> value = ToYesNo(words[1]);
      if (!value) return fail(std::string(key) + " attend yes ou no");
      (key == "finalized"   ? state.finalized_
       : key == "formatted" ? state.formatted_
       : key == "minimal-blank" ? state.minimally_blanked_
                                : state.restricted_overwrite_) = *value;
    } else if (key == "session" && words.size() == 3) {
      const std::optional<uint32_t> number = ToNumber(words[1]);
      if (!number || *number != state.SessionCount() + 1)
        return fail("les sessions sont numérotées 1, 2, 3... dans l'ordre");
      if (words[2] != "open" && words[2] != "closed") return fail("une session est open ou closed");
      state.session_closed_.push_back(words[2] == "closed");
    } else if (key == "track" && (words.size() == 6 || words.size() == 7)) {
      if (state.session_closed_.empty()) return fail("une ligne track suit la ligne de sa session");
      const std::optional<uint32_t> number = ToNumber(words[1]);
      if (!number || *number != state.TrackCount() + 1) return fail("les pistes sont numérotées 1, 2, 3... dans l'ordre");
      const std::optional<TTrackState> track_state = StateFromName(words[2]);
      if (!track_state) return fail("une piste est invisible, reserved ou complete");
      const std::optional<uint32_t> start = ToNumber(words[3]);
      const std::optional<uint32_t> size = ToNumber(words[4]);
      const std::optional<uint32_t> written = ToNumber(words[5]);
      const std::optional<uint32_t> run_out = words.size() == 7 ? ToNumber(words[6]) : std::optional<uint32_t>(0);
      if (!start || !size || !written || !run_out) return fail("début, taille, écrits et run-out sont des nombres de secteurs");
      state.tracks_.push_back(TTrack{state.SessionCount(), *start, *size, *written, *track_state, *run_out});
    } else {
      return fail("ligne inattendue «\u00A0" + std::string(line) + "\u00A0»");
    }
  }
  if (!seen_header || !seen_kind) {
    if (error) *error = "l'en-tête ou la ligne kind manque";
    return std::nullopt;
  }
  std::string problem = state.Check();
  if (!problem.empty()) {
    if (error) *error = problem;
    return std::nullopt;
  }
  return state;
}

std::string TDiscState::Check() const {
  if (session_closed_.empty()) return "le disque n'a aucune session";
  for (uint32_t s = 1; s <= SessionCount(); ++s)
    if (FirstTrackOf(s) == 0) return "la session " + std::to_string(s) + " n'a aucune piste";
  uint32_t previous_end = 0;
  for (uint32_t n = 1; n <= TrackCount(); ++n) {
    const TTrack& track = Track(n);
    const std::string name = "la piste " + std::to_string(n);
    if (track.start < previous_end) return name + " chevauche la précédente";
    if (track.run_out > 0 && (track.state != TTrackState::kComplete || !Traits(kind_).is_cd))
      return name + " a des secteurs de run-out sans être une piste de CD complète";
    if (track.state == TTrackState::kInvisible) {
      if (n != TrackCount()) return name + " est invisible sans être la dernière";
      if (track.start > capacity_ || track.written > capacity_ - track.start) return name + " dépasse la fin du disque";
    } else {
      if (track.written > track.size) return name + " a plus de secteurs écrits que sa taille";
      if (track.state == TTrackState::kComplete && track.written != track.size)
        return name + " est complète sans être entièrement écrite";
      if (track.run_out > track.size) return name + " a plus de secteurs de run-out que sa taille";
      if (SaturatingAdd(track.start, track.size) > capacity_) return name + " dépasse la fin du disque";
    }
    if (SessionClosed(track.session) && track.state != TTrackState::kComplete)
      return name + " de la session fermée " + std::to_string(track.session) + " n'est pas complète";
    previous_end = TrackEnd(n);
  }
  for (uint32_t s = 1; s < SessionCount(); ++s)
    if (!SessionClosed(s)) return "seule la dernière session peut être ouverte";
  if (finalized_) {
    if (!SessionClosed(SessionCount())) return "un disque finalisé n'a pas de session ouverte";
  } else {
    if (SessionClosed(SessionCount())) return "un disque non finalisé finit par une session ouverte";
    if (!InvisibleTrack()) return "la session ouverte finit par la piste invisible";
  }
  const bool formattable = Traits(kind_).overwritable || kind_ == TMediaKind::kDvdRw || kind_ == TMediaKind::kCdRw;
  if (formatted_) {
    if (!formattable) return "un disque " + std::string(Traits(kind_).name) + " ne se formate pas";
    if (!finalized_ || TrackCount() != 1 || Track(1).start != 0)
      return "un disque formaté est une session fermée d'une piste à partir du secteur 0";
  }
  if (restricted_overwrite_ && (!formatted_ || kind_ != TMediaKind::kDvdRw))
    return "restricted-overwrite est un état de dvd-rw formaté";
  if (kind_ == TMediaKind::kDvdRam && !formatted_) return "un disque dvd-ram est toujours formaté";
  if (minimally_blanked_ && (kind_ != TMediaKind::kDvdRw || formatted_))
    return "minimal-blank est un état de dvd-rw séquentiel";
  return {};
}

}  // namespace zamo::emu
