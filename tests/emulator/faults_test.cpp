// Injected faults and long operations of the emulated recorder: a command
// that never completes until the command gate aborts it, a disc that vanishes
// mid-write, the timed long operations of the configuration, and requests
// that the back end completes later (a write held by a full drive buffer).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/emulator/emu_test_util.h"
#include "tests/support/aspi_requests.h"
#include "tests/support/emulated_drive.h"

namespace zamo::emu::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TDriveConfig Parse(const std::string& entry) {
  std::vector<TDriveConfig> configs;
  std::string error;
  EXPECT_TRUE(ParseDriveList(entry, &configs, &error)) << error;
  return configs.empty() ? TDriveConfig{} : configs[0];
}

// ---------------------------------------------------------------------------
// removeat=: the disc disappears when a write reaches the block.

using RemovedDisc = UnitTest;

TEST_F(RemovedDisc, TheWriteReachingTheBlockLandsUpToItAndTheDiscIsGoneFromThenOn) {
  TDriveConfig config = Config(TMediaKind::kCdR);
  config.remove_at = 40;
  Load(config);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x41, 0x04)).good());
  EXPECT_EQ(WriteBlocks(0, 32, 0x11), kGood);
  EXPECT_EQ(WriteBlocks(32, 32, 0x22), (TSenseCode{2, 0x3A, 0x00}));

  for (const Cdb& cdb : {TestUnitReady(), ReadDiscInfo(), Read10(0, 1), ReadCapacity()})
    EXPECT_EQ(SenseOf(Run(cdb, TDataDirection::kNone, {})).asc, 0x3A) << int(cdb.opcode());
  ASSERT_TRUE(In(RequestSense()).good());
  EXPECT_EQ(in_[12], 0x3A);
  EXPECT_EQ(in_[13], 0x00);
  EXPECT_EQ(CurrentProfile(), 0);  // GET CONFIGURATION: no current profile
  EXPECT_TRUE(None(StartStop(3)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())).asc, 0x3A);  // loading brings nothing back

  // The blocks before it were recorded and saved: another unit finds them.
  config.remove_at.reset();
  Load(config);
  EXPECT_EQ(Track(1).next_writable, 40u);
  ASSERT_TRUE(In(Read10(39, 1)).good());
  EXPECT_EQ(in_[0], 0x22);
}

// ---------------------------------------------------------------------------
// Zeros are kept as holes, with the file as long as if they were written.

using ZeroWrites = UnitTest;

TEST_F(ZeroWrites, StayHolesAndReadBackAsWritten) {
  Load(TMediaKind::kDvdRam);
  EXPECT_EQ(WriteBlocks(0, 32, 0x77), kGood);
  EXPECT_EQ(WriteBlocks(16, 32, 0x00), kGood);      // over data and past the end
  EXPECT_EQ(WriteBlocks(100'000, 32, 0x00), kGood);  // far past the end
  struct stat file {};
  ASSERT_EQ(::stat(ImagePath().c_str(), &file), 0);
  EXPECT_EQ(file.st_size, (100'000 + 32) * 2048);
  EXPECT_LT(file.st_blocks * 512, 1024 * 1024);  // not 200 MB of zeros on the host's disk
  ASSERT_TRUE(In(Read10(0, 48), 48 * 2048).good());
  EXPECT_EQ(in_[15 * 2048], 0x77);
  for (uint32_t block = 16; block < 48; ++block) EXPECT_EQ(in_[block * 2048 + 5], 0) << block;
}

// ---------------------------------------------------------------------------
// Long operations timed by the configuration.

class TimedOperations : public UnitTest {
 protected:
  void LoadTimed(const std::string& options, TMediaKind kind = TMediaKind::kCdRw) {
    const std::string image = dir_ / (std::string(Traits(kind).name) + ".img");
    TDriveConfig config = Parse(std::string(Traits(kind).name) + ":" + image + "," + options);
    Load(config, [this] { return now_; });
  }
  // How long the unit stays NOT READY after `cdb`, to the second, and the
  // sense it gives meanwhile.
  std::chrono::seconds BusyFor(const Cdb& cdb, TSenseCode* code) {
    EXPECT_TRUE(None(cdb).good());
    std::chrono::seconds busy{0};
    *code = SenseOf(None(TestUnitReady()));
    while (SenseOf(None(TestUnitReady())) != kGood && busy < 1000s) {
      now_ += 1s;
      ++busy;
    }
    return busy;
  }
  Clock::time_point now_{};
};

TEST_F(TimedOperations, DurationsComeFromTheOptionsAndTimingRealFillsInTheRest) {
  const TOperationTimes real = TEmulatedUnit::TimesOf(Parse("cd-rw:x,timing=real,blank=3,close=0.5"));
  EXPECT_EQ(real.blank, 3s);
  EXPECT_EQ(real.full_blank, 3s);  // a full blank follows blank= unless fullblank= says otherwise
  EXPECT_EQ(real.close, 500ms);
  EXPECT_EQ(real.format, kRealFormatTime);
  EXPECT_EQ(real.synchronize, kRealSyncTime);
  const TOperationTimes defaults = TEmulatedUnit::TimesOf(Parse("cd-rw:x,timing=real"));
  EXPECT_EQ(defaults.blank, kRealBlankTime);
  EXPECT_EQ(defaults.full_blank, kRealFullBlankTime);
  const TOperationTimes instant = TEmulatedUnit::TimesOf(Parse("cd-rw:x,format=8"));
  EXPECT_EQ(instant.blank, 0ms);
  EXPECT_EQ(instant.format, 8s);
}

TEST_F(TimedOperations, BlankingAndFormattingKeepTheUnitBusyForTheirTime) {
  LoadTimed("blank=2,fullblank=6");
  TSenseCode code;
  EXPECT_EQ(BusyFor(Blank(1, /*immediate=*/true), &code), 2s);
  EXPECT_EQ(code, (TSenseCode{2, 0x04, 0x07}));
  EXPECT_EQ(BusyFor(Blank(0, /*immediate=*/true), &code), 6s);

  LoadTimed("format=4", TMediaKind::kDvdRam);
  EXPECT_TRUE(Out(FormatUnit(), FormatList(2'236'704, 0x00, 2048)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x04, 0x04}));  // FORMAT IN PROGRESS
  now_ += 4s;
  EXPECT_EQ(SenseOf(None(TestUnitReady())), kGood);
}

// ---------------------------------------------------------------------------
// Requests the back end completes later, or never.

class BackEndPending : public ::testing::Test {
 protected:
  void Install(const std::string& drives) {
    std::string error;
    auto back_end = CreateEmulatedBackEnd(drives, &error);
    ASSERT_NE(back_end, nullptr) << error;
    back_end_ = static_cast<TEmulatedBackEnd*>(back_end.get());  // what CreateEmulatedBackEnd makes
    ASSERT_TRUE(zamo::test::SelectFirstDrive(device_, std::move(back_end)));
  }
  void TearDown() override { transport::AspiUnload(); }

  // An execute request to the first drive, signalling event_.
  TSRB_ExecSCSICmd Request(const Cdb& cdb, uint8_t flags, uint8_t* buffer = nullptr, uint32_t length = 0) {
    return zamo::test::ExecRequest({}, cdb, flags, buffer, length, &event_);
  }
  bool AbortRequest(TSRB_ExecSCSICmd* srb) { return zamo::test::Abort(*back_end_, srb) == SS_COMP; }

  zamo::test::TempDir dir_;
  TSCSIDevice device_{nullptr};
  TEmulatedBackEnd* back_end_ = nullptr;  // owned by the transport
  TCompletionEvent event_;
};

TEST_F(BackEndPending, AHungCommandStaysPendingUntilItIsAborted) {
  Install("cd-r:" + (dir_ / "a.img") + ",hang=00");
  TSRB_ExecSCSICmd tur = Request(TestUnitReady(), kFlagsNone);
  EXPECT_EQ(back_end_->SendASPI32Command(&tur), SS_PENDING);
  EXPECT_FALSE(event_.Wait(100));
  EXPECT_EQ(tur.SRB_Status, SS_PENDING);
  EXPECT_EQ(back_end_->PendingCount(), 1u);
  EXPECT_TRUE(AbortRequest(&tur));
  EXPECT_EQ(back_end_->PendingCount(), 0u);
  EXPECT_FALSE(AbortRequest(&tur));  // let go of already
  EXPECT_FALSE(event_.IsSet());
}

TEST_F(BackEndPending, TheGateGivesUpOnAHungCommandAfterItsBoundAndTheDriveAnswersOthers) {
  Install("dvd+rw:" + (dir_ / "a.img") + ",hang=00");
  device_.MinimumCommandWaitMs = 50;
  const auto start = Clock::now();
  EXPECT_FALSE(device_.TestUnitReady(300));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 5s);
  EXPECT_NE(device_.LastError.find("COMMAND TIMEOUT"), std::string::npos) << device_.LastError;
  EXPECT_EQ(back_end_->PendingCount(), 0u);  // aborted, not left behind
  EXPECT_TRUE(device_.ReadDiscInfo());
  EXPECT_TRUE(device_.Inquiry());
}

TEST_F(BackEndPending, ABackEndGoingAwayReleasesWhoeverWaits) {
  Install("cd-r:" + (dir_ / "a.img") + ",hang=25");
  uint8_t capacity[8] = {};
  TSRB_ExecSCSICmd request = Request(ReadCapacity(), kFlagsIn, capacity, sizeof capacity);
  ASSERT_EQ(back_end_->SendASPI32Command(&request), SS_PENDING);
  transport::AspiUnload();
  EXPECT_TRUE(event_.IsSet());
  EXPECT_EQ(request.SRB_Status, SS_ABORTED);
}

TEST_F(BackEndPending, AWriteHeldByAFullBufferCompletesWhenThereIsRoom) {
  // A 64 KB buffer holds one write.
  Install("dvd-ram:" + (dir_ / "a.img") + ",speed=1,buffer=64K");
  std::vector<uint8_t> data(32 * 2048, 0x5A);
  std::vector<uint8_t> data2(32 * 2048, 0x6B);
  TSRB_ExecSCSICmd first = Request(Write10(0, 32), kFlagsOut, data.data(), 65536);
  EXPECT_EQ(back_end_->SendASPI32Command(&first), SS_COMP);
  TCompletionEvent second_done;
  TSRB_ExecSCSICmd second = Request(Write10(32, 32), kFlagsOut, data2.data(), 65536);
  second.SRB_PostProc = &second_done;
  const auto start = Clock::now();
  ASSERT_EQ(back_end_->SendASPI32Command(&second), SS_PENDING);
  ASSERT_TRUE(second_done.Wait(5000));
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  // 64 KB at 1x DVD (1,385,000 bytes/s) take 47 ms.
  EXPECT_GE(waited, 0.040);
  EXPECT_EQ(second.SRB_Status, SS_COMP);
  EXPECT_EQ(back_end_->PendingCount(), 0u);

  std::vector<uint8_t> back(2048);
  ASSERT_TRUE(device_.Read10(32, 1, back.data(), 2048));
  EXPECT_EQ(back[0], 0x6B);
}

TEST_F(BackEndPending, AStreamAtSixteenXTakesTheTimeOfSixteenX) {
  // 16x CD: 2,457,600 bytes/s. 3 MiB through a 256 KB buffer take at least
  // 1.28 s from the first write to the end of the flush, however fast the
  // host. (Only bounds a loaded machine cannot break are checked: the drive
  // is never faster than its speed, and every byte is recorded.)
  Install("cd-r:" + (dir_ / "a.img") + ",speed=16x,buffer=256K");
  std::vector<uint8_t> page(60, 0);
  page[8] = 0x05;
  page[9] = 0x32;
  page[10] = 0x41;  // BUFE, track at once
  page[11] = 0x04;  // data track
  page[12] = 0x08;  // mode 1
  ASSERT_TRUE(device_.ModeSelect(page.data(), static_cast<int>(page.size())));
  std::vector<uint8_t> chunk(32 * 2048, 0x42);
  const auto start = Clock::now();
  for (uint32_t i = 0; i < 48; ++i) {
    ASSERT_TRUE(device_.Write10(i * 32, 32, chunk.data(), 65536, kFlagsOut)) << i << " " << device_.LastError;
    uint32_t size = 0, free = 0;
    if (i % 8 == 7) {
      ASSERT_TRUE(device_.ReadBufferCapacity(size, free));
      EXPECT_EQ(size, 256u * 1024);
      EXPECT_LE(free, size);
    }
  }
  ASSERT_TRUE(device_.SynchronizeCache(30000, false));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double expected = 48.0 * 65536 / 2'457'600;
  EXPECT_GE(seconds, expected * 0.97);

  std::optional<TWriteStats> stats = back_end_->Unit(0).WriteStats();
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->bytes, 48u * 65536);
  EXPECT_EQ(stats->recordings, 1u);
  EXPECT_LE(stats->bytes_per_second, 2'457'600 * 1.001);
}

}  // namespace
}  // namespace zamo::emu::test
