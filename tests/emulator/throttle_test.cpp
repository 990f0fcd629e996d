// Recording at a real speed (speed=N): the drive buffer fills at the host's
// pace and drains at the x-speed; a full buffer holds a write back, a flush
// or close waits for it to drain, an empty one mid-recording is an underrun.
// The unit runs on a test clock, so every duration is exact.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using Clock = std::chrono::steady_clock;

constexpr uint64_t k16xCd = 16 * 75 * 2048;  // 2,457,600 bytes/s of user data
constexpr uint32_t kChunk = 32 * 2048;       // one 64 KB write

class Throttle : public UnitTest {
 protected:
  void LoadAt(TMediaKind kind, uint32_t speed_x, uint32_t buffer) {
    TDriveConfig config = Config(kind);
    config.speed_x = speed_x;
    config.buffer_bytes = buffer;
    Load(config, [this] { return now_; });
  }
  // Track-at-once, mode 1, with or without buffer-underrun protection.
  void CdPage(bool protection) {
    ASSERT_TRUE(Out(ModeSelect(60), WriteParams(protection ? 0x41 : 0x01, 0x04)).good());
  }
  TCommandResult WriteAt(uint32_t lba, uint16_t blocks) {
    return Out(Write10(lba, blocks), std::vector<uint8_t>(blocks * 2048u, 0x33));
  }
  uint32_t FreeBytes() {
    EXPECT_TRUE(In(Cdb(0x5C, 10).Be16(7, 12)).good());
    EXPECT_EQ(GetBe32(in_, 4), buffer_size_);
    return GetBe32(in_, 8);
  }
  TWriteStats Stats() {
    std::optional<TWriteStats> stats = unit_->WriteStats();
    EXPECT_TRUE(stats.has_value());
    return stats.value_or(TWriteStats{});
  }

  Clock::time_point now_{};
  uint32_t buffer_size_ = 256 * 1024;
};

TEST_F(Throttle, AFullBufferHoldsTheWriteUntilThereIsRoomAndAFlushWaitsForItToDrain) {
  LoadAt(TMediaKind::kCdR, 16, buffer_size_);
  CdPage(true);
  EXPECT_EQ(FreeBytes(), buffer_size_);
  for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(WriteAt(i * 32, 32).good()) << i;  // 256 KB at host speed
  EXPECT_EQ(FreeBytes(), 0u);

  // The fifth write has to wait until 64 KB are recorded: 26.7 ms at 16x.
  const TCommandResult held = WriteAt(128, 32);
  ASSERT_TRUE(held.pending());
  ASSERT_TRUE(held.retry_at.has_value());
  const auto wait = *held.retry_at - now_;
  EXPECT_NEAR(std::chrono::duration<double>(wait).count(), double(kChunk) / k16xCd, 1e-6);
  EXPECT_EQ(Track(1).next_writable, 128u);  // nothing of it was taken
  now_ += wait / 2;
  EXPECT_TRUE(WriteAt(128, 32).pending());
  now_ = *held.retry_at;
  ASSERT_TRUE(WriteAt(128, 32).good());
  EXPECT_EQ(Track(1).next_writable, 160u);

  // 50 ms later the drive has recorded 122,880 more bytes.
  now_ += milliseconds(50);
  EXPECT_NEAR(FreeBytes(), 122'880.0, 2.0);

  // SYNCHRONIZE CACHE answers once the buffer is empty.
  const TCommandResult flush = None(SynchronizeCache());
  ASSERT_TRUE(flush.pending());
  now_ = *flush.retry_at;
  ASSERT_TRUE(None(SynchronizeCache()).good());
  EXPECT_EQ(FreeBytes(), buffer_size_);

  const TWriteStats stats = Stats();
  EXPECT_EQ(stats.bytes, 5u * kChunk);
  EXPECT_EQ(stats.rate, k16xCd);
  EXPECT_NEAR(stats.seconds, 5.0 * kChunk / k16xCd, 1e-6);  // first write to drained
  EXPECT_NEAR(stats.bytes_per_second, double(k16xCd), 1.0);
  EXPECT_EQ(stats.min_fill, kChunk);  // the second write found one chunk in the buffer
  EXPECT_EQ(stats.underruns, 0u);
  EXPECT_EQ(stats.recordings, 1u);

  // The figures are saved beside the image for a benchmark run through zamo-cli.
  std::ifstream file(ImagePath() + ".stats");
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("speed 16x\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("bytes 327680\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("underruns 0\n"), std::string::npos) << text.str();
}

TEST_F(Throttle, AStalledHostUnderrunsTheBufferAndOnlyProtectionSavesTheRecording) {
  LoadAt(TMediaKind::kCdR, 16, buffer_size_);
  CdPage(true);
  ASSERT_TRUE(WriteAt(0, 32).good());
  now_ += milliseconds(10);  // 24 KB recorded of 64
  ASSERT_TRUE(WriteAt(32, 32).good());
  now_ += milliseconds(500);  // the buffer ran dry long ago
  ASSERT_TRUE(WriteAt(64, 32).good());  // underrun protection: the drive resumes
  TWriteStats stats = Stats();
  EXPECT_EQ(stats.underruns, 1u);
  EXPECT_EQ(stats.min_fill, 0u);
  // The pause counts in the recording time: the average falls below 16x.
  EXPECT_LT(stats.bytes_per_second, 0.5 * k16xCd);

  // The same stall without protection ruins the recording: the write fails
  // with LOSS OF STREAMING and lands nowhere.
  CdPage(false);
  now_ += milliseconds(500);
  EXPECT_EQ(WriteBlocks(96, 32), (TSenseCode{3, 0x0C, 0x09}));
  EXPECT_EQ(Track(1).next_writable, 96u);
  EXPECT_EQ(Stats().underruns, 2u);
}

TEST_F(Throttle, OverwritableMediaLinkWithoutLossAfterAnUnderrun) {
  LoadAt(TMediaKind::kDvdRam, 4, buffer_size_);
  ASSERT_TRUE(WriteAt(0, 32).good());
  now_ += std::chrono::seconds(1);
  EXPECT_TRUE(WriteAt(32, 32).good());
  EXPECT_EQ(Stats().underruns, 1u);
  EXPECT_EQ(Stats().rate, 4u * 1'385'000);
}

TEST_F(Throttle, ImmediateFlushAndCloseKeepTheUnitBusyUntilTheBufferIsRecorded) {
  LoadAt(TMediaKind::kCdR, 1, buffer_size_);
  CdPage(true);
  for (uint32_t i = 0; i < 2; ++i) ASSERT_TRUE(WriteAt(i * 32, 32).good());
  const double drain = 2.0 * kChunk / (75 * 2048);  // 0.853 s at 1x
  ASSERT_TRUE(None(SynchronizeCache(/*immediate=*/true)).good());
  const TCommandResult busy = None(TestUnitReady());
  EXPECT_EQ(SenseOf(busy), (TSenseCode{2, 0x04, 0x08}));  // LONG WRITE IN PROGRESS
  EXPECT_EQ(busy.sense[15], 0x80);
  EXPECT_EQ(WriteBlocks(64, 32), (TSenseCode{2, 0x04, 0x08}));
  now_ += nanoseconds(static_cast<int64_t>(drain * 1e9)) + milliseconds(1);
  EXPECT_TRUE(None(TestUnitReady()).good());

  // A close that is not immediate waits for the data first.
  ASSERT_TRUE(WriteAt(64, 32).good());
  const TCommandResult close = None(Close(1, 0xFF));
  ASSERT_TRUE(close.pending());
  EXPECT_TRUE(Track(1).nwa_valid);  // still open
  now_ = *close.retry_at;
  EXPECT_TRUE(None(Close(1, 0xFF)).good());
  EXPECT_FALSE(Track(1).nwa_valid);
  EXPECT_EQ(Stats().recordings, 2u);
}

TEST_F(Throttle, AWriteLargerThanTheBufferWaitsForItToEmptyAndNoLongerThanFiveSeconds) {
  buffer_size_ = 1024 * 1024;
  LoadAt(TMediaKind::kCdR, 1, buffer_size_);  // 150 KiB/s: the full buffer takes 6.8 s
  CdPage(true);
  ASSERT_TRUE(WriteAt(0, 256).good());  // 512 KB
  const TCommandResult big = WriteAt(256, 512);  // 1 MB: waits for the 512 KB to go
  ASSERT_TRUE(big.pending());
  EXPECT_NEAR(std::chrono::duration<double>(*big.retry_at - now_).count(), 512.0 * 1024 / (75 * 2048), 1e-6);
  now_ = *big.retry_at;
  ASSERT_TRUE(WriteAt(256, 512).good());
  EXPECT_EQ(FreeBytes(), 0u);
  // Room for another 1 MB is 6.8 s away: the drive says so instead of holding the write.
  EXPECT_EQ(WriteBlocks(768, 512), (TSenseCode{2, 0x04, 0x08}));
}

TEST_F(Throttle, WithoutASpeedWritesAreInstantButTheBufferShowsItsFillAtTheHostsSpeed) {
  buffer_size_ = 2 * 1024 * 1024;  // the default
  LoadAt(TMediaKind::kCdR, 0, buffer_size_);
  CdPage(true);
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 2822)).good());  // 16x
  for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(WriteAt(i * 32, 32).good());  // never held
  EXPECT_EQ(FreeBytes(), buffer_size_ - 20 * kChunk);
  now_ += milliseconds(100);  // 16x drains 245,760 bytes in 100 ms
  EXPECT_NEAR(FreeBytes(), buffer_size_ - 20 * kChunk + 245'760.0, 2.0);
  for (uint32_t i = 20; i < 60; ++i) ASSERT_TRUE(WriteAt(i * 32, 32).good());
  EXPECT_EQ(FreeBytes(), 0u);  // full, and still taking writes at once
  ASSERT_TRUE(None(SynchronizeCache()).good());  // not held: the data is on the disc
  EXPECT_EQ(FreeBytes(), buffer_size_);
  EXPECT_FALSE(unit_->WriteStats().has_value());
  EXPECT_FALSE(std::filesystem::exists(ImagePath() + ".stats"));

  // A forgiving unit shows its buffer empty whatever is written.
  TDriveConfig lenient = Config(TMediaKind::kCdR);
  lenient.image_path = dir_ / "lenient.img";
  lenient.rules.Set(TRule::kBufferFill, false);
  Load(lenient, [this] { return now_; });
  CdPage(true);
  ASSERT_TRUE(WriteAt(0, 32).good());
  EXPECT_EQ(FreeBytes(), buffer_size_);
}

// speed=drive: the drive records at the speed the host chose, and changes
// pace when the host changes it; the stats file says at which speed.
TEST_F(Throttle, SpeedDriveRecordsAtTheSpeedTheHostSet) {
  std::vector<TDriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveList("cd-r:" + ImagePath() + ",speed=drive,buffer=256K", &configs, &error)) << error;
  Load(configs[0], [this] { return now_; });
  CdPage(true);
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 1411)).good());  // 8x: 1,228,800 bytes/s
  for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(WriteAt(i * 32, 32).good());
  TCommandResult held = WriteAt(128, 32);
  ASSERT_TRUE(held.pending());
  EXPECT_NEAR(std::chrono::duration<double>(*held.retry_at - now_).count(), double(kChunk) / (8 * 75 * 2048), 1e-6);

  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 2822)).good());  // 16x from now on: room comes twice as soon
  held = WriteAt(128, 32);
  ASSERT_TRUE(held.pending());
  EXPECT_NEAR(std::chrono::duration<double>(*held.retry_at - now_).count(), double(kChunk) / k16xCd, 1e-6);
  now_ = *held.retry_at;
  ASSERT_TRUE(WriteAt(128, 32).good());
  now_ += milliseconds(500);
  ASSERT_TRUE(None(SynchronizeCache()).good());
  const TWriteStats stats = Stats();
  EXPECT_EQ(stats.speed_x, 16.0);
  EXPECT_TRUE(stats.set_by_host);
  EXPECT_EQ(stats.rate, k16xCd);
  std::ifstream file(ImagePath() + ".stats");
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("speed 16x (set by the host)\n"), std::string::npos) << text.str();
}

}  // namespace
}  // namespace zamo::emu::test
