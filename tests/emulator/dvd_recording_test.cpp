// Recording DVD media on the emulated unit: sequential DVD-R and DVD+R,
// formatted DVD+RW, DVD-RW in both recording modes, DVD-RAM.
#include <gtest/gtest.h>

#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

constexpr TSenseCode kInvalidCdb{5, 0x24, 0};
constexpr TSenseCode kInvalidWriteAddress{5, 0x21, 0x02};
constexpr TSenseCode kInvalidParameter{5, 0x26, 0};
constexpr TSenseCode kIllegalMode{5, 0x64, 0};
constexpr uint32_t kDvdBlocks = 2'295'104;

// The DVD-R performance descriptor the writer sends with SET STREAMING.
std::vector<uint8_t> Performance() {
  std::vector<uint8_t> descriptor(28, 0);
  PutBe32(descriptor, 8, 2'298'495);
  PutBe32(descriptor, 12, 43'965);
  PutBe32(descriptor, 16, 1000);
  PutBe32(descriptor, 20, 1418);
  PutBe32(descriptor, 24, 1000);
  return descriptor;
}

std::vector<uint8_t> TimeStamp(const std::string& digits) {
  std::vector<uint8_t> stamp(8 + digits.size(), 0);
  stamp[1] = 0x14;
  std::copy(digits.begin(), digits.end(), stamp.begin() + 8);
  return stamp;
}

class DvdR : public UnitTest {
 protected:
  void SetUp() override { Load(TMediaKind::kDvdR); }
};

TEST_F(DvdR, WriterSequenceRecordsAReservedTrackAndClosesTheBorder) {
  EXPECT_EQ(CurrentProfile(), 0x0011);
  EXPECT_EQ(Track(1).free, kDvdBlocks);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x20, 0xE5, 8, 16)).good());  // incremental, fixed packets of 16
  ASSERT_TRUE(Out(Cdb(0xB6, 12).Be16(9, 28), Performance()).good());
  ASSERT_TRUE(unit_->LastPerformanceDescriptor().has_value());
  EXPECT_EQ(GetBe32(*unit_->LastPerformanceDescriptor(), 20), 1418u);
  ASSERT_TRUE(Out(Cdb(0xBF, 12).Byte(7, 0x0F).Be16(8, 22), TimeStamp("20240229235959")).good());
  EXPECT_EQ(unit_->LastTimeStamp(), "20240229235959");
  EXPECT_EQ(SenseOf(Out(Cdb(0xBF, 12).Byte(7, 0x0F).Be16(8, 22), TimeStamp("2024-02-29 235"))), kInvalidParameter);

  ASSERT_TRUE(None(ReserveTrack(120)).good());
  TrackInfo reserved = Track(1);
  EXPECT_TRUE(reserved.reserved);
  EXPECT_EQ(reserved.size, 128u);  // whole ECC blocks
  EXPECT_EQ(Track(2).start, 128u);
  for (uint32_t lba = 0; lba < 128; lba += 32) ASSERT_EQ(WriteBlocks(lba, 32), kGood);
  EXPECT_EQ(WriteBlocks(128, 8), kInvalidCdb);  // not a whole number of fixed packets

  ASSERT_TRUE(None(Close(1, 1, true)).good());
  ASSERT_TRUE(None(Close(1, 2, true)).good());  // the empty invisible track: nothing to do
  ASSERT_TRUE(None(Close(2, 3, true)).good());
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 1);
  EXPECT_EQ(disc.sessions, 2u);
  EXPECT_EQ(disc.first_in_last, 2u);
  const TrackInfo next = Track(2);
  EXPECT_EQ(next.session, 2u);
  EXPECT_EQ(next.start, 128u + 16'384);  // after the first border
  EXPECT_EQ(next.free, kDvdBlocks - next.start);
  ASSERT_TRUE(In(ReadToc(0)).good());
  EXPECT_EQ(GetBe32(in_, 12 + 4), 128u);  // lead-out of the closed session
}

TEST_F(DvdR, RefusesWriteTypesOfOtherMedia) {
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x01, 0x04))), kIllegalMode);  // track at once
  EXPECT_TRUE(Out(ModeSelect(60), WriteParams(0x02, 0x05)).good());               // disc at once
  EXPECT_EQ(SenseOf(In(ReadToc(2))), kInvalidCdb);  // a full TOC is a CD structure
  EXPECT_EQ(SenseOf(In(ReadToc(4, true))), kInvalidCdb);  // so is the ATIP
}

TEST_F(DvdR, ClosingWithoutNextSessionClosesTheDisc) {
  ASSERT_EQ(WriteBlocks(0, 32), kGood);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x20, 0x05)).good());  // multi-session 00b
  ASSERT_TRUE(None(Close(2, 0)).good());
  EXPECT_EQ(Disc().status, 2);
  EXPECT_EQ(WriteBlocks(32, 32), kInvalidWriteAddress);
}

class DvdPlusR : public UnitTest {};

TEST_F(DvdPlusR, SessionsStayAppendableUntilFinalized) {
  Load(TMediaKind::kDvdPlusR);
  EXPECT_EQ(CurrentProfile(), 0x001B);
  ASSERT_EQ(WriteBlocks(0, 64), kGood);
  ASSERT_TRUE(None(Close(1, 1)).good());
  ASSERT_TRUE(None(Close(2, 255)).good());  // the page's multi-session field does not apply to DVD+R
  EXPECT_EQ(Disc().status, 1);
  const uint32_t second = 64 + 2'048;
  EXPECT_EQ(Track(2).start, second);
  ASSERT_EQ(WriteBlocks(second, 32), kGood);
  ASSERT_TRUE(None(Close(5, 0)).good());
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 2);
  EXPECT_EQ(disc.sessions, 2u);
  EXPECT_EQ(WriteBlocks(second + 32, 32), kInvalidWriteAddress);
  EXPECT_EQ(SenseOf(Out(Cdb(0xBF, 12).Byte(7, 0x0F).Be16(8, 22), TimeStamp("20240101000000"))), kInvalidCdb);
}

TEST_F(DvdPlusR, DoubleLayerFinalizesWithFunction6) {
  Load(TMediaKind::kDvdPlusRDl);
  EXPECT_EQ(CurrentProfile(), 0x002B);
  EXPECT_EQ(Track(1).free, 4'173'824u);
  ASSERT_EQ(WriteBlocks(0, 32), kGood);
  ASSERT_TRUE(None(Close(1, 1)).good());
  ASSERT_TRUE(None(Close(6, 0)).good());
  EXPECT_EQ(Disc().status, 2);
}

class DvdPlusRw : public UnitTest {
 protected:
  void SetUp() override { Load(TMediaKind::kDvdPlusRw); }
};

TEST_F(DvdPlusRw, MustBeFormattedBeforeItTakesData) {
  EXPECT_EQ(CurrentProfile(), 0x001A);
  ASSERT_TRUE(In(ReadFormatCapacities()).good());
  EXPECT_EQ(in_[3], 16);               // two descriptors
  EXPECT_EQ(GetBe32(in_, 4), kDvdBlocks);
  EXPECT_EQ(in_[8] & 0x03, 0x01);      // unformatted
  EXPECT_EQ(GetBe32(in_, 12), kDvdBlocks);
  EXPECT_EQ(in_[16], 0x26 << 2);       // DVD+RW basic format
  const DiscInfo blank = Disc();
  EXPECT_EQ(blank.status, 0);
  EXPECT_TRUE(blank.erasable);
  EXPECT_EQ(blank.raw[7] & 0x03, 0);  // no background format
  EXPECT_EQ(WriteBlocks(0, 32).asc, 0x30);  // the writer formats on ASC 30h

  EXPECT_EQ(SenseOf(Out(FormatUnit(), FormatList(kDvdBlocks, 0x00, 0))), kInvalidParameter);
  ASSERT_TRUE(Out(FormatUnit(), FormatList(kDvdBlocks, 0x26, 0)).good());
  EXPECT_TRUE(None(TestUnitReady()).good());  // background format: ready at once
  ASSERT_TRUE(In(ReadFormatCapacities()).good());
  EXPECT_EQ(in_[8] & 0x03, 0x02);  // formatted
  const DiscInfo formatted = Disc();
  EXPECT_EQ(formatted.status, 2);
  EXPECT_EQ(formatted.raw[7] & 0x03, 3);  // background format complete
  const TrackInfo track = Track(1);
  EXPECT_EQ(track.size, kDvdBlocks);
  EXPECT_EQ(track.free, kDvdBlocks);

  // Overwritable: anywhere, in any order, again.
  EXPECT_EQ(WriteBlocks(100'000, 32, 0x01), kGood);
  EXPECT_EQ(WriteBlocks(0, 32, 0x02), kGood);
  EXPECT_EQ(WriteBlocks(16, 32, 0x03), kGood);
  EXPECT_EQ(WriteBlocks(kDvdBlocks - 1, 2), (TSenseCode{5, 0x21, 0}));
  ASSERT_TRUE(In(Read10(15, 2)).good());
  EXPECT_EQ(in_[0], 0x02);
  EXPECT_EQ(in_[2048], 0x03);
  ASSERT_TRUE(In(Read10(200'000, 1)).good());  // formatted but never written: zeros
  EXPECT_EQ(in_[0], 0x00);
  EXPECT_TRUE(None(Close(3, 255)).good());
  EXPECT_EQ(SenseOf(None(Close(1, 1))), kInvalidCdb);
  ASSERT_TRUE(In(ReadCapacity()).good());
  EXPECT_EQ(GetBe32(in_, 0), kDvdBlocks - 1);
}

class DvdRw : public UnitTest {
 protected:
  void SetUp() override { Load(TMediaKind::kDvdRw); }
};

TEST_F(DvdRw, QuickFormatTurnsItIntoRestrictedOverwrite) {
  EXPECT_EQ(CurrentProfile(), 0x0014);
  EXPECT_TRUE(Disc().erasable);
  ASSERT_TRUE(In(ReadFormatCapacities()).good());
  EXPECT_EQ(in_[16], 0x00);       // full format, block length 2048
  EXPECT_EQ(GetBe32(in_, 16) & 0xFFFFFF, 2048u);
  EXPECT_EQ(in_[24], 0x15 << 2);  // quick format
  EXPECT_EQ(WriteBlocks(32, 32), kInvalidWriteAddress);
  EXPECT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x01, 0x04))), kIllegalMode);

  ASSERT_TRUE(Out(FormatUnit(), FormatList(kDvdBlocks, 0x15, 0)).good());
  EXPECT_EQ(CurrentProfile(), 0x0013);
  ASSERT_TRUE(In(GetConfiguration(2, 0x0026)).good());
  EXPECT_EQ(GetBe16(in_, 8), 0x0026);
  EXPECT_EQ(in_[10] & 0x01, 0x01);  // restricted overwrite is current
  EXPECT_EQ(WriteBlocks(1600, 32, 0x44), kGood);
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_EQ(WriteBlocks(8, 16), kInvalidWriteAddress);  // whole ECC blocks only
  ASSERT_TRUE(In(Read10(1600, 1)).good());
  EXPECT_EQ(in_[0], 0x44);
  EXPECT_TRUE(None(Close(2, 0, true)).good());  // what the writer sends after recording

  ASSERT_TRUE(None(Blank(1, true)).good());
  EXPECT_EQ(CurrentProfile(), 0x0014);
  EXPECT_EQ(Disc().status, 0);
  EXPECT_EQ(WriteBlocks(1600, 32), kInvalidWriteAddress);
}

class DvdRam : public UnitTest {};

TEST_F(DvdRam, OverwritesAnywhereAndFormatsWithBlockLength2048) {
  Load(TMediaKind::kDvdRam);
  EXPECT_EQ(CurrentProfile(), 0x0012);
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 3);  // random-access media: "others"
  EXPECT_TRUE(disc.erasable);
  EXPECT_EQ(WriteBlocks(2'000'000, 32, 0x66), kGood);
  ASSERT_TRUE(In(Read10(2'000'000, 1)).good());
  EXPECT_EQ(in_[0], 0x66);
  EXPECT_EQ(SenseOf(Out(FormatUnit(), FormatList(2'236'704, 0x00, 512))), kInvalidParameter);
  ASSERT_TRUE(Out(FormatUnit(), FormatList(2'236'704, 0x00, 2048)).good());
  ASSERT_TRUE(In(Read10(2'000'000, 1)).good());
  EXPECT_EQ(in_[0], 0x00);  // a full format leaves nothing behind
  EXPECT_EQ(SenseOf(None(Blank(1))), (TSenseCode{5, 0x30, 0}));
  ASSERT_TRUE(In(GetConfiguration(2, 0x0024)).good());
  EXPECT_EQ(in_[10] & 0x01, 0x01);  // hardware defect management is current
}

}  // namespace
}  // namespace zamo::emu::test
