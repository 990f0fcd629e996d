// The waits of an erase (EraseDisc and TEraseThread) against the emulated
// recorder on a virtual time line: the unit's clock is the sum of the
// component's pauses, so a pause costs the test nothing and is counted
// exactly. A drive that ends its blank or format at once must not be paused
// for (the first look comes before the first pause); a drive that takes
// its time must be waited for to the end, and polled at the pace of its wait
// so the erase ends soon after it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "burner/platform/call_queue.h"
#include "emulator/emulated_backend.h"
#include "tests/emulator/emu_test_util.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo::emu::test {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

struct EraseCase {
  const char* kind;
  bool quick;
  const char* options;  // the drive's times; "" for an instant drive
  int busy_s;           // how long the drive blanks or formats
  int step_s;           // the pace of the wait that follows it
};

void PrintTo(const EraseCase& c, std::ostream* os) {
  *os << c.kind << (c.quick ? " quick" : " full") << (*c.options ? std::string(", ") + c.options : "");
}

std::string CaseName(const ::testing::TestParamInfo<EraseCase>& info) {
  return zamo::test::KindTestName(info.param.kind) + (info.param.quick ? "_quick" : "_full");
}

class EraseWaits : public ::testing::TestWithParam<EraseCase> {
 protected:
  void TearDown() override {
    device_.reset();  // waits for an erase thread still running
    transport::AspiUnload();
  }

  void Open(const EraseCase& c) {
    std::string entry = std::string(c.kind) + ":" + std::string(dir_ / "disc.img");
    if (*c.options) entry += std::string(",") + c.options;
    std::vector<TDriveConfig> configs;
    std::string error;
    ASSERT_TRUE(ParseDriveList(entry, &configs, &error)) << error;
    std::vector<std::unique_ptr<TEmulatedUnit>> units;
    units.push_back(TEmulatedUnit::Open(configs[0], &error,
                                        [this] { return SteadyClock::time_point{} + 1ms * virtual_ms_.load(); }));
    ASSERT_NE(units[0], nullptr) << error;
    unit_ = units[0].get();
    device_ = std::make_unique<TSCSIDevice>(nullptr);
    ASSERT_TRUE(zamo::test::SelectFirstDrive(*device_, std::make_unique<TEmulatedBackEnd>(std::move(units))));
    device_->Sleep = [this](int ms) {
      virtual_ms_ += ms;
      std::lock_guard<std::mutex> lock(mutex_);
      pauses_.push_back(ms);
    };
    device_->Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
    device_->OnEraseDone = [this](TObject*, bool with_error) {
      ++done_count_;
      with_error_ = with_error;
    };
  }

  TSenseCode Exec(const Cdb& cdb, TDataDirection direction, std::vector<uint8_t>* data = nullptr) {
    std::vector<uint8_t> none;
    const TCommandResult result = unit_->Execute(cdb.bytes(), direction, data ? *data : none);
    return result.good() ? kGood : result.code();
  }

  // Data on the disc, so that the erase has something to take away: a
  // closed session on a CD-RW or DVD-RW, written blocks elsewhere.
  void RecordSomething(const std::string& kind) {
    std::vector<uint8_t> blocks(32 * 2048, 0xAB);
    if (kind == "cd-rw" || kind == "dvd-rw") {
      std::vector<uint8_t> page = kind == "cd-rw" ? WriteParams(0x41, 0xC4) : WriteParams(0x20, 0xC5);
      ASSERT_EQ(Exec(ModeSelect(60), TDataDirection::kOut, &page), kGood);
      ASSERT_EQ(Exec(Write10(0, 32), TDataDirection::kOut, &blocks), kGood);
      ASSERT_EQ(Exec(Close(1, 1), TDataDirection::kNone), kGood);
      ASSERT_EQ(Exec(Close(2, 0), TDataDirection::kNone), kGood);
      return;
    }
    if (kind == "dvd+rw") {
      std::vector<uint8_t> list = FormatList(0xFFFFFFFF, 0x26, 0);
      ASSERT_EQ(Exec(FormatUnit(), TDataDirection::kOut, &list), kGood);
    }
    ASSERT_EQ(Exec(Write10(0, 32), TDataDirection::kOut, &blocks), kGood);
  }

  // Disc status (0 blank), -1 when the drive does not answer.
  int DiscStatus() {
    std::vector<uint8_t> info(34);
    if (Exec(ReadDiscInfo(), TDataDirection::kIn, &info) != kGood) return -1;
    return info[2] & 3;
  }
  // The first byte of block 0, -1 when it cannot be read.
  int FirstByte() {
    std::vector<uint8_t> block(2048);
    if (Exec(Read10(0, 1), TDataDirection::kIn, &block) != kGood) return -1;
    return block[0];
  }

  // Runs the erase to its OnEraseDone (60 s of real time at most); the
  // virtual seconds it paused.
  double EraseAndCountPauses(bool quick) {
    virtual_ms_ = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pauses_.clear();
    }
    EXPECT_TRUE(device_->EraseDisc(quick)) << device_->EraseErrorText;
    const auto start = SteadyClock::now();
    while (done_count_ == 0 && SteadyClock::now() - start < 60s) queue_.RunFor(20ms);
    EXPECT_EQ(done_count_, 1);
    EXPECT_FALSE(with_error_) << device_->EraseErrorText;
    return virtual_ms_ / 1000.0;
  }

  // The erased disc holds nothing: a wait that ended early would show it.
  void ExpectErased(const EraseCase& c) {
    const std::string kind = c.kind;
    if (kind == "cd-rw" || kind == "dvd-rw") {
      EXPECT_EQ(DiscStatus(), 0) << "still recorded";
    }
    if (kind == "dvd+rw" || (kind == "dvd-ram" && c.quick)) {
      EXPECT_EQ(FirstByte(), 0) << "start not overwritten";
    }
  }

  // A disc of `c` with something on it, erased: the virtual seconds paused.
  double EraseRecordedDisc(const EraseCase& c) {
    Open(c);
    if (!HasFatalFailure()) RecordSomething(c.kind);
    if (HasFatalFailure()) return -1;
    return EraseAndCountPauses(c.quick);
  }

  std::string Pauses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ::testing::PrintToString(pauses_);
  }

  zamo::test::TempDir dir_;
  TEmulatedUnit* unit_ = nullptr;  // owned by the back end
  std::unique_ptr<TSCSIDevice> device_;
  CallQueue queue_;
  std::atomic<int64_t> virtual_ms_{0};
  std::mutex mutex_;
  std::vector<int> pauses_;
  int done_count_ = 0;
  bool with_error_ = true;
};

// A drive whose blank or format ends at once: the erase looks first and
// finds it done. Only the DVD+RW's 300 ms before its flush remains.
using InstantErase = EraseWaits;
TEST_P(InstantErase, IsNotPausedFor) {
  const EraseCase& c = GetParam();
  const double paused = EraseRecordedDisc(c);
  EXPECT_LT(paused, 0.5) << "pauses (ms): " << Pauses();
  ExpectErased(c);
}

INSTANTIATE_TEST_SUITE_P(EveryRewritableKind, InstantErase,
                         ::testing::Values(EraseCase{"cd-rw", true, "", 0, 0}, EraseCase{"cd-rw", false, "", 0, 0},
                                           EraseCase{"dvd-rw", true, "", 0, 0}, EraseCase{"dvd-rw", false, "", 0, 0},
                                           EraseCase{"dvd+rw", true, "", 0, 0}, EraseCase{"dvd+rw", false, "", 0, 0},
                                           EraseCase{"dvd-ram", true, "", 0, 0},
                                           EraseCase{"dvd-ram", false, "", 0, 0}),
                         CaseName);

// A drive that blanks or formats for 9 s: the erase waits for all of it
// (never less: the disc is erased at the end) and ends within one poll of
// the drive being done, with no fixed pause after it. (The emulated DVD+RW
// formats in the background, answering as it goes: nothing to wait for.)
using SlowErase = EraseWaits;
TEST_P(SlowErase, IsWaitedForToItsEndAndNoLonger) {
  const EraseCase& c = GetParam();
  const double paused = EraseRecordedDisc(c);
  EXPECT_GE(paused, c.busy_s) << "pauses (ms): " << Pauses();
  EXPECT_LE(paused, c.busy_s + c.step_s + 0.5) << "pauses (ms): " << Pauses();
  ExpectErased(c);
}

INSTANTIATE_TEST_SUITE_P(BlankAndFormatTimes, SlowErase,
                         ::testing::Values(EraseCase{"dvd-rw", true, "blank=9", 9, 2},
                                           EraseCase{"dvd-rw", false, "fullblank=9", 9, 2},
                                           EraseCase{"cd-rw", true, "blank=9", 9, 5},
                                           EraseCase{"dvd-ram", false, "format=9", 9, 2}),
                         CaseName);

}  // namespace
}  // namespace zamo::emu::test
