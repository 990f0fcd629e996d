// The emulated unit as a drive: identity, features, mode pages, speeds, tray
// and lock, pressed discs, injected faults and long operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

constexpr TSenseCode kInvalidCdb{5, 0x24, 0};

class Drive : public UnitTest {};

TEST_F(Drive, InquiryNamesTheModelAndAnswersVitalProductData) {
  TDriveConfig config = Config(TMediaKind::kCdR);
  config.model = "BURNER 2000";
  Load(config);
  const TCommandResult result = In(Inquiry(36));
  ASSERT_TRUE(result.good());
  EXPECT_EQ(result.transferred, 36u);  // the allocation length, not more
  EXPECT_EQ(in_[36], 0xEE);
  EXPECT_EQ(in_[0], 0x05);
  EXPECT_EQ(in_[1], 0x80);  // removable
  EXPECT_EQ(std::string(in_.begin() + 8, in_.begin() + 36), "ZAMO    BURNER 2000     1.00");
  ASSERT_TRUE(In(Cdb(0x12, 6).Byte(1, 1).Byte(2, 0x00).Byte(4, 255)).good());
  EXPECT_EQ(std::vector<uint8_t>(in_.begin() + 1, in_.begin() + 6), (std::vector<uint8_t>{0x00, 0, 2, 0x00, 0x80}));
  EXPECT_EQ(SenseOf(In(Cdb(0x12, 6).Byte(1, 1).Byte(2, 0x83).Byte(4, 255))), kInvalidCdb);
  EXPECT_EQ(SenseOf(In(Cdb(0x12, 6).Byte(2, 0x80).Byte(4, 255))), kInvalidCdb);  // a page without EVPD
}

TEST_F(Drive, RefusesUnknownCommandsAndShortCdbs) {
  Load(TMediaKind::kCdR);
  EXPECT_EQ(SenseOf(None(Cdb(0xC5, 12))), (TSenseCode{5, 0x20, 0}));
  EXPECT_EQ(SenseOf(None(Cdb(0x02, 6))), (TSenseCode{5, 0x20, 0}));
  const Cdb short_read = Cdb(0x28, 6);  // READ (10) in 6 bytes
  EXPECT_EQ(SenseOf(unit_->Execute(short_read.bytes(), TDataDirection::kIn, in_)), kInvalidCdb);
  EXPECT_EQ(SenseOf(unit_->Execute({}, TDataDirection::kNone, {})), (TSenseCode{5, 0x20, 0}));
}

TEST_F(Drive, ProfileListFlagsOnlyTheLoadedDisc) {
  Load(TMediaKind::kDvdPlusR);
  ASSERT_TRUE(In(GetConfiguration(0, 0)).good());
  EXPECT_EQ(GetBe16(in_, 6), 0x001B);
  ASSERT_EQ(GetBe16(in_, 8), 0x0000);
  const uint8_t count = in_[11] / 4;
  EXPECT_EQ(count, 11);
  std::vector<uint16_t> current;
  for (uint8_t i = 0; i < count; ++i)
    if (in_[12 + 4 * i + 2] & 1) current.push_back(GetBe16(in_, 12 + 4 * i));
  EXPECT_EQ(current, (std::vector<uint16_t>{0x001B}));

  // Request type 1: current features only; CD writing is not among them.
  ASSERT_TRUE(In(GetConfiguration(1, 0)).good());
  const uint32_t end = GetBe32(in_, 0) + 4;
  std::vector<uint16_t> codes;
  for (uint32_t at = 8; at < end; at += 4 + in_[at + 3]) {
    codes.push_back(GetBe16(in_, at));
    EXPECT_EQ(in_[at + 2] & 1, 1);
  }
  EXPECT_TRUE(std::find(codes.begin(), codes.end(), 0x002B) != codes.end());
  EXPECT_TRUE(std::find(codes.begin(), codes.end(), 0x002D) == codes.end());

  // Request type 2: that one feature, write bit set; a feature the drive lacks: the header alone.
  ASSERT_TRUE(In(GetConfiguration(2, 0x002B)).good());
  EXPECT_EQ(GetBe32(in_, 0), 4u + 8);
  EXPECT_EQ(in_[12], 0x01);
  ASSERT_TRUE(In(GetConfiguration(2, 0x0040)).good());
  EXPECT_EQ(GetBe32(in_, 0), 4u);
  EXPECT_EQ(SenseOf(In(GetConfiguration(3, 0))), kInvalidCdb);
}

TEST_F(Drive, CapabilitiesPageAndSpeeds) {
  Load(TMediaKind::kCdR);
  ASSERT_TRUE(In(ModeSense(0x2A)).good());
  EXPECT_EQ(GetBe16(in_, 6), 0);  // no block descriptor
  const uint8_t* page = &in_[8];
  EXPECT_EQ(page[0], 0x2A);
  EXPECT_EQ(page[2] & 0x3F, 0x3F);  // reads CD-R ... DVD-RAM
  EXPECT_EQ(page[3] & 0x37, 0x37);  // writes CD-R, CD-RW, test write, DVD-R, DVD-RAM
  EXPECT_EQ(page[4] & 0x80, 0x80);  // BUF
  EXPECT_EQ(GetBe16(in_, 8 + 8), 8467);  // 48x
  EXPECT_EQ(GetBe16(in_, 8 + 12), 2048);
  EXPECT_EQ(GetBe16(in_, 8 + 18), 8467);
  EXPECT_EQ(GetBe16(in_, 0), 6 + 2 + page[1]);

  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 3000)).good());
  EXPECT_EQ(unit_->CurrentWriteSpeed(), 2822);  // 16x, the fastest not above the request
  ASSERT_TRUE(None(SetCdSpeed(0xFFFF, 2)).good());  // the writer's idle speed
  EXPECT_EQ(unit_->CurrentWriteSpeed(), 706);
  ASSERT_TRUE(In(ModeSense(0x2A)).good());
  EXPECT_EQ(GetBe16(in_, 8 + 20), 706);
  EXPECT_EQ(GetBe16(in_, 8 + 14), 8467);

  EXPECT_EQ(SenseOf(In(ModeSense(0x30))), kInvalidCdb);  // no vendor page
  EXPECT_EQ(SenseOf(In(ModeSense(0x05, 3))), (TSenseCode{5, 0x39, 0}));
  ASSERT_TRUE(In(ModeSense(0x05, 1)).good());  // changeable values
  EXPECT_EQ(in_[8 + 2], 0x7F);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x11, 0xC4)).good());
  ASSERT_TRUE(In(ModeSense(0x05, 2)).good());  // defaults stay defaults
  EXPECT_EQ(in_[8 + 2], 0x01);
  ASSERT_TRUE(In(ModeSense(0x05)).good());
  EXPECT_EQ(in_[8 + 2], 0x11);
}

TEST_F(Drive, TrayPreventionAndMediumChange) {
  std::chrono::milliseconds now{0};
  Load(Config(TMediaKind::kCdR), [&now] { return std::chrono::steady_clock::time_point{} + now; });
  ASSERT_TRUE(None(PreventAllow(true)).good());
  EXPECT_EQ(SenseOf(None(StartStop(2))), (TSenseCode{5, 0x53, 0x02}));
  ASSERT_TRUE(None(PreventAllow(false)).good());
  ASSERT_TRUE(None(StartStop(2)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x3A, 0x02}));
  EXPECT_EQ(SenseOf(In(ReadDiscInfo())), (TSenseCode{2, 0x3A, 0x02}));
  EXPECT_TRUE(In(Inquiry()).good());
  EXPECT_EQ(CurrentProfile(), 0x0000);
  ASSERT_TRUE(In(RequestSense()).good());  // the standing condition, not "no sense"
  EXPECT_EQ(in_[2], 0x02);
  EXPECT_EQ(in_[12], 0x3A);
  EXPECT_EQ(in_[13], 0x02);

  // A loaded disc spins up: not ready, no profile yet, then the unit attention.
  ASSERT_TRUE(None(StartStop(3)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x04, 0x01}));
  EXPECT_EQ(SenseOf(In(ReadDiscInfo())), (TSenseCode{2, 0x04, 0x01}));
  EXPECT_EQ(CurrentProfile(), 0x0000);
  ASSERT_TRUE(In(RequestSense()).good());
  EXPECT_EQ(in_[12], 0x04);
  EXPECT_EQ(in_[13], 0x01);
  now += kDefaultSpinUp - std::chrono::milliseconds(1);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x04, 0x01}));
  now += std::chrono::milliseconds(1);
  EXPECT_EQ(CurrentProfile(), 0x0009);  // GET CONFIGURATION reports no attention
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{6, 0x28, 0}));  // once
  EXPECT_TRUE(None(TestUnitReady()).good());
  ASSERT_TRUE(None(StartStop(3)).good());  // loading a loaded disc changes nothing
  EXPECT_TRUE(None(TestUnitReady()).good());

  // REQUEST SENSE takes the unit attention instead.
  ASSERT_TRUE(None(StartStop(2)).good());
  ASSERT_TRUE(None(StartStop(3)).good());
  now += kDefaultSpinUp;
  ASSERT_TRUE(In(RequestSense()).good());
  EXPECT_EQ(in_[0], 0x70);
  EXPECT_EQ(in_[2], 0x06);
  EXPECT_EQ(in_[12], 0x28);
  ASSERT_TRUE(In(RequestSense()).good());
  EXPECT_EQ(in_[2], 0x00);
  EXPECT_EQ(in_[7], 10);
  EXPECT_TRUE(None(TestUnitReady()).good());
}

TEST_F(Drive, SpinUpTimeIsConfigurableAndAForgivingDriveIsReadyAtOnce) {
  std::chrono::milliseconds now{0};
  const TClock clock = [&now] { return std::chrono::steady_clock::time_point{} + now; };
  std::vector<TDriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveList("cd-r:" + ImagePath() + ",spinup=2.5;cd-r:" + ImagePath() + ",lenient=spinup",
                             &configs, &error))
      << error;
  Load(configs[0], clock);
  ASSERT_TRUE(None(StartStop(2)).good());
  ASSERT_TRUE(None(StartStop(3)).good());
  now += std::chrono::milliseconds(2'499);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x04, 0x01}));
  now += std::chrono::milliseconds(1);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{6, 0x28, 0}));

  Load(configs[1], clock);
  ASSERT_TRUE(None(StartStop(2)).good());
  ASSERT_TRUE(None(StartStop(3)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{6, 0x28, 0}));
  EXPECT_TRUE(None(TestUnitReady()).good());
}

TEST_F(Drive, StartsWithTheConfiguredTrayAndDisc) {
  TDriveConfig open = Config(TMediaKind::kDvdR);
  open.tray_open = true;
  Load(open);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x3A, 0x02}));
  TDriveConfig empty = Config(TMediaKind::kDvdR);
  empty.no_disc = true;
  Load(empty);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x3A, 0x01}));
  ASSERT_TRUE(None(StartStop(3)).good());
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x3A, 0x01}));  // no attention: nothing was loaded
}

TEST_F(Drive, InjectedNotReadyBusyAndCalibrationFaults) {
  TDriveConfig config = Config(TMediaKind::kCdR);
  config.not_ready_commands = 2;
  config.busy_commands = 1;
  config.opc_fails = true;
  Load(config);
  EXPECT_TRUE(In(Inquiry()).good());  // INQUIRY is never held back
  const TCommandResult busy = None(TestUnitReady());
  EXPECT_EQ(busy.status, STATUS_BUSY);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x04, 0x01}));
  EXPECT_EQ(SenseOf(In(ReadDiscInfo())), (TSenseCode{2, 0x04, 0x01}));
  EXPECT_TRUE(None(TestUnitReady()).good());
  EXPECT_EQ(SenseOf(None(SendOpc())), (TSenseCode{3, 0x73, 0x03}));
  EXPECT_TRUE(None(Cdb(0x54, 10)).good());  // without DoOpc nothing is calibrated
}

TEST_F(Drive, InjectedWriteErrorStopsAtItsBlock) {
  TDriveConfig config = Config(TMediaKind::kCdR);
  config.write_errors.push_back({40, {0x3, 0x0C, 0x00}});
  Load(config);
  EXPECT_EQ(WriteBlocks(0, 27), kGood);
  EXPECT_EQ(WriteBlocks(27, 27), (TSenseCode{3, 0x0C, 0x00}));
  EXPECT_EQ(Track(1).next_writable, 40u);  // the blocks before the fault landed
  EXPECT_EQ(WriteBlocks(40, 1), (TSenseCode{3, 0x0C, 0x00}));
}

TEST_F(Drive, WriteProtectedDiscRefusesEveryChange) {
  TDriveConfig config = Config(TMediaKind::kDvdPlusRw);
  config.write_protected = true;
  Load(config);
  const TSenseCode protected_disc{7, 0x27, 0};
  EXPECT_EQ(WriteBlocks(0, 32), protected_disc);
  EXPECT_EQ(SenseOf(Out(FormatUnit(), FormatList(2'295'104, 0x26, 0))), protected_disc);
  EXPECT_EQ(SenseOf(None(Close(3, 0))), protected_disc);
  config.kind = TMediaKind::kCdRw;
  Load(config);
  EXPECT_EQ(SenseOf(None(Blank(1))), protected_disc);
}

TEST_F(Drive, PressedCdHoldsTheImageFileAndRefusesWrites) {
  std::vector<char> iso(3 * 2048 + 100);
  for (size_t i = 0; i < iso.size(); ++i) iso[i] = static_cast<char>(i * 7);
  std::ofstream(ImagePath(), std::ios::binary).write(iso.data(), static_cast<std::streamsize>(iso.size()));
  Load(TMediaKind::kCdRom);
  EXPECT_EQ(CurrentProfile(), 0x0008);
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 2);
  EXPECT_FALSE(disc.erasable);
  // The disc is the file's three whole blocks; the 100 bytes after them are
  // no block of it (pressed_image_test.cpp goes further).
  ASSERT_TRUE(In(Read10(0, 3), 3 * 2048).good());
  EXPECT_TRUE(std::equal(iso.begin(), iso.begin() + 3 * 2048, in_.begin(),
                         [](char a, uint8_t b) { return uint8_t(a) == b; }));
  EXPECT_EQ(SenseOf(In(Read10(3, 1))), (TSenseCode{5, 0x21, 0}));
  ASSERT_TRUE(In(ReadCapacity()).good());
  EXPECT_EQ(GetBe32(in_, 0), 2u);
  ASSERT_TRUE(In(ReadToc(0)).good());
  EXPECT_EQ(GetBe32(in_, 12 + 4), 3u);  // lead-out after the three blocks
  EXPECT_EQ(SenseOf(In(ReadToc(4, true))), kInvalidCdb);  // pressed: no ATIP
  EXPECT_EQ(WriteBlocks(4, 1), (TSenseCode{5, 0x30, 0x05}));
  EXPECT_EQ(SenseOf(None(Close(2, 0))), (TSenseCode{5, 0x30, 0x05}));
  EXPECT_EQ(SenseOf(None(ReserveTrack(10))), (TSenseCode{5, 0x30, 0x05}));
}

TEST_F(Drive, LongOperationReportsProgressUntilItEnds) {
  auto now = std::chrono::steady_clock::time_point{};
  Load(Config(TMediaKind::kCdRw), [&now] { return now; });
  unit_->SetOperationTimes({.blank = std::chrono::seconds(10)});
  ASSERT_TRUE(None(Blank(0, /*immediate=*/true)).good());
  now += std::chrono::seconds(5);
  const TCommandResult busy = None(TestUnitReady());
  EXPECT_EQ(SenseOf(busy), (TSenseCode{2, 0x04, 0x07}));
  EXPECT_EQ(busy.sense[15], 0x80);  // progress indication valid
  EXPECT_EQ(GetBe16(busy.sense, 16), 32768);
  EXPECT_EQ(SenseOf(In(ReadDiscInfo())), (TSenseCode{2, 0x04, 0x07}));
  EXPECT_TRUE(In(Inquiry()).good());
  ASSERT_TRUE(In(RequestSense()).good());
  EXPECT_EQ(in_[12], 0x04);
  EXPECT_EQ(in_[13], 0x07);
  now += std::chrono::seconds(5);
  EXPECT_TRUE(None(TestUnitReady()).good());
  ASSERT_TRUE(In(RequestSense()).good());
  EXPECT_EQ(in_[12], 0x00);
}

TEST_F(Drive, BuffersShorterThanTheAnswerAreNeverOverrun) {
  Load(TMediaKind::kCdR);
  for (const Cdb& cdb : {GetConfiguration(0, 0), ReadDiscInfo(), ReadTrackInfo(1, 1), ModeSense(0x3F),
                         ReadFormatCapacities(), ReadToc(4, true), Cdb(0x5C, 10).Be16(7, 12)}) {
    std::vector<uint8_t> buffer(7 + 16, 0xCC);
    const TCommandResult result = unit_->Execute(cdb.bytes(), TDataDirection::kIn, std::span(buffer).first(7));
    EXPECT_TRUE(result.good()) << int(cdb.opcode());
    EXPECT_EQ(result.transferred, 7u);
    EXPECT_TRUE(std::all_of(buffer.begin() + 7, buffer.end(), [](uint8_t b) { return b == 0xCC; }));
  }
  // A write whose buffer is shorter than its blocks is a transport error, not a partial write.
  std::vector<uint8_t> half(1024, 0);
  const TCommandResult short_write = unit_->Execute(Write10(0, 1).bytes(), TDataDirection::kOut, half);
  EXPECT_EQ(short_write.host_status, HASTAT_DO_DU);
  EXPECT_EQ(Track(1).next_writable, 0u);
}

}  // namespace
}  // namespace zamo::emu::test
