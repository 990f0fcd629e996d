// recording_control.cpp: telling the recorder how to record.
//
// The write parameters mode page (05h) is read from the drive, rewritten for
// the disc kind (write type, track mode, data block type, multisession,
// test write, buffer-underrun protection, link and packet sizes) and sent
// back with MODE SELECT. Also here: probing the write types a drive accepts,
// the DVD streaming performance and the write speed.
#include <cstring>

#include "burner/drive/scsi_device.h"

namespace zamo {

namespace {

constexpr int kPageBytes = 54;
constexpr int kModeHeader = 8;
constexpr uint16_t kAudioPause = 150;

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// The page's place in a MODE SENSE (10) response: after a block descriptor
// (16), after the bare header (8), or at 7 for drives that drop a byte.
int FindWriteParamsPage(const uint8_t* response, bool try_seven) {
  if ((response[16] & 0x3F) == 0x05) return 16;
  if ((response[8] & 0x3F) == 0x05) return 8;
  if (try_seven && (response[7] & 0x3F) == 0x05) return 7;
  return 8;
}

}  // namespace

bool TSCSIDevice::SetWriteParameters(bool TestWriteOn, bool UnderrunProtectionOn, bool CloseFlag, TDiscKind Kind) {
  if (Kind == dkDvdRam) return true;  // DVD-RAM is written like a hard disk

  uint8_t response[512 + 1];
  if (!ModeSense(0x05, response, false, 512, 512)) return false;
  const int at = FindWriteParamsPage(response, true);
  uint8_t* page = WriteParamsPage;
  std::memcpy(page, response + at, kPageBytes);
  page[1] = 0x32;

  uint8_t link_size, b2, b3;
  uint32_t packet_size;
  if (Kind == dkDvdR) {
    b2 = 0x60;  // packet writing, link size valid
    b3 = 0xE5;  // next session allowed, fixed packet, track mode 5
    link_size = 16;
    packet_size = 16;
  } else {
    b2 = 0x01;  // track-at-once
    b3 = 0x04;  // data track, uninterrupted
    link_size = 0;
    packet_size = 0;
  }
  page[4] = 8;  // mode 1, 2048-byte blocks

  if (Kind == dkDvdPlusRw || Kind == dkDvdPlusR) {
    b2 = 0x22;
    b3 |= 0xC0;
  }
  if (LinkSizeValidModel) b2 |= 0x20;

  switch (Kind) {
    case dkDvdR:
      // Fixed packets; the multisession field decides at the session's close
      // whether the disc takes another session (11b) or is closed (00b).
      b3 |= 0xE0;
      if (!TestWriteOn && FinalizeDisc) b3 &= 0x3F;
      break;
    case dkDvdRw:
    case dkDvdRwRestricted:
    case dkDvdRwSequential:
    case dkDvdPlusR:
      b3 |= 0xE0;
      break;
    default:
      if (!TestWriteOn && !FinalizeDisc) {
        b3 |= 0xC0;
      } else {
        b3 &= 0x3F;
      }
      break;
  }

  // A drive without the capability gets the bit cleared, not an error.
  b2 = static_cast<uint8_t>((b2 & ~0x40) | ((UnderrunProtectionOn && (Capabilities & capUnderrunProtection)) ? 0x40 : 0));
  b2 = static_cast<uint8_t>((b2 & ~0x10) | ((TestWriteOn && (Capabilities & capTestWrite)) ? 0x10 : 0));

  page[6] = page[7] = page[8] = page[9] = 0;
  if (Kind == dkDvdPlusR) packet_size = 16;

  if (Kind == dkDvdRwRestricted || Kind == dkDvdRwSequential) {
    b2 = 0x20;
    b3 = 0xC5;
    link_size = 16;
  }
  if (Kind == dkDvdPlusR) b3 = 0xC4;

  const bool page_buf = (CapabilitiesPage[4] & 0x80) != 0;
  if (Kind == dkDvdPlusRDl) {
    b2 = static_cast<uint8_t>((b2 & 0x50) | 0x20 | 0x02);  // session-at-once, link size valid
    b3 = static_cast<uint8_t>((b3 & 0xD0) | 0x04);          // track mode 4, no fixed packet
    b3 = static_cast<uint8_t>((b3 & 0x3F) | (CloseFlag ? 0xC0 : 0x00));
    link_size = 0;
    packet_size = 0;
  } else if (UnderrunProtectionOn && page_buf) {
    b2 |= 0x40;
  }
  if (Kind == dkDvdPlusRw) {
    b3 = 0x04;
    link_size = 16;
  }

  page[2] = b2;
  page[3] = b3;
  page[5] = link_size;
  PutBe32(page + 10, packet_size);
  page[14] = kAudioPause >> 8;
  page[15] = kAudioPause & 0xFF;

  uint8_t list[kModeHeader + 52] = {};
  std::memcpy(list + kModeHeader, page, 52);
  return ModeSelect(list, sizeof(list));
}

bool TSCSIDevice::TryWriteType(int Kind) {
  uint8_t response[512 + 1];
  if (!ModeSense(0x05, response, false, 512, 512)) return false;
  const int at = FindWriteParamsPage(response, false);
  uint8_t* page = response + at;
  const int page_length = page[1];
  static constexpr uint8_t kWriteType[] = {3, 2, 1};  // raw, session-at-once, track-at-once
  page[2] = kWriteType[Kind < 0 || Kind > 2 ? 2 : Kind];
  page[3] = 0;
  page[4] = Kind == 0 ? 1 : 0;  // raw: 2352 bytes with P and Q sub-channel
  page[8] = page[9] = 0;
  page[14] = kAudioPause >> 8;
  page[15] = kAudioPause & 0xFF;

  const int length = page_length + 10;
  if (at + page_length + 2 > 512) return false;  // a page that claims more than was read
  uint8_t list[kModeHeader + 258] = {};
  std::memcpy(list + kModeHeader, page, static_cast<size_t>(page_length + 2));
  return ModeSelect(list, length);
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
  uint8_t descriptor[28] = {};
  PutBe32(descriptor + 4, StartLba);
  PutBe32(descriptor + 8, EndLba);
  PutBe32(descriptor + 12, ReadSize);
  PutBe32(descriptor + 16, ReadTime);
  PutBe32(descriptor + 20, WriteSize);
  PutBe32(descriptor + 24, WriteTime);
  return SetStreaming(descriptor, sizeof(descriptor));
}

void TSCSIDevice::SetWriteSpeed(uint16_t value) {
  SetCdSpeed(ReadSpeed, value);
  write_speed_ = value;
}

}  // namespace zamo
