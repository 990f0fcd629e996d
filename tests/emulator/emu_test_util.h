// emu_test_util.h: driving an emulated unit with raw CDBs in tests, built
// with the component's Cdb.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "burner/drive/cdb.h"
#include "burner/platform/byte_order.h"
#include "emulator/drive_config.h"
#include "emulator/emulated_unit.h"
#include "tests/support/temp_dir.h"

namespace zamo::emu::test {

inline Cdb TestUnitReady() { return Cdb(0x00, 6); }
inline Cdb Inquiry(uint8_t length = 96) { return Cdb(0x12, 6).Byte(4, length); }
inline Cdb RequestSense() { return Cdb(0x03, 6).Byte(4, 18); }
inline Cdb StartStop(uint8_t control) { return Cdb(0x1B, 6).Byte(4, control); }  // 2 eject, 3 load
inline Cdb PreventAllow(bool prevent) { return Cdb(0x1E, 6).Byte(4, prevent ? 1 : 0); }
inline Cdb ReadCapacity() { return Cdb(0x25, 10); }
inline Cdb ReadFormatCapacities() { return Cdb(0x23, 10).Be16(7, 252); }
inline Cdb Read10(uint32_t lba, uint16_t blocks) { return Cdb(0x28, 10).Be32(2, lba).Be16(7, blocks); }
inline Cdb Write10(uint32_t lba, uint16_t blocks) { return Cdb(0x2A, 10).Be32(2, lba).Be16(7, blocks); }
inline Cdb SynchronizeCache(bool immediate = false) { return Cdb(0x35, 10).Byte(1, immediate ? 2 : 0); }
inline Cdb ReadToc(uint8_t format, bool msf = false, uint8_t track = 0) {
  return Cdb(0x43, 10).Byte(1, msf ? 2 : 0).Byte(2, format).Byte(6, track).Be16(7, 1024);
}
inline Cdb GetConfiguration(uint8_t type, uint16_t start) {
  return Cdb(0x46, 10).Byte(1, type).Be16(2, start).Be16(7, 1024);
}
inline Cdb ReadDiscInfo() { return Cdb(0x51, 10).Be16(7, 34); }
inline Cdb ReadTrackInfo(uint8_t type, uint32_t value) {
  return Cdb(0x52, 10).Byte(1, type).Be32(2, value).Be16(7, 48);
}
inline Cdb ReserveTrack(uint32_t blocks) { return Cdb(0x53, 10).Be32(5, blocks); }
inline Cdb SendOpc() { return Cdb(0x54, 10).Byte(1, 1); }
inline Cdb ModeSelect(uint16_t length) { return Cdb(0x55, 10).Byte(1, 0x10).Be16(7, length); }
inline Cdb ModeSense(uint8_t page, uint8_t control = 0) {
  return Cdb(0x5A, 10).Byte(2, static_cast<uint8_t>(control << 6 | page)).Be16(7, 255);
}
inline Cdb Close(uint8_t function, uint16_t number, bool immediate = false) {
  return Cdb(0x5B, 10).Byte(1, immediate ? 1 : 0).Byte(2, function).Be16(4, number);
}
inline Cdb Blank(uint8_t type, bool immediate = false) { return Cdb(0xA1, 12).Byte(1, (immediate ? 0x10 : 0) | type); }
inline Cdb FormatUnit() { return Cdb(0x04, 6).Byte(1, 0x11); }
inline Cdb SetCdSpeed(uint16_t read, uint16_t write) { return Cdb(0xBB, 12).Be16(2, read).Be16(4, write); }

// FORMAT UNIT parameter list: header (FOV, IMMED) and one descriptor.
inline std::vector<uint8_t> FormatList(uint32_t blocks, uint8_t type, uint32_t parameter) {
  std::vector<uint8_t> list = {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0, static_cast<uint8_t>(type << 2),
                               static_cast<uint8_t>(parameter >> 16), static_cast<uint8_t>(parameter >> 8),
                               static_cast<uint8_t>(parameter)};
  PutBe32(list, 4, blocks);
  return list;
}

// A MODE SELECT (10) list holding the write parameters page with the bytes given.
inline std::vector<uint8_t> WriteParams(uint8_t byte2, uint8_t byte3, uint8_t block_type = 8,
                                        uint32_t packet = 0) {
  std::vector<uint8_t> list(8 + 52, 0);
  list[8] = 0x05;
  list[9] = 0x32;
  list[10] = byte2;
  list[11] = byte3;
  list[12] = block_type;
  PutBe32(list, 8 + 10, packet);
  list[8 + 15] = 150;
  return list;
}

inline constexpr TSenseCode kGood{0, 0, 0};

// One emulated unit on files in a temporary folder.
class UnitTest : public ::testing::Test {
 protected:
  std::string ImagePath() const { return dir_ / "disc.img"; }

  TDriveConfig Config(TMediaKind kind) const {
    TDriveConfig config;
    config.kind = kind;
    config.image_path = ImagePath();
    return config;
  }

  void Load(TMediaKind kind) { Load(Config(kind)); }
  void Load(const TDriveConfig& config, TClock clock = {}) {
    std::string error;
    unit_ = TEmulatedUnit::Open(config, &error, std::move(clock));
    ASSERT_NE(unit_, nullptr) << error;
  }

  // Runs a command with a data-in buffer of `length` bytes, keeping the bytes in `in_`.
  TCommandResult In(const Cdb& cdb, size_t length = 4096) {
    in_.assign(length, 0xEE);
    return Run(cdb, TDataDirection::kIn, in_);
  }
  TCommandResult Out(const Cdb& cdb, std::vector<uint8_t> data) {
    out_ = std::move(data);
    return Run(cdb, TDataDirection::kOut, out_);
  }
  TCommandResult None(const Cdb& cdb) { return Run(cdb, TDataDirection::kNone, {}); }
  TCommandResult Run(const Cdb& cdb, TDataDirection direction, std::span<uint8_t> data) {
    if (!unit_) {
      ADD_FAILURE() << "no unit is loaded";
      TCommandResult none;
      none.host_status = HASTAT_SEL_TO;
      return none;
    }
    return unit_->Execute(cdb.bytes(), direction, data);
  }

  // The sense of a command (0/0/0 when it succeeded).
  TSenseCode SenseOf(const TCommandResult& result) const { return result.good() ? kGood : result.code(); }

  TSenseCode WriteBlocks(uint32_t lba, uint16_t blocks, uint8_t fill = 0x5A) {
    return SenseOf(Out(Write10(lba, blocks), std::vector<uint8_t>(blocks * 2048u, fill)));
  }
  // Track information of a track number, as the fields MMC names.
  struct TrackInfo {
    TSenseCode sense;
    uint32_t number = 0, session = 0, start = 0, next_writable = 0, free = 0, size = 0, last_recorded = 0;
    bool blank = false, reserved = false, nwa_valid = false;
  };
  TrackInfo Track(uint32_t number, uint8_t address_type = 1) {
    TrackInfo info;
    info.sense = SenseOf(In(ReadTrackInfo(address_type, number)));
    if (info.sense != kGood) return info;
    info.number = in_[2] | in_[32] << 8;
    info.session = in_[3] | in_[33] << 8;
    info.reserved = in_[6] & 0x80;
    info.blank = in_[6] & 0x40;
    info.nwa_valid = in_[7] & 0x01;
    info.start = GetBe32(in_, 8);
    info.next_writable = GetBe32(in_, 12);
    info.free = GetBe32(in_, 16);
    info.size = GetBe32(in_, 24);
    info.last_recorded = GetBe32(in_, 28);
    return info;
  }
  // READ DISC INFORMATION fields.
  struct DiscInfo {
    uint8_t status = 0, last_session_state = 0;
    bool erasable = false;
    uint32_t sessions = 0, first_in_last = 0, last_in_last = 0;
    std::vector<uint8_t> raw;
  };
  DiscInfo Disc() {
    EXPECT_TRUE(In(ReadDiscInfo()).good());
    DiscInfo info;
    info.raw.assign(in_.begin(), in_.begin() + 34);
    info.status = in_[2] & 3;
    info.last_session_state = (in_[2] >> 2) & 3;
    info.erasable = in_[2] & 0x10;
    info.sessions = in_[4] | in_[9] << 8;
    info.first_in_last = in_[5] | in_[10] << 8;
    info.last_in_last = in_[6] | in_[11] << 8;
    return info;
  }
  uint16_t CurrentProfile() {
    EXPECT_TRUE(In(GetConfiguration(2, 0)).good());
    return GetBe16(in_, 6);
  }

  zamo::test::TempDir dir_;
  std::unique_ptr<TEmulatedUnit> unit_;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
};

}  // namespace zamo::emu::test
