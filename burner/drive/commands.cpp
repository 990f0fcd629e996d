// commands.cpp: one small operation per MMC/SPC command the component sends.
// Each zeroes a request, fills the CDB (multi-byte fields big-endian), runs it
// through the gate with its fixed timeout and decodes the answer on success.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "burner/drive/cdb.h"
#include "burner/drive/replies.h"
#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/str_format.h"

namespace zamo {

namespace {

constexpr int kShortTimeoutMs = 10000;
// A command with the immediate bit answers at once; one that closes a track
// or a session without it may take many minutes (a DVD+R DL close): it gets
// the hour the most trusted recorders allow, so that the kernel never resets
// the drive in the middle of it.
constexpr int kImmediateTimeoutMs = 30000;
constexpr int kCloseTimeoutMs = 3600000;

std::span<const uint8_t> View(const uint8_t* bytes, size_t length) { return {bytes, length}; }

bool SameBytes(const uint8_t* at, std::initializer_list<uint8_t> expected) {
  return std::equal(expected.begin(), expected.end(), at);
}

// Named CDB fields shared by several commands.
constexpr size_t kAllocationLength16 = 7;  // bytes 7-8 of a 10-byte CDB

}  // namespace

// ==== Unit control ==========================================================

bool TSCSIDevice::TestUnitReady(int TimeoutMs) {
  const Cdb cdb(0x00, 6);
  return RunCommand(cdb, kFlagsNone, nullptr, 0, TimeoutMs);
}

void TSCSIDevice::RezeroUnit() {
  const Cdb cdb(0x01, 6);
  RunCommand(cdb, kFlagsNone, nullptr, 0, kShortTimeoutMs);
}

bool TSCSIDevice::RequestSense(uint8_t* Buffer, uint8_t Length) {
  Cdb cdb(0x03, 6);
  cdb.Byte(4, Length);
  return RunCommand(cdb, kFlagsIn, Buffer, Length, kShortTimeoutMs);
}

bool TSCSIDevice::FormatUnit(uint8_t Byte1, const uint8_t* List, int Length) {
  if (Length < 0 || static_cast<size_t>(Length) > sizeof parameters_ || (Length > 0 && List == nullptr)) return false;
  if (Length > 0 && List != parameters_) std::memmove(parameters_, List, static_cast<size_t>(Length));
  Cdb cdb(0x04, 6);
  cdb.Byte(1, Byte1);
  return RunCommand(cdb, kFlagsOut, parameters_, static_cast<uint32_t>(Length), kShortTimeoutMs);
}

bool TSCSIDevice::Inquiry() {
  Cdb cdb(0x12, 6);
  cdb.Byte(4, 128);
  return RunCommand(cdb, kFlagsIn, InquiryData, 128, kShortTimeoutMs);
}

bool TSCSIDevice::LoadEject(bool Eject) {
  // The drive's handle is let go right after the tray moves; later commands
  // keep it open until SetReleaseHandles(true).
  transport::ReleaseHandles = true;
  Cdb cdb(0x1B, 6);
  cdb.Byte(4, Eject ? 2 : 3);
  const bool ok = RunCommand(cdb, kFlagsNone, nullptr, 0, 20000);
  transport::ReleaseHandles = false;
  return ok;
}

bool TSCSIDevice::PreventAllowRemoval(bool Allow) {
  if (Allow) transport::ReleaseHandles = true;
  Cdb cdb(0x1E, 6);
  cdb.Byte(4, Allow ? 0 : 1);
  const bool ok = RunCommand(cdb, kFlagsNone, nullptr, 0, kShortTimeoutMs);
  transport::ReleaseHandles = false;
  return ok;
}

bool TSCSIDevice::SynchronizeCache(int TimeoutMs, bool Immediate) {
  Cdb cdb(0x35, 10);
  cdb.Byte(1, Immediate ? 2 : 0);
  return RunCommand(cdb, kFlagsNone, nullptr, 0, TimeoutMs);
}

// ==== Capacities ============================================================

bool TSCSIDevice::ReadFormatCapacities(uint32_t& Blocks, uint32_t& BlockLength) {
  // Zeroed first: a short answer must not leave an older descriptor behind.
  std::memset(format_capacities_, 0, sizeof format_capacities_);
  Cdb cdb(0x23, 10);
  cdb.Be16(kAllocationLength16, sizeof format_capacities_);
  if (!RunCommand(cdb, kFlagsIn, format_capacities_, sizeof format_capacities_,
                  kShortTimeoutMs)) {
    return false;
  }
  const uint8_t* d = format_capacities_;
  const auto b = View(d, sizeof format_capacities_);
  // Capacity list length (byte 3) counts the 8-byte descriptors that follow
  // the header: the current/maximum one, then the formattable ones.
  const size_t descriptors = d[3] / 8;
  const bool has_first = descriptors >= 2;
  const bool has_second = descriptors >= 3;
  // Descriptor type/format type and block length/parameter are compared as
  // their four raw bytes: type 0 with 2048 is 00 00 08 00; format type 26h
  // (in the top six bits) with 0 is 98 00 00 00.
  if (SameBytes(d + 8, {0x00, 0x00, 0x08, 0x00})) {
    Blocks = GetBe32(b, 4);
  } else if (has_first && (SameBytes(d + 16, {0x00, 0x00, 0x08, 0x00}) || SameBytes(d + 16, {0x98, 0, 0, 0}))) {
    Blocks = GetBe32(b, 12);
  } else if (has_second && SameBytes(d + 24, {0x00, 0x00, 0x08, 0x00})) {
    Blocks = GetBe32(b, 20);
  } else {
    Blocks = GetBe32(b, 4);
  }
  BlockLength = 2048;
  return true;
}

bool TSCSIDevice::ReadCapacity(uint32_t& LastLba, uint32_t& BlockLength) {
  const Cdb cdb(0x25, 10);
  if (!RunCommand(cdb, kFlagsIn, parameters_, 8, kShortTimeoutMs)) return false;
  LastLba = GetBe32(View(parameters_, 8), 0);
  BlockLength = GetBe32(View(parameters_, 8), 4);
  return true;
}

bool TSCSIDevice::ReadBufferCapacity(uint32_t& Size, uint32_t& Free) {
  Cdb cdb(0x5C, 10);
  cdb.Byte(8, 32);
  if (!RunCommand(cdb, kFlagsIn, parameters_, 32, kShortTimeoutMs)) {
    DeviceFreeBufferSize = 0;
    return false;
  }
  Size = GetBe32(View(parameters_, 32), 4);
  Free = GetBe32(View(parameters_, 32), 8);
  DeviceBufferSize = Size;
  DeviceFreeBufferSize = Free == 0xFFFFFFFF ? Size : Free;
  return true;
}

// ==== Reading and writing ===================================================

bool TSCSIDevice::Read10(uint32_t Lba, uint16_t Blocks, uint8_t* Buffer, uint32_t BufferLength) {
  // A read larger than one command may carry (a USB bridge's limit) goes in
  // several, each within it; the caller sees one read.
  const uint32_t per_command = TransferSectors(Blocks);
  if (per_command < Blocks && BufferLength >= uint32_t{Blocks} * 2048) {
    for (uint32_t done = 0; done < Blocks;) {
      const uint32_t count = std::min<uint32_t>(per_command, Blocks - done);
      if (!Read10(Lba + done, static_cast<uint16_t>(count), Buffer + size_t{done} * 2048, count * 2048)) return false;
      done += count;
    }
    return true;
  }
  Cdb cdb(0x28, 10);
  cdb.Be32(2, Lba).Be16(7, Blocks);
  return RunCommand(cdb, kFlagsIn, Buffer, BufferLength, kShortTimeoutMs);
}

bool TSCSIDevice::Write10(uint32_t Lba, uint16_t Blocks, const uint8_t* Buffer, uint32_t BufferLength,
                          uint8_t Flags) {
  Cdb cdb(0x2A, 10);
  cdb.Be32(2, Lba).Be16(7, Blocks);
  // The back end only reads an outgoing buffer.
  return RunCommand(cdb, Flags, const_cast<uint8_t*>(Buffer), BufferLength, 120000,
                    /*accept_pending=*/true);
}

// ==== Disc structure ========================================================

bool TSCSIDevice::ReadTocPmaAtip(uint8_t Format, uint8_t* Buffer, uint8_t Control, bool Msf, uint8_t Number,
                                 int Length) {
  if (Length < 0 || Length > 255) return false;  // the length field is one byte
  Cdb cdb(0x43, 10);
  cdb.Byte(1, Msf ? 2 : 0).Byte(2, Format).Byte(6, Number).Byte(8, static_cast<uint8_t>(Length)).Byte(9, Control);
  return RunCommand(cdb, kFlagsIn, Buffer, static_cast<uint32_t>(Length), kShortTimeoutMs);
}

bool TSCSIDevice::ReadToc(TTableOfContents& Toc) {
  uint8_t response[252] = {};
  if (!ReadTocPmaAtip(kTocFormatTracks, response, 0, /*Msf=*/false, 0, sizeof response)) return false;
  Toc = ParseToc(response);
  return true;
}

bool TSCSIDevice::ReadFullToc(uint8_t Session, TTableOfContents& Toc) {
  uint8_t response[255] = {};
  if (!ReadTocPmaAtip(kTocFormatFull, response, 0, /*Msf=*/false, Session, sizeof response)) return false;
  Toc = ParseFullToc(response);
  return true;
}

bool TSCSIDevice::ReadMultisessionInfo(TMultisessionInfo& Info) {
  uint8_t response[12] = {};
  if (!ReadTocPmaAtip(kTocFormatSessions, response, 0, /*Msf=*/false, 0, sizeof response)) return false;
  Info = ParseMultisessionInfo(response);
  return true;
}

bool TSCSIDevice::GetConfiguration(uint8_t RequestType, uint16_t StartFeature, int Length, uint8_t* Buffer) {
  if (Length < 0 || Length > 0xFFFF) return false;
  // Starting feature (bytes 2-3) and allocation length (7-8) as MMC defines
  // them: the whole values, not their low bytes.
  Cdb cdb(0x46, 10);
  cdb.Byte(1, RequestType).Be16(2, StartFeature).Be16(kAllocationLength16, static_cast<uint16_t>(Length));
  return RunCommand(cdb, kFlagsIn, Buffer, static_cast<uint32_t>(Length), 30000);
}

bool TSCSIDevice::ReadDiscInformation(uint8_t* Buffer, int Length) {
  if (Length < 0 || Length > 0xFFFF) return false;
  std::memset(DiscInfoBuffer, 0, sizeof DiscInfoBuffer);
  Cdb cdb(0x51, 10);
  cdb.Be16(kAllocationLength16, static_cast<uint16_t>(Length));
  return RunCommand(cdb, kFlagsIn, Buffer, static_cast<uint32_t>(Length), kShortTimeoutMs);
}

bool TSCSIDevice::ReadDiscInfo() {
  Cdb cdb(0x51, 10);
  cdb.Byte(8, sizeof DiscInfoBuffer);
  if (!RunCommand(cdb, kFlagsIn, DiscInfoBuffer, sizeof DiscInfoBuffer, kShortTimeoutMs)) {
    return false;
  }
  DiscInfoLength = DiscInformation().DataLength;
  return true;
}

bool TSCSIDevice::ReadTrackInformation(uint16_t Track) { return ReadTrackInformationOf(1, Track); }

bool TSCSIDevice::ReadTrackInformationOf(uint8_t AddressType, uint32_t Number) {
  TrackInfo = TTrackInfo{};
  Cdb cdb(0x52, 10);
  cdb.Byte(1, AddressType).Be32(2, Number).Byte(8, sizeof TrackInfo.Raw);
  if (!RunCommand(cdb, kFlagsIn, TrackInfo.Raw, sizeof TrackInfo.Raw, 60000)) return false;
  TrackInfo = ParseTrackInformation(TrackInfo.Raw);
  return true;
}

bool TSCSIDevice::ReserveTrack(uint32_t Blocks) {
  // MMC defines RESERVE TRACK as a 10-byte command.
  Cdb cdb(0x53, 10);
  cdb.Be32(5, Blocks);
  return RunCommand(cdb, kFlagsNone, nullptr, 0, kShortTimeoutMs);
}

bool TSCSIDevice::SendOpcInformation() {
  Cdb cdb(0x54, 10);
  cdb.Byte(1, 1);  // perform OPC
  return RunCommand(cdb, kFlagsNone, nullptr, 0, 150000);
}

// ==== Mode pages ============================================================

bool TSCSIDevice::ModeSelect(const uint8_t* List, int Length) {
  if (Length < 0 || static_cast<size_t>(Length) > sizeof scratch_ || (Length > 0 && List == nullptr)) return false;
  if (Length > 0 && List != scratch_) std::memmove(scratch_, List, static_cast<size_t>(Length));
  Cdb cdb(0x55, 10);
  cdb.Byte(1, 0x10).Be16(kAllocationLength16, static_cast<uint16_t>(Length));  // page format
  return RunCommand(cdb, kFlagsOut, scratch_, static_cast<uint32_t>(Length), kShortTimeoutMs);
}

bool TSCSIDevice::ModeSense(uint8_t Page, uint8_t* Buffer, bool Defaults, int Length, int BufferSize) {
  if (Length < 0 || Length > 0xFFFF || BufferSize < 0 || (BufferSize > 0 && Buffer == nullptr)) return false;
  // The caller's buffer is cleared within its size, never past it.
  if (BufferSize > 0) std::memset(Buffer, 0, static_cast<size_t>(BufferSize));
  Cdb cdb(0x5A, 10);
  cdb.Byte(2, static_cast<uint8_t>(Page | (Defaults ? 0x80 : 0x00))).Be16(kAllocationLength16, static_cast<uint16_t>(Length));
  if (!RunCommand(cdb, kFlagsIn, scratch_, static_cast<uint32_t>(Length), 20000)) return false;
  if (Buffer != nullptr) std::memcpy(Buffer, scratch_, static_cast<size_t>(std::min(Length, BufferSize)));
  return true;
}

// ==== Closing ===============================================================

bool TSCSIDevice::CloseTrackSession(bool Immediate, uint8_t Function, uint8_t Number) {
  Cdb cdb(0x5B, 10);
  cdb.Byte(1, Immediate ? 1 : 0).Byte(2, Function).Byte(5, Number);
  return RunCommand(cdb, kFlagsNone, nullptr, 0, Immediate ? kImmediateTimeoutMs : kCloseTimeoutMs);
}

bool TSCSIDevice::CloseSessionOrTrack(bool CloseTrack, bool Immediate, bool Finalize) {
  Cdb cdb(0x5B, 10);
  cdb.Byte(1, Immediate ? 1 : 0).Byte(2, Finalize ? 5 : CloseTrack ? 1 : 2).Byte(5, CloseTrack ? 0xFF : 0);
  return RunCommand(cdb, kFlagsNone, nullptr, 0, Immediate ? kImmediateTimeoutMs : kCloseTimeoutMs);
}

bool TSCSIDevice::SendCueSheet(const uint8_t* Buffer, int Length) {
  if (Length < 0 || Length > 0xFFFF) return false;
  Cdb cdb(0x5D, 10);
  cdb.Be16(7, static_cast<uint16_t>(Length));
  return RunCommand(cdb, kFlagsOut, const_cast<uint8_t*>(Buffer), static_cast<uint32_t>(Length),
                    30000);
}

bool TSCSIDevice::Blank(bool Quick) {
  Cdb cdb(0xA1, 12);
  cdb.Byte(1, static_cast<uint8_t>(0x10 | (Quick ? 1 : 0)));  // immediate; minimal or whole disc
  return RunCommand(cdb, kFlagsNone, nullptr, 0, 4800000, /*accept_pending=*/true);
}

// ==== Speeds and DVD structures =============================================

bool TSCSIDevice::SetStreaming(const uint8_t* Buffer, int Length) {
  if (Length < 0 || Length > 0xFFFF) return false;
  Cdb cdb(0xB6, 12);
  cdb.Be16(9, static_cast<uint16_t>(Length));
  return RunCommand(cdb, kFlagsOut, const_cast<uint8_t*>(Buffer), static_cast<uint32_t>(Length),
                    kShortTimeoutMs);
}

bool TSCSIDevice::SetCdSpeed(uint16_t ReadKBs, uint16_t WriteKBs) {
  // 0 asks for the drive's maximum, which MMC spells FFFFh.
  Cdb cdb(0xBB, 12);
  cdb.Be16(2, ReadKBs == 0 ? 0xFFFF : ReadKBs).Be16(4, WriteKBs == 0 ? 0xFFFF : WriteKBs);
  return RunCommand(cdb, kFlagsNone, nullptr, 0, kShortTimeoutMs);
}

bool TSCSIDevice::SendDvdStructure(uint8_t Format, const uint8_t* Buffer, int Length) {
  if (Length < 0 || Length > 0xFFFF) return false;
  Cdb cdb(0xBF, 12);
  cdb.Byte(7, Format).Be16(8, static_cast<uint16_t>(Length));
  return RunCommand(cdb, kFlagsOut, const_cast<uint8_t*>(Buffer), static_cast<uint32_t>(Length),
                    kShortTimeoutMs);
}

bool TSCSIDevice::SendTimeStamp(TDateTime When) {
  // Time stamp structure (SEND DVD STRUCTURE format 0Fh): data length 20,
  // six reserved bytes, then the date as "yyyymmddhhnnss" in ASCII.
  constexpr int kLength = 22;
  const DateTimeFields f = DecodeDateTime(When);
  std::memset(parameters_, 0, kLength);
  PutBe16(std::span<uint8_t>(parameters_, kLength), 0, kLength - 2);
  const std::string text = StrFormat("%04d%02d%02d%02d%02d%02d", f.year % 10000, f.month, f.day, f.hour, f.minute,
                                     f.second);
  std::memcpy(parameters_ + 8, text.data(), std::min<size_t>(text.size(), 14));
  return SendDvdStructure(0x0F, parameters_, kLength);
}

// ==== Command names =========================================================

const std::string& TSCSIDevice::CommandName(uint8_t Opcode) {
  static const std::array<std::string, 256> names = [] {
    std::array<std::string, 256> table;
    for (int op = 0; op < 255; ++op) table[op] = StrFormat("%02X", op);
    const std::pair<uint8_t, const char*> named[] = {
        {0x00, "TEST UNIT READY"}, {0x01, "REWIND UNIT"}, {0x03, "REQUEST SENSE"}, {0x04, "FORMAT UNIT"},
        {0x12, "INQUIRY"}, {0x1B, "START STOP UNIT"}, {0x1E, "PREVENT/ALLOW REMOVAL"},
        {0x23, "READ FORMAT CAPACITIES"}, {0x25, "READ CAPACITY"}, {0x28, "READ (10)"}, {0x2A, "WRITE (10)"},
        {0x2B, "SEEK (10)"}, {0x2E, "WRITE AND VERIFY (10)"}, {0x2F, "VERIFY (10)"}, {0x35, "SYNCHRONIZE CACHE"},
        {0x42, "READ SUB-CHANNEL"}, {0x43, "READ TOC/PMA/ATIP"}, {0x45, "PLAY AUDIO (10)"},
        {0x46, "GET CONFIGURATION"}, {0x47, "PLAY AUDIO MSF"}, {0x4A, "GET EVENT/STATUS NOTIF"},
        {0x4B, "PAUSE/RESUME"}, {0x4E, "STOP PLAY/SCAN"}, {0x51, "READ DISC INFORMATION"},
        {0x52, "READ TRACK INFORMATION"}, {0x53, "RESERVE TRACK"}, {0x54, "SEND OPC INFORMATION"},
        {0x55, "MODE SELECT (10)"}, {0x58, "REPAIR TRACK"}, {0x5A, "MODE SENSE (10)"},
        {0x5B, "CLOSE TRACK/SESSION"}, {0x5C, "READ BUFFER CAPACITY"}, {0x5D, "SEND CUE SHEET"}, {0xA1, "BLANK"},
        {0xA2, "SEND EVENT"}, {0xA3, "SEND KEY"}, {0xA4, "REPORT KEY"}, {0xA5, "PLAY AUDIO (12)"},
        {0xA6, "LOAD/UNLOAD CD/DVD"}, {0xA7, "SET READ AHEAD"}, {0xA8, "READ (12)"}, {0xAA, "WRITE (12)"},
        {0xAC, "GET PERFORMANCE"}, {0xAD, "READ DVD STRUCTURE"}, {0xB6, "SET STREAMING"}, {0xB9, "READ CD MSF"},
        {0xBA, "SCAN"}, {0xBB, "SET CD SPEED"}, {0xBD, "MECHANISM STATUS"}, {0xBE, "READ CD"},
        {0xBF, "SEND DVD STRUCTURE"},
    };
    for (const auto& [op, name] : named) {
      std::string padded = name;
      padded.resize(22, ' ');
      table[op] = padded;
    }
    return table;
  }();
  return names[Opcode];
}

}  // namespace zamo
