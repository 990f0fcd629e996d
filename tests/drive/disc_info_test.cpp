// What the component tells about the disc in an emulated recorder, for every
// kind of disc: kind, status, sessions, next writable address, free space and
// capacity. Discs are recorded through the component's own commands, as the
// writer does, or laid out in the emulator's state file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

constexpr uint32_t kCdBlocks = 359849;
constexpr uint32_t kDvdBlocks = 2295104;
constexpr uint32_t kDvdRamBlocks = 2236704;

class DiscInfoTest : public ::testing::Test {
 protected:
  void TearDown() override {
    transport::AspiUnload();
  }

  // One emulated recorder holding `kind` on the files of this test.
  void Load(const std::string& kind, const std::string& image = "") {
    image_ = image.empty() ? dir_ / "disc.img" : image;
    std::string error;
    std::vector<emu::TDriveConfig> configs;
    ASSERT_TRUE(emu::ParseDriveList(kind + ":" + image_, &configs, &error)) << error;
    // The drive runs on a clock that the component's waits move on: a disc
    // just loaded spins up for a moment, and the readiness wait sleeps it away.
    std::vector<std::unique_ptr<emu::TEmulatedUnit>> units;
    units.push_back(emu::TEmulatedUnit::Open(configs[0], &error, [this] { return Now(); }));
    ASSERT_NE(units[0], nullptr) << error;
    transport::Install(std::make_unique<emu::TEmulatedBackEnd>(std::move(units)));
    device_.LogCommandErrors = false;
    device_.Sleep = [this](int ms) { slept_ms_ += ms; };
    device_.HostAdapterInquiry(0);
    device_.ScanDevices();
    ASSERT_EQ(device_.Devices.size(), 1u);
    device_.SelectDevice(device_.Devices[0]);
    ASSERT_EQ(device_.TargetId, 0);
  }

  // Records `blocks` sectors of `fill` at the next writable address, as the
  // writer does: write parameters, then WRITE (10) in runs of 32 sectors.
  void Record(TDiscKind kind, uint32_t at, uint32_t blocks, uint8_t fill) {
    ASSERT_TRUE(device_.SetWriteParameters(false, false, false, kind, DiscFinalizeIf(device_.FinalizeDisc)))
        << device_.LastError;
    std::vector<uint8_t> data(32 * 2048, fill);
    for (uint32_t done = 0; done < blocks;) {
      const uint16_t run = static_cast<uint16_t>(std::min<uint32_t>(32, blocks - done));
      ASSERT_TRUE(device_.Write10(at + done, run, data.data(), run * 2048u, kFlagsOut))
          << "at " << at + done << ": " << device_.LastError;
      done += run;
    }
    ASSERT_TRUE(device_.SynchronizeCache(60000, false)) << device_.LastError;
  }

  void CloseTrackAndSession(uint8_t track) {
    ASSERT_TRUE(device_.CloseTrackSession(false, 1, track)) << device_.LastError;
    ASSERT_TRUE(device_.CloseSessionOrTrack(false, false, false)) << device_.LastError;
  }

  // A primary volume descriptor at sector 16 saying the volume is `blocks` long.
  void RecordVolume(TDiscKind kind, uint32_t blocks) {
    std::vector<uint8_t> pvd(2048, 0);
    pvd[0] = 1;
    std::memcpy(&pvd[1], "CD001", 5);
    pvd[6] = 1;
    for (int i = 0; i < 4; ++i) pvd[80 + i] = static_cast<uint8_t>(blocks >> (8 * i));
    ASSERT_TRUE(device_.SetWriteParameters(false, false, false, kind, DiscFinalizeIf(device_.FinalizeDisc)));
    ASSERT_TRUE(device_.Write10(16, 1, pvd.data(), 2048, kFlagsOut)) << device_.LastError;
  }

  void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }

  std::chrono::steady_clock::time_point Now() const {
    return std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(slept_ms_.load());
  }

  test::TempDir dir_;
  std::string image_;
  std::atomic<int64_t> slept_ms_{0};
  TSCSIDevice device_{nullptr};
};

TEST_F(DiscInfoTest, BlankCdR) {
  Load("cd-r");
  EXPECT_EQ(device_.GetDiscType(), dkCdR);
  EXPECT_EQ(device_.GetDiscStatus(), 0);
  EXPECT_EQ(device_.GetSessionCount(), 0);
  EXPECT_FALSE(device_.IsDiscErasable());
  EXPECT_EQ(device_.GetNextWritableAddress(), 0u);
  EXPECT_EQ(device_.GetFreeBlocks(), kCdBlocks);
  // The capacity is the lead-out start of the ATIP (79:59:74) as a block
  // address: the 150 sectors before LBA 0 are not part of the disc.
  EXPECT_EQ(TSCSIDevice::MsfToLba(0, 79, 59, 74), kCdBlocks + 150);
  EXPECT_EQ(device_.GetDiscCapacity(), kCdBlocks);

  TDisc disc;
  device_.GetDiscInfo(disc);
  EXPECT_TRUE(disc.Ready);
  EXPECT_EQ(disc.Profile, 0x0009);
  EXPECT_EQ(disc.TypeName, "CD-R");
  EXPECT_EQ(disc.DiscStatus, 0);
  EXPECT_EQ(disc.Size, 0u);
  EXPECT_EQ(disc.Capacity, kCdBlocks);
  EXPECT_EQ(disc.BlockLength, 2048u);
  EXPECT_FALSE(disc.Erasable);
}

TEST_F(DiscInfoTest, AppendableCdRWithTwoSessions) {
  Load("cd-r");
  device_.FinalizeDisc = false;  // keep the disc open for another session
  Record(dkCdR, 0, 300, 0x11);
  CloseTrackAndSession(1);
  EXPECT_EQ(device_.GetDiscStatus(), 1);
  EXPECT_EQ(device_.GetSessionCount(), 1);
  // Lead-out, lead-in and pre-gap lie between the sessions, after the two
  // run-out blocks that end a track-at-once track.
  const uint32_t second = device_.GetNextWritableAddress();
  EXPECT_EQ(second, 300u + 2 + 11400u);

  Record(dkCdR, second, 100, 0x22);
  CloseTrackAndSession(2);
  EXPECT_EQ(device_.GetSessionCount(), 2);
  const uint32_t third = device_.GetNextWritableAddress();
  EXPECT_EQ(third, second + 300 + 2 + 6900);  // the drive padded the short track to 300 blocks
  EXPECT_EQ(device_.GetFreeBlocks(), kCdBlocks - third);

  TDisc disc;
  device_.GetDiscInfo(disc);
  EXPECT_EQ(disc.FirstSession, 1);
  EXPECT_EQ(disc.LastSession, 2);
  EXPECT_EQ(disc.DiscStatus, 1);
  EXPECT_EQ(disc.LastSessionState, 0);  // the next session is still empty

  // Both sessions' data read back where they were written.
  std::vector<uint8_t> block(2048);
  ASSERT_TRUE(device_.Read10(299, 1, block.data(), 2048));
  EXPECT_EQ(block[0], 0x11);
  ASSERT_TRUE(device_.Read10(second, 1, block.data(), 2048));
  EXPECT_EQ(block[2047], 0x22);
}

TEST_F(DiscInfoTest, ClosedDvdR) {
  Load("dvd-r");
  EXPECT_EQ(device_.GetDiscType(), dkDvdR);
  device_.FinalizeDisc = true;
  Record(dkDvdR, 0, 64, 0x33);
  ASSERT_TRUE(device_.CloseTrackSession(false, 1, 1)) << device_.LastError;
  ASSERT_TRUE(device_.CloseSessionOrTrack(false, false, true)) << device_.LastError;
  EXPECT_EQ(device_.GetDiscStatus(), 2);
  EXPECT_EQ(device_.GetSessionCount(), 1);
  EXPECT_EQ(device_.GetFreeBlocks(), 0u);
  TDisc disc;
  device_.GetDiscInfo(disc);
  EXPECT_EQ(disc.TypeName, "DVD-R");
  EXPECT_EQ(disc.DiscStatus, 2);
  EXPECT_EQ(disc.LastSessionState, 3);
}

TEST_F(DiscInfoTest, DvdPlusRwBeforeAndAfterFormatting) {
  Load("dvd+rw");
  EXPECT_EQ(device_.GetDiscType(), dkDvdPlusRw);
  EXPECT_TRUE(device_.IsDiscErasable());
  // Unformatted: nothing recorded, the whole disc free.
  EXPECT_EQ(device_.GetNextWritableAddress(), 0u);
  EXPECT_EQ(device_.GetDiscCapacity(), kDvdBlocks);

  // One descriptor: all blocks, format type 26h (DVD+RW), immediate.
  const uint8_t format[12] = {0, 0x02, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0x26 << 2, 0, 0, 0};
  ASSERT_TRUE(device_.FormatUnit(0x11, format, sizeof(format))) << device_.LastError;
  ASSERT_TRUE(device_.WaitUntilReady(60000, 100));
  EXPECT_EQ(device_.GetDiscCapacity(), kDvdBlocks);
  EXPECT_EQ(device_.GetNextWritableAddress(), 0u);  // freshly formatted: no CD001, all free
  EXPECT_EQ(device_.GetFreeBlocks(), kDvdBlocks);

  // An overwritable disc keeps no sessions: what is used is the ISO volume.
  RecordVolume(dkDvdPlusRw, 5000);
  EXPECT_EQ(device_.GetIsoVolumeSize(), 5000u);
  EXPECT_EQ(device_.GetNextWritableAddress(), 5000u);
  EXPECT_EQ(device_.GetFreeBlocks(), kDvdBlocks - 5000);
}

TEST_F(DiscInfoTest, DvdRam) {
  Load("dvd-ram");
  EXPECT_EQ(device_.GetDiscType(), dkDvdRam);
  EXPECT_TRUE(device_.IsDiscErasable());
  EXPECT_EQ(device_.GetDiscCapacity(), kDvdRamBlocks);
  RecordVolume(dkDvdRam, 1234);
  EXPECT_EQ(device_.GetNextWritableAddress(), 1234u);
  EXPECT_EQ(device_.GetFreeBlocks(), kDvdRamBlocks - 1234);
  // The DVD-RAM wait asks REQUEST SENSE, which reports nothing pending: a
  // ready disc costs no step.
  ASSERT_EQ(device_.NoteDiscKind(), dkDvdRam);
  int slept_ms = 0;
  device_.Sleep = [&slept_ms](int ms) { slept_ms += ms; };
  EXPECT_TRUE(device_.WaitUntilReady(5000, 100));
  EXPECT_EQ(slept_ms, 0);
}

TEST_F(DiscInfoTest, CdRomHoldingAnIsoFile) {
  // A pressed disc: an ISO image of 400 sectors with its volume descriptor.
  const std::string iso = dir_ / "pressed.iso";
  {
    std::vector<uint8_t> image(400 * 2048, 0);
    uint8_t* pvd = &image[16 * 2048];
    pvd[0] = 1;
    std::memcpy(pvd + 1, "CD001", 5);
    pvd[80] = 400 & 0xFF;
    pvd[81] = 400 >> 8;
    std::ofstream out(iso, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  Load("cd-rom", iso);
  EXPECT_EQ(device_.GetDiscType(), dkCdRom);
  EXPECT_EQ(device_.GetDiscStatus(), 2);
  EXPECT_EQ(device_.GetSessionCount(), 1);
  EXPECT_EQ(device_.GetIsoVolumeSize(), 400u);
  EXPECT_EQ(device_.GetFreeBlocks(), 0u);
  TDisc disc;
  device_.GetDiscInfo(disc);
  EXPECT_EQ(disc.TypeName, "CD-ROM");
  EXPECT_EQ(disc.DiscStatus, 2);
  std::vector<uint8_t> block(2048);
  EXPECT_FALSE(device_.Write10(0, 1, block.data(), 2048, kFlagsOut));
}

// 255 closed sessions and an empty 256th: the session count and the address
// of the next session need more than one byte, and must not wrap to 0.
TEST_F(DiscInfoTest, DiscWith255SessionsDoesNotWrap) {
  constexpr uint32_t kGap = 2048;  // the emulator's DVD+R session gap
  std::ostringstream state;
  state << "zamo-disc 1\nkind dvd+r\nfinalized no\nformatted no\nrestricted-overwrite no\n";
  uint32_t start = 0;
  for (uint32_t n = 1; n <= 255; ++n) {
    state << "session " << n << " closed\ntrack " << n << " complete " << start << " 32 32\n";
    start += 32 + kGap;
  }
  state << "session 256 open\ntrack 256 invisible " << start << " 0 0\n";
  const std::string image = dir_ / "many.img";
  WriteFile(image + ".state", state.str());
  WriteFile(image, "");
  ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(start) * 2048), 0);

  Load("dvd+r", image);
  EXPECT_EQ(device_.GetDiscStatus(), 1);
  EXPECT_EQ(device_.GetSessionCount(), 255);
  EXPECT_EQ(device_.GetNextWritableAddress(), start);
  EXPECT_EQ(device_.GetFreeBlocks(), kDvdBlocks - start);
  EXPECT_EQ(device_.GetDiscCapacity(), kDvdBlocks);
  EXPECT_EQ(device_.LastTrackOfLastSession(), 256);
}

TEST_F(DiscInfoTest, CapabilitiesAndNameOfTheEmulatedRecorder) {
  Load("cd-rw");
  EXPECT_EQ(device_.DeviceName, "ZAMO     VIRTUAL RECORDER 1.00");
  EXPECT_EQ(device_.DeviceType, 5);
  ASSERT_TRUE(device_.ReadCapabilities());
  const uint32_t expected = capReadCdR | capReadCdRw | capWriteCdR | capWriteCdRw | capReadDvdRom | capWriteDvdR |
                            capWriteDvdRam | capWriteDvdPlusR | capWriteDvdPlusRw | capWriteDvdPlusRDl |
                            capTestWrite | capUnderrunProtection;
  EXPECT_EQ(device_.Capabilities & expected, expected);
  EXPECT_GT(device_.GetMaxWriteSpeed(), 0);
  EXPECT_EQ(device_.GetMaxWriteSpeed(), device_.DeviceMaxWriteSpeed);
  EXPECT_GT(device_.GetMaxReadSpeed(), 0);
  // Selecting probed the write types a CD can take.
  EXPECT_NE(device_.SupportedWriteTypes & 4, 0);
}

TEST_F(DiscInfoTest, TrayOpenAndClosed) {
  Load("cd-r");
  EXPECT_TRUE(device_.TestUnitReady(5000));
  ASSERT_TRUE(device_.PreventAllowRemoval(false));
  EXPECT_FALSE(device_.LoadEject(true));  // removal prevented
  EXPECT_FALSE(device_.LastError.empty());
  ASSERT_TRUE(device_.PreventAllowRemoval(true));
  ASSERT_TRUE(device_.LoadEject(true)) << device_.LastError;
  EXPECT_FALSE(device_.TestUnitReady(5000));
  EXPECT_EQ(device_.LastAsc(), 0x3A);
  EXPECT_EQ(device_.LastError, "PAS PRÊT (MEDIUM NOT PRESENT - TRAY OPEN)");
  TDisc disc;
  disc.TypeName = "untouched";
  device_.GetDiscInfo(disc);
  EXPECT_FALSE(disc.Ready);
  EXPECT_EQ(disc.TypeName, "untouched");  // the caller's record is left as it was
  ASSERT_TRUE(device_.LoadEject(false)) << device_.LastError;
  EXPECT_TRUE(device_.WaitUntilReady(5000, 100));
  EXPECT_TRUE(device_.TestUnitReady(5000));
}

}  // namespace
}  // namespace zamo
