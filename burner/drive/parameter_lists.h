// parameter_lists.h: the parameter lists the component sends after a command
// block, built through named fields as cdb.h builds the blocks themselves:
//
//   WriteParametersPage(drive_page).WriteType(TWriteType::kTrackAtOnce).Multisession(kNextSessionAllowed)
//   PerformanceDescriptor().EndLba(end).WriteSize(kbs).WriteTime(1000)
//   FormatList().Immediate().Blocks(n).FormatType(kFormatDvdPlusRwFull)
//
// Every multi-byte field is big-endian (MMC). Reserved fields are sent as 0.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "burner/platform/byte_order.h"

namespace zamo {

// What the close that ends the session does to the disc, as the write
// parameters page announces it to the drive (its multisession field).
enum class TDiscFinalize : uint8_t {
  kLeaveOpen,  // the disc takes another session
  kFinalize,   // the disc is closed for good: no further session
};
inline TDiscFinalize DiscFinalizeIf(bool finalize) {
  return finalize ? TDiscFinalize::kFinalize : TDiscFinalize::kLeaveOpen;
}

// The write type field of the write parameters page.
enum class TWriteType : uint8_t { kPacket = 0, kTrackAtOnce = 1, kSessionAtOnce = 2, kRaw = 3 };

// The write parameters mode page (05h), from its page code on (MMC-5 7.5.4).
// Made from the page as the drive reported it: the fields the component
// does not set (the page code, the catalogue number, the ISRC, the
// sub-header) go back as they came. The fields are set even in a page shorter
// than they reach (a drive's odd answer); only the page's own bytes are sent.
class WriteParametersPage {
 public:
  static constexpr size_t kMaxLength = 257;  // a page length byte of 255, plus its two first bytes
  static constexpr uint8_t kNoNextSession = 0;
  static constexpr uint8_t kNextSessionAllowed = 3;

  explicit WriteParametersPage(std::span<const uint8_t> drive_page) : length_(std::min(drive_page.size(), kMaxLength)) {
    std::copy_n(drive_page.begin(), length_, bytes_.begin());
    bytes_[kReserved6] = 0;
    bytes_[kReserved9] = 0;
  }

  WriteParametersPage& PageLength(uint8_t length) { return Set(kPageLength, 0xFF, length); }
  // Byte 2: BUFE (6), LS_V (5), test write (4), write type (3-0).
  WriteParametersPage& BufferUnderrunProtection(bool on) { return Set(kFlags, 0x40, on ? 0x40 : 0); }
  WriteParametersPage& LinkSizeValid(bool valid) { return Set(kFlags, 0x20, valid ? 0x20 : 0); }
  WriteParametersPage& TestWrite(bool on) { return Set(kFlags, 0x10, on ? 0x10 : 0); }
  WriteParametersPage& WriteType(TWriteType type) { return Set(kFlags, 0x8F, static_cast<uint8_t>(type)); }
  // Byte 3: multisession (7-6), fixed packet (5), copy (4), track mode (3-0).
  WriteParametersPage& Multisession(uint8_t field) { return Set(kTrack, 0xC0, static_cast<uint8_t>(field << 6)); }
  WriteParametersPage& FixedPacket(bool fixed) { return Set(kTrack, 0x20, fixed ? 0x20 : 0); }
  WriteParametersPage& Copy(bool copy) { return Set(kTrack, 0x10, copy ? 0x10 : 0); }
  WriteParametersPage& TrackMode(uint8_t mode) { return Set(kTrack, 0x0F, mode & 0x0F); }
  // Byte 4: the data block type (3-0): 8 mode 1 (2048 bytes), 0 raw 2352 bytes, 1 raw with P and Q sub-channel.
  WriteParametersPage& DataBlockType(uint8_t type) { return Set(kBlockType, 0xFF, type & 0x0F); }
  WriteParametersPage& LinkSize(uint8_t sectors) { return Set(kLinkSize, 0xFF, sectors); }
  WriteParametersPage& HostApplicationCode(uint8_t code) { return Set(kApplicationCode, 0xFF, code & 0x3F); }
  WriteParametersPage& SessionFormat(uint8_t format) { return Set(kSessionFormat, 0xFF, format); }
  WriteParametersPage& PacketSize(uint32_t sectors) {
    PutBe32(bytes_, kPacketSize, sectors);
    return *this;
  }
  WriteParametersPage& AudioPauseLength(uint16_t frames) {
    PutBe16(bytes_, kAudioPause, frames);
    return *this;
  }

  // The page's bytes (as many as the drive's page held).
  std::span<const uint8_t> bytes() const { return {bytes_.data(), length_}; }
  // The MODE SELECT (10) parameter list: a mode parameter header of 8 zero
  // bytes (no block descriptor), then the page's first `page_bytes` bytes.
  std::vector<uint8_t> ModeSelectList(size_t page_bytes) const {
    assert(page_bytes <= length_);
    std::vector<uint8_t> list(kModeHeader + page_bytes, 0);
    std::copy_n(bytes_.begin(), page_bytes, list.begin() + kModeHeader);
    return list;
  }

 private:
  static constexpr size_t kModeHeader = 8;
  static constexpr size_t kPageLength = 1, kFlags = 2, kTrack = 3, kBlockType = 4, kLinkSize = 5, kReserved6 = 6,
                          kApplicationCode = 7, kSessionFormat = 8, kReserved9 = 9, kPacketSize = 10,
                          kAudioPause = 14;

  WriteParametersPage& Set(size_t at, uint8_t mask, uint8_t value) {
    bytes_[at] = static_cast<uint8_t>((bytes_[at] & ~mask) | (value & mask));
    return *this;
  }

  std::array<uint8_t, kMaxLength> bytes_{};
  size_t length_;
};

// The performance descriptor of SET STREAMING (MMC-5 6.39.2.1): the extent
// it applies to and the read and write rates, as a size in kilobytes per a
// time in milliseconds. Its flags byte (WRC, RDD, Exact, RA) stays 0.
class PerformanceDescriptor {
 public:
  static constexpr size_t kLength = 28;

  PerformanceDescriptor& StartLba(uint32_t lba) { return Put(4, lba); }
  PerformanceDescriptor& EndLba(uint32_t lba) { return Put(8, lba); }
  PerformanceDescriptor& ReadSize(uint32_t kilobytes) { return Put(12, kilobytes); }
  PerformanceDescriptor& ReadTime(uint32_t ms) { return Put(16, ms); }
  PerformanceDescriptor& WriteSize(uint32_t kilobytes) { return Put(20, kilobytes); }
  PerformanceDescriptor& WriteTime(uint32_t ms) { return Put(24, ms); }

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  PerformanceDescriptor& Put(size_t at, uint32_t value) {
    PutBe32(bytes_, at, value);
    return *this;
  }
  std::array<uint8_t, kLength> bytes_{};
};

// The parameter list of FORMAT UNIT (MMC-5 6.5): a format list header and one
// format descriptor.
class FormatList {
 public:
  static constexpr size_t kLength = 12;
  // Format types (byte 8, bits 7-2).
  static constexpr uint8_t kFullFormat = 0x00;        // DVD-RAM: the whole disc, at a block length
  static constexpr uint8_t kQuickGrow = 0x13;         // DVD-RW restricted overwrite: blocks added
  static constexpr uint8_t kQuickFormat = 0x15;       // DVD-RW: to restricted overwrite, quickly
  static constexpr uint8_t kDvdPlusRwFormat = 0x26;   // DVD+RW basic format

  FormatList() { PutBe16(bytes_, 2, 8); }  // the format descriptor's length

  // Byte 1: format options valid (7), disable certification (5), immediate (1).
  // With the immediate bit the drive answers at once and formats on its own;
  // the bit counts only with the format options valid, set with it.
  FormatList& Immediate() { return Flag(0x80 | 0x02); }
  FormatList& DisableCertification() { return Flag(0x20); }
  FormatList& Blocks(uint32_t blocks) {
    PutBe32(bytes_, 4, blocks);
    return *this;
  }
  FormatList& FormatType(uint8_t type) {
    bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x03) | (type << 2));
    return *this;
  }
  // The format type's own parameter, 24 bits (bytes 9-11).
  FormatList& TypeParameter(uint32_t value) {
    bytes_[9] = static_cast<uint8_t>(value >> 16);
    bytes_[10] = static_cast<uint8_t>(value >> 8);
    bytes_[11] = static_cast<uint8_t>(value);
    return *this;
  }

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  FormatList& Flag(uint8_t bits) {
    bytes_[1] = static_cast<uint8_t>(bytes_[1] | bits);
    return *this;
  }
  std::array<uint8_t, kLength> bytes_{};
};

// The basic format of a whole DVD+RW (2,295,104 blocks), run by the drive in
// the background: the erase sends it, and the writer to a blank disc.
inline FormatList DvdPlusRwBasicFormat() {
  return FormatList().Immediate().Blocks(2295104).FormatType(FormatList::kDvdPlusRwFormat);
}

}  // namespace zamo
