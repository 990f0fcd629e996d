// The state file of a sequential disc during a run of writes: saved at
// most every 250 ms of writes (a killed process loses no more of its
// recording), before any command that is not a WRITE or READ BUFFER
// CAPACITY, before another unit of the process opens the same files, and
// when the unit closes; never lost.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "emulator/disc_state.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

class RecordedState : public UnitTest {
 protected:
  // A CD-R on a clock that moves only when the test says, ready for a
  // track at once.
  void SetUp() override {
    Load(Config(TMediaKind::kCdR), [this] { return std::chrono::steady_clock::time_point{} + now_; });
    ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
  }

  // Writes the next 10 blocks at `at` ms on the unit's clock.
  void WriteTenAt(int at) {
    now_ = std::chrono::milliseconds(at);
    ASSERT_EQ(WriteBlocks(written_, 10), kGood);
    written_ += 10;
  }

  // The next writable address of track 1 in the state file, as a process
  // opening the files now reads it; 0 for a disc without one.
  uint32_t SavedNextWritable() {
    std::ifstream in(ImagePath() + ".state");
    if (!in) return 0;
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    const std::optional<TDiscState> state = TDiscState::Parse(text.str(), TMediaKind::kCdR, &error);
    EXPECT_TRUE(state.has_value()) << error;
    if (!state || state->TrackCount() == 0) return 0;
    return state->NextWritable(1);
  }

  std::chrono::milliseconds now_{0};
  uint32_t written_ = 0;
};

TEST_F(RecordedState, ARunOfWritesIsSavedEvery250MsAndBeforeTheNextOtherCommand) {
  WriteTenAt(0);
  WriteTenAt(100);
  WriteTenAt(200);
  // Within 250 ms of the first write not saved, the state file is not
  // replaced on every WRITE: that cost more than the write itself.
  EXPECT_LT(SavedNextWritable(), 30u);
  WriteTenAt(260);
  EXPECT_EQ(SavedNextWritable(), 40u);
  WriteTenAt(270);
  ASSERT_TRUE(In(Cdb(0x5C, 10).Be16(7, 12), 12).good());  // READ BUFFER CAPACITY, between writes
  EXPECT_EQ(SavedNextWritable(), 40u);
  ASSERT_TRUE(None(TestUnitReady()).good());
  EXPECT_EQ(SavedNextWritable(), 50u);
}

TEST_F(RecordedState, AnotherUnitOpenedOnTheFilesSeesEveryWrite) {
  WriteTenAt(0);
  WriteTenAt(1);
  std::string error;
  std::unique_ptr<TEmulatedUnit> second = TEmulatedUnit::Open(Config(TMediaKind::kCdR), &error);
  ASSERT_NE(second, nullptr) << error;
  std::swap(unit_, second);  // the first one stays open, as another process's drive would
  EXPECT_EQ(Track(1).next_writable, 20u);
  EXPECT_EQ(SavedNextWritable(), 20u);
}

TEST_F(RecordedState, ClosingTheUnitSavesItsLastWrites) {
  WriteTenAt(0);
  WriteTenAt(1);
  unit_.reset();
  EXPECT_EQ(SavedNextWritable(), 20u);
  Load(TMediaKind::kCdR);
  EXPECT_EQ(Track(1).next_writable, 20u);
  EXPECT_EQ(WriteBlocks(20, 1), kGood);  // and carries on where the writes stopped
  EXPECT_EQ(SenseOf(Out(Write10(0, 1), std::vector<uint8_t>(2048))), (TSenseCode{5, 0x21, 0x02}));
}

}  // namespace
}  // namespace zamo::emu::test
