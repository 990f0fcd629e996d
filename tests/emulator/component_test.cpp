// The emulated recorder behind the component's own command gate: the device
// scan lists it, and commands and their failures travel both ways intact.
#include <gtest/gtest.h>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo::emu {
namespace {

class ThroughTheGate : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto back_end = CreateEmulatedBackEnd("cd-r:" + (dir_ / "a.img") + ";dvd+rw:" + (dir_ / "b.img"), &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    device_.HostAdapterInquiry(0);
    device_.ScanDevices();
  }
  void TearDown() override { transport::AspiUnload(); }

  zamo::test::TempDir dir_;
  TSCSIDevice device_{nullptr};
};

TEST_F(ThroughTheGate, ScanListsEveryEmulatedRecorder) {
  ASSERT_EQ(device_.Devices.size(), 2u);
  EXPECT_EQ(device_.Devices[0].rfind("0:0:0,emu0: ZAMO    VIRTUAL RECORDER1.00", 0), 0u) << device_.Devices[0];
  EXPECT_EQ(device_.Devices[1].rfind("0:1:0,emu1: ", 0), 0u) << device_.Devices[1];
}

TEST_F(ThroughTheGate, CommandsAndFailuresReachTheComponent) {
  ASSERT_FALSE(device_.Devices.empty());
  device_.SelectDevice(device_.Devices[0]);
  ASSERT_EQ(device_.TargetId, 0);
  EXPECT_TRUE(device_.TestUnitReady(5000));
  ASSERT_TRUE(device_.ReadDiscInfo());
  // Selecting probed the write types and left an audio track-at-once page:
  // user data is refused until the write parameters say mode 1 again.
  std::vector<uint8_t> block(2048, 0x42);
  EXPECT_FALSE(device_.Write10(0, 1, block.data(), 2048, kFlagsOut));
  EXPECT_EQ(device_.LastAsc(), 0x64);
  std::vector<uint8_t> page(60, 0);
  page[8] = 0x05;
  page[9] = 0x32;
  page[10] = 0x01;  // track at once
  page[11] = 0xC4;  // next session allowed, data track
  page[12] = 0x08;  // mode 1
  ASSERT_TRUE(device_.ModeSelect(page.data(), static_cast<int>(page.size())));

  EXPECT_FALSE(device_.Write10(16, 1, block.data(), 2048, kFlagsOut));
  EXPECT_EQ(device_.LastSenseKey(), 5);
  EXPECT_EQ(device_.LastAsc(), 0x21);
  EXPECT_EQ(device_.LastAscq(), 0x02);
  EXPECT_FALSE(device_.LastError.empty());

  EXPECT_TRUE(device_.Write10(0, 1, block.data(), 2048, kFlagsOut));
  std::vector<uint8_t> back(2048, 0);
  ASSERT_TRUE(device_.Read10(0, 1, back.data(), 2048));
  EXPECT_EQ(back, block);
  ASSERT_TRUE(device_.ReadTrackInformation(1));
}

// A drive of MMC-5's generation leaves the speed fields of its capabilities
// page at zero: the component reads the same speeds from GET PERFORMANCE as
// from an older drive's page, and follows the speed the host sets.
TEST(ModernDrive, TheComponentReadsTheSameSpeedsAsFromAnOlderDrive) {
  for (const char* kind : {"cd-rw", "dvd+r", "dvd-ram"}) {
    SCOPED_TRACE(kind);
    zamo::test::TempDir dir;
    std::string error;
    auto back_end = CreateEmulatedBackEnd(std::string(kind) + ":" + (dir / "a.img") + ";" + kind + ":" +
                                              (dir / "b.img") + ",model=modern",
                                          &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    TSCSIDevice device(nullptr);
    device.HostAdapterInquiry(0);
    device.ScanDevices();
    ASSERT_EQ(device.Devices.size(), 2u);
    struct Reading {
      uint16_t max_write, current_write, max_read, current_read;
      uint32_t capabilities;
      std::vector<TWriteSpeed> list;
      bool operator==(const Reading&) const = default;
    };
    const auto read = [&device](size_t drive, uint16_t write_speed) {
      device.SelectDevice(device.Devices[drive]);
      EXPECT_TRUE(device.SetCdSpeed(0xFFFF, write_speed));
      Reading r{device.GetMaxWriteSpeed(), device.GetCurrentWriteSpeed(), device.GetMaxReadSpeed(), 0,
                device.Capabilities, {}};
      const TDriveCapabilities caps = device.DriveCapabilities();
      r.current_read = caps.CurrentReadSpeed;
      r.list = caps.WriteSpeeds;
      return r;
    };
    const Reading older = read(0, 0xFFFF);
    const Reading modern = read(1, 0xFFFF);
    EXPECT_EQ(modern, older);
    EXPECT_GT(modern.max_write, 1385u);  // not the 1x of a drive without speeds
    EXPECT_EQ(modern.current_write, modern.max_write);
    ASSERT_GE(modern.list.size(), 3u);
    const uint16_t second = modern.list[1].Speed;
    EXPECT_EQ(read(1, second).current_write, second);
    EXPECT_EQ(read(0, second), read(1, second));
    transport::AspiUnload();
  }
}

}  // namespace
}  // namespace zamo::emu
