// A session laid out after others on the emulated recorder: it starts at
// the disc's next writable address, lists the files of the previous
// session at the sectors where they already are, and each session of the
// disc reads back with exactly its files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class MultisessionTest : public DiscTest {
 protected:
  void SetUp() override {
    DiscTest::SetUp();
    image_ = dir_ / "disc.img";
  }

  // A compilation of `files` (written under src/<session>/), laid out and
  // recorded as the disc's next session, importing the last one.
  void Session(int number, const TreeContents& files) {
    const std::string src = dir_ / ("src" + std::to_string(number));
    MakeTree(src, files);
    ASSERT_TRUE(burner_.ClearCompilation(600000, 20000));
    burner_.SessionToImport = number > 1 ? 0xFFFF : 0;
    ASSERT_GT(burner_.AddFolder("\\", src + "/", false, false, true, faAnyFile, "*"), 0);
    RecordSession();
    for (const auto& [path, content] : files) all_[path] = content;
  }

  // The next writable address the drive reports for the invisible track.
  uint32_t NextWritable() {
    EXPECT_TRUE(burner_.ReadDiscInfo());
    EXPECT_TRUE(burner_.ReadTrackInformation(burner_.LastTrackOfLastSession()));
    return burner_.TrackInfo.NextWritable;
  }

  // Session `n` of the disc, read into a fresh tree and extracted.
  std::map<std::string, std::string> ReadBack(int n) {
    burner_.ClearCompilation(600000, 20000);
    EXPECT_TRUE(burner_.ImportSessionTree(n, nullptr)) << Log();
    const std::string out = dir_ / ("out" + std::to_string(out_count_++));
    ExtractAll(burner_.RootDir, out);
    return ReadTree(out);
  }

  std::string image_;
  std::map<std::string, std::string> all_;  // every file recorded so far
  int out_count_ = 0;
};

std::map<std::string, std::string> Expected(const TreeContents& files) {
  std::map<std::string, std::string> out;
  for (const auto& [path, content] : files) {
    out[path] = content;
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
      out[path.substr(0, slash + 1)] = "";
  }
  return out;
}

TEST_F(MultisessionTest, ASecondSessionStartsAtTheNextWritableAddressAndKeepsTheFirstsSectors) {
  Load("cd-r", image_);
  const TreeContents first = {{"un.txt", "premier\n"}, {"dossier/a.bin", Bytes(70000, 1)}, {"vide.txt", ""}};
  Session(1, first);
  EXPECT_EQ(burner_.SessionStart, 0);
  std::map<std::string, int32_t> extents;
  burner_.ClearCompilation(1000, 100);
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr));
  for (const char* path : {"un.txt", "dossier/a.bin"}) extents[path] = FindPath(burner_, path)->IsoExtent;

  const uint32_t next = NextWritable();
  ASSERT_GT(next, 150u);
  ClearLog();
  const TreeContents second = {{"deux.txt", "second\n"}, {"dossier/b.bin", Bytes(5000, 2)}};
  Session(2, second);
  EXPECT_EQ(burner_.SessionStart, static_cast<int32_t>(next));
  EXPECT_LE(burner_.PadSectors, 0) << "a later session is not padded to sector 150";
  EXPECT_EQ(burner_.FirstFileLba, burner_.JolietDirBase + burner_.JolietDirBytes / 2048);
  EXPECT_THAT(Log(), HasSubstr(">>> IMPORTER LA SESSION # 1\n"));
  EXPECT_THAT(Log(), Not(HasSubstr("ERROR GETTING NEXT WRITABLE ADDRESS")));
  // The first session's files keep their sectors; the new data follows the new head.
  for (const auto& [path, extent] : extents) {
    const TFEntry* e = FindPath(burner_, path);
    ASSERT_NE(e, nullptr) << path;
    EXPECT_TRUE(e->Imported);
    EXPECT_EQ(e->IsoExtent, extent) << path;
  }
  for (const char* path : {"deux.txt", "dossier/b.bin"}) {
    const TFEntry* e = FindPath(burner_, path);
    ASSERT_NE(e, nullptr) << path;
    EXPECT_FALSE(e->Imported);
    EXPECT_GE(burner_.FirstFileLba + e->IsoExtent, burner_.FirstFileLba) << path;
    EXPECT_LT(burner_.FirstFileLba + e->IsoExtent, burner_.VolumeSpaceSize) << path;
  }
  uint8_t sector[2048] = {};
  ASSERT_TRUE(burner_.Read10(next + 16, 1, sector, sizeof sector));
  EXPECT_EQ(sector[0], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 1, 5), "CD001");
  EXPECT_EQ(GetLe32(std::span<const uint8_t>(sector, 2048), 80), static_cast<uint32_t>(burner_.VolumeSpaceSize));

  EXPECT_TRUE(SameFiles(ReadBack(-1), Expected(TreeContents(all_.begin(), all_.end()))));
  EXPECT_TRUE(SameFiles(ReadBack(1), Expected(first)));
}

TEST_F(MultisessionTest, SessionNumbersAboveTheCountOrNegativeMeanTheLast) {
  Load("cd-r", image_);
  Session(1, {{"s1.txt", "1"}});
  Session(2, {{"s2.txt", "2"}});
  Session(3, {{"s3.txt", "3"}});
  const auto last = Expected({{"s1.txt", "1"}, {"s2.txt", "2"}, {"s3.txt", "3"}});
  EXPECT_TRUE(SameFiles(ReadBack(-1), last));
  EXPECT_EQ(burner_.ImportedSession, 3);
  EXPECT_TRUE(SameFiles(ReadBack(5), last));
  EXPECT_EQ(burner_.ImportedSession, 3);
  EXPECT_TRUE(SameFiles(ReadBack(255), last));
  EXPECT_TRUE(SameFiles(ReadBack(2), Expected({{"s1.txt", "1"}, {"s2.txt", "2"}})));
  EXPECT_TRUE(SameFiles(ReadBack(1), Expected({{"s1.txt", "1"}})));
}

TEST_F(MultisessionTest, EveryLayoutImportsAgainWithoutDuplicatesOrMessages) {
  Load("cd-r", image_);
  Session(1, {{"a.txt", "a"}, {"d/b.txt", "b"}});
  MakeTree(dir_ / "src2", {{"d/c.txt", "c"}});
  ASSERT_TRUE(burner_.ClearCompilation(1000, 100));
  burner_.SessionToImport = 0xFFFF;
  ASSERT_GT(burner_.AddFolder("\\", dir_ / "src2/", false, false, true, faAnyFile, "*"), 0);
  burner_.CalculateLayout(false, nullptr);
  const int files = burner_.FileCount();
  const int64_t sectors = burner_.ImageSectors();
  EXPECT_EQ(files, 4);  // a.txt, d, d/b.txt and d/c.txt
  ClearLog();
  burner_.CalculateLayout(false, nullptr);
  burner_.CalculateLayout(false, nullptr);
  EXPECT_EQ(burner_.FileCount(), files);
  EXPECT_EQ(burner_.ImageSectors(), sectors);
  EXPECT_EQ(CompilationLines(), "");
  EXPECT_EQ(burner_.SessionStart, 0) << "only a writing job asks where the session starts";
}

// The session to import is the low byte of SessionToImport: FFFFh and
// 1FFh are the last session, 102h is session 2, and 100h none at all.
TEST_F(MultisessionTest, OnlyTheLowByteOfTheSessionToImportNamesTheSession) {
  Load("cd-r", image_);
  Session(1, {{"s1.txt", "1"}});
  Session(2, {{"s2.txt", "2"}});
  Session(3, {{"s3.txt", "3"}});
  const auto imported = [this](uint16_t value) {
    EXPECT_TRUE(burner_.ClearCompilation(1000, 100));
    burner_.SessionToImport = value;
    burner_.CalculateLayout(false, nullptr);
    std::string names;
    for (const char* name : {"s1.txt", "s2.txt", "s3.txt"}) {
      if (FindPath(burner_, name) != nullptr) names += std::string(names.empty() ? "" : " ") + name;
    }
    return names;
  };
  EXPECT_EQ(imported(0xFFFF), "s1.txt s2.txt s3.txt");
  EXPECT_EQ(imported(0x01FF), "s1.txt s2.txt s3.txt");
  EXPECT_EQ(imported(0x0102), "s1.txt s2.txt");
  EXPECT_EQ(imported(0x0001), "s1.txt");
  EXPECT_EQ(imported(0x0100), "") << "256 imports nothing, not the last session";
  EXPECT_EQ(imported(0), "");
}

TEST_F(MultisessionTest, AClosedDiscHasNoNextWritableAddress) {
  Load("cd-r", image_);
  burner_.FinalizeDisc = true;  // the session closes the disc
  Session(1, {{"a.txt", "a"}});
  burner_.FinalizeDisc = false;
  ClearLog();
  burner_.WritingToDisc = true;
  burner_.LayoutImage(false, nullptr);
  burner_.WritingToDisc = false;
  EXPECT_THAT(Log(), HasSubstr(">>> ERROR GETTING NEXT WRITABLE ADDRESS\n"));
  EXPECT_EQ(burner_.SessionStart, 0);
}

// A formatted overwritable DVD holding a volume; the sectors after its
// descriptors hold nothing. The kinds differ only in their state file.
struct HeldVolume {
  const char* name;
  const char* kind;
  const char* state;
  uint32_t volume;
  int32_t start;  // after the volume, on a whole ECC block of 16 sectors
  TDiscKind recorded;
};

class OverwritableDvd : public MultisessionTest, public ::testing::WithParamInterface<HeldVolume> {};

TEST_P(OverwritableDvd, StartsAfterTheVolumeItHoldsAndAtZeroOnceErased) {
  const HeldVolume& c = GetParam();
  MiniDisc disc(40);
  disc.Descriptor(16, 1, 20, 2048, c.volume);
  WriteFile(image_, disc.bytes());
  WriteFile(image_ + ".state", c.state);
  Load(c.kind, image_);
  EXPECT_EQ(burner_.FindLastVolumeSize(), c.volume);
  EXPECT_TRUE(burner_.FindSessionStart());
  EXPECT_EQ(burner_.RecordedDiscKind(), c.recorded);
  EXPECT_EQ(burner_.SessionStart, c.start) << "after the volume, on a whole ECC block of 16 sectors";

  // Erased: nothing recognisable, the new volume replaces the old one.
  transport::AspiUnload();
  WriteFile(image_, std::string(40 * 2048, '\0'));
  Load(c.kind, image_);
  EXPECT_EQ(burner_.FindLastVolumeSize(), 0u);
  EXPECT_TRUE(burner_.FindSessionStart());
  EXPECT_EQ(burner_.SessionStart, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OverwritableDvd,
    ::testing::Values(HeldVolume{"DvdPlusRw", "dvd+rw",
                                 "zamo-disc 1\nkind dvd+rw\nfinalized yes\nformatted yes\nrestricted-overwrite no\n"
                                 "session 1 closed\ntrack 1 complete 0 2295104 2295104\n",
                                 5000, 5008, dkDvdPlusRw},
                      HeldVolume{"RestrictedOverwriteDvdRw", "dvd-rw",
                                 "zamo-disc 1\nkind dvd-rw\nfinalized yes\nformatted yes\nrestricted-overwrite yes\n"
                                 "session 1 closed\ntrack 1 complete 0 2295104 2295104\n",
                                 7000, 7008, dkDvdRwRestricted}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(MultisessionTest, ABlankSequentialDvdRwStartsAtZero) {
  Load("dvd-rw", image_);
  EXPECT_TRUE(burner_.FindSessionStart());
  EXPECT_EQ(burner_.SessionStart, 0);
  EXPECT_EQ(burner_.RecordedDiscKind(), dkDvdRwSequential);
}

// The burn job itself (the writer thread) with the layout's disc step: the
// second session imports the first and both read back whole, on every kind
// of disc that takes a second session (a new volume after the first one on
// the overwritable kinds).
class RecordingJob : public MultisessionTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RecordingJob, LaysTheSecondSessionOutAfterTheFirst) {
  Load(GetParam(), image_);
  MakeTree(dir_ / "a", {{"un.txt", "1"}, {"rep/x.bin", Bytes(9000, 3)}});
  MakeTree(dir_ / "b", {{"deux.txt", "2"}, {"rep/y.bin", Bytes(7000, 4)}});
  BurnAsSession(dir_ / "a", 0);
  const int32_t first_end = static_cast<int32_t>(burner_.VolumeSpaceSize);
  BurnAsSession(dir_ / "b", 0xFFFF);
  EXPECT_GE(burner_.SessionStart, first_end) << "the second session overwrote the first";
  EXPECT_THAT(Log(), HasSubstr(">>> IMPORTER LA SESSION # 1\n"));
  EXPECT_TRUE(SameFiles(ReadBack(-1), Expected({{"un.txt", "1"}, {"rep/x.bin", Bytes(9000, 3)}, {"deux.txt", "2"},
                                    {"rep/y.bin", Bytes(7000, 4)}})));
}

INSTANTIATE_TEST_SUITE_P(Kinds, RecordingJob,
                         ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd+r", "dvd+rw", "dvd-ram", "dvd-rw",
                                           "dvd+r-dl"),
                         KindParamName());

}  // namespace
}  // namespace zamo::test
