// The MMC rules the emulated recorder enforces as real drives do, each
// refused with MMC's sense, and each relaxed again by lenient= (the
// behaviour of the emulator's first versions).
#include <gtest/gtest.h>

#include <chrono>

#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr TSenseCode kInvalidWriteAddress{5, 0x21, 0x02};
constexpr TSenseCode kCommandSequence{5, 0x2C, 0x00};
constexpr TSenseCode kIllegalMode{5, 0x64, 0x00};
constexpr TSenseCode kPartlyWrittenReserved{5, 0x72, 0x04};
constexpr TSenseCode kInvalidParameter{5, 0x26, 0x00};
constexpr TSenseCode kFormatInProgress{2, 0x04, 0x04};

class StrictRules : public UnitTest {
 protected:
  // A unit on files of its own, on the test's clock, with `rule` relaxed when given.
  void Open(TMediaKind kind, std::optional<TRule> relaxed = std::nullopt, const std::string& image = "disc.img") {
    TDriveConfig config = Config(kind);
    config.image_path = dir_ / image;
    config.format_time = format_time_;
    if (relaxed) config.rules.Set(*relaxed, false);
    Load(config, [this] { return now_; });
  }
  // The writer's pages: incremental with variable packets, and disc at once.
  void Incremental() { ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x20, 0xC5)).good()); }
  void DiscAtOnce() { ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x02, 0x05)).good()); }
  uint8_t BackgroundFormat() { return Disc().raw[7] & 0x03; }
  // REQUEST SENSE: key, ASC, and the progress when SKSV is set.
  struct Sense {
    uint8_t key = 0, asc = 0;
    std::optional<uint16_t> progress;
  };
  Sense Requested() {
    EXPECT_TRUE(In(RequestSense()).good());
    Sense sense{static_cast<uint8_t>(in_[2] & 0x0F), in_[12], std::nullopt};
    if (in_[15] & 0x80) sense.progress = static_cast<uint16_t>(in_[16] << 8 | in_[17]);
    return sense;
  }
  bool FeatureCurrent(uint16_t feature) {
    EXPECT_TRUE(In(GetConfiguration(2, feature)).good());
    return GetBe16(in_, 8) == feature && (in_[10] & 0x01);
  }

  std::chrono::steady_clock::time_point now_{};
  std::optional<milliseconds> format_time_;
};

// A DVD-R/-RW links in whole ECC blocks: when the host ends a recording the
// drive pads the partial ECC block, and the next write starts after it.
TEST_F(StrictRules, DvdRFlushPadsThePartialEccBlock) {
  Open(TMediaKind::kDvdR);
  Incremental();
  ASSERT_EQ(WriteBlocks(0, 10, 0x44), kGood);
  EXPECT_EQ(Track(1).next_writable, 10u);  // still streaming: the drive waits for more
  ASSERT_TRUE(None(SynchronizeCache()).good());
  EXPECT_EQ(Track(1).next_writable, 16u);
  EXPECT_EQ(WriteBlocks(10, 1), kInvalidWriteAddress);
  ASSERT_TRUE(In(Read10(9, 7), 7 * 2048).good());
  EXPECT_EQ(in_[0], 0x44);
  EXPECT_EQ(in_[2048], 0x00);  // the padding
  ASSERT_EQ(WriteBlocks(16, 8), kGood);

  // A reserved track whose last write left its last ECC block partly
  // filled is full once the drive pads that block at the close.
  ASSERT_TRUE(None(SynchronizeCache()).good());
  ASSERT_TRUE(None(Close(1, 1)).good());
  ASSERT_TRUE(None(ReserveTrack(40)).good());  // 48: three ECC blocks
  ASSERT_EQ(WriteBlocks(Track(2).start, 40), kGood);
  EXPECT_TRUE(None(Close(1, 2)).good());
  EXPECT_EQ(Track(2).last_recorded, Track(2).start + 47);

  Open(TMediaKind::kDvdR, TRule::kEccPadding, "lenient.img");
  Incremental();
  ASSERT_EQ(WriteBlocks(0, 10), kGood);
  ASSERT_TRUE(None(SynchronizeCache()).good());
  EXPECT_EQ(Track(1).next_writable, 10u);
  EXPECT_EQ(WriteBlocks(10, 1), kGood);
}

// A DVD-R/-RW drive pads only an incomplete track of its own: closing a
// reserved track, or the session holding it, before it is full is refused
// and changes nothing. CD and DVD+R drives pad a reserved track themselves.
TEST_F(StrictRules, DvdRReservedTrackClosedBeforeItIsFullIsRefused) {
  Open(TMediaKind::kDvdR);
  Incremental();
  ASSERT_TRUE(None(ReserveTrack(64)).good());
  ASSERT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_EQ(SenseOf(None(Close(1, 1))), kPartlyWrittenReserved);
  EXPECT_EQ(SenseOf(None(Close(2, 0))), kPartlyWrittenReserved);
  EXPECT_EQ(SenseOf(None(Close(5, 0))), kPartlyWrittenReserved);
  const TrackInfo reserved = Track(1);
  EXPECT_TRUE(reserved.reserved);
  EXPECT_EQ(reserved.next_writable, 32u);
  EXPECT_EQ(Disc().last_session_state, 1);
  ASSERT_EQ(WriteBlocks(32, 32), kGood);
  EXPECT_TRUE(None(Close(1, 1)).good());
  EXPECT_TRUE(None(Close(2, 0)).good());

  // An empty reserved track is no better.
  Open(TMediaKind::kDvdRw, std::nullopt, "rw.img");
  Incremental();
  ASSERT_TRUE(None(ReserveTrack(32)).good());
  EXPECT_EQ(SenseOf(None(Close(1, 1))), kPartlyWrittenReserved);

  for (const TMediaKind padded : {TMediaKind::kCdR, TMediaKind::kDvdPlusR}) {
    Open(padded, std::nullopt, std::string(Traits(padded).name) + ".img");
    if (padded == TMediaKind::kCdR) {
      ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
    }
    ASSERT_TRUE(None(ReserveTrack(320)).good());
    ASSERT_EQ(WriteBlocks(0, 32), kGood);
    EXPECT_TRUE(None(Close(1, 1)).good()) << Traits(padded).name;
    EXPECT_EQ(Track(1).last_recorded, 319u) << Traits(padded).name;
  }

  Open(TMediaKind::kDvdR, TRule::kReservedTrackFull, "lenient.img");
  Incremental();
  ASSERT_TRUE(None(ReserveTrack(64)).good());
  ASSERT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_TRUE(None(Close(1, 1)).good());
  EXPECT_EQ(Track(1).last_recorded, 63u);
}

// Disc at once on a DVD-R/-RW records the track RESERVE TRACK laid out.
TEST_F(StrictRules, DvdRDiscAtOnceWritesOnlyIntoAReservedTrack) {
  for (const TMediaKind kind : {TMediaKind::kDvdR, TMediaKind::kDvdRw}) {
    SCOPED_TRACE(Traits(kind).name);
    Open(kind, std::nullopt, std::string(Traits(kind).name) + ".img");
    DiscAtOnce();
    EXPECT_EQ(WriteBlocks(0, 16), kCommandSequence);
    EXPECT_EQ(Track(1).next_writable, 0u);  // nothing recorded
    ASSERT_TRUE(None(ReserveTrack(32)).good());
    EXPECT_EQ(WriteBlocks(0, 32), kGood);
    EXPECT_EQ(WriteBlocks(32, 16), kCommandSequence);  // the invisible track after it
  }
  Open(TMediaKind::kDvdR, TRule::kDaoNeedsReservation, "lenient.img");
  DiscAtOnce();
  EXPECT_EQ(WriteBlocks(0, 16), kGood);
}

// A minimally blanked DVD-RW loses incremental recording (feature 0021h is
// no longer current): disc at once only, until a format or a whole blank.
TEST_F(StrictRules, MinimallyBlankedDvdRwRefusesIncrementalWritesUntilFormattedOrFullyBlanked) {
  Open(TMediaKind::kDvdRw);
  Incremental();
  ASSERT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_TRUE(FeatureCurrent(0x0021));
  ASSERT_TRUE(None(Blank(1)).good());
  EXPECT_EQ(Disc().status, 0);
  EXPECT_FALSE(FeatureCurrent(0x0021));
  Incremental();
  EXPECT_EQ(WriteBlocks(0, 32), kIllegalMode);

  // The disc keeps the state: another unit on its files refuses too.
  Open(TMediaKind::kDvdRw);
  Incremental();
  EXPECT_EQ(WriteBlocks(0, 32), kIllegalMode);
  DiscAtOnce();
  ASSERT_TRUE(None(ReserveTrack(32)).good());
  EXPECT_EQ(WriteBlocks(0, 32), kGood);

  ASSERT_TRUE(None(Blank(0)).good());  // a whole blank brings incremental recording back
  EXPECT_TRUE(FeatureCurrent(0x0021));
  Incremental();
  EXPECT_EQ(WriteBlocks(0, 32), kGood);

  ASSERT_TRUE(None(Blank(1)).good());  // so does a format (restricted overwrite)
  ASSERT_TRUE(Out(FormatUnit(), FormatList(0xFFFFFFFF, 0x15, 0)).good());
  EXPECT_EQ(WriteBlocks(64, 32), kGood);

  Open(TMediaKind::kDvdRw, TRule::kMinimalBlankDvdRw, "lenient.img");
  ASSERT_TRUE(None(Blank(1)).good());
  Incremental();
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
}

// A DVD+RW formats in the background for the format time: ready, taking
// writes, its progress in REQUEST SENSE; CLOSE function 2 stops it, FORMAT
// UNIT takes it up again, function 3 (de-icing) runs the rest.
TEST_F(StrictRules, DvdPlusRwFormatsInTheBackgroundAndCloseFunction3CompletesIt) {
  format_time_ = seconds(10);
  Open(TMediaKind::kDvdPlusRw);
  EXPECT_EQ(BackgroundFormat(), 0);
  ASSERT_TRUE(Out(FormatUnit(), FormatList(0xFFFFFFFF, 0x26, 0)).good());
  EXPECT_TRUE(None(TestUnitReady()).good());
  EXPECT_EQ(BackgroundFormat(), 2);  // in progress
  now_ += seconds(5);
  Sense sense = Requested();
  EXPECT_EQ(sense.key, 0);  // nothing wrong: the unit is ready
  ASSERT_TRUE(sense.progress.has_value());
  EXPECT_NEAR(*sense.progress, 32768, 2);
  EXPECT_EQ(WriteBlocks(0, 32), kGood);

  ASSERT_TRUE(None(Close(2, 0)).good());  // quick stop
  EXPECT_EQ(BackgroundFormat(), 1);
  now_ += seconds(60);
  EXPECT_EQ(BackgroundFormat(), 1);  // stopped stays stopped
  EXPECT_FALSE(Requested().progress.has_value());
  ASSERT_TRUE(Out(FormatUnit(), FormatList(0xFFFFFFFF, 0x26, 0)).good());  // restart
  EXPECT_EQ(BackgroundFormat(), 2);

  // De-icing without the immediate bit: the close returns with the format done.
  const TCommandResult held = None(Close(3, 0));
  ASSERT_TRUE(held.pending());
  EXPECT_EQ(*held.retry_at - now_, seconds(5));
  now_ = *held.retry_at;
  ASSERT_TRUE(None(Close(3, 0)).good());
  EXPECT_EQ(BackgroundFormat(), 3);
  EXPECT_EQ(Requested().asc, 0);

  // With the immediate bit the unit formats on, not ready, for the rest.
  Open(TMediaKind::kDvdPlusRw, std::nullopt, "immediate.img");
  ASSERT_TRUE(Out(FormatUnit(), FormatList(0xFFFFFFFF, 0x26, 0)).good());
  now_ += seconds(4);
  ASSERT_TRUE(None(Close(3, 0, /*immediate=*/true)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())), kFormatInProgress);
  now_ += seconds(6);
  EXPECT_TRUE(None(TestUnitReady()).good());
  EXPECT_EQ(BackgroundFormat(), 3);

  Open(TMediaKind::kDvdPlusRw, TRule::kBackgroundFormat, "lenient.img");
  ASSERT_TRUE(Out(FormatUnit(), FormatList(0xFFFFFFFF, 0x26, 0)).good());
  EXPECT_EQ(BackgroundFormat(), 3);
}

// SET STREAMING asking for no data at all is refused, naming the field; RDD
// returns to the drive's own performance.
TEST_F(StrictRules, SetStreamingWithAZeroSizeOrEndBeforeStartIsRefused) {
  Open(TMediaKind::kDvdPlusR);
  const auto streaming = [this](uint32_t start, uint32_t end, uint32_t read, uint32_t write, uint8_t flags = 0) {
    std::vector<uint8_t> descriptor(28, 0);
    descriptor[0] = flags;
    PutBe32(descriptor, 4, start);
    PutBe32(descriptor, 8, end);
    PutBe32(descriptor, 12, read);
    PutBe32(descriptor, 16, 1000);
    PutBe32(descriptor, 20, write);
    PutBe32(descriptor, 24, 1000);
    return Out(Cdb(0xB6, 12).Be16(9, 28), descriptor);
  };
  const auto field = [](const TCommandResult& result) {
    return result.sense[15] == 0x80 ? GetBe16(result.sense, 16) : 0xFFFF;  // SKSV, in the parameter list
  };
  TCommandResult result = streaming(0, 1000, 0, 8310);
  EXPECT_EQ(SenseOf(result), kInvalidParameter);
  EXPECT_EQ(field(result), 12);
  result = streaming(0, 1000, 8310, 0);
  EXPECT_EQ(SenseOf(result), kInvalidParameter);
  EXPECT_EQ(field(result), 20);
  result = streaming(2000, 1000, 8310, 8310);
  EXPECT_EQ(SenseOf(result), kInvalidParameter);
  EXPECT_EQ(field(result), 8);
  EXPECT_EQ(unit_->CurrentWriteSpeed(), 22160);  // nothing changed

  ASSERT_TRUE(streaming(0, 1000, 8310, 8310).good());
  EXPECT_EQ(unit_->CurrentWriteSpeed(), 8310);
  ASSERT_TRUE(streaming(0, 0, 0, 0, /*RDD=*/0x04).good());
  EXPECT_EQ(unit_->CurrentWriteSpeed(), 22160);
  EXPECT_EQ(unit_->CurrentReadSpeed(), 22160);

  Open(TMediaKind::kDvdPlusR, TRule::kStreamingSizes, "lenient.img");
  EXPECT_TRUE(streaming(0, 1000, 0, 0).good());
  EXPECT_EQ(unit_->CurrentWriteSpeed(), 5540);  // the slowest
}

}  // namespace
}  // namespace zamo::emu::test
