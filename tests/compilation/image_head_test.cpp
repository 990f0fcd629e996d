// The image head built in memory: descriptors, path tables and directory
// extents, read back with an independent parser; and the same head with its
// directory extents generated as they are read, window by window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "burner/compilation/dir_record.h"
#include "burner/compilation/image_head.h"
#include "tests/compilation/burner_fixture.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::BurnerTest;
using test::ParseDirectory;
using test::ParsedRecord;
using test::Ucs2;

class ImageHeadTest : public BurnerTest {
 protected:
  std::span<const uint8_t> Head() const { return burner.ImageStream.Memory(); }
  std::span<const uint8_t> SectorAt(int64_t lba, size_t count = 1) const {
    return Head().subspan(static_cast<size_t>(lba) * 2048, count * 2048);
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
};

TEST_F(ImageHeadTest, HeadEndsWhereFileDataBegins) {
  AddFile(burner.RootDir, "a.txt", 100);
  Build();
  EXPECT_EQ(burner.ImageStream.Size(), int64_t{burner.FirstFileLba} * 2048);
  EXPECT_EQ(SectorAt(16)[0], 1);
  EXPECT_EQ(SectorAt(17)[0], 2);
  EXPECT_EQ(SectorAt(18)[0], 0xFF);
  EXPECT_EQ(std::string(SectorAt(0, 16).begin(), SectorAt(0, 16).end()), std::string(16 * 2048, '\0'));
  EXPECT_EQ(burner.HeaderCopySize, 19 * 2048);
  ASSERT_EQ(burner.HeaderCopy.size(), 65537u);
  EXPECT_TRUE(std::equal(Head().begin(), Head().begin() + burner.HeaderCopySize, burner.HeaderCopy.begin()));
  EXPECT_EQ(burner.HeaderCopy[burner.HeaderCopySize], 0xFF);
  EXPECT_EQ(burner.HeaderCopy.back(), 0xFF);
  EXPECT_EQ(GetLe32(SectorAt(16), 80), 151u);  // volume space size
  EXPECT_EQ(GetLe32(SectorAt(17), 80), 151u);
}

TEST_F(ImageHeadTest, WithoutJolietTheTerminatorFollowsThePrimaryDescriptor) {
  burner.JolietFileSystem = false;
  AddFile(burner.RootDir, "a.txt", 100);
  Build();
  EXPECT_EQ(SectorAt(17)[0], 0xFF);
  EXPECT_EQ(burner.IsoDirBase, 20);
  EXPECT_EQ(burner.ImageStream.Size(), 150 * 2048);
}

TEST_F(ImageHeadTest, RecordsListEntriesInInsertionOrder) {
  TDEntry* zeta = AddDir(burner.RootDir, "zeta");
  AddFile(burner.RootDir, "b.txt", 2049);
  burner.AddFileEntry(burner.RootDir, test::FileRec(".hidden", 5, "HIDDEN~1", faHidden), false, 0, "/src/.hidden");
  AddFile(burner.RootDir, "empty", 0);
  AddFile(zeta, "My Document.txt", 3, "MYDOCU~1.TXT");
  Build();

  const auto iso = Dir(burner.RootDir, false);
  ASSERT_EQ(iso.size(), 6u);
  EXPECT_EQ(iso[0].id, std::string(1, '\0'));
  EXPECT_EQ(iso[1].id, std::string(1, '\1'));
  EXPECT_EQ(iso[0].extent, uint32_t(burner.IsoDirBase));
  EXPECT_EQ(iso[1].extent, uint32_t(burner.IsoDirBase));  // the root is its own parent
  EXPECT_EQ(iso[0].flags, 0x02);
  EXPECT_EQ(iso[2].id, "ZETA");
  EXPECT_EQ(iso[2].flags, 0x02);
  EXPECT_EQ(iso[3].id, "B.TXT;1");
  EXPECT_EQ(iso[3].extent, 150u);
  EXPECT_EQ(iso[3].size, 2049u);
  EXPECT_EQ(iso[4].id, "HIDDEN~1.;1");  // an ISO 9660 file identifier always holds a "."
  EXPECT_EQ(iso[4].flags, 0x01);
  EXPECT_EQ(iso[4].extent, 152u);
  EXPECT_EQ(iso[5].id, "EMPTY.;1");
  EXPECT_EQ(iso[5].extent, 0u);
  EXPECT_EQ(iso[5].size, 0u);
  EXPECT_EQ(iso[3].date[0], 107);  // the file's own date
  EXPECT_EQ(iso[3].date[1], 6);
  EXPECT_EQ(iso[0].date[3], 10);  // the directory's own records: the clock

  const auto joliet = Dir(burner.RootDir, true);
  ASSERT_EQ(joliet.size(), 6u);
  EXPECT_EQ(joliet[2].id, Ucs2(u"zeta"));
  EXPECT_EQ(joliet[3].id, Ucs2(u"b.txt;1"));
  EXPECT_EQ(joliet[3].extent, iso[3].extent);  // both trees share the data
  EXPECT_EQ(joliet[4].id, Ucs2(u".hidden;1"));
  EXPECT_EQ(joliet[5].id, Ucs2(u"empty;1"));

  // A subdirectory's record in its parent and its own first record agree.
  const auto sub = Dir(zeta, false);
  ASSERT_EQ(sub.size(), 3u);
  EXPECT_EQ(sub[0].extent, iso[2].extent);
  EXPECT_EQ(sub[0].size, iso[2].size);
  EXPECT_EQ(sub[1].extent, iso[0].extent);
  EXPECT_EQ(sub[2].id, "MYDOCU~1.TXT;1");
  EXPECT_EQ(sub[2].extent, 153u);
  const auto jsub = Dir(zeta, true);
  EXPECT_EQ(jsub[0].extent, joliet[2].extent);
  EXPECT_EQ(jsub[2].id, Ucs2(u"My Document.txt;1"));
}

TEST_F(ImageHeadTest, RecordDatesCarryTheOffsetInEffectAtTheirDate) {
  const char* old_tz = getenv("TZ");
  const std::string saved = old_tz != nullptr ? old_tz : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  burner.ClearCompilation(100, 10);
  TFEntry* summer = AddFile(burner.RootDir, "summer.txt");
  TFEntry* winter = AddFile(burner.RootDir, "winter.txt");
  summer->DateTime = EncodeDateTime({2021, 7, 1, 14, 0, 0, 0});  // 12:00 UTC
  winter->DateTime = EncodeDateTime({2021, 1, 5, 13, 0, 0, 0});  // 12:00 UTC
  Build();
  const auto iso = Dir(burner.RootDir, false);
  if (old_tz != nullptr) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  ASSERT_EQ(iso.size(), 4u);
  EXPECT_EQ(iso[2].date[3], 14);
  EXPECT_EQ(iso[2].date[6], 8);  // UTC+2 in summer
  EXPECT_EQ(iso[3].date[3], 13);
  EXPECT_EQ(iso[3].date[6], 4);  // UTC+1 in winter
}

TEST_F(ImageHeadTest, PathTablesInBothByteOrders) {
  TDEntry* data = AddDir(burner.RootDir, "data");
  AddDir(data, "Été", "T~1");
  Build();
  const auto l = SectorAt(burner.IsoPathTableL);
  const auto m = SectorAt(burner.IsoPathTableM);
  EXPECT_EQ(burner.IsoPathTableSize, 10 + 12 + 12);
  // Root, DATA (parent 1), T~1 (parent 2).
  EXPECT_EQ(GetLe32(l, 2), uint32_t(burner.IsoDirBase));
  EXPECT_EQ(l[10], 4);
  EXPECT_EQ(GetLe16(l, 16), 1);
  EXPECT_EQ(std::string(l.begin() + 18, l.begin() + 22), "DATA");
  EXPECT_EQ(GetLe32(l, 12), uint32_t(burner.IsoDirBase + data->IsoSector));
  EXPECT_EQ(GetBe32(m, 12), uint32_t(burner.IsoDirBase + data->IsoSector));
  EXPECT_EQ(GetLe16(l, 22 + 6), 2);
  EXPECT_EQ(GetBe16(m, 22 + 6), 2);
  EXPECT_EQ(std::string(l.begin() + 30, l.begin() + 33), "T~1");
  EXPECT_EQ(l[33], 0);  // odd identifier: padding byte
  EXPECT_EQ(std::string(l.begin() + 34, l.end()), std::string(2048 - 34, '\0'));

  const auto jl = SectorAt(burner.JolietPathTableL);
  EXPECT_EQ(jl[10], 8);
  EXPECT_EQ(std::string(jl.begin() + 18, jl.begin() + 26), Ucs2(u"data"));
  EXPECT_EQ(std::string(jl.begin() + 34, jl.begin() + 40), Ucs2(u"Été"));
  EXPECT_EQ(burner.JolietPathTableSize, 10 + 16 + 14);
}

TEST_F(ImageHeadTest, BootableHeadEndsWithTheCatalog) {
  test::TempDir dir;
  test::WriteFile(dir / "boot.img", std::string(3000, 'b'));
  burner.Bootable = true;
  burner.BootImage = dir / "boot.img";
  AddFile(burner.RootDir, "a.txt", 100);
  Build();
  EXPECT_EQ(SectorAt(17)[0], 0);  // boot record
  EXPECT_EQ(GetLe32(SectorAt(17), 71), uint32_t(burner.BootCatalogLba));
  EXPECT_EQ(SectorAt(18)[0], 2);
  EXPECT_EQ(SectorAt(19)[0], 0xFF);
  EXPECT_EQ(burner.HeaderCopySize, 20 * 2048);
  // The boot image (and the padding after it) is not part of the head.
  EXPECT_EQ(burner.ImageStream.Size(), int64_t{burner.BootImageLba} * 2048);
  const auto catalog = SectorAt(burner.BootCatalogLba);
  EXPECT_EQ(catalog[33], 4);
  EXPECT_EQ(GetLe32(catalog, 40), uint32_t(burner.BootImageLba));
  EXPECT_EQ(burner.BootImageLba + burner.BootSectors + burner.PadAfterBoot, 150);
}

// The boot information table is made for a no-emulation image that asks for
// it and can hold it, and for no other; a session's table names the
// session's own primary descriptor.
struct BootInfoCase {
  const char* name;
  size_t bytes;
  TBootEmulation emulation;
  bool asked;
  int32_t session_start;
  bool made;
};

class BootInfoHeadTest : public ImageHeadTest, public ::testing::WithParamInterface<BootInfoCase> {};

TEST_P(BootInfoHeadTest, MadeOnlyWhereItApplies) {
  const BootInfoCase& c = GetParam();
  test::TempDir dir;
  std::string image(c.bytes, '\0');
  for (size_t i = 64; i < image.size(); ++i) image[i] = static_cast<char>(i % 251);
  test::WriteFile(dir / "boot.bin", image);
  burner.Bootable = true;
  burner.BootImage = dir / "boot.bin";
  burner.BootEmulation = c.emulation;
  burner.BootLoadSize = 6;
  burner.BootInfoTable = c.asked;
  AddFile(burner.RootDir, "a.txt", 100);
  burner.SessionStart = c.session_start;
  burner.LayoutCompilation();
  burner.BuildImageHeader(false, nullptr);
  const auto catalog = burner.ImageStream.Memory().subspan(
      static_cast<size_t>(burner.BootCatalogLba - c.session_start) * 2048, 2048);
  EXPECT_EQ(GetLe16(catalog, 38), c.emulation == TBootEmulation::kNone ? 6 : 1) << "sector count";
  const bool refused = c.asked && !c.made && c.emulation == TBootEmulation::kNone;
  EXPECT_EQ(Logged("TABLE D'INFORMATIONS DE DÉMARRAGE NON ÉCRITE"), refused);
  if (!c.made) {
    EXPECT_TRUE(burner.BootInfo.empty());
    return;
  }
  ASSERT_EQ(burner.BootInfo.size(), 56u);
  EXPECT_EQ(GetLe32(burner.BootInfo, 0), uint32_t(c.session_start + 16));
  EXPECT_EQ(GetLe32(burner.BootInfo, 4), uint32_t(burner.BootImageLba));
  EXPECT_EQ(GetLe32(burner.BootInfo, 8), uint32_t(c.bytes));
  uint32_t sum = 0;
  for (size_t i = 64; i < c.bytes; ++i) sum += uint32_t{static_cast<uint8_t>(image[i])} << (8 * (i % 4));
  EXPECT_EQ(GetLe32(burner.BootInfo, 12), sum);
}

INSTANTIATE_TEST_SUITE_P(
    Boot, BootInfoHeadTest,
    ::testing::Values(BootInfoCase{"NoEmulation", 5001, TBootEmulation::kNone, true, 0, true},
                      BootInfoCase{"LaterSession", 70001, TBootEmulation::kNone, true, 11702, true},
                      BootInfoCase{"NotAsked", 5001, TBootEmulation::kNone, false, 0, false},
                      BootInfoCase{"HardDisk", 5001, TBootEmulation::kHardDisk, true, 0, false},
                      BootInfoCase{"ExactlyTheTable", 64, TBootEmulation::kNone, true, 0, true},
                      BootInfoCase{"TooShort", 63, TBootEmulation::kNone, true, 0, false}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// The head a job reads, its first part from ImageStream and the rest from a
// HeadExtentsSource, is the head built whole in memory, byte for byte,
// whatever the size of the reads; each tree makes the generator cross one of
// its seams (window refills, a directory larger than the window, the Joliet
// tree, the boot catalog, padding before or after a boot image, a later
// session, a file in several extents, entries already on the disc).
class GeneratedHeadTest;
struct GeneratedCase {
  const char* name;
  std::function<void(GeneratedHeadTest&)> make;
};

class GeneratedHeadTest : public ImageHeadTest, public ::testing::WithParamInterface<GeneratedCase> {
 public:
  TVeskBurner& Burner() { return burner; }
  TDEntry* Folder(TDEntry* parent, const std::string& name) { return AddDir(parent, name); }
  void File(TDEntry* folder, const std::string& name, int64_t size) { ASSERT_NE(AddFile(folder, name, size), nullptr); }
  std::string BootFile(size_t bytes) {
    test::WriteFile(dir / "boot.img", std::string(bytes, 'b'));
    return dir / "boot.img";
  }

 protected:
  std::vector<uint8_t> Whole() {
    burner.BuildImageHeader(false, nullptr);
    EXPECT_EQ(burner.NewHeadExtents(), nullptr) << "the whole head is in ImageStream";
    const auto head = burner.ImageStream.Memory();
    return {head.begin(), head.end()};
  }
  // The first part from ImageStream, then the source read `chunk` bytes at a time.
  std::vector<uint8_t> Generated(size_t chunk, size_t* peak_window) {
    burner.BuildImageHeader(false, nullptr, TVeskBurner::THeadExtents::kGenerated);
    const auto first = burner.ImageStream.Memory();
    std::vector<uint8_t> head(first.begin(), first.end());
    const std::shared_ptr<HeadExtentsSource> rest = burner.NewHeadExtents();
    if (rest == nullptr) return head;
    const int64_t expected_end = static_cast<int64_t>(head.size()) + rest->Size();
    std::vector<uint8_t> piece(chunk);
    for (size_t n = rest->Read(piece); n > 0; n = rest->Read(piece)) {
      head.insert(head.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
      if (n < chunk) {
        EXPECT_EQ(rest->Read(piece), 0u) << "a short read only at the end";
      }
    }
    EXPECT_EQ(rest->Position(), rest->Size());
    EXPECT_EQ(static_cast<int64_t>(head.size()), expected_end);
    *peak_window = rest->PeakWindowBytes();
    return head;
  }
  test::TempDir dir;
};

TEST_P(GeneratedHeadTest, SameBytesAsTheHeadInMemory) {
  GetParam().make(*this);
  burner.LayoutCompilation();
  const std::vector<uint8_t> whole = Whole();
  const std::vector<uint8_t> copy = burner.HeaderCopy;
  ASSERT_EQ(static_cast<int64_t>(whole.size()),
            (int64_t{burner.Bootable ? burner.BootImageLba : burner.FirstFileLba} - burner.SessionStart) * 2048);
  int64_t largest = 0;
  for (const TDEntry* d : burner.DirEntries()) {
    largest = std::max({largest, static_cast<int64_t>(d->IsoSize), static_cast<int64_t>(d->JolietSize)});
  }
  for (const size_t chunk : {size_t{2048}, size_t{7001}, size_t{65536}, size_t{3} << 20}) {
    size_t peak = 0;
    const std::vector<uint8_t> generated = Generated(chunk, &peak);
    // Only the descriptors and path tables stay in memory.
    EXPECT_EQ(burner.ImageStream.Size(), (int64_t{burner.IsoDirBase} - burner.SessionStart) * 2048);
    ASSERT_EQ(generated.size(), whole.size()) << "reads of " << chunk;
    const auto differ = std::mismatch(whole.begin(), whole.end(), generated.begin());
    EXPECT_TRUE(differ.first == whole.end())
        << "reads of " << chunk << ": first difference in sector " << (differ.first - whole.begin()) / 2048;
    EXPECT_EQ(burner.HeaderCopy, copy);
    EXPECT_LE(peak, HeadExtentsSource::kWindowTarget + static_cast<size_t>(largest));
  }
}

void ManyFolders(GeneratedHeadTest& t, int folders, int files_each, const std::string& prefix = "dossier") {
  for (int d = 0; d < folders; ++d) {
    TDEntry* folder = t.Folder(t.Burner().RootDir, prefix + std::to_string(d));
    for (int f = 0; f < files_each; ++f) t.File(folder, "f" + std::to_string(f) + ".txt", 10);
  }
}

void BootImage(GeneratedHeadTest& t, size_t bytes, TBootEmulation emulation) {
  t.Burner().Bootable = true;
  t.Burner().BootImage = t.BootFile(bytes);
  t.Burner().BootEmulation = emulation;
}

INSTANTIATE_TEST_SUITE_P(
    Trees, GeneratedHeadTest,
    ::testing::Values(
        GeneratedCase{"OneFile", [](GeneratedHeadTest& h) { h.File(h.Burner().RootDir, "a", 1); }},
        // 400 folders: 1.6 MB of extents, many windows, no padding.
        GeneratedCase{"ManySmallFolders", [](GeneratedHeadTest& h) { ManyFolders(h, 400, 15); }},
        // 9,000 files in one folder: a directory larger than the window.
        GeneratedCase{"FolderLargerThanTheWindow",
                      [](GeneratedHeadTest& h) {
                        ManyFolders(h, 3, 2);
                        TDEntry* big = h.Folder(h.Burner().RootDir, "grand");
                        for (int f = 0; f < 9000; ++f) h.File(big, "fichier numero " + std::to_string(f), 1);
                        ManyFolders(h, 3, 2, "apres");
                        h.File(h.Burner().RootDir, "z.txt", 1);
                      }},
        GeneratedCase{"NoJoliet",
                      [](GeneratedHeadTest& h) {
                        h.Burner().JolietFileSystem = false;
                        ManyFolders(h, 200, 15);
                      }},
        // A short diskette-less image: the padding follows it, not the catalog.
        GeneratedCase{"ShortBootImage",
                      [](GeneratedHeadTest& h) {
                        BootImage(h, 3000, TBootEmulation::kNone);
                        ManyFolders(h, 5, 3);
                      }},
        GeneratedCase{"BootImageAfterManyFolders",
                      [](GeneratedHeadTest& h) {
                        BootImage(h, 1474560, TBootEmulation::kDiskette);
                        ManyFolders(h, 300, 15);
                      }},
        GeneratedCase{"LaterSessionWithEntriesOnTheDisc",
                      [](GeneratedHeadTest& h) {
                        h.Burner().SessionStart = 11702;
                        h.Burner().AddFileEntry(h.Burner().RootDir, test::FileRec("old.txt", 4000), false, 5000, "");
                        ManyFolders(h, 100, 15);
                      }},
        GeneratedCase{"FileInSeveralExtents",
                      [](GeneratedHeadTest& h) {
                        h.File(h.Burner().RootDir, "huge.bin", (int64_t{9} << 30) + 5);
                        ManyFolders(h, 150, 15);
                      }}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

}  // namespace
}  // namespace zamo
