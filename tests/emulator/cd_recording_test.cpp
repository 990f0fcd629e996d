// Recording a CD-R/RW on the emulated unit, checked against the MMC-5 rules.
#include <gtest/gtest.h>

#include "emulator/sense.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

constexpr TSenseCode kInvalidCdb{5, 0x24, 0};
constexpr TSenseCode kInvalidWriteAddress{5, 0x21, 0x02};
constexpr TSenseCode kLbaOutOfRange{5, 0x21, 0};
constexpr TSenseCode kIllegalMode{5, 0x64, 0};
constexpr TSenseCode kInvalidParameter{5, 0x26, 0};

class CdR : public UnitTest {
 protected:
  void SetUp() override { Load(TMediaKind::kCdR); }
  // Track at once, mode 1, next session allowed (the multi-session field 11b).
  void AllowNextSession() { ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good()); }
  // Records `blocks` at the invisible track and closes the session.
  void RecordSession(uint32_t lba, uint16_t blocks) {
    ASSERT_EQ(WriteBlocks(lba, blocks), kGood);
    ASSERT_TRUE(None(Close(2, 0)).good());
  }
};

TEST_F(CdR, BlankDiscReportsOneEmptySessionAndTheAtip) {
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 0);              // empty
  EXPECT_EQ(disc.last_session_state, 0);  // empty
  EXPECT_FALSE(disc.erasable);
  EXPECT_EQ(disc.sessions, 1u);
  EXPECT_EQ(disc.first_in_last, 1u);
  EXPECT_EQ(disc.last_in_last, 1u);
  EXPECT_EQ(std::vector<uint8_t>(disc.raw.begin() + 16, disc.raw.begin() + 24),
            (std::vector<uint8_t>{0, 97, 24, 1, 0, 79, 59, 74}));  // ATIP lead-in, last possible lead-out

  const TrackInfo track = Track(1);
  EXPECT_TRUE(track.blank);
  EXPECT_TRUE(track.nwa_valid);
  EXPECT_EQ(track.start, 0u);
  EXPECT_EQ(track.next_writable, 0u);
  EXPECT_EQ(track.free, 359'849u);
  EXPECT_EQ(Track(0xFF).number, 1u);  // FFh: the invisible track

  ASSERT_TRUE(In(ReadToc(4, true)).good());  // ATIP
  EXPECT_EQ(in_[6] & 0xC0, 0x80);            // valid, not rewritable
  EXPECT_EQ((std::vector<uint8_t>(in_.begin() + 12, in_.begin() + 15)), (std::vector<uint8_t>{79, 59, 74}));

  EXPECT_EQ(SenseOf(In(ReadToc(0))), kInvalidCdb);  // no complete session, no TOC
  EXPECT_EQ(SenseOf(In(ReadToc(1))), kInvalidCdb);
  EXPECT_EQ(CurrentProfile(), 0x0009);
  ASSERT_TRUE(In(ReadCapacity()).good());
  EXPECT_EQ(GetBe32(in_, 0), 0u);
}

TEST_F(CdR, WritesOnlyAtTheNextWritableAddress) {
  EXPECT_EQ(WriteBlocks(16, 1), kInvalidWriteAddress);
  EXPECT_EQ(WriteBlocks(0, 10, 0x11), kGood);
  EXPECT_EQ(WriteBlocks(0, 1), kInvalidWriteAddress);  // write-once: no going back
  EXPECT_EQ(WriteBlocks(11, 1), kInvalidWriteAddress);  // nor leaving a hole
  EXPECT_EQ(WriteBlocks(10, 5, 0x22), kGood);

  const TrackInfo track = Track(1);
  EXPECT_FALSE(track.blank);
  EXPECT_EQ(track.next_writable, 15u);
  EXPECT_EQ(track.last_recorded, 14u);
  EXPECT_EQ(track.free, 359'849u - 15);
  EXPECT_EQ(Disc().status, 1);  // incomplete
  EXPECT_EQ(Disc().last_session_state, 1);

  ASSERT_TRUE(In(Read10(9, 2), 4096).good());
  EXPECT_EQ(in_[0], 0x11);
  EXPECT_EQ(in_[2047], 0x11);
  EXPECT_EQ(in_[2048], 0x22);
  EXPECT_EQ(SenseOf(In(Read10(14, 2), 4096)), kLbaOutOfRange);  // block 15 is not recorded
}

// A track-at-once track of 300 blocks ends with two run-out blocks: 302.
constexpr uint32_t kTrack1 = 302;
constexpr uint32_t kSession2 = kTrack1 + 11'400;  // 11,702
constexpr uint32_t kSession2End = kSession2 + kTrack1;  // 12,004

TEST_F(CdR, ClosingASessionLeavesTheLeadOutAndLeadInGap) {
  AllowNextSession();
  RecordSession(0, 300);
  DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 1);              // appendable
  EXPECT_EQ(disc.last_session_state, 0);  // the new session is empty
  EXPECT_EQ(disc.sessions, 2u);
  EXPECT_EQ(disc.first_in_last, 2u);
  // Session 2's lead-in starts after session 1's 6750-block lead-out: LBA 7052 = 01:36:02.
  EXPECT_EQ(std::vector<uint8_t>(disc.raw.begin() + 16, disc.raw.begin() + 20), (std::vector<uint8_t>{0, 1, 36, 2}));

  TrackInfo closed = Track(1);
  EXPECT_FALSE(closed.nwa_valid);
  EXPECT_EQ(closed.size, kTrack1);
  EXPECT_EQ(closed.last_recorded, kTrack1 - 1);
  TrackInfo next = Track(0xFF);
  EXPECT_EQ(next.number, 2u);
  EXPECT_EQ(next.session, 2u);
  EXPECT_EQ(next.start, kSession2);
  EXPECT_EQ(next.next_writable, kSession2);
  EXPECT_EQ(next.free, 359'849u - kSession2);
  EXPECT_TRUE(In(Read10(299, 1)).good());
  EXPECT_EQ(SenseOf(In(Read10(300, 1))), kIllegalMode);   // run-out: no data block
  EXPECT_EQ(SenseOf(In(Read10(302, 1))), kLbaOutOfRange);  // nothing recorded from here on

  // Later sessions only leave a 2250-block lead-out before the 4650 blocks.
  RecordSession(kSession2, 300);
  EXPECT_EQ(Track(3).start, kSession2End + 6'900);
  EXPECT_EQ(SenseOf(In(Read10(302, 1))), kIllegalMode);  // a lead-out holds no user data
  EXPECT_TRUE(In(Read10(kSession2, 1)).good());
}

TEST_F(CdR, TocFormatsAfterTwoSessions) {
  AllowNextSession();
  RecordSession(0, 300);
  RecordSession(kSession2, 300);

  ASSERT_TRUE(In(ReadToc(0)).good());
  EXPECT_EQ(GetBe16(in_, 0), 2 + 3 * 8);
  EXPECT_EQ(in_[2], 1);
  EXPECT_EQ(in_[3], 2);
  EXPECT_EQ(in_[4 + 2], 1);
  EXPECT_EQ(GetBe32(in_, 4 + 4), 0u);
  EXPECT_EQ(in_[12 + 1], 0x14);  // data track
  EXPECT_EQ(in_[12 + 2], 2);
  EXPECT_EQ(GetBe32(in_, 12 + 4), kSession2);
  EXPECT_EQ(in_[20 + 2], 0xAA);
  EXPECT_EQ(GetBe32(in_, 20 + 4), kSession2End);

  ASSERT_TRUE(In(ReadToc(0, /*msf=*/true, /*track=*/2)).good());
  EXPECT_EQ(GetBe16(in_, 0), 2 + 2 * 8);
  EXPECT_EQ((std::vector<uint8_t>(in_.begin() + 8, in_.begin() + 12)), (std::vector<uint8_t>{0, 2, 38, 2}));
  EXPECT_EQ((std::vector<uint8_t>(in_.begin() + 16, in_.begin() + 20)), (std::vector<uint8_t>{0, 2, 42, 4}));
  EXPECT_EQ(SenseOf(In(ReadToc(0, false, 3))), kInvalidCdb);

  ASSERT_TRUE(In(ReadToc(1)).good());  // multi-session information
  EXPECT_EQ(in_[3], 2);
  EXPECT_EQ(in_[6], 2);
  EXPECT_EQ(GetBe32(in_, 8), kSession2);

  ASSERT_TRUE(In(ReadToc(2)).good());  // full TOC: 11-byte descriptors
  const size_t count = (GetBe16(in_, 0) - 2) / 11;
  bool b0_found = false, c0_found = false, a2_found = false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* d = &in_[4 + 11 * i];
    if (d[0] == 1 && d[3] == 0xB0) {
      b0_found = true;
      EXPECT_EQ(d[1], 0x54);
      EXPECT_EQ((std::vector<uint8_t>(d + 4, d + 7)), (std::vector<uint8_t>{2, 38, 2}));  // next program area
      EXPECT_EQ((std::vector<uint8_t>(d + 8, d + 11)), (std::vector<uint8_t>{79, 59, 74}));
    }
    if (d[0] == 1 && d[3] == 0xC0) c0_found = true;
    if (d[0] == 2 && d[3] == 0xA2) {
      a2_found = true;
      EXPECT_EQ((std::vector<uint8_t>(d + 8, d + 11)), (std::vector<uint8_t>{2, 42, 4}));
    }
  }
  EXPECT_TRUE(b0_found);
  EXPECT_TRUE(c0_found);
  EXPECT_TRUE(a2_found);
}

// The drive ends a track-at-once track itself: a short one is padded with
// zeros to 4 seconds (300 blocks), and the run-out follows every track; the
// next track starts after its pre-gap. Relaxed, the track is what was written.
TEST_F(CdR, TrackAtOnceTracksArePaddedTo300BlocksAndEndWithTwoRunOutBlocks) {
  AllowNextSession();
  ASSERT_EQ(WriteBlocks(0, 10, 0x33), kGood);
  ASSERT_TRUE(None(Close(1, 0xFF)).good());
  TrackInfo first = Track(1);
  EXPECT_EQ(first.size, 302u);
  ASSERT_TRUE(In(Read10(0, 300), 300 * 2048).good());
  EXPECT_EQ(in_[9 * 2048], 0x33);
  EXPECT_EQ(in_[10 * 2048], 0x00);  // the drive's padding
  EXPECT_EQ(in_[299 * 2048 + 2047], 0x00);
  EXPECT_EQ(SenseOf(In(Read10(299, 2), 2 * 2048)), kIllegalMode);  // reaches the run-out
  EXPECT_EQ(SenseOf(In(Read10(301, 1))), kIllegalMode);
  const TrackInfo second = Track(0xFF);
  EXPECT_EQ(second.number, 2u);
  EXPECT_EQ(second.start, 302u + 150);  // the pre-gap follows the run-out
  ASSERT_EQ(WriteBlocks(452, 400), kGood);  // long enough: not padded
  ASSERT_TRUE(None(Close(2, 0)).good());
  EXPECT_EQ(Track(2).size, 402u);

  // A session at once and a forgiving drive end their tracks where the data does.
  TDriveConfig lenient = Config(TMediaKind::kCdR);
  lenient.image_path = dir_ / "lenient.img";
  lenient.rules.Set(TRule::kTaoTrackEnd, false);
  Load(lenient);
  AllowNextSession();
  ASSERT_EQ(WriteBlocks(0, 10), kGood);
  ASSERT_TRUE(None(Close(2, 0)).good());
  EXPECT_EQ(Track(1).size, 10u);
  EXPECT_EQ(Track(2).start, 10u + 11'400);
}

TEST_F(CdR, ClosingWithoutMultiSessionFinalizesAndRefusesFurtherWrites) {
  RecordSession(0, 100);  // the default page: multi-session 00b, no next session
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 2);  // complete
  EXPECT_EQ(disc.last_session_state, 3);
  EXPECT_EQ(disc.sessions, 1u);
  EXPECT_EQ(GetBe32(disc.raw, 16), 0xFFFFFFFFu);
  EXPECT_EQ(WriteBlocks(100, 1), kInvalidWriteAddress);
  EXPECT_EQ(WriteBlocks(11'500, 1), kInvalidWriteAddress);
  EXPECT_EQ(Track(0xFF).sense, kInvalidCdb);
  EXPECT_EQ(SenseOf(None(ReserveTrack(100))), (TSenseCode{5, 0x2C, 0}));
}

TEST_F(CdR, FinalizeDropsAnEmptyLastSession) {
  AllowNextSession();
  RecordSession(0, 100);
  ASSERT_EQ(Disc().sessions, 2u);
  ASSERT_TRUE(None(Close(5, 0)).good());
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 2);
  EXPECT_EQ(disc.sessions, 1u);
}

TEST_F(CdR, FinalizingABlankDiscIsASequenceError) {
  EXPECT_EQ(SenseOf(None(Close(5, 0))), (TSenseCode{5, 0x2C, 0}));
  EXPECT_EQ(Disc().status, 0);
}

TEST_F(CdR, TestWriteRecordsNothing) {
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x11, 0xC4)).good());  // TAO with the test-write bit
  EXPECT_EQ(WriteBlocks(0, 27), kGood);
  EXPECT_EQ(WriteBlocks(27, 27), kGood);  // the simulation moves on
  EXPECT_EQ(WriteBlocks(0, 1), kInvalidWriteAddress);
  EXPECT_TRUE(None(Close(2, 0)).good());
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
  EXPECT_EQ(Disc().status, 0);
  EXPECT_EQ(Track(1).next_writable, 0u);
  EXPECT_EQ(SenseOf(In(Read10(0, 1))), kLbaOutOfRange);
  EXPECT_EQ(WriteBlocks(0, 1), kGood);  // the real recording starts at block 0
}

TEST_F(CdR, ReservedTrackIsWrittenAtItsOwnAddressAndPaddedWhenClosed) {
  ASSERT_TRUE(None(ReserveTrack(500)).good());
  const TrackInfo reserved = Track(1);
  EXPECT_TRUE(reserved.reserved);
  EXPECT_EQ(reserved.size, 500u);
  EXPECT_EQ(Track(2).start, 650u);  // after the next track's pre-gap
  EXPECT_EQ(SenseOf(None(ReserveTrack(10))), kGood);  // track 2 is empty: it can be reserved too
  EXPECT_EQ(WriteBlocks(0, 100), kGood);
  EXPECT_EQ(WriteBlocks(650, 10), kGood);
  EXPECT_EQ(WriteBlocks(110, 1), kInvalidWriteAddress);
  EXPECT_EQ(WriteBlocks(100, 401), kLbaOutOfRange);  // beyond the reservation
  ASSERT_TRUE(None(Close(1, 1)).good());
  EXPECT_EQ(Track(1).last_recorded, 499u);
  EXPECT_EQ(SenseOf(None(Close(1, 9))), kInvalidCdb);
}

TEST_F(CdR, WriteParametersPageIsCheckedAgainstTheDisc) {
  EXPECT_EQ(SenseOf(Out(Cdb(0x55, 10).Be16(7, 60), WriteParams(0x01, 0x04))), kInvalidCdb);  // PF clear
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x04, 0x04))), kIllegalMode);  // layer jump on a CD
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x03, 0x04, 8))), kIllegalMode);  // raw needs raw blocks
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x01, 0x00, 8))), kIllegalMode);  // mode 1 in an audio track
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x01, 0x04, 5))), kInvalidParameter);  // reserved block type
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x01, 0x84))), kInvalidParameter);  // multi-session 10b
  std::vector<uint8_t> capabilities = WriteParams(0x01, 0x04);
  capabilities[8] = 0x2A;
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), capabilities)), kInvalidParameter);  // not changeable
  EXPECT_EQ(SenseOf(Out(ModeSelect(6), WriteParams(0x01, 0x04))), (TSenseCode{5, 0x1A, 0}));

  // The component's probes (raw, session at once, track at once) are accepted...
  EXPECT_TRUE(Out(ModeSelect(60), WriteParams(0x03, 0x00, 1)).good());
  EXPECT_TRUE(Out(ModeSelect(60), WriteParams(0x02, 0x00, 0)).good());
  EXPECT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0x00, 0)).good());
  ASSERT_TRUE(In(ModeSense(0x05)).good());
  EXPECT_EQ(in_[8], 0x05);
  EXPECT_EQ(in_[8 + 2], 0x01);
  EXPECT_EQ(in_[8 + 4], 0x00);
  // ...but this recorder keeps 2048-byte user data only, so audio blocks are refused at the write.
  EXPECT_EQ(WriteBlocks(0, 1), kIllegalMode);
  // Session at once needs its cue sheet first.
  EXPECT_TRUE(Out(ModeSelect(60), WriteParams(0x02, 0x04, 8)).good());
  EXPECT_EQ(WriteBlocks(0, 1), (TSenseCode{5, 0x2C, 0}));
  EXPECT_TRUE(Out(Cdb(0x5D, 10).Byte(8, 16), std::vector<uint8_t>(16, 0)).good());
  EXPECT_EQ(WriteBlocks(0, 1), kGood);
}

class CdRw : public UnitTest {
 protected:
  void SetUp() override { Load(TMediaKind::kCdRw); }
};

TEST_F(CdRw, BlankingMakesTheDiscBlankAgain) {
  EXPECT_TRUE(Disc().erasable);
  ASSERT_TRUE(In(ReadToc(4, true)).good());
  EXPECT_EQ(in_[6] & 0x40, 0x40);  // ATIP: rewritable
  ASSERT_EQ(WriteBlocks(0, 50, 0x77), kGood);
  ASSERT_TRUE(None(Close(2, 0)).good());
  ASSERT_EQ(Disc().status, 2);

  ASSERT_TRUE(None(Blank(1, /*immediate=*/true)).good());  // minimal
  EXPECT_EQ(Disc().status, 0);
  EXPECT_EQ(Track(1).free, 359'849u);
  EXPECT_EQ(SenseOf(In(Read10(0, 1))), kLbaOutOfRange);
  EXPECT_EQ(WriteBlocks(0, 1), kGood);

  ASSERT_TRUE(None(Blank(0)).good());  // full
  EXPECT_EQ(Disc().status, 0);
  EXPECT_EQ(SenseOf(None(Blank(2))), kInvalidCdb);  // blanking a track is not offered
}

TEST_F(CdR, BlankAndFormatNeedRewritableMedia) {
  EXPECT_EQ(SenseOf(None(Blank(1))), (TSenseCode{5, 0x30, 0x00}));
  EXPECT_EQ(SenseOf(Out(FormatUnit(), FormatList(1000, 0x00, 2048))), (TSenseCode{5, 0x30, 0x06}));
}

}  // namespace
}  // namespace zamo::emu::test
