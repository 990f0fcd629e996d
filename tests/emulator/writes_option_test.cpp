// writes=: a recorder that writes only some kinds of disc. It says so in the
// capabilities page and the feature list, refuses to record on a disc it
// only reads, and the component reads the limits back into Capabilities.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

constexpr TSenseCode kCannotWrite{5, 0x30, 0x05};
constexpr TSenseCode kCannotFormat{5, 0x30, 0x06};

uint32_t Bit(TMediaKind kind) { return 1u << static_cast<int>(kind); }

TEST(WritesOption, ParsesKindListsAllAndNone) {
  std::vector<TDriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveList("dvd+r:/tmp/a.img,writes=dvd+r;cd-rw:/tmp/b.img,writes=cd-r/cd-rw;"
                             "cd-r:/tmp/c.img,writes=none;dvd-ram:/tmp/d.img,writes=all;dvd-r:/tmp/e.img",
                             &configs, &error))
      << error;
  ASSERT_EQ(configs.size(), 5u);
  EXPECT_EQ(configs[0].writes, Bit(TMediaKind::kDvdPlusR));
  EXPECT_EQ(configs[1].writes, Bit(TMediaKind::kCdR) | Bit(TMediaKind::kCdRw));
  EXPECT_EQ(configs[2].writes, 0u);
  EXPECT_EQ(configs[3].writes, kWritesAll);
  EXPECT_EQ(configs[4].writes, kWritesAll);  // the default
  EXPECT_TRUE(configs[3].Writes(TMediaKind::kDvdPlusRDl));
  EXPECT_FALSE(configs[3].Writes(TMediaKind::kCdRom));  // a pressed disc is never written
}

TEST(WritesOption, RefusesPressedUnknownAndEmptyKinds) {
  for (const char* bad : {"writes=cd-rom", "writes=dvd+r/dvd-rom", "writes=bluray", "writes=", "writes=dvd+r/"}) {
    std::vector<TDriveConfig> configs;
    std::string error;
    EXPECT_FALSE(ParseDriveList(std::string("dvd+r:/tmp/a.img,") + bad, &configs, &error)) << bad;
    EXPECT_NE(error.find("writes attend"), std::string::npos) << bad << ": " << error;
  }
}

class WritesUnit : public UnitTest {
 protected:
  void Open(TMediaKind kind, uint32_t writes) {
    TDriveConfig config = Config(kind);
    config.writes = writes;
    Load(config);
  }
  // Byte 3 of the capabilities page: its write bits.
  uint8_t PageWriteBits() {
    EXPECT_TRUE(In(ModeSense(0x2A)).good());
    EXPECT_EQ(in_[8] & 0x3F, 0x2A);
    return in_[8 + 3];
  }
  // The feature's first data byte, or nothing when the drive lacks it.
  std::optional<uint8_t> FeatureByte(uint16_t feature, bool* current = nullptr) {
    EXPECT_TRUE(In(GetConfiguration(2, feature)).good());
    if (GetBe32(in_, 0) < 8 || GetBe16(in_, 8) != feature) return std::nullopt;
    if (current) *current = in_[10] & 0x01;
    return in_[12];
  }
};

TEST_F(WritesUnit, EveryKindByDefault) {
  Open(TMediaKind::kCdR, kWritesAll);
  EXPECT_EQ(PageWriteBits(), 0x37);  // DVD-RAM, DVD-R, test write, CD-RW, CD-R
  EXPECT_EQ(FeatureByte(0x002A), 0x01);
  EXPECT_EQ(FeatureByte(0x002B), 0x01);
  EXPECT_EQ(FeatureByte(0x003B), 0x01);
  bool current = false;
  EXPECT_EQ(FeatureByte(0x002D, &current), 0x46);
  EXPECT_TRUE(current);
  EXPECT_EQ(FeatureByte(0x002F), 0x46);
}

TEST_F(WritesUnit, DvdPlusROnlyDrive) {
  Open(TMediaKind::kCdR, Bit(TMediaKind::kDvdPlusR));
  EXPECT_EQ(PageWriteBits(), 0x00);
  EXPECT_EQ(FeatureByte(0x002B), 0x01);  // writes DVD+R
  EXPECT_EQ(FeatureByte(0x002A), 0x00);  // reads DVD+RW, does not write it
  EXPECT_EQ(FeatureByte(0x003B), 0x00);
  for (uint16_t absent : {0x0020, 0x0021, 0x0023, 0x0024, 0x0026, 0x002C, 0x002D, 0x002E, 0x002F})
    EXPECT_FALSE(FeatureByte(absent).has_value()) << std::hex << absent;
  // The CD-R is read, its profile current, but nothing is recorded on it.
  EXPECT_EQ(CurrentProfile(), kProfileCdR);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
  EXPECT_EQ(WriteBlocks(0, 1), kCannotWrite);
  EXPECT_EQ(SenseOf(None(ReserveTrack(300))), kCannotWrite);
  EXPECT_EQ(SenseOf(None(SendOpc())), kCannotWrite);
  EXPECT_EQ(SenseOf(None(Close(2, 0))), kCannotWrite);
  EXPECT_EQ(Disc().status, 0);  // still blank
}

TEST_F(WritesUnit, WritesWhatItListsAndOnlyThat) {
  Open(TMediaKind::kCdRw, Bit(TMediaKind::kCdR));
  EXPECT_EQ(PageWriteBits(), 0x05);  // CD-R and test write
  bool current = true;
  EXPECT_EQ(FeatureByte(0x002D, &current), 0x44);  // no CD-RW bit
  EXPECT_FALSE(current);                            // the loaded CD-RW is not written
  EXPECT_EQ(SenseOf(None(Blank(1))), kCannotWrite);

  Open(TMediaKind::kDvdPlusRw, Bit(TMediaKind::kDvdPlusR));
  EXPECT_EQ(SenseOf(Out(FormatUnit(), FormatList(0, 0x26, 0))), kCannotFormat);

  Open(TMediaKind::kDvdPlusR, Bit(TMediaKind::kDvdPlusR));
  EXPECT_EQ(WriteBlocks(0, 16), kGood);
}

// The component reads the limits into Capabilities: what the main window's
// burn button and the capabilities window go by.
TEST(WritesOption, ComponentCapabilitiesFollowTheOption) {
  struct Case {
    const char* writes;
    uint32_t expected;  // the write bits of Capabilities
  };
  const Case cases[] = {
      {"all", capWriteCdR | capWriteCdRw | capTestWrite | capWriteDvdR | capWriteDvdRw | capWriteDvdRam |
                  capWriteDvdPlusR | capWriteDvdPlusRDl | capWriteDvdPlusRw},
      {"none", 0},
      {"cd-r", capWriteCdR | capTestWrite},
      {"dvd-ram", capWriteDvdRam},
      // The page has one bit for DVD-R and DVD-RW.
      {"dvd-rw", capWriteDvdR | capWriteDvdRw | capTestWrite},
      // DVD+R writing is read from the DVD+RW feature's Write bit.
      {"dvd+r/dvd+rw", capWriteDvdPlusR | capWriteDvdPlusRw},
      {"dvd+r", 0},
  };
  constexpr uint32_t kWriteBits = capWriteCdR | capWriteCdRw | capTestWrite | capWriteDvdR | capWriteDvdRw |
                                  capWriteDvdRam | capWriteDvdPlusR | capWriteDvdPlusRDl | capWriteDvdPlusRw;
  for (const Case& c : cases) {
    zamo::test::TempDir dir;
    std::string error;
    auto back_end = CreateEmulatedBackEnd("dvd+r:" + (dir / "a.img") + ",writes=" + c.writes, &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    TSCSIDevice device(nullptr);
    device.HostAdapterInquiry(0);
    device.ScanDevices();
    ASSERT_EQ(device.Devices.size(), 1u);
    device.SelectDevice(device.Devices[0]);
    EXPECT_EQ(device.Capabilities & kWriteBits, c.expected) << "writes=" << c.writes;
    // Reading is not limited.
    EXPECT_EQ(device.Capabilities & (capReadCdR | capReadDvdPlusR | capReadDvdPlusRw),
              capReadCdR | capReadDvdPlusR | capReadDvdPlusRw)
        << "writes=" << c.writes;
    transport::AspiUnload();
  }
}

}  // namespace
}  // namespace zamo::emu::test
