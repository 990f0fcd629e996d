// The parameter list builders: each named field lands on its bytes and bits
// and no others, reserved fields go as zero, and the lists the component
// sends come out byte for byte as MMC lays them out.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "burner/drive/parameter_lists.h"

namespace zamo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(std::span<const uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

struct FieldCase {
  const char* name;
  std::function<void(WriteParametersPage&)> set;
  size_t at;           // the byte the field is in
  uint8_t from_ones;   // that byte after the setter, on a page of FFh bytes
  uint8_t from_zeros;  // that byte after the setter, on a page of zeros
};

TEST(WriteParametersPageTest, EachFieldTouchesOnlyItsBits) {
  const std::vector<FieldCase> cases = {
      {"page length", [](auto& p) { p.PageLength(0x32); }, 1, 0x32, 0x32},
      {"BUFE off", [](auto& p) { p.BufferUnderrunProtection(false); }, 2, 0xBF, 0x00},
      {"BUFE on", [](auto& p) { p.BufferUnderrunProtection(true); }, 2, 0xFF, 0x40},
      {"LS_V on", [](auto& p) { p.LinkSizeValid(true); }, 2, 0xFF, 0x20},
      {"test write off", [](auto& p) { p.TestWrite(false); }, 2, 0xEF, 0x00},
      {"test write on", [](auto& p) { p.TestWrite(true); }, 2, 0xFF, 0x10},
      // The write type clears the reserved bit 7 of its byte.
      {"write type SAO", [](auto& p) { p.WriteType(TWriteType::kSessionAtOnce); }, 2, 0x72, 0x02},
      {"write type raw", [](auto& p) { p.WriteType(TWriteType::kRaw); }, 2, 0x73, 0x03},
      {"multisession 00b", [](auto& p) { p.Multisession(WriteParametersPage::kNoNextSession); }, 3, 0x3F, 0x00},
      {"multisession 11b", [](auto& p) { p.Multisession(WriteParametersPage::kNextSessionAllowed); }, 3, 0xFF, 0xC0},
      {"fixed packet", [](auto& p) { p.FixedPacket(true); }, 3, 0xFF, 0x20},
      {"copy off", [](auto& p) { p.Copy(false); }, 3, 0xEF, 0x00},
      {"track mode 5", [](auto& p) { p.TrackMode(5); }, 3, 0xF5, 0x05},
      {"data block type", [](auto& p) { p.DataBlockType(8); }, 4, 0x08, 0x08},
      {"link size", [](auto& p) { p.LinkSize(16); }, 5, 0x10, 0x10},
      {"application code", [](auto& p) { p.HostApplicationCode(0xFF); }, 7, 0x3F, 0x3F},
      {"session format", [](auto& p) { p.SessionFormat(0x20); }, 8, 0x20, 0x20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint8_t fill : {uint8_t{0xFF}, uint8_t{0x00}}) {
      const Bytes drive(54, fill);
      WriteParametersPage page(drive);
      const Bytes before = Of(page.bytes());
      c.set(page);
      const Bytes after = Of(page.bytes());
      ASSERT_EQ(after.size(), 54u);
      EXPECT_EQ(after[c.at], fill ? c.from_ones : c.from_zeros);
      for (size_t i = 0; i < after.size(); ++i) {
        if (i == c.at) continue;
        EXPECT_EQ(after[i], before[i]) << "byte " << i;
      }
    }
  }
}

TEST(WriteParametersPageTest, ReservedBytesGoAsZeroAndTheDrivesOwnBytesStay) {
  Bytes drive(60);
  for (size_t i = 0; i < drive.size(); ++i) drive[i] = static_cast<uint8_t>(0xA0 + i);
  WriteParametersPage page(drive);
  page.PacketSize(0x01020304).AudioPauseLength(150);
  const Bytes bytes = Of(page.bytes());
  ASSERT_EQ(bytes.size(), 60u);
  EXPECT_EQ(bytes[6], 0);
  EXPECT_EQ(bytes[9], 0);
  EXPECT_EQ((Bytes{bytes[10], bytes[11], bytes[12], bytes[13]}), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ((Bytes{bytes[14], bytes[15]}), (Bytes{0, 150}));
  for (size_t i : {0, 1, 2, 3, 4, 5, 7, 8, 16, 31, 48, 59}) EXPECT_EQ(bytes[i], drive[i]) << "byte " << i;

  // MODE SELECT carries an 8-byte header of zeros, then the page's first bytes.
  const Bytes list = page.ModeSelectList(52);
  ASSERT_EQ(list.size(), 60u);
  EXPECT_EQ(Bytes(list.begin(), list.begin() + 8), Bytes(8, 0));
  EXPECT_EQ(Bytes(list.begin() + 8, list.end()), Bytes(bytes.begin(), bytes.begin() + 52));
}

TEST(WriteParametersPageTest, AShortPageTakesTheFieldsButSendsOnlyItsOwnBytes) {
  // A drive that reports a page of length 0: its two bytes go back, changed nowhere.
  WriteParametersPage page(Bytes{0x05, 0x00});
  page.WriteType(TWriteType::kRaw).DataBlockType(1).AudioPauseLength(150);
  EXPECT_EQ(Of(page.bytes()), (Bytes{0x05, 0x00}));
  EXPECT_EQ(page.ModeSelectList(2), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x00}));
}

TEST(PerformanceDescriptorTest, FieldsAtTheirOffsetsFlagsZero) {
  const PerformanceDescriptor d = PerformanceDescriptor()
                                      .StartLba(0x00000010)
                                      .EndLba(0x00231237)
                                      .ReadSize(0x1122)
                                      .ReadTime(1000)
                                      .WriteSize(0x3344)
                                      .WriteTime(0x55667788);
  const Bytes expected = {0, 0, 0, 0,                    // flags, reserved
                          0x00, 0x00, 0x00, 0x10,        // start LBA
                          0x00, 0x23, 0x12, 0x37,        // end LBA
                          0x00, 0x00, 0x11, 0x22,        // read size
                          0x00, 0x00, 0x03, 0xE8,        // read time
                          0x00, 0x00, 0x33, 0x44,        // write size
                          0x55, 0x66, 0x77, 0x88};       // write time
  EXPECT_EQ(Of(d.bytes()), expected);
  EXPECT_EQ(d.size(), 28u);
}

TEST(FormatListTest, TheListsTheComponentSends) {
  // A DVD+RW's basic format in the background: 2,295,104 blocks, type 26h.
  EXPECT_EQ(Of(DvdPlusRwBasicFormat().bytes()),
            (Bytes{0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00}));
  // A DVD-RW's quick format without certification, and a DVD-RAM's full
  // format of 2048-byte blocks.
  EXPECT_EQ(Of(FormatList()
                   .Immediate()
                   .DisableCertification()
                   .Blocks(1000)
                   .FormatType(FormatList::kQuickFormat)
                   .TypeParameter(16)
                   .bytes()),
            (Bytes{0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x54, 0x00, 0x00, 0x10}));
  EXPECT_EQ(Of(FormatList().Immediate().Blocks(2236704).FormatType(FormatList::kFullFormat).TypeParameter(2048).bytes()),
            (Bytes{0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20, 0x00, 0x00, 0x08, 0x00}));
  // Without the immediate bit the drive formats before it answers.
  EXPECT_EQ(Of(FormatList().FormatType(FormatList::kQuickGrow).bytes()),
            (Bytes{0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x00}));
}

}  // namespace
}  // namespace zamo
