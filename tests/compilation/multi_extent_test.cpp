// Files of 4 GiB and more in the image head: one record per extent in both
// trees, every extent but the last of 4 GiB - 2048 bytes and flagged "not
// final", the extents one after the other, a file's records together in one
// sector, and the directories sized for them. The file sizes are made up:
// only the head is built, no data is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "burner/compilation/dir_record.h"
#include "tests/compilation/burner_fixture.h"

namespace zamo {
namespace {

using test::BurnerTest;
using test::FileRec;
using test::ParseDirectory;
using test::ParsedRecord;
using test::Ucs2;

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr uint32_t kPart = 0xFFFFF800;  // 4 GiB - 2048: every extent but the last
constexpr uint32_t kPartSectors = kPart / 2048;

class MultiExtentTest : public BurnerTest {
 protected:
  std::span<const uint8_t> SectorAt(int64_t lba, size_t count = 1) const {
    return burner.ImageStream.Memory().subspan(static_cast<size_t>(lba) * 2048, count * 2048);
  }
  std::vector<ParsedRecord> Dir(const TDEntry* dir, bool joliet) const {
    const int64_t lba = joliet ? burner.JolietDirBase + dir->JolietSector : burner.IsoDirBase + dir->IsoSector;
    const int64_t bytes = joliet ? dir->JolietSize : dir->IsoSize;
    return ParseDirectory(SectorAt(lba, static_cast<size_t>(bytes / 2048)));
  }
  void Build() {
    burner.LayoutImage(true, nullptr);
    burner.BuildImageHeader(true, nullptr);
  }
  // The records of `dir` whose identifier is `id`, in order.
  static std::vector<ParsedRecord> RecordsOf(const std::vector<ParsedRecord>& records, const std::string& id) {
    std::vector<ParsedRecord> out;
    for (const ParsedRecord& r : records) {
      if (r.id == id) out.push_back(r);
    }
    return out;
  }
};

TEST_F(MultiExtentTest, FileOf5GiBIsTwoConsecutiveExtentsInBothTrees) {
  AddFile(burner.RootDir, "before.txt", 100);
  ASSERT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("Vidéo.mkv", 5 * kGiB, "VIDEO.MKV", faHidden), false, 0,
                                "/src/Vidéo.mkv"),
            1);
  AddFile(burner.RootDir, "after.txt", 10);
  Build();
  ASSERT_EQ(burner.FirstFileLba, 150);
  const uint32_t video = 151;  // after before.txt's one sector
  const uint32_t after = video + static_cast<uint32_t>(5 * kGiB / 2048);
  EXPECT_EQ(burner.VolumeSpaceSize, after + 1);

  for (const bool joliet : {false, true}) {
    SCOPED_TRACE(joliet ? "Joliet" : "ISO 9660");
    const auto records = Dir(burner.RootDir, joliet);
    ASSERT_EQ(records.size(), 6u);
    const auto parts = RecordsOf(records, joliet ? Ucs2(u"Vidéo.mkv;1") : "VIDEO.MKV;1");
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].extent, video);
    EXPECT_EQ(parts[0].size, kPart);
    EXPECT_EQ(parts[0].flags, 0x81);  // hidden, and more extents follow
    EXPECT_EQ(parts[1].extent, video + kPartSectors);
    EXPECT_EQ(parts[1].size, static_cast<uint32_t>(5 * kGiB - kPart));
    EXPECT_EQ(parts[1].flags, 0x01);  // the last: hidden only
    const size_t id = parts[0].id.size();
    EXPECT_EQ(parts[1].offset, parts[0].offset + 33 + id + (id % 2 == 0 ? 1 : 0));  // side by side
    EXPECT_EQ(std::string(parts[0].date, parts[0].date + 7), std::string(parts[1].date, parts[1].date + 7));
    EXPECT_EQ(records[5].extent, after);  // the next file follows the whole data
    EXPECT_EQ(records[5].flags, 0);
  }
}

struct SplitCase {
  const char* name;
  int64_t size;
  std::vector<uint32_t> parts;  // data lengths of the records, in order
};

class MultiExtentSplit : public MultiExtentTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(MultiExtentSplit, SizesAndExtentsOfEveryRecord) {
  const SplitCase& c = GetParam();
  AddFile(burner.RootDir, "big.bin", c.size);
  AddFile(burner.RootDir, "next.bin", 1);
  Build();
  for (const bool joliet : {false, true}) {
    SCOPED_TRACE(joliet ? "Joliet" : "ISO 9660");
    const auto records = Dir(burner.RootDir, joliet);
    const auto parts = RecordsOf(records, joliet ? Ucs2(u"big.bin;1") : "BIG.BIN;1");
    ASSERT_EQ(parts.size(), c.parts.size());
    uint64_t total = 0;
    for (size_t k = 0; k < parts.size(); ++k) {
      EXPECT_EQ(parts[k].size, c.parts[k]) << k;
      EXPECT_EQ(parts[k].extent, 150 + k * kPartSectors) << k;
      EXPECT_EQ(parts[k].flags, k + 1 < parts.size() ? 0x80 : 0x00) << k;
      EXPECT_EQ(parts[k].offset / 2048, parts[0].offset / 2048) << "a file's records share one sector";
      total += parts[k].size;
    }
    EXPECT_EQ(total, static_cast<uint64_t>(c.size));
    const auto next = RecordsOf(records, joliet ? Ucs2(u"next.bin;1") : "NEXT.BIN;1");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].extent, 150 + static_cast<uint32_t>((c.size + 2047) / 2048));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MultiExtentSplit,
    ::testing::Values(
        // Up to 4 GiB - 1 a file keeps its one record, as images always had it.
        SplitCase{"Largest32Bit", 0xFFFFFFFF, {0xFFFFFFFF}},
        SplitCase{"FourGiB", 4 * kGiB, {kPart, 2048}},
        SplitCase{"TwoWholeExtents", 2 * int64_t{kPart}, {kPart, kPart}},
        SplitCase{"OneBytePastTwo", 2 * int64_t{kPart} + 1, {kPart, kPart, 1}},
        SplitCase{"EightExtents", 8 * int64_t{kPart}, {kPart, kPart, kPart, kPart, kPart, kPart, kPart, kPart}}),
    [](const ::testing::TestParamInfo<SplitCase>& p) { return std::string(p.param.name); });

TEST_F(MultiExtentTest, AFilesRecordsStartTheNextSectorTogether) {
  // Fillers of growing number push the big file's records towards the end
  // of the first sector: while both fit they stay, once they do not both go
  // to the next sector, even where the first alone would still fit.
  bool moved_with_room_for_one[2] = {false, false};
  for (int fillers = 0; fillers < 40; ++fillers) {
    burner.ResetCompilation();
    for (int i = 0; i < fillers; ++i) AddFile(burner.RootDir, "a filler file name " + std::to_string(100 + i), 1);
    AddFile(burner.RootDir, "big.bin", 5 * kGiB);
    AddFile(burner.RootDir, "z.txt", 1);
    Build();
    for (const bool joliet : {false, true}) {
      SCOPED_TRACE(std::to_string(fillers) + (joliet ? " fillers, Joliet" : " fillers, ISO 9660"));
      const auto records = Dir(burner.RootDir, joliet);  // also checks that no record crosses a sector end
      ASSERT_EQ(records.size(), static_cast<size_t>(fillers + 5));
      const ParsedRecord& before = records[static_cast<size_t>(fillers) + 1];
      const ParsedRecord& first = records[static_cast<size_t>(fillers) + 2];
      const ParsedRecord& second = records[static_cast<size_t>(fillers) + 3];
      ASSERT_EQ(first.id, second.id);
      EXPECT_EQ(first.offset / 2048, second.offset / 2048);
      const size_t one = second.offset - first.offset;
      const size_t before_end = before.offset + 33 + before.id.size() + (before.id.size() % 2 == 0 ? 1 : 0);
      const size_t room = before_end % 2048 == 0 ? 0 : 2048 - before_end % 2048;
      if (room >= 2 * one) {
        EXPECT_EQ(first.offset, before_end) << "moved although both records fit";
      } else {
        EXPECT_EQ(first.offset, before_end + room) << "the records do not start the next sector";
        if (room >= one) moved_with_room_for_one[joliet] = true;
      }
      EXPECT_EQ(records.back().id, joliet ? Ucs2(u"z.txt;1") : "Z.TXT;1");
      EXPECT_EQ(records.back().offset, second.offset + one);
    }
  }
  EXPECT_TRUE(moved_with_room_for_one[0]) << "no case put the ISO 9660 records in the next sector together";
  EXPECT_TRUE(moved_with_room_for_one[1]) << "no case put the Joliet records in the next sector together";
}

TEST_F(MultiExtentTest, DirectoriesAreSizedForTheExtraRecords) {
  // 20 files of 5 GiB: 40 Joliet records of 58 bytes and "." and ".." take
  // 2388 bytes, two sectors, where one record each would fit in one.
  TDEntry* films = AddDir(burner.RootDir, "films");
  for (int i = 10; i < 30; ++i) AddFile(films, "big-" + std::to_string(i) + ".bin", 5 * kGiB);
  TDEntry* later = AddDir(burner.RootDir, "later");
  AddFile(later, "small.txt", 1);
  Build();
  EXPECT_EQ(films->JolietSize, 2 * 2048);
  EXPECT_EQ(later->JolietSector, films->JolietSector + 2);  // the next directory follows both sectors
  for (const bool joliet : {false, true}) {
    SCOPED_TRACE(joliet ? "Joliet" : "ISO 9660");
    const auto records = Dir(films, joliet);
    ASSERT_EQ(records.size(), 42u);
    for (size_t k = 2; k < records.size(); k += 2) {
      EXPECT_EQ(records[k].id, records[k + 1].id);
      EXPECT_EQ(records[k].flags, 0x80);
      EXPECT_EQ(records[k + 1].flags, 0x00);
      EXPECT_EQ(records[k + 1].extent, records[k].extent + kPartSectors);
    }
    // Its record in the root and its own "." give the same size.
    const auto root = Dir(burner.RootDir, joliet);
    ASSERT_GE(root.size(), 3u);
    EXPECT_EQ(root[2].size, static_cast<uint32_t>(joliet ? films->JolietSize : films->IsoSize));
    EXPECT_EQ(records[0].size, root[2].size);
  }
}

TEST_F(MultiExtentTest, EightRecordsOfTheLongestNameFillASectorOfTheirOwn) {
  const std::string name = std::string(104, 'n') + ".bin";  // 108 characters: records of 254 bytes
  AddFile(burner.RootDir, name, 8 * int64_t{kPart});
  Build();
  EXPECT_EQ(burner.RootDir->JolietSize, 2 * 2048);
  const auto records = Dir(burner.RootDir, true);
  ASSERT_EQ(records.size(), 10u);
  EXPECT_EQ(records[2].offset, 2048u);  // after "." and "..", 2032 bytes do not fit in the first sector
  EXPECT_EQ(records[9].offset, 2048u + 7 * 254);
  EXPECT_EQ(records[9].flags, 0);
}

}  // namespace
}  // namespace zamo
