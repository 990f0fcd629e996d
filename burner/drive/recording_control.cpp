// recording_control.cpp: telling the recorder how to record.
//
// The write parameters mode page (05h) is read from the drive, rewritten for
// the disc kind (write type, track mode, data block type, multisession,
// test write, buffer-underrun protection, link and packet sizes) and sent
// back with MODE SELECT. Also here: probing the write types a drive accepts,
// the DVD streaming performance and the write speed.
#include <algorithm>
#include <cstring>
#include <vector>

#include "burner/drive/parameter_lists.h"
#include "burner/drive/scsi_device.h"

namespace zamo {

namespace {

constexpr size_t kPageBytes = 54;  // the page copy kept in WriteParamsPage
constexpr size_t kSentPageBytes = 52;
constexpr uint16_t kAudioPause = 150;

// The page's place in a MODE SENSE (10) response: after a block descriptor
// (16), after the bare header (8), or at 7 for drives that drop a byte.
int FindWriteParamsPage(const uint8_t* response, bool try_seven) {
  if ((response[16] & 0x3F) == 0x05) return 16;
  if ((response[8] & 0x3F) == 0x05) return 8;
  if (try_seven && (response[7] & 0x3F) == 0x05) return 7;
  return 8;
}

// The page's recording fields for one disc kind.
struct RecordingFields {
  TWriteType write_type;
  bool link_size_valid;
  bool underrun_protection;
  bool test_write;
  uint8_t multisession;
  bool fixed_packet;
  uint8_t track_mode;
  uint8_t link_size;
  uint32_t packet_size;
};

// What decides the fields besides the kind.
struct RecordingChoice {
  bool test_write_asked;      // the caller's test write, whatever the drive can do
  bool test_write;            // asked, and the drive can
  bool underrun_protection;   // asked, and the drive can (capabilities)
  bool page_buf;              // asked, and the capabilities page has its BUF bit
  bool link_size_valid_model;
  bool close_flag;
  TDiscFinalize finalize;
};

constexpr uint8_t kOpen = WriteParametersPage::kNextSessionAllowed;
constexpr uint8_t kClosed = WriteParametersPage::kNoNextSession;

RecordingFields FieldsFor(TDiscKind kind, const RecordingChoice& c) {
  const bool finalize = c.finalize == TDiscFinalize::kFinalize;
  const bool protection = c.underrun_protection || c.page_buf;
  switch (kind) {
    case dkDvdR:
      // Packet writing in fixed packets of 16 sectors. The multisession
      // field decides at the session's close whether the disc takes another
      // session or is closed; a test write leaves it open.
      return {TWriteType::kPacket, true, protection, c.test_write, !c.test_write_asked && finalize ? kClosed : kOpen,
              true, 5, 16, 16};
    case dkDvdRwRestricted:
    case dkDvdRwSequential:
      // Incremental, link size 16; neither test write nor the drive's
      // underrun capability, only the page's BUF bit.
      return {TWriteType::kPacket, true, c.page_buf, false, kOpen, false, 5, 16, 0};
    case dkDvdRw:  // the mode not known: track-at-once, next session allowed
      return {TWriteType::kTrackAtOnce, c.link_size_valid_model, protection, c.test_write, kOpen, true, 4, 0, 0};
    case dkDvdPlusRw:
      return {TWriteType::kSessionAtOnce, true, protection, c.test_write, kClosed, false, 4, 16, 0};
    case dkDvdPlusR:
      return {TWriteType::kSessionAtOnce, true, protection, c.test_write, kOpen, false, 4, 0, 16};
    case dkDvdPlusRDl:
      // Session-at-once; multisession with the closing flag. The page's BUF
      // bit adds nothing here.
      return {TWriteType::kSessionAtOnce, true, c.underrun_protection, c.test_write, c.close_flag ? kOpen : kClosed,
              false, 4, 0, 0};
    default:
      // CDs, and any other kind: a track-at-once data track, left open for
      // another session unless the disc is finalized or this is a test.
      return {TWriteType::kTrackAtOnce, c.link_size_valid_model, protection, c.test_write,
              !c.test_write_asked && !finalize ? kOpen : kClosed, false, 4, 0, 0};
  }
}

}  // namespace

bool TSCSIDevice::SetWriteParameters(bool TestWriteOn, bool UnderrunProtectionOn, bool CloseFlag, TDiscKind Kind,
                                     TDiscFinalize Finalize) {
  if (Kind == dkDvdRam) return true;  // DVD-RAM is written like a hard disk

  uint8_t response[512 + 1];
  if (!ModeSense(0x05, response, /*Defaults=*/false, 512, 512)) return false;
  const int at = FindWriteParamsPage(response, true);
  WriteParametersPage page(std::span<const uint8_t>(response + at, kPageBytes));

  // A drive without the capability gets the bit cleared, not an error.
  RecordingChoice choice;
  choice.test_write_asked = TestWriteOn;
  choice.test_write = TestWriteOn && (Capabilities & capTestWrite);
  choice.underrun_protection = UnderrunProtectionOn && (Capabilities & capUnderrunProtection);
  choice.page_buf = UnderrunProtectionOn && (CapabilitiesPage[4] & 0x80) != 0;
  choice.link_size_valid_model = LinkSizeValidModel;
  choice.close_flag = CloseFlag;
  choice.finalize = Finalize;
  const RecordingFields f = FieldsFor(Kind, choice);

  page.PageLength(0x32)
      .WriteType(f.write_type)
      .LinkSizeValid(f.link_size_valid)
      .BufferUnderrunProtection(f.underrun_protection)
      .TestWrite(f.test_write)
      .Multisession(f.multisession)
      .FixedPacket(f.fixed_packet)
      .Copy(false)
      .TrackMode(f.track_mode)
      .DataBlockType(8)  // mode 1, 2048-byte blocks
      .LinkSize(f.link_size)
      .HostApplicationCode(0)
      .SessionFormat(0)
      .PacketSize(f.packet_size)
      .AudioPauseLength(kAudioPause);
  std::copy_n(page.bytes().begin(), kPageBytes, WriteParamsPage);
  std::vector<uint8_t> list = page.ModeSelectList(kSentPageBytes);
  return ModeSelect(list.data(), static_cast<int>(list.size()));
}

bool TSCSIDevice::TryWriteType(int Kind) {
  uint8_t response[512 + 1];
  if (!ModeSense(0x05, response, /*Defaults=*/false, 512, 512)) return false;
  const int at = FindWriteParamsPage(response, false);
  const size_t page_bytes = static_cast<size_t>(response[at + 1]) + 2;
  if (at + page_bytes > 512) return false;  // a page that claims more than was read
  static constexpr TWriteType kWriteType[] = {TWriteType::kRaw, TWriteType::kSessionAtOnce, TWriteType::kTrackAtOnce};
  WriteParametersPage page(std::span<const uint8_t>(response + at, page_bytes));
  page.WriteType(kWriteType[Kind < 0 || Kind > 2 ? 2 : Kind])
      .BufferUnderrunProtection(false)
      .LinkSizeValid(false)
      .TestWrite(false)
      .Multisession(0)
      .FixedPacket(false)
      .Copy(false)
      .TrackMode(0)
      .DataBlockType(Kind == 0 ? 1 : 0)  // raw: 2352 bytes with P and Q sub-channel
      .SessionFormat(0)
      .AudioPauseLength(kAudioPause);
  std::vector<uint8_t> list = page.ModeSelectList(page_bytes);
  return ModeSelect(list.data(), static_cast<int>(list.size()));
}

void TSCSIDevice::ProbeWriteTypes() {
  SupportedWriteTypes = 0;
  if (TryWriteType(0)) SupportedWriteTypes |= 1;
  if (TryWriteType(1)) SupportedWriteTypes |= 2;
  if (TryWriteType(2)) SupportedWriteTypes |= 4;
}

// The descriptor carries what the caller asks for: the session's extent and
// the read and write rates (kilobytes per time unit, in milliseconds).
bool TSCSIDevice::SetPerformance(uint32_t StartLba, uint32_t EndLba, uint32_t ReadSize, uint32_t WriteSize,
                                 uint32_t ReadTime, uint32_t WriteTime) {
  const PerformanceDescriptor descriptor = PerformanceDescriptor()
                                               .StartLba(StartLba)
                                               .EndLba(EndLba)
                                               .ReadSize(ReadSize)
                                               .ReadTime(ReadTime)
                                               .WriteSize(WriteSize)
                                               .WriteTime(WriteTime);
  return SetStreaming(descriptor.data(), static_cast<int>(descriptor.size()));
}

void TSCSIDevice::SetWriteSpeed(uint16_t value) {
  SetCdSpeed(ReadSpeed, value);
  write_speed_ = value;
}

}  // namespace zamo
