// Sector allocation: where descriptors, path tables, directories, the boot
// catalog and image, and file data land.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/compilation/burner_fixture.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::BurnerTest;

class LayoutTest : public BurnerTest {};

TEST_F(LayoutTest, EmptyCompilationWithoutJoliet) {
  burner.JolietFileSystem = false;
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableL, 18);
  EXPECT_EQ(burner.IsoPathTableM, 19);
  EXPECT_EQ(burner.IsoDirBase, 20);
  EXPECT_EQ(burner.PadSectors, 129);
  EXPECT_EQ(burner.FirstFileLba, 150);
  EXPECT_EQ(burner.VolumeSpaceSize, 150);
  EXPECT_EQ(burner.SessionSectors, 150);
  EXPECT_EQ(burner.ImageSectors(), 300);
  burner.WritePostGap = false;
  EXPECT_EQ(burner.ImageSectors(), 150);
}

TEST_F(LayoutTest, FirstSessionWithJoliet) {
  AddFile(burner.RootDir, "a.txt", 10);
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableL, 19);
  EXPECT_EQ(burner.IsoPathTableM, 20);
  EXPECT_EQ(burner.JolietPathTableL, 21);
  EXPECT_EQ(burner.JolietPathTableM, 22);
  EXPECT_EQ(burner.IsoDirBase, 23);
  EXPECT_EQ(burner.JolietDirBase, 24);
  EXPECT_EQ(burner.PadSectors, 125);
  EXPECT_EQ(burner.FirstFileLba, 150);
  EXPECT_EQ(burner.VolumeSpaceSize, 151);
}

TEST_F(LayoutTest, BootImageOfADisketteNeedsNoPadding) {
  test::TempDir dir;
  test::WriteFile(dir / "floppy.img", std::string(1474560, '\xF6'));
  burner.Bootable = true;
  burner.BootImage = dir / "floppy.img";
  AddFile(burner.RootDir, "a.txt", 10);
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableL, 20);
  EXPECT_EQ(burner.JolietPathTableM, 23);
  EXPECT_EQ(burner.IsoDirBase, 24);
  EXPECT_EQ(burner.JolietDirBase, 25);
  EXPECT_EQ(burner.BootCatalogLba, 26);
  EXPECT_EQ(burner.BootImageLba, 27);
  EXPECT_EQ(burner.BootSectors, 720);
  EXPECT_EQ(burner.FirstFileLba, 747);
  EXPECT_LE(burner.PadSectors, 0);
  EXPECT_EQ(burner.PadAfterBoot, 0);
  EXPECT_EQ(burner.VolumeSpaceSize, 748);
}

TEST_F(LayoutTest, ShortBootImageIsFollowedByThePadding) {
  test::TempDir dir;
  test::WriteFile(dir / "boot.img", std::string(4 * 2048 - 100, 'b'));
  burner.Bootable = true;
  burner.BootImage = dir / "boot.img";
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.BootCatalogLba, 26);
  EXPECT_EQ(burner.BootImageLba, 27);
  EXPECT_EQ(burner.BootSectors, 4);
  EXPECT_EQ(burner.PadSectors, 150 - 31);
  EXPECT_EQ(burner.PadAfterBoot, 150 - 31);
  EXPECT_EQ(burner.FirstFileLba, 150);
}

TEST_F(LayoutTest, MissingOrEmptyBootImageSwitchesBootingOff) {
  test::TempDir dir;
  burner.Bootable = true;
  burner.BootImage = dir / "nothing.img";
  burner.LayoutImage(true, nullptr);
  EXPECT_FALSE(burner.Bootable);
  EXPECT_EQ(burner.IsoPathTableL, 19);  // no boot record
  test::WriteFile(dir / "empty.img", "");
  burner.Bootable = true;
  burner.BootImage = dir / "empty.img";
  burner.LayoutImage(true, nullptr);
  EXPECT_FALSE(burner.Bootable);
}

TEST_F(LayoutTest, PathTableOrderIsBreadthFirstBySiblingName) {
  TDEntry* b = AddDir(burner.RootDir, "B");
  TDEntry* a = AddDir(burner.RootDir, "A");
  TDEntry* c = AddDir(burner.RootDir, "C");
  TDEntry* cx = AddDir(c, "X");
  TDEntry* ax = AddDir(a, "X");
  TDEntry* bx = AddDir(b, "X");
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.RootDir->Number, 1);
  EXPECT_EQ(a->Number, 2);
  EXPECT_EQ(b->Number, 3);
  EXPECT_EQ(c->Number, 4);
  EXPECT_EQ(ax->Number, 5);
  EXPECT_EQ(bx->Number, 6);
  EXPECT_EQ(cx->Number, 7);
  for (int k = 0; k < 7; ++k) {
    EXPECT_EQ(burner.IsoDirOrder()[k]->Number, k + 1);
    EXPECT_EQ(burner.JolietDirOrder()[k], burner.IsoDirOrder()[k]);
  }
  // Directory extents keep creation order, whatever the numbers.
  EXPECT_LT(b->IsoSector, a->IsoSector);
}

TEST_F(LayoutTest, SiblingOrderComparesUnsignedBytesPrefixFirst) {
  TDEntry* abc = AddDir(burner.RootDir, "ABC");
  TDEntry* ab = AddDir(burner.RootDir, "AB");
  TDEntry* a_b = AddDir(burner.RootDir, "A_B");
  TDEntry* accent = AddDir(burner.RootDir, "x", "\xC3\x89T\xC3\x89");  // "ÉTÉ": C9h sorts after every letter
  TDEntry* z = AddDir(burner.RootDir, "Z");
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(ab->Number, 2);
  EXPECT_EQ(abc->Number, 3);
  EXPECT_EQ(a_b->Number, 4);
  EXPECT_EQ(z->Number, 5);
  EXPECT_EQ(accent->Number, 6);
}

TEST_F(LayoutTest, RecordThatEndsExactlyAtTheSectorEndStaysInIt) {
  // After the two 34-byte records, 1980 bytes remain: nine 220-byte records
  // fill them exactly (a 185-character name and ";1": 33 + 187 = 220).
  for (int i = 0; i < 9; ++i) {
    AddFile(burner.RootDir, "f" + std::to_string(i), 1, std::string(180, 'A') + char('0' + i) + ".TXT");
  }
  burner.JolietFileSystem = false;
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.RootDir->IsoSize, 2048);
  AddFile(burner.RootDir, "g", 1, "G");
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.RootDir->IsoSize, 4096);
}

TEST_F(LayoutTest, PathTableSizesInWholeSectors) {
  // Root (10 bytes) + 203 twelve-character names (20 bytes each) + one of 18
  // characters (26 bytes) = 4096 bytes: two sectors; two bytes more: three.
  for (int i = 0; i < 203; ++i) AddDir(burner.RootDir, "d" + std::to_string(i), "D" + std::string(6, 'X') + std::to_string(10000 + i));
  TDEntry* last = AddDir(burner.RootDir, "last", std::string(18, 'L'));
  burner.JolietFileSystem = false;
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableSize, 4096);
  EXPECT_EQ(burner.IsoPathTableM - burner.IsoPathTableL, 2);
  TDEntry* doomed = last;
  burner.DeleteDir(doomed);
  AddDir(burner.RootDir, "last2", std::string(20, 'L'));
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableSize, 4098);
  EXPECT_EQ(burner.IsoPathTableM - burner.IsoPathTableL, 3);
}

TEST_F(LayoutTest, IsoIdentifiersOfOneDirectoryAreMadeUnique) {
  // Folders created by name keep 13 characters, and 8.3 names come from
  // different source folders: several entries may share an identifier.
  TDEntry* alpha = burner.AddDirByName(burner.RootDir, "longfoldername_alpha", faDirectory);
  TDEntry* beta = burner.AddDirByName(burner.RootDir, "longfoldername_beta", faDirectory);
  TFEntry* first = AddFile(burner.RootDir, "My Document.txt", 1, "MYDOCU~1.TXT");
  TFEntry* second = AddFile(burner.RootDir, "My Documents.txt", 1, "MYDOCU~1.TXT");
  TFEntry* third = AddFile(burner.RootDir, "My Docs.txt", 1, "MYDOCU~1.TXT");
  TFEntry* taken = AddFile(burner.RootDir, "mydocu~2.txt", 1);
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(alpha->IsoName, "LONGFOLDERNAM");
  EXPECT_EQ(beta->IsoName, "LONGFOLDERN~1");
  EXPECT_EQ(burner.FindChild(burner.RootDir, "longfoldername_beta")->IsoName, "LONGFOLDERN~1");
  EXPECT_EQ(first->IsoName, "MYDOCU~1.TXT");
  EXPECT_EQ(taken->IsoName, "MYDOCU~2.TXT");
  EXPECT_EQ(second->IsoName, "MYDOCU~3.TXT");
  EXPECT_EQ(third->IsoName, "MYDOCU~4.TXT");
  burner.LayoutImage(true, nullptr);  // a second layout changes nothing
  EXPECT_EQ(third->IsoName, "MYDOCU~4.TXT");
  EXPECT_LT(alpha->Number, beta->Number);
}

TEST_F(LayoutTest, FileDataLiesInCreationOrder) {
  TDEntry* x = AddDir(burner.RootDir, "X");
  TDEntry* y = AddDir(burner.RootDir, "Y");
  TFEntry* first = AddFile(y, "first.bin", 2049);
  TFEntry* empty = AddFile(x, "empty.bin", 0);
  TFEntry* second = AddFile(x, "second.bin", 2048);
  TFEntry* third = AddFile(burner.RootDir, "third.bin", 1);
  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(first->IsoExtent, 0);
  EXPECT_EQ(second->IsoExtent, 2);  // 2049 bytes take two sectors
  EXPECT_EQ(third->IsoExtent, 3);
  EXPECT_EQ(empty->IsoExtent, 0);
  EXPECT_EQ(empty->JolietExtent, 0);
  EXPECT_EQ(burner.FileSectors, 4);
  EXPECT_EQ(burner.VolumeSpaceSize, burner.FirstFileLba + 4);
  EXPECT_EQ(second->JolietExtent, second->IsoExtent);
}

TEST_F(LayoutTest, DirectoryEntriesTakeTheirDirectorysPlace) {
  TDEntry* sub = AddDir(burner.RootDir, "Sub");
  for (int i = 0; i < 60; ++i) AddFile(sub, "A rather long file name number " + std::to_string(i) + ".txt", 5);
  burner.LayoutImage(true, nullptr);
  TFEntry* entry = burner.FindChild(burner.RootDir, "Sub");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->IsoExtent, sub->IsoSector);
  EXPECT_EQ(entry->IsoSize, sub->IsoSize);
  EXPECT_EQ(entry->JolietExtent, sub->JolietSector);
  EXPECT_EQ(entry->JolietSize, sub->JolietSize);
  EXPECT_GT(sub->JolietSize, 2048);  // long names spill into a second sector
  EXPECT_EQ(sub->IsoSector, 1);      // right after the root's extent
}

// The disc step leaves where the session starts; the layout proper takes it
// as it is: descriptors 16 sectors further on, no padding up to sector 150,
// every address absolute. A layout for an image file starts at 0 again.
TEST_F(LayoutTest, ALaterSessionIsLaidOutFromTheStartTheDiscStepLeft) {
  AddFile(burner.RootDir, "a.txt", 3000);
  burner.SessionStart = 30000;
  EXPECT_EQ(burner.LayoutCompilation(), 1);
  EXPECT_EQ(burner.SessionStart, 30000);
  EXPECT_EQ(burner.IsoPathTableL, 30019);
  EXPECT_EQ(burner.IsoDirBase, 30023);
  EXPECT_EQ(burner.JolietDirBase, 30024);
  EXPECT_LE(burner.PadSectors, 0);
  EXPECT_EQ(burner.FirstFileLba, 30025);
  EXPECT_EQ(burner.VolumeSpaceSize, 30027);
  EXPECT_EQ(burner.SessionSectors, 27);
  burner.BuildImageHeader(false, nullptr);
  const auto head = burner.ImageStream.Memory();
  ASSERT_EQ(head.size(), 25u * 2048);
  const auto primary = head.subspan(16 * 2048, 2048);
  EXPECT_EQ(primary[0], 1);
  EXPECT_EQ(GetLe32(primary, 80), 30027u);   // the volume space size
  EXPECT_EQ(GetLe32(primary, 140), 30019u);  // the type L path table
  EXPECT_EQ(GetLe32(primary, 158), 30023u);  // the root's extent
  const auto records = test::ParseDirectory(head.subspan(23 * 2048, 2048));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].extent, 30025u);

  burner.LayoutImage(true, nullptr);
  EXPECT_EQ(burner.SessionStart, 0);
  EXPECT_EQ(burner.FirstFileLba, 150);
}

// What the desktop program does on every edit of its list: the layout
// proper again and again on a tree that changes. Each time the result must
// be what a component given the same tree at once gives with one layout:
// nothing may pile up from one layout to the next.
TEST_F(LayoutTest, LayingOutAfterEveryEditGivesWhatOneLayoutOfTheTreeGives) {
  test::TempDir dir;
  test::WriteFile(dir / "boot.img", std::string(3 * 2048, 'b'));
  struct Item {
    std::string folder, name;
    int64_t size;
  };
  const std::vector<Item> items = {{"", "readme.txt", 100},          {"\\Photos", "a.jpg", 5000},
                                   {"\\Photos", "b.jpg", 70000},    {"\\Docs", "notes.txt", 2049},
                                   {"\\Photos\\2023", "c.jpg", 0}, {"", "z.bin", 1}};
  auto add = [](TVeskBurner& b, const Item& item) {
    TDEntry* folder = item.folder.empty() ? b.RootDir : b.ForceDirs(item.folder);
    EXPECT_EQ(b.AddFileEntry(folder, test::FileRec(item.name, item.size), false, 0, "/src/" + item.name), 1);
  };
  // The head, then where each file's data lies and the session's size.
  auto result = [](TVeskBurner& b) {
    b.BuildImageHeader(true, nullptr);
    const auto bytes = b.ImageStream.Memory();
    std::vector<int64_t> out(bytes.begin(), bytes.end());
    for (const TFEntry* e : b.FileEntries()) out.insert(out.end(), {e->IsoExtent, e->JolietExtent, e->IsoSize});
    out.insert(out.end(), {b.FirstFileLba, b.VolumeSpaceSize, b.SessionSectors});
    return out;
  };
  // A component given the first `count` items but `left_out`, laid out once.
  auto at_once = [&](size_t count, const std::string& left_out) {
    TVeskBurner fresh(nullptr);
    fresh.Clock = burner.Clock;
    fresh.Bootable = true;
    fresh.BootImage = dir / "boot.img";
    for (size_t k = 0; k < count; ++k) {
      if (items[k].name != left_out) add(fresh, items[k]);
    }
    fresh.LayoutImage(true, nullptr);
    return result(fresh);
  };
  auto same = [](const std::vector<int64_t>& got, const std::vector<int64_t>& expected) -> ::testing::AssertionResult {
    if (got == expected) return ::testing::AssertionSuccess();
    const size_t common = std::min(got.size(), expected.size());
    const size_t at = static_cast<size_t>(std::mismatch(got.begin(), got.begin() + common, expected.begin()).first - got.begin());
    return ::testing::AssertionFailure() << got.size() << " values instead of " << expected.size()
                                         << ", first different at " << at << " (sector " << at / 2048 << ")";
  };

  burner.Bootable = true;
  burner.BootImage = dir / "boot.img";
  for (size_t k = 0; k < items.size(); ++k) {
    add(burner, items[k]);
    EXPECT_EQ(burner.LayoutCompilation(), 1);
    EXPECT_TRUE(same(result(burner), at_once(k + 1, ""))) << "after adding " << items[k].name;
  }
  const std::vector<int64_t> before = result(burner);
  ASSERT_TRUE(burner.DeleteByName("\\Photos\\", "b.jpg"));
  burner.LayoutCompilation();
  const std::vector<int64_t> edited = result(burner);
  EXPECT_FALSE(same(edited, before));
  EXPECT_TRUE(same(edited, at_once(items.size(), "b.jpg")));
  burner.LayoutCompilation();
  burner.LayoutCompilation();
  EXPECT_TRUE(same(result(burner), edited)) << "a layout with nothing changed moved something";
}

}  // namespace
}  // namespace zamo
