// The on-disc structures read back: a record's length checks, names with
// their version suffix and encodings, and which supplementary descriptor is
// a Joliet one. The recording dates are read in burner/platform/date_time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "burner/compilation/dir_record.h"
#include "burner/import/iso_records.h"

namespace zamo::iso {
namespace {

std::vector<uint8_t> SectorWith(const std::string& id, uint32_t extent = 30, uint32_t size = 5) {
  std::vector<uint8_t> sector(2048, 0);
  RecordFields f;
  f.extent = extent;
  f.size = size;
  f.id = id;
  PutDirectoryRecord(sector, f);
  return sector;
}

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(ParseRecord, ReadsTheFieldsAndCheckEveryLengthAgainstRecordAndSector) {
  std::vector<uint8_t> sector = SectorWith("README.TXT;1", 1234, 5678);
  DirRecord r;
  ASSERT_EQ(ParseRecord(sector, 0, r), Parse::kRecord);
  EXPECT_EQ(r.length, 33 + 12 + 1);
  EXPECT_EQ(r.extent, 1234u);
  EXPECT_EQ(r.size, 5678u);
  EXPECT_EQ(std::string(r.id.begin(), r.id.end()), "README.TXT;1");
  EXPECT_EQ(ParseRecord(sector, r.length, r), Parse::kEndOfSector);

  sector[0] = 20;  // shorter than a record head
  EXPECT_EQ(ParseRecord(sector, 0, r), Parse::kMalformed);
  sector[0] = 46;
  EXPECT_EQ(ParseRecord(sector, 2048 - 40, r), Parse::kEndOfSector);  // zeros there
  sector[2048 - 40] = 46;                                             // runs past the sector's end
  EXPECT_EQ(ParseRecord(sector, 2048 - 40, r), Parse::kMalformed);
  sector[32] = 14;  // identifier longer than the record holds
  EXPECT_EQ(ParseRecord(sector, 0, r), Parse::kBadRecord);
  EXPECT_TRUE(r.id.empty());
  sector[32] = 0;
  EXPECT_EQ(ParseRecord(sector, 0, r), Parse::kBadRecord);
}

TEST(ParseRecord, SelfAndParentAreTheOneByteIdentifiers) {
  DirRecord r;
  auto self = SectorWith(std::string(1, '\0'));
  ASSERT_EQ(ParseRecord(self, 0, r), Parse::kRecord);
  EXPECT_TRUE(IsSelfOrParent(r));
  auto parent = SectorWith(std::string(1, '\1'));
  ASSERT_EQ(ParseRecord(parent, 0, r), Parse::kRecord);
  EXPECT_TRUE(IsSelfOrParent(r));
  auto other = SectorWith(std::string(1, '\2'));
  ASSERT_EQ(ParseRecord(other, 0, r), Parse::kRecord);
  EXPECT_FALSE(IsSelfOrParent(r));
}

TEST(Names, VersionSuffixIsCutOnlyWhereItIsOne) {
  EXPECT_EQ(CutVersionSuffix("README.TXT;1"), "README.TXT");
  EXPECT_EQ(CutVersionSuffix("FILE.;1"), "FILE.");
  EXPECT_EQ(CutVersionSuffix("x;1"), "x");  // a one-letter name loses its suffix too
  EXPECT_EQ(CutVersionSuffix("a;b"), "a;b");
  EXPECT_EQ(CutVersionSuffix("DIR"), "DIR");
  EXPECT_EQ(CutVersionSuffix("A;12"), "A");
}

TEST(Names, JolietIsUtf16BigEndianWithSurrogatesAndAnOddByteDropped) {
  const std::string id = std::string("\0E\0t\0\xe9\xd8\x3d\xde\x00\0;\0" "1", 14);  // "Eté😀;1"
  EXPECT_EQ(JolietNameToAnsi(Bytes(id)), "Et\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(JolietNameToAnsi(Bytes(std::string("\0a\0b\0", 5))), "ab");
  // An unpaired surrogate cannot be UTF-8: it becomes U+FFFD.
  EXPECT_EQ(JolietNameToAnsi(Bytes(std::string("\xd8\x00\0z", 4))), "\xef\xbf\xbdz");
}

TEST(Names, IsoIdentifiersAreWindows1252UnlessTheyAreUtf8) {
  EXPECT_EQ(IsoNameToAnsi(Bytes("CAF\xc9.TXT;1")), "CAF\xc3\x89.TXT");
  EXPECT_EQ(IsoNameToAnsi(Bytes("\x80URO;1")), "\xe2\x82\xac" "URO");
  EXPECT_EQ(IsoNameToAnsi(Bytes("caf\xc3\xa9.txt;1")), "caf\xc3\xa9.txt");
}

TEST(Names, NoNameLeavesItsFolder) {
  std::string name = "a/../../etc";
  EXPECT_TRUE(MakeSafeName(name));
  EXPECT_EQ(name, "a_.._.._etc");
  name = std::string("n\0l", 3);
  EXPECT_TRUE(MakeSafeName(name));
  EXPECT_EQ(name, "n_l");
  for (std::string bad : {"", ".", ".."}) EXPECT_FALSE(MakeSafeName(bad)) << bad;
  name = "...";
  EXPECT_TRUE(MakeSafeName(name));
}

TEST(Descriptors, OnlyASupplementaryDescriptorWithAUcs2EscapeIsJoliet) {
  std::vector<uint8_t> sector(2048, 0);
  sector[0] = 2;
  std::memcpy(sector.data() + 1, "CD001", 5);
  EXPECT_EQ(ClassifyDescriptor(sector), Descriptor::kOther);  // an ISO 9660:1999 enhanced descriptor
  for (uint8_t level : {0x40, 0x43, 0x45}) {
    sector[88] = 0x25, sector[89] = 0x2F, sector[90] = level;
    EXPECT_EQ(ClassifyDescriptor(sector), Descriptor::kJoliet);
  }
  sector[0] = 1;
  EXPECT_EQ(ClassifyDescriptor(sector), Descriptor::kPrimary);
  sector[0] = 255;
  EXPECT_EQ(ClassifyDescriptor(sector), Descriptor::kTerminator);
  sector[3] = 'X';
  EXPECT_EQ(ClassifyDescriptor(sector), Descriptor::kOther);
}

}  // namespace
}  // namespace zamo::iso
