// Byte-level encoding of names, directory records, path tables and volume
// descriptors, against worked examples (their dates: platform/date_time_test).
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "burner/compilation/descriptors.h"
#include "burner/compilation/dir_record.h"
#include "burner/compilation/entries.h"
#include "burner/compilation/names.h"
#include "burner/compilation/path_table.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/file_attributes.h"
#include "tests/compilation/burner_fixture.h"

namespace zamo {
namespace {

using test::Ucs2;

std::vector<uint8_t> Hex(std::initializer_list<int> bytes) { return {bytes.begin(), bytes.end()}; }

std::string Text(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(NamesTest, FoldersCreatedByNameGetThirteenCharacterIsoNames) {
  EXPECT_EQ(MakeShortDirName("Ma nouvelle archive"), "MA_NOUVELLE_A");
  EXPECT_EQ(MakeShortDirName("New folder"), "NEW_FOLDER");
  EXPECT_EQ(MakeShortDirName("Données"), "DONN_ES");
  EXPECT_EQ(MakeShortDirName("a{b}~c|d"), "A_B__C_D");  // 7Bh and above become "_"
  EXPECT_EQ(MakeShortDirName("x"), "X");
}

TEST(NamesTest, IdentifiersOfRecords) {
  TFEntry file;
  file.IsoName = "MYDOCU~1.TXT";
  file.LongName = "My Document.txt";
  EXPECT_EQ(IsoIdentifier(file), "MYDOCU~1.TXT;1");
  EXPECT_EQ(JolietIdentifier(file), Ucs2(u"My Document.txt;1"));

  TFEntry readme;
  readme.IsoName = "README.";
  readme.LongName = "readme.";
  EXPECT_EQ(IsoIdentifier(readme), "README.;1");            // ISO 9660 needs the separator
  EXPECT_EQ(JolietIdentifier(readme), Ucs2(u"readme;1"));   // Joliet readers show "readme"

  TFEntry dir;
  dir.IsoName = "PHOTOS";
  dir.LongName = "photos";
  dir.Attr = faDirectory;
  EXPECT_EQ(IsoIdentifier(dir), "PHOTOS");
  EXPECT_EQ(JolietIdentifier(dir), Ucs2(u"photos"));

  TFEntry dot;
  dot.IsoName = dot.LongName = "..";
  EXPECT_EQ(IsoIdentifier(dot), std::string(1, '\1'));
  EXPECT_EQ(JolietIdentifier(dot), std::string(1, '\1'));
}

TEST(NamesTest, JolietNamesSurviveWhatEverySystemCanRead) {
  TFEntry e;
  e.IsoName = "X";
  e.LongName = "Жук 😀 caf\xE9 a:b?.txt";  // Cyrillic, an emoji, a Latin-1 byte, two reserved characters
  EXPECT_EQ(JolietIdentifier(e), Ucs2(u"Жук 😀 café a_b_.txt;1"));
  EXPECT_EQ(JolietNameBytes("été"), Ucs2(u"été"));
  e.LongName = "Données été.txt";
  e.IsoName = "DONN_E~1.TXT";
  EXPECT_EQ(IsoIdentifier(e), "DONN_E~1.TXT;1");
}

TEST(NamesTest, DescriptorFields) {
  std::array<uint8_t, 32> field{};
  PutAnsiField(field, "DONNéES 2007");
  EXPECT_EQ(Text(field), "DONN\xE9" "ES 2007" + std::string(20, ' '));
  PutAnsiField(field, std::string(40, 'A'));
  EXPECT_EQ(Text(field), std::string(32, 'A'));
  PutUcs2Field(field, "Données 2007");
  EXPECT_EQ(Text(field), Ucs2(u"Données 2007    "));
  PutUcs2Field(field, std::string(40, 'b'));
  EXPECT_EQ(Text(field), Ucs2(std::u16string(16, u'b')));
}

TEST(DirRecordTest, RootRecordWorkedExample) {
  // The root's own record in a one-sector root directory at sector 23, dated
  // 15 June 2007 10:30:00 in a zone one hour east of Greenwich.
  std::array<uint8_t, 64> out{};
  const RecordDate date = MakeRecordDate(EncodeDateTime({2007, 6, 15, 10, 30, 0, 0}), 4);
  const size_t length = PutDirectoryRecord(out, {23, 2048, date, kFlagDirectory, std::string_view("\0", 1)});
  ASSERT_EQ(length, 34u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 34),
            Hex({0x22, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x08,
                 0x00, 0x6B, 0x06, 0x0F, 0x0A, 0x1E, 0x00, 0x04, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x01,
                 0x00}));
}

TEST(DirRecordTest, LengthsAreEvenAndPadded) {
  EXPECT_EQ(DirectoryRecordLength(1), 34u);
  EXPECT_EQ(DirectoryRecordLength(12), 46u);  // even identifier: one padding byte
  EXPECT_EQ(DirectoryRecordLength(13), 46u);
  // The longest Joliet file name, ";1" included, still fits a length byte.
  EXPECT_LE(DirectoryRecordLength(2 * (kMaxFileLongName + 2)), 255u);
  EXPECT_GT(DirectoryRecordLength(2 * (kMaxFileLongName + 3)), 255u);
  EXPECT_LE(DirectoryRecordLength(2 * kMaxDirLongName), 255u);
  EXPECT_GT(DirectoryRecordLength(2 * (kMaxDirLongName + 1)), 255u);
  EXPECT_LE(DirectoryRecordLength(kMaxIsoIdentifier), 255u);
}

TEST(PathTableTest, WorkedExample) {
  // Root at sector 23 with one subdirectory DATA at sector 24.
  std::array<uint8_t, 64> out{};
  size_t n = PutPathTableRecord(out, std::string_view("\0", 1), 23, 1, ByteOrder::kLittle);
  n += PutPathTableRecord(std::span(out).subspan(n), "DATA", 24, 1, ByteOrder::kLittle);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n),
            Hex({0x01, 0x00, 0x17, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01,
                 0x00, 0x44, 0x41, 0x54, 0x41}));
  out.fill(0);
  n = PutPathTableRecord(out, std::string_view("\0", 1), 23, 1, ByteOrder::kBig);
  n += PutPathTableRecord(std::span(out).subspan(n), "DATA", 24, 1, ByteOrder::kBig);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n),
            Hex({0x01, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00,
                 0x01, 0x44, 0x41, 0x54, 0x41}));
  EXPECT_EQ(PathTableRecordLength(3), 12u);  // odd identifier: one padding byte
}

VolumeFields SomeVolume() {
  VolumeFields f;
  f.ids.volume = "Données 2007";
  f.ids.system = "linux";
  f.ids.application = "zamo";
  f.ids.copyright_file = "copying.txt";
  f.volume_space_size = 0x12345;
  f.path_table_size = 34;
  f.path_table_l = 19;
  f.path_table_m = 20;
  f.root_extent = 23;
  f.root_size = 4096;
  f.creation = EncodeDateTime({2007, 6, 15, 14, 5, 9, 250});
  f.modification = EncodeDateTime({2008, 1, 2, 3, 4, 5, 6});
  return f;
}

TEST(DescriptorTest, PrimaryVolumeDescriptor) {
  const Sector s = MakePrimaryDescriptor(SomeVolume());
  std::span<const uint8_t> b(s);
  EXPECT_EQ(s[0], 1);
  EXPECT_EQ(Text(b.subspan(1, 5)), "CD001");
  EXPECT_EQ(s[6], 1);
  EXPECT_EQ(Text(b.subspan(8, 32)), "LINUX" + std::string(27, ' '));
  EXPECT_EQ(Text(b.subspan(40, 32)), "DONN\xE9" "ES 2007" + std::string(20, ' '));
  EXPECT_EQ(GetLe32(b, 80), 0x12345u);
  EXPECT_EQ(GetBe32(b, 84), 0x12345u);
  EXPECT_EQ(Text(b.subspan(88, 32)), std::string(32, '\0'));  // no escape sequence in the primary descriptor
  EXPECT_EQ(GetLe16(b, 120), 1);
  EXPECT_EQ(GetBe16(b, 126), 1);
  EXPECT_EQ(GetLe16(b, 128), 2048);
  EXPECT_EQ(GetBe16(b, 130), 2048);
  EXPECT_EQ(GetLe32(b, 132), 34u);
  EXPECT_EQ(GetLe32(b, 140), 19u);
  EXPECT_EQ(GetLe32(b, 144), 0u);
  EXPECT_EQ(GetBe32(b, 148), 20u);
  EXPECT_EQ(s[156], 34);
  EXPECT_EQ(GetLe32(b, 158), 23u);
  EXPECT_EQ(GetLe32(b, 166), 4096u);
  EXPECT_EQ(Text(b.subspan(174, 7)), std::string(7, '\0'));
  EXPECT_EQ(s[181], 2);
  EXPECT_EQ(s[188], 1);
  EXPECT_EQ(s[189], 0);
  EXPECT_EQ(Text(b.subspan(574, 128)), "ZAMO" + std::string(124, ' '));
  EXPECT_EQ(Text(b.subspan(702, 37)), "COPYING.TXT" + std::string(26, ' '));
  EXPECT_EQ(Text(b.subspan(813, 17)), std::string("2007061514050925") + '\0');
  EXPECT_EQ(Text(b.subspan(830, 17)), std::string("2008010203040506") + '\0');
  EXPECT_EQ(Text(b.subspan(847, 17)), std::string("0000000000000000") + '\0');
  EXPECT_EQ(Text(b.subspan(864, 17)), std::string("0000000000000000") + '\0');
  EXPECT_EQ(s[881], 1);
  EXPECT_EQ(Text(b.subspan(1024, 8)), std::string(8, ' '));
  EXPECT_EQ(Text(b.subspan(1032, 1016)), std::string(1016, '\0'));
  EXPECT_EQ(Text(b.subspan(883, 141)), std::string(141, '\0'));
}

TEST(DescriptorTest, JolietSupplementaryDescriptor) {
  const Sector s = MakeJolietDescriptor(SomeVolume());
  std::span<const uint8_t> b(s);
  EXPECT_EQ(s[0], 2);
  EXPECT_EQ(Text(b.subspan(1, 5)), "CD001");
  EXPECT_EQ(s[7], 0);
  EXPECT_EQ(Text(b.subspan(8, 32)), Ucs2(u"linux           "));  // as typed, not upper-cased
  EXPECT_EQ(Text(b.subspan(40, 32)), Ucs2(u"Données 2007    "));
  EXPECT_EQ(Text(b.subspan(88, 3)), "\x25\x2F\x40");
  EXPECT_EQ(Text(b.subspan(702, 37)), Ucs2(u"copying.txt       ") + '\0');
  EXPECT_EQ(Text(b.subspan(574, 128)), Ucs2(u"zamo" + std::u16string(60, u' ')));
  EXPECT_EQ(Text(b.subspan(813, 16)), "2007061514050925");
  EXPECT_EQ(Text(b.subspan(1024, 8)), std::string(8, ' '));
  EXPECT_EQ(s[881], 1);
}

TEST(DescriptorTest, SetTerminator) {
  const Sector s = MakeTerminator();
  EXPECT_EQ(s[0], 0xFF);
  EXPECT_EQ(Text(std::span(s).subspan(1, 6)), "CD001\x01");
  EXPECT_EQ(Text(std::span(s).subspan(7)), std::string(2041, '\0'));
}

}  // namespace
}  // namespace zamo
