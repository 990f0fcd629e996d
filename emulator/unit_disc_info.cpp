// unit_disc_info.cpp: what the unit tells about its disc: READ CAPACITY,
// READ FORMAT CAPACITIES, READ DISC INFORMATION, READ TRACK INFORMATION and
// READ TOC/PMA/ATIP (formats 0, 1, 2 and 4), laid out as MMC-5 6.22-6.29.
#include <algorithm>
#include <vector>

#include "emulator/unit_command.h"

namespace zamo::emu {
namespace {

// ATIP of the emulated 80-minute CD-R/RW: start of the lead-in (97:24:01 and
// 97:26:66 as absolute times, i.e. before LBA 0) and the last possible start
// of the lead-out (79:59:74).
constexpr int32_t kAtipLeadInCdR = (97 * 4500 + 24 * 75 + 1) - 450'150;
constexpr int32_t kAtipLeadInCdRw = (97 * 4500 + 26 * 75 + 66) - 450'150;
constexpr int32_t kAtipLeadOut = 79 * 4500 + 59 * 75 + 74 - kMsfOffset;
static_assert(kAtipLeadOut == static_cast<int32_t>(kCd80Blocks));

constexpr uint8_t kDataTrackControl = 0x14;  // ADR 1 (position), control 4 (data, uninterrupted)
constexpr uint8_t kMode5Control = 0x54;      // ADR 5 (multi-session pointers), control 4
constexpr uint32_t kTocTrackLimit = 99;      // a TOC names tracks with one byte below the lead-out's AAh
constexpr uint32_t kCdRwPacket = 32;         // fixed packets of a formatted CD-RW
constexpr uint32_t kCdRwPacketOverhead = 7;  // link, run-in and run-out blocks of each packet

uint8_t Low(uint32_t value) { return static_cast<uint8_t>(value); }
uint8_t ByteOrMax(uint32_t value) { return static_cast<uint8_t>(std::min<uint32_t>(value, 255)); }

void PutAddress(std::span<uint8_t> out, size_t at, uint32_t lba, bool msf) {
  if (msf)
    PutMsf(out, at, static_cast<int32_t>(lba));
  else
    PutBe32(out, at, lba);
}

void AppendDescriptor(std::vector<uint8_t>* out, uint32_t blocks, uint8_t type_byte, uint32_t parameter) {
  const size_t at = out->size();
  out->resize(at + 8, 0);
  PutBe32(*out, at, blocks);
  (*out)[at + 4] = type_byte;
  (*out)[at + 5] = static_cast<uint8_t>(parameter >> 16);
  (*out)[at + 6] = static_cast<uint8_t>(parameter >> 8);
  (*out)[at + 7] = static_cast<uint8_t>(parameter);
}

}  // namespace

TCommandResult TEmulatedUnit::ReadCapacity(const TCommand& command) {
  std::array<uint8_t, 8> response{};
  // The last block holding data: for overwritable media the formatted area;
  // 0 when nothing is recorded yet.
  PutBe32(response, 0, disc_.LastRecordedLba().value_or(0));
  PutBe32(response, 4, kBlockSize);
  return DataIn(command, response, static_cast<uint32_t>(response.size()));
}

TCommandResult TEmulatedUnit::ReadFormatCapacities(const TCommand& command) {
  const uint32_t allocation = CdbBe16(command.cdb, 7);
  constexpr uint8_t kUnformatted = 0x01;
  constexpr uint8_t kFormatted = 0x02;
  const TMediaKind kind = disc_.kind();
  const uint32_t capacity = disc_.capacity();
  const uint32_t formatted = disc_.formatted() ? disc_.Track(1).size : 0;

  std::vector<uint8_t> response(4, 0);
  switch (kind) {
    case TMediaKind::kDvdPlusRw:
      AppendDescriptor(&response, disc_.formatted() ? formatted : capacity,
                       disc_.formatted() ? kFormatted : kUnformatted, kBlockSize);
      AppendDescriptor(&response, capacity, 0x26 << 2, 0);
      break;
    case TMediaKind::kDvdRw:
      AppendDescriptor(&response, disc_.formatted() ? formatted : capacity,
                       disc_.Status() == TDiscStatus::kEmpty ? kUnformatted : kFormatted, kBlockSize);
      AppendDescriptor(&response, capacity, 0x00 << 2, kBlockSize);
      AppendDescriptor(&response, capacity, 0x15 << 2, 0);
      break;
    case TMediaKind::kDvdRam:
      AppendDescriptor(&response, formatted, kFormatted, kBlockSize);
      AppendDescriptor(&response, capacity, 0x00 << 2, kBlockSize);
      break;
    case TMediaKind::kCdRw:
      AppendDescriptor(&response, disc_.formatted() ? formatted : capacity,
                       disc_.formatted() ? kFormatted : kUnformatted, kBlockSize);
      AppendDescriptor(&response, capacity / (kCdRwPacket + kCdRwPacketOverhead) * kCdRwPacket, 0x10 << 2,
                       kCdRwPacket);
      break;
    default:  // write-once and pressed discs: their capacity, nothing to format
      AppendDescriptor(&response, capacity, kFormatted, kBlockSize);
      break;
  }
  response[3] = static_cast<uint8_t>(response.size() - 4);
  return DataIn(command, response, allocation);
}

TCommandResult TEmulatedUnit::ReadDiscInformation(const TCommand& command) {
  const uint8_t data_type = command.cdb[1] & 0x07;
  const uint32_t allocation = CdbBe16(command.cdb, 7);
  const uint32_t sessions = disc_.SessionCount();
  const uint32_t last_session = sessions;

  if (data_type == 1) {  // track resources
    std::array<uint8_t, 12> response{};
    PutBe16(response, 0, 10);
    response[2] = 0x20;
    const uint32_t limit = IsCd() ? kCdMaxTracks : 0xFFFF;
    const uint32_t appendable = disc_.finalized() ? 0 : limit - std::min(limit, disc_.TrackCount());
    PutBe16(response, 4, static_cast<uint16_t>(limit));
    PutBe16(response, 6, static_cast<uint16_t>(std::min<uint32_t>(disc_.TrackCount(), 0xFFFF)));
    PutBe16(response, 8, static_cast<uint16_t>(appendable));
    PutBe16(response, 10, static_cast<uint16_t>(appendable));
    return DataIn(command, response, allocation);
  }
  if (data_type != 0) return Fail(TSense::CdbField(1));

  std::array<uint8_t, 34> response{};
  PutBe16(response, 0, static_cast<uint16_t>(response.size() - 2));
  const bool erasable = Traits(disc_.kind()).rewritable && config_.erasable_bit;
  response[2] = static_cast<uint8_t>((erasable ? 0x10 : 0) | static_cast<uint8_t>(disc_.LastSessionState()) << 2 |
                                     static_cast<uint8_t>(disc_.Status()));
  response[3] = 1;  // first track on the disc
  const uint32_t first = disc_.FirstTrackOf(last_session);
  const uint32_t last = disc_.LastTrackOf(last_session);
  response[4] = Low(sessions);
  response[5] = Low(first);
  response[6] = Low(last);
  response[9] = Low(sessions >> 8);
  response[10] = Low(first >> 8);
  response[11] = Low(last >> 8);
  response[7] = 0x20;  // unrestricted use
  response[7] |= BackgroundFormatStatus(clock_());  // DVD+RW: 1 stopped, 2 in progress, 3 complete
  response[8] = 0x00;  // CD-DA or CD-ROM

  if (disc_.finalized()) {
    PutBe32(response, 16, 0xFFFFFFFF);
    PutBe32(response, 20, 0xFFFFFFFF);
  } else if (IsCd()) {
    // The open session's lead-in: the ATIP's for the first session, else
    // right after the previous session's lead-out.
    int32_t lead_in = disc_.kind() == TMediaKind::kCdRw ? kAtipLeadInCdRw : kAtipLeadInCdR;
    if (last_session > 1) {
      const TTrack& previous = disc_.Track(disc_.LastTrackOf(last_session - 1));
      const uint32_t lead_out = last_session == 2 ? 6750 : 2250;
      lead_in = static_cast<int32_t>(previous.start + previous.size + lead_out);
    }
    PutMsf(response, 16, lead_in);
    PutMsf(response, 20, kAtipLeadOut);
  } else {
    const uint32_t lead_in =
        last_session > 1 ? disc_.Track(disc_.LastTrackOf(last_session - 1)).start +
                               disc_.Track(disc_.LastTrackOf(last_session - 1)).size
                         : 0;
    PutBe32(response, 16, lead_in);
    PutBe32(response, 20, disc_.capacity());
  }
  return DataIn(command, response, allocation);
}

std::vector<uint8_t> TEmulatedUnit::TrackInformation(uint32_t number) const {
  const TTrack& track = disc_.Track(number);
  const uint16_t profile = disc_.Profile();
  const bool dvd_minus = profile == kProfileDvdR || profile == kProfileDvdRwSequential;
  const bool open = track.state != TTrackState::kComplete;
  const bool packet = !disc_.formatted() && (dvd_minus || (IsCd() && open && WriteType() == 0));
  const bool blank = open && track.written == 0;
  const bool writable = !disc_.formatted() && disc_.TrackAcceptsData(number);

  std::vector<uint8_t> info(48, 0);
  PutBe16(info, 0, static_cast<uint16_t>(info.size() - 2));
  info[2] = Low(number);
  info[3] = Low(track.session);
  info[32] = Low(number >> 8);
  info[33] = Low(track.session >> 8);
  info[5] = dvd_minus ? 0x05 : 0x04;  // data track, recorded incrementally or uninterrupted
  info[6] = static_cast<uint8_t>((track.state == TTrackState::kReserved ? 0x80 : 0) | (blank ? 0x40 : 0) |
                                 (packet ? 0x20 : 0) | (packet && FixedPacket() ? 0x10 : 0) | (blank ? 0x0F : 0x01));
  info[7] = static_cast<uint8_t>((track.written > 0 ? 0x02 : 0) | (writable ? 0x01 : 0));  // LRA_V, NWA_V
  PutBe32(info, 8, track.start);
  PutBe32(info, 12, writable ? disc_.NextWritable(number) : 0);
  PutBe32(info, 16, disc_.FreeBlocks(number));
  PutBe32(info, 20, packet && FixedPacket() ? PacketSize() : (IsCd() ? 0 : kDvdEccBlock));
  PutBe32(info, 24, disc_.TrackEnd(number) - track.start);
  PutBe32(info, 28, track.written > 0 ? track.start + track.written - 1 : 0);
  return info;
}

TCommandResult TEmulatedUnit::ReadTrackInformation(const TCommand& command) {
  const uint8_t address_type = command.cdb[1] & 0x03;
  const uint32_t value = CdbBe32(command.cdb, 2);
  const uint32_t allocation = CdbBe16(command.cdb, 7);
  uint32_t number = 0;
  switch (address_type) {
    case 0: {  // the track holding a block
      const std::optional<uint32_t> track = disc_.TrackAt(value);
      if (!track) return Fail(TSense::CdbField(2));
      number = *track;
      break;
    }
    case 1:  // a logical track number; on a CD, FFh is the invisible or incomplete track
      if (IsCd() && value == 0xFF) {
        const std::optional<uint32_t> invisible = disc_.InvisibleTrack();
        if (!invisible) return Fail(TSense::CdbField(5));
        number = *invisible;
      } else {
        if (value == 0 || value > disc_.TrackCount()) return Fail(TSense::CdbField(5));
        number = value;
      }
      break;
    case 2:  // the first track of a session
      if (value == 0 || value > disc_.SessionCount()) return Fail(TSense::CdbField(5));
      number = disc_.FirstTrackOf(value);
      break;
    default:
      return Fail(TSense::CdbField(1));
  }
  return DataIn(command, TrackInformation(number), allocation);
}

TCommandResult TEmulatedUnit::ReadTocPmaAtip(const TCommand& command) {
  const bool msf = command.cdb[1] & 0x02;
  switch (command.cdb[2] & 0x0F) {
    case 0:
      return ReadToc(command, msf, command.cdb[6]);
    case 1:
      return ReadSessionInfo(command, msf);
    case 2:
      return ReadFullToc(command);
    case 4:
      return ReadAtip(command);
    default:  // PMA and CD-TEXT are not kept
      return Fail(TSense::CdbField(2));
  }
}

TCommandResult TEmulatedUnit::ReadToc(const TCommand& command, bool msf, uint8_t start_track) {
  const uint32_t closed = disc_.ClosedSessionCount();
  if (closed == 0) return Fail(sense::kInvalidCdbField);  // no complete session: no TOC yet
  const uint32_t last_track = std::min(disc_.LastTrackOf(closed), kTocTrackLimit);
  if (start_track > last_track && start_track != 0xAA) return Fail(TSense::CdbField(6));

  std::vector<uint8_t> response(4, 0);
  response[2] = 1;
  response[3] = Low(last_track);
  const auto append = [&](uint8_t number, uint32_t lba) {
    const size_t at = response.size();
    response.resize(at + 8, 0);
    response[at + 1] = kDataTrackControl;
    response[at + 2] = number;
    PutAddress(response, at + 4, lba, msf);
  };
  if (start_track != 0xAA)
    for (uint32_t n = std::max<uint32_t>(start_track, 1); n <= last_track; ++n) append(Low(n), disc_.Track(n).start);
  const TTrack& last = disc_.Track(disc_.LastTrackOf(closed));
  append(0xAA, last.start + last.size);  // lead-out of the last complete session
  PutBe16(response, 0, static_cast<uint16_t>(response.size() - 2));
  return DataIn(command, response, CdbBe16(command.cdb, 7));
}

TCommandResult TEmulatedUnit::ReadSessionInfo(const TCommand& command, bool msf) {
  const uint32_t closed = disc_.ClosedSessionCount();
  if (closed == 0) return Fail(sense::kInvalidCdbField);
  const uint32_t first = disc_.FirstTrackOf(closed);
  std::array<uint8_t, 12> response{};
  PutBe16(response, 0, 10);
  response[2] = 1;
  response[3] = ByteOrMax(closed);
  response[5] = kDataTrackControl;
  response[6] = ByteOrMax(first);
  PutAddress(response, 8, disc_.Track(first).start, msf);
  return DataIn(command, response, CdbBe16(command.cdb, 7));
}

TCommandResult TEmulatedUnit::ReadFullToc(const TCommand& command) {
  if (!IsCd()) return Fail(TSense::CdbField(2));  // the full TOC is a CD structure
  const uint32_t closed = disc_.ClosedSessionCount();
  if (closed == 0) return Fail(sense::kInvalidCdbField);
  const bool recordable = disc_.kind() != TMediaKind::kCdRom;

  std::vector<uint8_t> response(4, 0);
  response[2] = 1;
  response[3] = ByteOrMax(closed);
  const auto append = [&](uint32_t session, uint8_t control, uint8_t point, int32_t time, int32_t ptime) {
    const size_t at = response.size();
    response.resize(at + 11, 0);
    response[at] = ByteOrMax(session);
    response[at + 1] = control;
    response[at + 3] = point;
    if (time != INT32_MIN) PutMsf3(response, at + 4, time);
    PutMsf3(response, at + 8, ptime);
  };
  for (uint32_t s = 1; s <= closed; ++s) {
    const uint32_t first = disc_.FirstTrackOf(s);
    const uint32_t last = disc_.LastTrackOf(s);
    const TTrack& end = disc_.Track(last);
    const size_t a0 = response.size();
    append(s, kDataTrackControl, 0xA0, INT32_MIN, 0);
    response[a0 + 8] = ByteOrMax(first);  // PMIN: first track; PSEC: disc type 00h
    response[a0 + 9] = 0x00;
    response[a0 + 10] = 0x00;
    const size_t a1 = response.size();
    append(s, kDataTrackControl, 0xA1, INT32_MIN, 0);
    response[a1 + 8] = ByteOrMax(last);
    response[a1 + 9] = 0x00;
    response[a1 + 10] = 0x00;
    append(s, kDataTrackControl, 0xA2, INT32_MIN, static_cast<int32_t>(end.start + end.size));
    for (uint32_t n = first; n <= last && n <= kTocTrackLimit; ++n)
      append(s, kDataTrackControl, Low(n), INT32_MIN, static_cast<int32_t>(disc_.Track(n).start));
    if (recordable && s < disc_.SessionCount()) {
      // B0: where the next session's program area starts and the outermost
      // possible lead-out.
      append(s, kMode5Control, 0xB0, static_cast<int32_t>(disc_.Track(disc_.FirstTrackOf(s + 1)).start),
             kAtipLeadOut);
    }
    if (recordable && s == 1)  // C0: the ATIP's start of the first lead-in
      append(s, kMode5Control, 0xC0, INT32_MIN,
             disc_.kind() == TMediaKind::kCdRw ? kAtipLeadInCdRw : kAtipLeadInCdR);
  }
  PutBe16(response, 0, static_cast<uint16_t>(response.size() - 2));
  return DataIn(command, response, CdbBe16(command.cdb, 7));
}

TCommandResult TEmulatedUnit::ReadAtip(const TCommand& command) {
  const TMediaKind kind = disc_.kind();
  if (kind != TMediaKind::kCdR && kind != TMediaKind::kCdRw) return Fail(TSense::CdbField(2));  // pressed or DVD
  std::array<uint8_t, 28> response{};
  PutBe16(response, 0, static_cast<uint16_t>(response.size() - 2));
  response[4] = 0xD5;  // indicative writing power 5, reference speed 5
  response[5] = 0x40;  // unrestricted use
  response[6] = static_cast<uint8_t>(0x80 | (kind == TMediaKind::kCdRw ? 0x40 : 0x00));
  PutMsf3(response, 8, kind == TMediaKind::kCdRw ? kAtipLeadInCdRw : kAtipLeadInCdR);
  PutMsf3(response, 12, kAtipLeadOut);
  return DataIn(command, response, CdbBe16(command.cdb, 7));
}

}  // namespace zamo::emu
