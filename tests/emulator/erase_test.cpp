// Erasing rewritable discs through the component (EraseDisc, TEraseThread,
// OnEraseDone) on the emulated recorder. The unit's clock and the
// component's Sleep share a virtual time line: the erase's waits of seconds
// and minutes pass at once, and the long operations last what the drive
// options say (blank=, fullblank=, format=).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "burner/drive/messages.h"
#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "burner/platform/call_queue.h"
#include "emulator/emulated_backend.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

class Erase : public ::testing::Test {
 protected:
  void TearDown() override {
    device_.reset();  // waits for an erase thread still running
    transport::AspiUnload();
  }

  void Open(TMediaKind kind, const std::string& options = "") {
    const std::string entry = std::string(Traits(kind).name) + ":" + Image() + (options.empty() ? "" : "," + options);
    std::vector<TDriveConfig> configs;
    std::string error;
    ASSERT_TRUE(ParseDriveList(entry, &configs, &error)) << error;
    std::vector<std::unique_ptr<TEmulatedUnit>> units;
    units.push_back(TEmulatedUnit::Open(configs[0], &error, [this] { return SteadyClock::time_point{} + Virtual(); }));
    ASSERT_NE(units[0], nullptr) << error;
    unit_ = units[0].get();
    transport::Install(std::make_unique<TEmulatedBackEnd>(std::move(units)));

    device_ = std::make_unique<TSCSIDevice>(nullptr);
    device_->HostAdapterInquiry(0);
    device_->ScanDevices();
    ASSERT_FALSE(device_->Devices.empty());
    device_->SelectDevice(device_->Devices[0]);
    device_->Sleep = [this](int ms) {
      virtual_ms_ += ms;
      std::lock_guard<std::mutex> lock(mutex_);
      progress_.push_back(device_->GetEraseProgress());
    };
    device_->Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
    device_->OnDebugMessage = [this](TObject*, const std::string& line, uint8_t) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_ += line + "\n";
    };
    device_->OnEraseDone = [this](TObject* sender, bool with_error) {
      ++done_count_;
      with_error_ = with_error;
      done_on_main_thread_ = std::this_thread::get_id() == main_thread_;
      sender_is_device_ = sender == device_.get();
      erasing_in_event_ = device_->Erasing();
    };
  }

  // Starts the erase and waits, boundedly, for OnEraseDone.
  void RunErase(bool quick) {
    const auto start = SteadyClock::now();
    started_ = device_->EraseDisc(quick);
    while (done_count_ == 0 && SteadyClock::now() - start < 60s) queue_.RunFor(20ms);
    wall_ = SteadyClock::now() - start;
    queue_.RunFor(20ms);  // anything more would come now
  }

  // A successful erase: reported once, on this thread, within seconds.
  void ExpectErased() {
    EXPECT_TRUE(started_) << log_;
    EXPECT_EQ(done_count_, 1);
    EXPECT_FALSE(with_error_) << device_->EraseErrorText;
    EXPECT_TRUE(done_on_main_thread_);
    EXPECT_TRUE(sender_is_device_);
    EXPECT_FALSE(erasing_in_event_);
    EXPECT_TRUE(device_->EraseErrorText.empty());
    EXPECT_FALSE(device_->Erasing());
    EXPECT_EQ(device_->GetEraseProgress(), 0);
    EXPECT_LT(wall_, 30s);
  }

  // The progress the erase thread showed at each of its pauses.
  std::vector<int> ProgressSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
  }

  void ExpectProgressRose() {
    const std::vector<int> seen = ProgressSeen();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    std::vector<int> between;
    for (int p : seen)
      if (p > 0 && p < 100 && (between.empty() || between.back() != p)) between.push_back(p);
    EXPECT_GE(between.size(), 3u) << "progress seen: " << ::testing::PrintToString(seen);
  }

  // Commands straight to the unit, to record data and to look at the disc.
  TSenseCode Exec(const Cdb& cdb, TDataDirection direction, std::vector<uint8_t>* data) {
    std::vector<uint8_t> none;
    const TCommandResult result = unit_->Execute(cdb.bytes(), direction, data ? *data : none);
    return result.good() ? kGood : result.code();
  }
  void Write(uint32_t lba, uint16_t blocks, uint8_t fill) {
    std::vector<uint8_t> data(blocks * 2048u, fill);
    ASSERT_EQ(Exec(Write10(lba, blocks), TDataDirection::kOut, &data), kGood) << lba;
  }
  void Format(uint8_t type, uint32_t blocks, uint32_t parameter) {
    std::vector<uint8_t> list = FormatList(blocks, type, parameter);
    ASSERT_EQ(Exec(FormatUnit(), TDataDirection::kOut, &list), kGood);
  }
  // The first byte of a block, or -1 when it cannot be read.
  int ByteAt(uint32_t lba) {
    std::vector<uint8_t> block(2048);
    if (Exec(Read10(lba, 1), TDataDirection::kIn, &block) != kGood) return -1;
    return block[0];
  }
  // Disc status (0 blank, 1 appendable, 2 complete) and current profile.
  int DiscStatus() {
    std::vector<uint8_t> info(34);
    if (Exec(ReadDiscInfo(), TDataDirection::kIn, &info) != kGood) return -1;
    return info[2] & 3;
  }
  uint16_t Profile() {
    std::vector<uint8_t> config(1024);
    EXPECT_EQ(Exec(GetConfiguration(2, 0), TDataDirection::kIn, &config), kGood);
    return GetBe16(config, 6);
  }
  // A closed session of 64 blocks of 0xAB on a sequential disc, with the
  // write parameters the component sends: track at once on a CD,
  // incremental on a DVD-RW (the probe of the write types left disc at once).
  void RecordSession() {
    const bool cd = Traits(unit_->config().kind).is_cd;
    std::vector<uint8_t> page = cd ? WriteParams(0x41, 0xC4) : WriteParams(0x20, 0xC5);
    ASSERT_EQ(Exec(ModeSelect(60), TDataDirection::kOut, &page), kGood);
    Write(0, 64, 0xAB);
    ASSERT_EQ(Exec(Close(1, 1), TDataDirection::kNone, nullptr), kGood);
    ASSERT_EQ(Exec(Close(2, 0), TDataDirection::kNone, nullptr), kGood);
    ASSERT_NE(DiscStatus(), 0);
  }
  uint64_t ImageBytes() { return std::filesystem::file_size(Image()); }
  std::string Image() const { return dir_ / "disc.img"; }
  std::chrono::milliseconds Virtual() const { return std::chrono::milliseconds(virtual_ms_.load()); }

  zamo::test::TempDir dir_;
  TEmulatedUnit* unit_ = nullptr;  // owned by the back end
  std::unique_ptr<TSCSIDevice> device_;
  CallQueue queue_;
  std::atomic<int64_t> virtual_ms_{0};
  std::mutex mutex_;
  std::vector<int> progress_;
  std::string log_;
  const std::thread::id main_thread_ = std::this_thread::get_id();
  bool started_ = false;
  int done_count_ = 0;
  bool with_error_ = false;
  bool done_on_main_thread_ = false;
  bool sender_is_device_ = false;
  bool erasing_in_event_ = true;
  SteadyClock::duration wall_{};
};

// ---------------------------------------------------------------------------
// Every kind of rewritable disc, quickly and completely.

TEST_F(Erase, CdRwQuicklyBlanksTheTableOfContentsAndCompletelyTheWholeDisc) {
  Open(TMediaKind::kCdRw, "blank=60,fullblank=600");
  RecordSession();
  RunErase(/*quick=*/true);
  ExpectErased();
  ExpectProgressRose();
  EXPECT_GE(Virtual(), 60s);   // the thread waited for the drive
  EXPECT_LT(Virtual(), 150s);  // and not for the whole estimate
  EXPECT_EQ(DiscStatus(), 0);
  EXPECT_GT(ImageBytes(), 0u);  // a minimal blank leaves the data area as it was
  EXPECT_NE(log_.find(">>> SUPPRESSION de CD-RW À 24X(4234 KB/s) - Veillez patienter..."), std::string::npos)
      << log_;

  RecordSession();
  done_count_ = 0;
  RunErase(/*quick=*/false);
  ExpectErased();
  EXPECT_EQ(DiscStatus(), 0);
  EXPECT_EQ(ImageBytes(), 0u);  // the whole disc
}

TEST_F(Erase, SequentialDvdRwIsBlankedAndReadyForIncrementalRecording) {
  Open(TMediaKind::kDvdRw, "blank=30,fullblank=900");
  RecordSession();
  RunErase(/*quick=*/false);
  ExpectErased();
  ExpectProgressRose();
  EXPECT_GE(Virtual(), 900s);
  EXPECT_EQ(DiscStatus(), 0);
  EXPECT_EQ(ImageBytes(), 0u);
  EXPECT_EQ(Profile(), kProfileDvdRwSequential);
  Write(0, 16, 0xCD);  // takes data again at block 0
  EXPECT_EQ(ByteAt(0), 0xCD);
}

// A full blank far shorter than the estimate (4500 s for a CD, 4440 s for a
// DVD): the progress follows what the drive reports in its sense data, and
// reaches the end with the blank instead of stopping at the share of the
// estimate that went by.
TEST_F(Erase, FullBlankProgressFollowsTheDrivesOwnProgress) {
  for (const auto& [kind, seconds] : {std::pair{TMediaKind::kCdRw, 600}, std::pair{TMediaKind::kDvdRw, 900}}) {
    SCOPED_TRACE(Traits(kind).name);
    Open(kind, "fullblank=" + std::to_string(seconds));
    RecordSession();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      progress_.clear();
    }
    const int64_t start_ms = virtual_ms_;
    RunErase(/*quick=*/false);
    ExpectErased();
    ExpectProgressRose();
    const std::vector<int> seen = ProgressSeen();
    ASSERT_FALSE(seen.empty());
    EXPECT_GE(seen.back(), 90) << ::testing::PrintToString(seen);
    // Half way through the blank, about half done (the estimate would say 7 to 10 %).
    const size_t half = seen.size() / 2;
    EXPECT_GT(seen[half], 25) << ::testing::PrintToString(seen);
    EXPECT_LT(virtual_ms_ - start_ms, int64_t{seconds + 60} * 1000);
    device_.reset();
    transport::AspiUnload();
    std::filesystem::remove(Image());
    std::filesystem::remove(Image() + ".state");
    done_count_ = 0;
  }
}

TEST_F(Erase, RestrictedOverwriteDvdRwReturnsToSequentialRecording) {
  Open(TMediaKind::kDvdRw, "blank=30");
  Format(0x15, 0xFFFFFFFF, 0);  // quick format: restricted overwrite
  ASSERT_EQ(Profile(), kProfileDvdRwRestricted);
  Write(0, 32, 0xAB);
  RunErase(/*quick=*/true);
  ExpectErased();
  EXPECT_EQ(Profile(), kProfileDvdRwSequential);
  EXPECT_EQ(DiscStatus(), 0);
  EXPECT_EQ(ByteAt(0), -1);  // nothing recorded any more
}

TEST_F(Erase, DvdPlusRwQuickErasureZeroesTheFirst2080Blocks) {
  Open(TMediaKind::kDvdPlusRw);
  Format(0x26, 0xFFFFFFFF, 0);
  Write(0, 32, 0xAB);
  Write(2064, 32, 0xAB);  // straddles the end of the overwritten area
  Write(50'000, 16, 0xAB);
  RunErase(/*quick=*/true);
  ExpectErased();
  EXPECT_EQ(ByteAt(0), 0);
  EXPECT_EQ(ByteAt(2079), 0);
  EXPECT_EQ(ByteAt(2080), 0xAB);  // 65 writes of 32 blocks, no more
  EXPECT_EQ(ByteAt(50'000), 0xAB);
  Write(0, 16, 0xEF);  // still formatted: takes writes anywhere
  EXPECT_EQ(ByteAt(0), 0xEF);
}

TEST_F(Erase, DvdPlusRwCompleteErasureOverwritesTheWholeDisc) {
  Open(TMediaKind::kDvdPlusRw);
  Format(0x26, 0xFFFFFFFF, 0);
  Write(0, 32, 0xAB);
  Write(2'000'000, 32, 0xAB);
  Write(2'272'000, 32, 0xAB);  // the last of the 71,001 writes covers blocks up to 2,272,031
  RunErase(/*quick=*/false);
  ExpectErased();
  EXPECT_EQ(ByteAt(0), 0);
  EXPECT_EQ(ByteAt(2'000'000), 0);
  EXPECT_EQ(ByteAt(2'272'031), 0);
  // The overwrite carried the progress: it rose by whole percents as it went.
  const std::vector<int> seen = ProgressSeen();
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST_F(Erase, DvdRamQuickOverwritesItsStartAndCompleteFormatsIt) {
  Open(TMediaKind::kDvdRam, "format=120");
  Write(0, 32, 0xAB);
  Write(3000, 16, 0xAB);
  RunErase(/*quick=*/true);
  ExpectErased();
  EXPECT_EQ(ByteAt(0), 0);
  EXPECT_EQ(ByteAt(3000), 0xAB);

  done_count_ = 0;
  RunErase(/*quick=*/false);
  ExpectErased();
  ExpectProgressRose();
  EXPECT_GE(Virtual(), 120s);  // waited out the format
  EXPECT_EQ(ByteAt(3000), 0);
}

// ---------------------------------------------------------------------------
// Failures: each one reported once, with WithError and a French text.

TEST_F(Erase, ADriveThatNeverBecomesReadyEndsInAFailureAtTheEstimate) {
  Open(TMediaKind::kCdRw, "blank=80000");
  RecordSession();
  RunErase(/*quick=*/true);
  EXPECT_TRUE(started_);
  EXPECT_EQ(done_count_, 1);
  EXPECT_TRUE(with_error_);
  EXPECT_TRUE(done_on_main_thread_);
  EXPECT_TRUE(device_->EraseErrorText.starts_with("LE GRAVEUR N'EST PAS REDEVENU PRÊT EN "))
      << device_->EraseErrorText;
  EXPECT_NE(log_.find(device_->EraseErrorText), std::string::npos);
  EXPECT_GT(Virtual(), 150s);  // the quick CD estimate ran out ...
  EXPECT_LT(Virtual(), 200s);  // ... and the thread stopped there
  EXPECT_LT(wall_, 30s);
  EXPECT_FALSE(device_->Erasing());
}

TEST_F(Erase, ADriveNotReadyBeforeTheStartFailsAtOnceWithTheEvent) {
  Open(TMediaKind::kCdRw, "notready=1000000");
  started_ = device_->EraseDisc(true);
  EXPECT_FALSE(started_);
  EXPECT_EQ(done_count_, 1);  // before EraseDisc returned, on this thread
  EXPECT_TRUE(with_error_);
  EXPECT_EQ(device_->EraseErrorText, msg::kEraseNotReady);
  EXPECT_FALSE(device_->Erasing());
  queue_.RunFor(50ms);
  EXPECT_EQ(done_count_, 1);
}

TEST_F(Erase, ADiscTheDriveCannotBlankIsRefusedWithTheDrivesReason) {
  Open(TMediaKind::kCdR);
  started_ = device_->EraseDisc(true);
  EXPECT_FALSE(started_);
  EXPECT_EQ(done_count_, 1);
  EXPECT_TRUE(with_error_);
  EXPECT_TRUE(device_->EraseErrorText.starts_with("L'EFFACEMENT N'A PAS PU DÉMARRER [")) << device_->EraseErrorText;
  EXPECT_NE(device_->EraseErrorText.find("INCOMPATIBLE"), std::string::npos) << device_->EraseErrorText;
}

TEST_F(Erase, AFailedOverwriteOfADvdPlusRwIsAFailure) {
  Open(TMediaKind::kDvdPlusRw, "writeerror=64:3/0C/00");
  RunErase(/*quick=*/true);
  EXPECT_EQ(done_count_, 1);
  EXPECT_TRUE(with_error_);
  EXPECT_TRUE(device_->EraseErrorText.starts_with("ERREUR D'ÉCRITURE AU SECTEUR 64 PENDANT L'EFFACEMENT ["))
      << device_->EraseErrorText;
}

TEST_F(Erase, ASecondEraseIsRefusedWhileOneRunsAndTheFirstStillReportsOnce) {
  Open(TMediaKind::kCdRw, "blank=60");
  // The erase thread's first pause waits until the test has tried again.
  std::mutex gate;
  std::condition_variable opened;
  bool open = false;
  device_->Sleep = [&, first = true](int ms) mutable {
    if (first) {
      first = false;
      std::unique_lock<std::mutex> lock(gate);
      opened.wait_for(lock, 10s, [&] { return open; });
    }
    virtual_ms_ += ms;
  };
  ASSERT_TRUE(device_->EraseDisc(true));
  EXPECT_TRUE(device_->Erasing());
  EXPECT_FALSE(device_->EraseDisc(false));
  EXPECT_NE(log_.find(msg::kEraseAlreadyRunning), std::string::npos);
  EXPECT_EQ(done_count_, 0);
  {
    std::lock_guard<std::mutex> lock(gate);
    open = true;
  }
  opened.notify_all();
  const auto start = SteadyClock::now();
  while (done_count_ == 0 && SteadyClock::now() - start < 30s) queue_.RunFor(20ms);
  queue_.RunFor(20ms);
  EXPECT_EQ(done_count_, 1);
  EXPECT_FALSE(with_error_);
}

TEST_F(Erase, TheComponentGoingAwayStopsTheThreadWithoutAnEvent) {
  Open(TMediaKind::kCdRw, "blank=80000");
  device_->Sleep = [this](int ms) {
    virtual_ms_ += ms;
    std::this_thread::sleep_for(2ms);  // slow enough to still run below
  };
  ASSERT_TRUE(device_->EraseDisc(false));  // estimated 4500 s: over 2,000 pauses
  std::this_thread::sleep_for(50ms);
  const auto start = SteadyClock::now();
  device_.reset();
  EXPECT_LT(SteadyClock::now() - start, 5s);
  queue_.RunFor(50ms);  // the event, had it been posted, would find no component
  EXPECT_EQ(done_count_, 0);
}

}  // namespace
}  // namespace zamo::emu::test
