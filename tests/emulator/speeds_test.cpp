// Speeds: each medium's maximum, SET CD SPEED and SET STREAMING choosing the
// current speed within it, GET PERFORMANCE and mode page 2Ah reporting it, and
// a drive of MMC-5's generation (model=modern) whose page leaves the obsolete
// speed fields at zero.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

constexpr TSenseCode kInvalidCdb{5, 0x24, 0x00};

// GET PERFORMANCE: `data_type` is CDB byte 1 (tolerance, Write, Except).
Cdb GetPerformance(uint8_t type, uint8_t data_type, uint16_t descriptors) {
  return Cdb(0xAC, 12).Byte(1, data_type).Be16(8, descriptors).Byte(10, type);
}

struct MediumSpeeds {
  TMediaKind kind;
  uint16_t max_write;     // KB/s
  uint16_t slowest_write;
};

class Speeds : public UnitTest, public ::testing::WithParamInterface<MediumSpeeds> {
 protected:
  // The write speeds of the write speed descriptors (type 03h), in order.
  std::vector<uint32_t> WriteSpeedDescriptors(uint16_t most = 32) {
    EXPECT_TRUE(In(GetPerformance(0x03, 0x00, most)).good());
    const uint32_t length = GetBe32(in_, 0);
    std::vector<uint32_t> speeds;
    for (uint32_t at = 8; at + 16 <= 4 + length; at += 16) {
      EXPECT_EQ(in_[at] & 0x02, 0x02);  // exact: valid for the whole disc
      EXPECT_EQ(GetBe32(in_, at + 4), Traits(GetParam().kind).capacity - 1);  // end LBA
      speeds.push_back(GetBe32(in_, at + 12));
    }
    return speeds;
  }
  // Nominal performance (type 00h, tolerance 10b) for reading or writing.
  uint32_t Nominal(bool write) {
    EXPECT_TRUE(In(GetPerformance(0x00, write ? 0x14 : 0x10, 1)).good());
    EXPECT_EQ(GetBe32(in_, 0), 4u + 16);
    EXPECT_EQ(in_[4], write ? 0x02 : 0x00);
    EXPECT_EQ(GetBe32(in_, 8 + 4), GetBe32(in_, 8 + 12));  // constant over the disc
    return GetBe32(in_, 8 + 12);
  }
  std::vector<uint8_t> Page() {
    EXPECT_TRUE(In(ModeSense(0x2A)).good());
    return std::vector<uint8_t>(in_.begin() + 8, in_.begin() + 8 + 2 + in_[9]);
  }
};

TEST_P(Speeds, EachMediumHasItsMaximumAndTheHostChoosesWithinIt) {
  const MediumSpeeds medium = GetParam();
  Load(medium.kind);
  const std::vector<uint32_t> speeds = WriteSpeedDescriptors();
  ASSERT_FALSE(speeds.empty());
  EXPECT_EQ(speeds.front(), medium.max_write);  // fastest first
  EXPECT_EQ(speeds.back(), medium.slowest_write);
  EXPECT_TRUE(std::is_sorted(speeds.rbegin(), speeds.rend()));
  EXPECT_EQ(WriteSpeedDescriptors(2).size(), 2u);  // as many as the host takes

  // The capabilities page tells the same: maximum, current, and the list.
  std::vector<uint8_t> page = Page();
  EXPECT_EQ(GetBe16(page, 18), medium.max_write);
  EXPECT_EQ(GetBe16(page, 20), medium.max_write);
  ASSERT_EQ(GetBe16(page, 30), speeds.size());
  EXPECT_EQ(page.size(), 32 + 4 * speeds.size());  // the page length counts the descriptors
  for (size_t i = 0; i < speeds.size(); ++i) EXPECT_EQ(GetBe16(page, 32 + 4 * i + 2), speeds[i]);

  // Faster than the medium takes: its maximum. Between two: the slower.
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 0xFFFF)).good());
  EXPECT_EQ(Nominal(true), medium.max_write);
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, static_cast<uint16_t>(speeds[1] + 1))).good());
  EXPECT_EQ(Nominal(true), speeds[1]);
  page = Page();
  EXPECT_EQ(GetBe16(page, 20), speeds[1]);
  EXPECT_EQ(GetBe16(page, 28), speeds[1]);  // current write speed selected
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 1)).good());
  EXPECT_EQ(Nominal(true), medium.slowest_write);
  EXPECT_EQ(Nominal(false), Traits(medium.kind).max_read_kbs);

  // SET STREAMING: kilobytes per milliseconds, the same choice.
  std::vector<uint8_t> descriptor(28, 0);
  PutBe32(descriptor, 8, 1000);
  PutBe32(descriptor, 12, 1385);
  PutBe32(descriptor, 16, 1000);
  PutBe32(descriptor, 20, speeds.front() * 2);
  PutBe32(descriptor, 24, 2000);
  ASSERT_TRUE(Out(Cdb(0xB6, 12).Be16(9, 28), descriptor).good());
  EXPECT_EQ(Nominal(true), medium.max_write);
  EXPECT_EQ(Nominal(false), 1385u);
}

INSTANTIATE_TEST_SUITE_P(Media, Speeds,
                         ::testing::Values(MediumSpeeds{TMediaKind::kCdR, 8467, 706},       // 48x .. 4x
                                           MediumSpeeds{TMediaKind::kCdRw, 4234, 706},      // 24x .. 4x
                                           MediumSpeeds{TMediaKind::kDvdR, 22160, 5540},    // 16x .. 4x
                                           MediumSpeeds{TMediaKind::kDvdPlusR, 22160, 5540},
                                           MediumSpeeds{TMediaKind::kDvdPlusRDl, 11080, 3324},  // 8x .. 2.4x
                                           MediumSpeeds{TMediaKind::kDvdRw, 8310, 2770},    // 6x .. 2x
                                           MediumSpeeds{TMediaKind::kDvdPlusRw, 11080, 5540},  // 8x .. 4x
                                           MediumSpeeds{TMediaKind::kDvdRam, 6925, 2770}),  // 5x .. 2x
                         [](const auto& param_info) {
                           std::string name(Traits(param_info.param.kind).name);
                           std::erase(name, '-');
                           std::replace(name.begin(), name.end(), '+', 'p');
                           return name;
                         });

class SpeedReports : public UnitTest {};

TEST_F(SpeedReports, GetPerformanceRefusesWhatMmcDoesNotDefineHere) {
  Load(TMediaKind::kDvdR);
  EXPECT_EQ(SenseOf(In(GetPerformance(0x00, 0x04, 1))), kInvalidCdb);  // tolerance 00b
  EXPECT_EQ(SenseOf(In(GetPerformance(0x00, 0x13, 1))), kInvalidCdb);  // except 11b
  EXPECT_EQ(SenseOf(In(GetPerformance(0x05, 0x00, 1))), kInvalidCdb);  // a type not kept
  ASSERT_TRUE(In(GetPerformance(0x00, 0x11, 8)).good());  // exceptions: none
  EXPECT_EQ(GetBe32(in_, 0), 4u);
  EXPECT_EQ(in_[4], 0x01);
  ASSERT_TRUE(In(GetPerformance(0x03, 0x00, 0)).good());  // no descriptor asked for
  EXPECT_EQ(GetBe32(in_, 0), 4u);

  TDriveConfig empty = Config(TMediaKind::kDvdR);
  empty.no_disc = true;
  Load(empty);
  EXPECT_EQ(SenseOf(In(GetPerformance(0x03, 0x00, 8))), (TSenseCode{2, 0x3A, 0x01}));
}

TEST_F(SpeedReports, AModernDriveLeavesTheObsoleteFieldsOfPage2AhAtZero) {
  TDriveConfig modern = Config(TMediaKind::kDvdPlusR);
  modern.modern = true;
  Load(modern);
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 11080)).good());
  ASSERT_TRUE(In(ModeSense(0x2A)).good());
  const uint8_t* page = &in_[8];
  for (int at : {8, 14, 18, 20}) EXPECT_EQ(GetBe16(in_, 8 + at), 0) << "byte " << at;
  EXPECT_EQ(GetBe16(in_, 8 + 12), 2048);    // buffer size stays
  EXPECT_EQ(GetBe16(in_, 8 + 28), 11080);   // current write speed selected stays
  EXPECT_EQ(GetBe16(in_, 8 + 30), 5);       // and the write speed descriptors
  EXPECT_EQ(page[1], 30 + 4 * 5);
  // GET PERFORMANCE has the speeds.
  ASSERT_TRUE(In(GetPerformance(0x00, 0x14, 1)).good());
  EXPECT_EQ(GetBe32(in_, 8 + 12), 11080u);
  // The drive says so in its Real Time Streaming feature: write speeds by
  // GET PERFORMANCE and in page 2Ah, SET CD SPEED, buffer capacity in blocks.
  ASSERT_TRUE(In(GetConfiguration(2, 0x0107)).good());
  EXPECT_EQ(in_[12] & 0x1F, 0x1F);
}

}  // namespace
}  // namespace zamo::emu::test
