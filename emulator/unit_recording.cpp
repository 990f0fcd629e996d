// unit_recording.cpp: reading and recording: READ (10/12), WRITE (10/12),
// SYNCHRONIZE CACHE, CLOSE TRACK/SESSION, RESERVE TRACK, BLANK, FORMAT UNIT,
// SEND OPC INFORMATION, SEND CUE SHEET and SEND DVD STRUCTURE, with the MMC-5
// rules of sequential recording (writes only at a next writable address),
// overwriting (anywhere in the formatted area) and test writing (nothing is
// recorded). With speed=N, writes pass through the drive buffer (drive_buffer.h)
// and a flush or close waits for it to drain.
#include <algorithm>
#include <string>

#include "emulator/unit_command.h"

namespace zamo::emu {
namespace {

constexpr TSenseCode kUnrecoveredRead{kMediumError, 0x11, 0x00};  // UNRECOVERED READ ERROR
constexpr TSenseCode kWriteError{kMediumError, 0x0C, 0x00};       // WRITE ERROR
constexpr TSenseCode kLossOfStreaming{kMediumError, 0x0C, 0x09};  // WRITE ERROR - LOSS OF STREAMING
constexpr TSenseCode kPartlyWrittenReservedTrack{kIllegalRequest, 0x72, 0x04};  // EMPTY OR PARTIALLY WRITTEN RESERVED TRACK
constexpr uint32_t kAllBlocks = 0xFFFFFFFF;
// A write waits this long at most for room in the drive buffer; when room
// is further away the drive answers LONG WRITE IN PROGRESS and the host
// sends the write again later.
constexpr std::chrono::seconds kLongestRoomWait{5};

bool IsSequential(const TDiscState& disc) { return !disc.formatted() && !Traits(disc.kind()).read_only; }

}  // namespace

TCommandResult TEmulatedUnit::Read(const TCommand& command) {
  const uint32_t lba = CdbBe32(command.cdb, 2);
  const uint32_t blocks = command.cdb[0] == 0x28 ? CdbBe16(command.cdb, 7) : CdbBe32(command.cdb, 6);
  return ReadBlocks(command, lba, blocks);
}

TCommandResult TEmulatedUnit::ReadBlocks(const TCommand& command, uint32_t lba, uint32_t blocks) {
  if (blocks == 0) return Good();
  const uint64_t bytes = uint64_t{blocks} * kBlockSize;
  if (command.data.size() < bytes) return HostError();  // the host's buffer cannot take the blocks
  const uint64_t end = uint64_t{lba} + blocks;
  const uint64_t readable_end = uint64_t{disc_.LastRecordedLba().value_or(0)} + (disc_.LastRecordedLba() ? 1 : 0);
  // Every block must be recorded; an unrecorded block inside the recorded
  // extent (a pre-gap, a lead-in/lead-out between sessions, the unwritten
  // part of a reserved track) is not a data block of any track.
  // The run-out blocks that end a track-at-once CD track hold no data either.
  for (uint64_t at = lba; at < end;) {
    const std::optional<uint32_t> track = at <= UINT32_MAX ? disc_.TrackAt(static_cast<uint32_t>(at)) : std::nullopt;
    if (!track || at >= disc_.DataEnd(*track))
      return Fail(at >= readable_end ? sense::kLbaOutOfRange : sense::kIllegalModeForTrack);
    at = std::min<uint64_t>(end, disc_.DataEnd(*track));
  }
  std::string problem;
  switch (store_->Read(lba, command.data.first(bytes), &problem)) {
    case TStoreRead::kRead: break;
    case TStoreRead::kPastEnd: return Fail(sense::kLbaOutOfRange);  // the pressed image shrank since it was loaded
    case TStoreRead::kFailed: return Fail(kUnrecoveredRead);
  }
  TCommandResult result;
  result.transferred = static_cast<uint32_t>(bytes);
  return result;
}

TCommandResult TEmulatedUnit::Write(const TCommand& command) {
  const uint32_t lba = CdbBe32(command.cdb, 2);
  const uint32_t blocks = command.cdb[0] == 0x2A ? CdbBe16(command.cdb, 7) : CdbBe32(command.cdb, 6);
  return WriteBlocks(command, lba, blocks);
}

std::optional<TSense> TEmulatedUnit::CheckWriteAddress(uint32_t lba, uint32_t blocks, uint32_t* track) const {
  const uint64_t end = uint64_t{lba} + blocks;
  if (disc_.formatted()) {
    if (end > disc_.Track(1).size) return TSense::Of(sense::kLbaOutOfRange);
    // Restricted overwrite works in whole ECC blocks.
    if (disc_.restricted_overwrite() && (lba % kDvdEccBlock != 0 || blocks % kDvdEccBlock != 0))
      return TSense::Of(sense::kInvalidWriteAddress);
    *track = 1;
    return std::nullopt;
  }
  if (disc_.kind() == TMediaKind::kDvdPlusRw) return TSense::Of(sense::kMediumNotFormatted);
  if (disc_.finalized()) return TSense::Of(sense::kInvalidWriteAddress);

  if (IsCd()) {
    if (DataBlockType() != 8 && DataBlockType() != 10) return TSense::Of(sense::kIllegalModeForTrack);
    if (WriteType() == 2 && !cue_sheet_sent_) return TSense::Of(sense::kCommandSequence);
  }
  if (WriteParamsApply() && WriteType() == 0 && FixedPacket() && PacketSize() > 0 && blocks % PacketSize() != 0)
    return TSense::CdbField(7);  // fixed packets are written whole

  // Sequential recording: only at the next writable address of an open
  // track (the invisible track or a reserved one). A test write continues
  // from where the simulated recording stands.
  for (uint32_t n = disc_.TrackCount(); n > 0; --n) {
    if (!disc_.TrackAcceptsData(n)) continue;
    uint32_t next = disc_.NextWritable(n);
    if (simulated_next_ && *simulated_next_ >= disc_.Track(n).start && *simulated_next_ < disc_.TrackEnd(n))
      next = *simulated_next_;
    if (lba != next) continue;
    if (end > disc_.TrackEnd(n)) return TSense::Of(sense::kLbaOutOfRange);
    if (std::optional<TSense> refused = CheckRecordingMode(n)) return refused;
    *track = n;
    return std::nullopt;
  }
  return TSense::Of(sense::kInvalidWriteAddress);
}

std::optional<TSense> TEmulatedUnit::CheckRecordingMode(uint32_t track) const {
  if (!DvdMinusSequential()) return std::nullopt;
  // Disc at once records the track laid out by RESERVE TRACK, nothing else.
  if (WriteType() == 2 && disc_.Track(track).state != TTrackState::kReserved && Strict(TRule::kDaoNeedsReservation))
    return TSense::Of(sense::kCommandSequence);
  // A minimally blanked DVD-RW lost what incremental recording needs: disc
  // at once only, until a format or a whole blank.
  if (WriteType() == 0 && disc_.minimally_blanked() && Strict(TRule::kMinimalBlankDvdRw))
    return TSense::Of(sense::kIllegalModeForTrack);
  return std::nullopt;
}

TCommandResult TEmulatedUnit::WriteBlocks(const TCommand& command, uint32_t lba, uint32_t blocks) {
  if (config_.write_protected) return Fail(sense::kWriteProtected);
  if (Traits(disc_.kind()).read_only) return Fail(sense::kCannotWriteIncompatible);
  if (blocks == 0) return Good();
  const uint64_t bytes = uint64_t{blocks} * kBlockSize;
  if (command.data.size() < bytes) return HostError();  // the host sent fewer bytes than the blocks need
  uint32_t track = 0;
  if (std::optional<TSense> refused = CheckWriteAddress(lba, blocks, &track)) return Fail(*refused);
  const auto now = clock_();
  if (std::optional<TCommandResult> answer = AdmitToBuffer(bytes, now)) return *answer;

  // An injected fault stops the write at its block: a medium or hardware
  // error after the blocks before it landed, naming its block in the
  // information field; a refusal (illegal request, not ready, protection)
  // before anything is recorded.
  uint32_t good_blocks = blocks;
  std::optional<TSense> injected;
  for (const TInjectedWriteError& fault : config_.write_errors) {
    if (fault.lba >= lba && fault.lba - lba < good_blocks) {
      const uint8_t key = fault.sense.key;
      const bool refused = key == kIllegalRequest || key == kNotReady || key == kDataProtect;
      good_blocks = refused ? 0 : fault.lba - lba;
      injected = TSense::Of(fault.sense);
      if (!refused) injected->information = fault.lba;
    }
  }
  // removeat=: the disc vanishes when the write reaches that block.
  const std::optional<uint32_t> remove_at = config_.remove_at;
  const bool removal = remove_at && *remove_at >= lba && *remove_at - lba <= good_blocks && *remove_at - lba < blocks;
  if (removal) {
    good_blocks = *remove_at - lba;
    injected = TSense::Of(sense::kNoMedium);
  }
  if (buffer_) {
    const uint64_t taken = uint64_t{good_blocks} * kBlockSize;
    // A buffer that only shows its fill takes what fits: the rest went
    // straight to the disc.
    buffer_->Put(buffer_throttles_ ? taken : std::min<uint64_t>(taken, buffer_->Free(now)), now);
  }

  if (WriteParamsApply() && TestWrite()) {
    simulated_next_ = lba + good_blocks;  // simulation: the laser stays cold, nothing is recorded
  } else if (good_blocks > 0) {
    std::string problem;
    if (!store_->Write(lba, command.data.first(uint64_t{good_blocks} * kBlockSize), &problem))
      return Fail(kWriteError);
    if (IsSequential(disc_)) {
      disc_.Record(track, good_blocks);
      if (!NoteRecorded(now, &problem)) return Fail(kWriteError);
    } else if (!state_saved_by_write_) {
      // An overwritable disc's layout does not change with a write, but its
      // state file must exist beside the data: without it the next run
      // would take the image for somebody else's file.
      if (!Commit(&problem)) return Fail(kWriteError);
      state_saved_by_write_ = true;
    }
  }
  if (removal) {
    EndRecording(now);
    medium_removed_ = true;
    simulated_next_.reset();
  }
  if (injected) return Fail(*injected);
  TCommandResult result;
  result.transferred = static_cast<uint32_t>(bytes);
  return result;
}

std::optional<TCommandResult> TEmulatedUnit::AdmitToBuffer(uint64_t bytes, std::chrono::steady_clock::time_point now) {
  if (!buffer_ || !buffer_throttles_) return std::nullopt;
  const auto room = buffer_->RoomAt(bytes, now);
  if (room > now) {
    // A full buffer holds the write until there is room, as drives do; a
    // write larger than the whole buffer waits for it to empty.
    if (room - now > kLongestRoomWait) return Fail(sense::kLongWriteInProgress);
    return RetryAt(room);
  }
  if (buffer_->RanEmpty(now)) {
    // The host did not keep up. With buffer-underrun protection on the
    // write parameters page the drive stopped and resumes; without it the
    // recording is lost. Media the page does not govern link losslessly.
    if (WriteParamsApply() && !UnderrunProtection()) {
      buffer_->LoseStream();
      EndRecording(now);
      return Fail(kLossOfStreaming);
    }
  }
  return std::nullopt;
}

TCommandResult TEmulatedUnit::SynchronizeCache(const TCommand& command) {
  // Without speed=N writes reach the image at once. With it the flush waits
  // until the buffer has drained, plus the configured time (sync=); with the
  // immediate bit it returns at once and the unit stays busy (LONG WRITE IN
  // PROGRESS) for as long instead.
  const bool immediate = command.cdb[1] & 0x02;
  const auto now = clock_();
  if (!immediate) {
    if (auto held = HoldUntilDone(0x35, DrainedAt(now), times_.synchronize, now)) return *held;
  }
  const std::chrono::milliseconds draining = FinishRecording(now);
  if (!PadToEccBlocks()) return Fail(kWriteError);
  if (immediate) StartLongOperation(sense::kLongWriteInProgress, draining + times_.synchronize);
  return Good();
}

bool TEmulatedUnit::PadToEccBlocks() {
  if (!DvdMinusSequential() || !Strict(TRule::kEccPadding) || (WriteParamsApply() && TestWrite())) return true;
  std::vector<TBlockRange> padding;
  for (uint32_t n = disc_.FirstTrackOf(disc_.SessionCount()); n != 0 && n <= disc_.TrackCount(); ++n)
    if (!disc_.SessionClosed(disc_.Track(n).session)) padding.push_back(disc_.PadToEccBlock(n));
  const bool padded = std::any_of(padding.begin(), padding.end(), [](const TBlockRange& r) { return r.blocks > 0; });
  if (!padded) return true;
  std::string problem;
  return RecordPadding(padding) && Commit(&problem);
}

bool TEmulatedUnit::RecordPadding(const std::vector<TBlockRange>& padding) {
  std::string problem;
  for (const TBlockRange& range : padding)
    if (!store_->Zero(range.lba, range.blocks, &problem)) return false;
  return true;
}

std::optional<TSense> TEmulatedUnit::CheckReservedTracksFull(uint32_t track, bool whole_session) const {
  if (!DvdMinusSequential() || !Strict(TRule::kReservedTrackFull)) return std::nullopt;
  const auto unfilled = [this](uint32_t n) {
    const TTrack& t = disc_.Track(n);
    return t.state == TTrackState::kReserved && t.written < t.size;
  };
  if (!whole_session) {
    if (unfilled(track)) return TSense::Of(kPartlyWrittenReservedTrack);
    return std::nullopt;
  }
  const uint32_t session = disc_.SessionCount();
  for (uint32_t n = disc_.FirstTrackOf(session); n != 0 && n <= disc_.LastTrackOf(session); ++n)
    if (unfilled(n)) return TSense::Of(kPartlyWrittenReservedTrack);
  return std::nullopt;
}

TTrackEnding TEmulatedUnit::TrackEndingOfClose() const {
  // Track at once on a CD: the drive pads a short track to 4 seconds and
  // writes its run-out.
  if (IsCd() && WriteType() == 1 && Strict(TRule::kTaoTrackEnd)) return {kCdMinimumTrack, kCdRunOut};
  return {};
}

TCommandResult TEmulatedUnit::CloseTrackSession(const TCommand& command) {
  const bool immediate = command.cdb[1] & 0x01;
  const uint8_t function = command.cdb[2] & 0x07;
  const uint32_t number = CdbBe16(command.cdb, 4);
  if (config_.write_protected) return Fail(sense::kWriteProtected);
  if (Traits(disc_.kind()).read_only) return Fail(sense::kCannotWriteIncompatible);
  const TMediaKind kind = disc_.kind();
  const auto now = clock_();
  // A close first records what the buffer holds; it takes the close's time
  // (close=), and on a DVD+RW function 3 the rest of the background format.
  std::chrono::milliseconds duration = times_.close;
  if (kind == TMediaKind::kDvdPlusRw && function == 3) duration += BackgroundFormatLeft(now);
  if (!immediate) {
    if (auto held = HoldUntilDone(0x5B, DrainedAt(now), duration, now)) return *held;
  }
  const std::chrono::milliseconds draining = FinishRecording(now);
  if (WriteParamsApply() && TestWrite()) {  // closing a simulated recording changes nothing
    simulated_next_.reset();
    if (immediate) StartLongOperation(sense::kLongWriteInProgress, draining + times_.close);
    return Good();
  }

  const bool plus = kind == TMediaKind::kDvdPlusR || kind == TMediaKind::kDvdPlusRDl;
  std::vector<TBlockRange> padding;
  if (kind == TMediaKind::kDvdPlusRw) {
    // 0: stop de-icing, 2: quick stop, 3: complete the background format.
    if (function != 0 && function != 2 && function != 3) return Fail(TSense::CdbField(2));
    const std::chrono::milliseconds left = function == 3 ? BackgroundFormatLeft(now) : std::chrono::milliseconds(0);
    if (function == 3) {
      background_format_.reset();  // de-iced: complete (held until now, or busy for the rest)
    } else {
      StopBackgroundFormat(now);
    }
    if (immediate)
      StartLongOperation(left.count() > 0 ? sense::kFormatInProgress : sense::kLongWriteInProgress,
                         draining + times_.close + left);
    return Good();
  } else if (disc_.formatted()) {
    if (function != 1 && function != 2) return Fail(TSense::CdbField(2));
  } else {
    // The host ended the recording: a DVD-R/-RW links its last ECC block.
    if (!PadToEccBlocks()) return Fail(kWriteError);
    switch (function) {
      case 1: {  // close a track; on a CD, FFh names the incomplete track
        uint32_t track = number;
        if (IsCd() && number == 0xFF && disc_.InvisibleTrack()) track = *disc_.InvisibleTrack();
        if (track == 0 || track > disc_.TrackCount()) return Fail(TSense::CdbField(4));
        if (std::optional<TSense> refused = CheckReservedTracksFull(track, false)) return Fail(*refused);
        padding = disc_.CloseTrack(track, TrackEndingOfClose());
        break;
      }
      case 2:  // close the session: open for another one unless the page says otherwise
        if (!disc_.finalized() && disc_.SessionHasData(disc_.SessionCount())) {
          if (std::optional<TSense> refused = CheckReservedTracksFull(0, true)) return Fail(*refused);
          padding = disc_.CloseSession(plus || NextSessionAllowed(), TrackEndingOfClose());
        }
        break;
      case 5:  // finalize: no further session
      case 6:  // DVD+R: finalize with the minimal radius
        if (function == 6 && !plus) return Fail(TSense::CdbField(2));
        if (disc_.Status() == TDiscStatus::kEmpty) return Fail(sense::kCommandSequence);
        if (std::optional<TSense> refused = CheckReservedTracksFull(0, true)) return Fail(*refused);
        padding = disc_.Finalize(TrackEndingOfClose());
        break;
      default:
        return Fail(TSense::CdbField(2));
    }
  }
  if (!RecordPadding(padding)) return Fail(kWriteError);
  TCommandResult result = CommitOrFail();
  if (result.good() && immediate) StartLongOperation(sense::kLongWriteInProgress, draining + times_.close);
  return result;
}

std::optional<TCommandResult> TEmulatedUnit::HoldUntilDone(uint8_t opcode, std::chrono::steady_clock::time_point drained,
                                                           std::chrono::milliseconds duration,
                                                           std::chrono::steady_clock::time_point now) {
  if (!held_ || held_->opcode != opcode) {
    if (drained <= now && duration.count() <= 0) return std::nullopt;
    held_ = THeld{opcode, std::max(drained, now) + duration};
  }
  if (now < held_->until) return RetryAt(held_->until);
  held_.reset();
  return std::nullopt;
}

TCommandResult TEmulatedUnit::ReserveTrack(const TCommand& command) {
  if (command.cdb[1] & 0x01) return Fail(TSense::CdbField(1));  // reservation by address: not offered
  const uint32_t requested = CdbBe32(command.cdb, 5);
  if (config_.write_protected) return Fail(sense::kWriteProtected);
  const TMediaKind kind = disc_.kind();
  if (!IsSequential(disc_) || kind == TMediaKind::kDvdPlusRw) return Fail(sense::kCannotWriteIncompatible);
  const std::optional<uint32_t> invisible = disc_.InvisibleTrack();
  // Only an empty invisible track can be reserved.
  if (!invisible || disc_.Track(*invisible).written > 0) return Fail(sense::kCommandSequence);
  uint32_t blocks = requested;
  if (!IsCd()) blocks = (blocks + kDvdEccBlock - 1) / kDvdEccBlock * kDvdEccBlock;
  if (requested == 0 || blocks < requested || blocks > disc_.FreeBlocks(*invisible)) return Fail(TSense::CdbField(5));
  if (WriteParamsApply() && TestWrite()) return Good();  // simulated
  disc_.Reserve(blocks);
  return CommitOrFail();
}

TCommandResult TEmulatedUnit::Blank(const TCommand& command) {
  const bool immediate = command.cdb[1] & 0x10;
  const uint8_t type = command.cdb[1] & 0x07;
  if (!Traits(disc_.kind()).blankable) return Fail(sense::kIncompatibleMedium);
  if (config_.write_protected) return Fail(sense::kWriteProtected);
  if (type != 0 && type != 1) return Fail(TSense::CdbField(1));  // the whole disc, fully or minimally
  std::string problem;
  if (type == 0 && !store_->Wipe(&problem)) return Fail(kWriteError);
  if (buffer_) buffer_->Discard(clock_());
  disc_.MakeBlank();
  // A minimal blank leaves a DVD-RW without what incremental recording needs.
  if (type == 1 && disc_.kind() == TMediaKind::kDvdRw) disc_.MarkMinimallyBlanked();
  simulated_next_.reset();
  cue_sheet_sent_ = false;
  TCommandResult result = CommitOrFail();
  const std::chrono::milliseconds duration =
      type == 0 && times_.full_blank.count() > 0 ? times_.full_blank : times_.blank;
  if (result.good() && immediate) StartLongOperation(sense::kOperationInProgress, duration);
  return result;
}

TCommandResult TEmulatedUnit::FormatUnit(const TCommand& command) {
  if ((command.cdb[1] & 0x17) != 0x11) return Fail(TSense::CdbField(1));  // format data follows, format code 1
  const std::span<const uint8_t> list = command.data;
  if (list.size() < 4) return Fail(sense::kParameterListLength);
  if (GetBe16(list, 2) != 8) return Fail(TSense::ParameterField(2));
  if (list.size() < 12) return Fail(sense::kParameterListLength);
  const bool immediate = list[1] & 0x02;
  const uint32_t blocks = GetBe32(list, 4);
  const uint8_t type = list[8] >> 2;
  const uint32_t parameter = (uint32_t{list[9]} << 16) | (uint32_t{list[10]} << 8) | list[11];
  if (config_.write_protected) return Fail(sense::kWriteProtected);
  const bool formatted_before = disc_.formatted();

  TCommandResult result = FormatOverwritable(type, blocks, parameter);
  if (!result.good()) return result;
  const auto now = clock_();
  if (buffer_) buffer_->Discard(now);
  simulated_next_.reset();
  result = CommitOrFail();
  if (!result.good()) return result;
  if (disc_.kind() == TMediaKind::kDvdPlusRw) {
    // A DVD+RW formats in the background: the unit stays ready and takes
    // writes meanwhile. A format stopped earlier goes on where it stopped.
    if (background_format_) {
      if (!background_format_->running_since) background_format_->running_since = now;
    } else if (Strict(TRule::kBackgroundFormat) && times_.format.count() > 0 && !formatted_before) {
      background_format_ = TBackgroundFormat{times_.format, {}, now};
    }
  } else if (immediate) {
    StartLongOperation(sense::kFormatInProgress, times_.format);
  }
  return result;
}

std::chrono::milliseconds TEmulatedUnit::BackgroundFormatLeft(std::chrono::steady_clock::time_point now) const {
  if (!background_format_) return std::chrono::milliseconds(0);
  const TBackgroundFormat& format = *background_format_;
  auto done = format.done;
  if (format.running_since) done += now - *format.running_since;
  if (done >= format.total) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(format.total - done);
}

void TEmulatedUnit::StopBackgroundFormat(std::chrono::steady_clock::time_point now) {
  if (!background_format_ || !background_format_->running_since) return;
  background_format_->done += now - *background_format_->running_since;
  background_format_->running_since.reset();
}

uint8_t TEmulatedUnit::BackgroundFormatStatus(std::chrono::steady_clock::time_point now) {
  if (disc_.kind() != TMediaKind::kDvdPlusRw || !disc_.formatted()) return 0;
  if (background_format_ && BackgroundFormatLeft(now).count() == 0) background_format_.reset();
  if (!background_format_) return 3;                   // complete
  return background_format_->running_since ? 2 : 1;   // in progress; stopped
}

std::optional<TSense> TEmulatedUnit::BackgroundFormatSense(std::chrono::steady_clock::time_point now) {
  if (BackgroundFormatStatus(now) != 2) return std::nullopt;
  const auto total = background_format_->total;
  const auto left = BackgroundFormatLeft(now);
  const uint16_t fraction = static_cast<uint16_t>(std::min<int64_t>(65535, (total - left) * 65536 / total));
  // Ready (NO SENSE), with the progress of the format in the sense-key specific bytes.
  return TSense::Progress(TSenseCode{kNoSense, 0x00, 0x00}, fraction);
}

TCommandResult TEmulatedUnit::FormatOverwritable(uint8_t type, uint32_t blocks, uint32_t parameter) {
  const TMediaKind kind = disc_.kind();
  const uint32_t capacity = disc_.capacity();
  std::string problem;
  const auto size = [&](uint32_t limit) -> std::optional<uint32_t> {
    if (blocks == kAllBlocks) return limit;
    if (blocks == 0 || blocks > limit) return std::nullopt;
    return blocks;
  };
  switch (kind) {
    case TMediaKind::kDvdPlusRw: {
      if (type != 0x26) return Fail(TSense::ParameterField(8));
      if (!size(capacity)) return Fail(TSense::ParameterField(4));
      if (disc_.formatted()) return Good();  // formatting again restarts a stopped background format
      if (!store_->Wipe(&problem)) return Fail(sense::kCannotFormat);
      disc_.Format(capacity, false);
      return Good();
    }
    case TMediaKind::kDvdRw: {
      // Quick grow (13h) of a restricted-overwrite disc: the whole disc is
      // already writable here, nothing is lost.
      if (type == 0x13) {
        if (!disc_.restricted_overwrite()) return Fail(TSense::ParameterField(8));
        return Good();
      }
      // Full (00h) or quick (15h) format to restricted overwrite. A quick
      // format leaves the disc writable over its whole capacity, as drives
      // do (they format the rest as it is written), whatever block count
      // the host gave.
      if (type != 0x00 && type != 0x15) return Fail(TSense::ParameterField(8));
      std::optional<uint32_t> area = type == 0x15 ? std::optional<uint32_t>(capacity) : size(capacity);
      if (!area) return Fail(TSense::ParameterField(4));
      if (!store_->Wipe(&problem)) return Fail(sense::kCannotFormat);
      disc_.Format(*area / kDvdEccBlock * kDvdEccBlock, true);
      return Good();
    }
    case TMediaKind::kDvdRam: {
      if (type != 0x00) return Fail(TSense::ParameterField(8));
      if (parameter != kBlockSize) return Fail(TSense::ParameterField(9));
      const std::optional<uint32_t> area = size(capacity);
      if (!area) return Fail(TSense::ParameterField(4));
      if (!store_->Wipe(&problem)) return Fail(sense::kCannotFormat);
      disc_.Format(*area, false);
      return Good();
    }
    case TMediaKind::kCdRw: {  // full format into fixed packets of 32 blocks
      if (type != 0x10) return Fail(TSense::ParameterField(8));
      if (parameter != 32) return Fail(TSense::ParameterField(9));
      const std::optional<uint32_t> area = size(capacity / 39 * 32);
      if (!area) return Fail(TSense::ParameterField(4));
      if (!store_->Wipe(&problem)) return Fail(sense::kCannotFormat);
      disc_.Format(*area, false);
      return Good();
    }
    default:
      return Fail(sense::kCannotFormat);
  }
}

TCommandResult TEmulatedUnit::SendOpcInformation(const TCommand& command) {
  const bool perform = command.cdb[1] & 0x01;
  if (Traits(disc_.kind()).read_only) return Fail(sense::kCannotWriteIncompatible);
  if (perform && config_.opc_fails) return Fail(sense::kPowerCalibrationError);
  return Good();
}

TCommandResult TEmulatedUnit::SendCueSheet(const TCommand& command) {
  const uint32_t length = CdbBe24(command.cdb, 6);
  const TMediaKind kind = disc_.kind();
  if ((kind != TMediaKind::kCdR && kind != TMediaKind::kCdRw) || disc_.formatted())
    return Fail(sense::kCannotWriteIncompatible);
  if (WriteType() != 2) return Fail(sense::kCommandSequence);  // a cue sheet belongs to session at once
  const std::optional<std::span<const uint8_t>> list = ParameterList(command, length);
  if (!list) return HostError();
  if (length == 0 || length % 8 != 0) return Fail(sense::kParameterListLength);  // 8-byte cue sheet entries
  cue_sheet_sent_ = true;
  return Good();
}

TCommandResult TEmulatedUnit::SendDvdStructure(const TCommand& command) {
  const uint8_t format = command.cdb[7];
  const uint32_t length = CdbBe16(command.cdb, 8);
  const uint16_t profile = disc_.Profile();
  // Format 0Fh, the recording time stamp of a DVD-R/-RW, is the one taken.
  if (format != 0x0F || (profile != kProfileDvdR && profile != kProfileDvdRwSequential))
    return Fail(TSense::CdbField(7));
  if (config_.write_protected) return Fail(sense::kWriteProtected);
  const std::optional<std::span<const uint8_t>> list = ParameterList(command, length);
  if (!list) return HostError();
  if (length < 22) return Fail(sense::kParameterListLength);
  if (GetBe16(*list, 0) < 20) return Fail(TSense::ParameterField(0));
  std::string stamp(list->begin() + 8, list->begin() + 22);
  if (!std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return Fail(TSense::ParameterField(8));
  time_stamp_ = stamp;
  return Good();
}

}  // namespace zamo::emu
