// Sessions imported from images made by this program and by the peer tools
// (genisoimage, xorriso), loaded in the emulated recorder as CD-ROMs: the
// tree, names, sizes and dates match the source, and every file extracted
// from it has the source's bytes and modification time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;

constexpr int64_t kBaseTime = 1181899800;  // 15 June 2007 09:30:00 UTC

const TreeContents& Sources() {
  static const TreeContents tree = {
      {"Lisez-moi.txt", "Bonjour\n"},
      {"readme", "no extension\n"},
      {"Photos d'été/plage.jpg", Bytes(300000, 1)},
      {"Photos d'été/vide.txt", ""},
      {"Documents/rapport annuel 2024.pdf", Bytes(123457, 2)},
      {"Documents/Archives/ancien.doc", Bytes(2049, 3)},
      {"Documents/Archives/exact.bin", Bytes(63488, 4)},
      {"Ünïcödé ☃名前.txt", "unicode\n"},
      {"a/b/c/d/e/f/profond.txt", "deep\n"},
  };
  return tree;
}

// Makes the source tree with a distinct modification time for each file.
void MakeSources(const std::string& root) {
  MakeTree(root, Sources());
  int64_t t = kBaseTime;
  for (const auto& [path, content] : Sources()) SetModifiedTime(root + "/" + path, t += 86400 + 61);
}

int64_t ModifiedTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

class ImportImages : public DiscTest, public ::testing::WithParamInterface<Maker> {
 protected:
  // The image of the sources by the maker under test, loaded as a CD-ROM.
  void LoadImage() {
    const Maker maker = GetParam();
    if (maker != Maker::kZamo && maker != Maker::kZamoNoJoliet &&
        !HaveProgram(maker == Maker::kXorriso ? "xorriso" : "genisoimage"))
      GTEST_SKIP() << "no " << MakerName(maker);
    MakeSources(dir_ / "src");
    const std::string iso = dir_ / "disc.iso";
    ASSERT_EQ(MakeImage(maker, dir_ / "src", iso), "");
    Load("cd-rom", iso);
    ASSERT_TRUE(burner_.ClearCompilation(600000, 20000));
  }
  bool Joliet() const { return GetParam() != Maker::kZamoNoJoliet && GetParam() != Maker::kGenisoimageNoJoliet; }
};

TEST_P(ImportImages, TreeAndDatesMatchTheSource) {
  LoadImage();
  if (IsSkipped()) return;
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << Log();
  EXPECT_EQ(burner_.ImportedSession, 1);
  EXPECT_EQ(burner_.ImportedJoliet, Joliet());
  EXPECT_THAT(Log(), HasSubstr(">>> IMPORTER LA SESSION # 1\n"));
  EXPECT_EQ(CompilationLines(), "");
  if (!Joliet()) {
    // The ISO 9660 names, as isoinfo lists them, without their ";1".
    const RunResult listing = test::Run({"isoinfo", "-f", "-i", dir_ / "disc.iso"});
    ASSERT_EQ(listing.status, 0);
    std::map<std::string, int64_t> expected;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
      std::string path = std::regex_replace(line.substr(1), std::regex(";1$"), "");
      if (path.ends_with(".") && path.find('.') == path.size() - 1) path.pop_back();
      if (line.find(";1") == std::string::npos) path += "/";
      expected[path] = 0;
    }
    std::map<std::string, int64_t> got = TreePaths(burner_.RootDir);
    for (auto& [path, size] : got) size = 0;
    EXPECT_EQ(got, expected);
    return;
  }
  EXPECT_EQ(TreePaths(burner_.RootDir), DiskPaths(dir_ / "src"));
  for (const auto& [path, content] : Sources()) {
    const TFEntry* entry = FindPath(burner_, path);
    ASSERT_NE(entry, nullptr) << path;
    EXPECT_TRUE(entry->Imported) << path;
    EXPECT_GE(entry->IsoExtent, content.empty() ? 0 : 16) << path;
    time_t seconds = 0;
    ASSERT_TRUE(DateTimeToUnix(entry->DateTime, seconds));
    EXPECT_EQ(seconds, ModifiedTime(dir_ / "src/" + path)) << path;
  }
}

TEST_P(ImportImages, ExtractedFilesHaveTheSourcesBytesAndDates) {
  LoadImage();
  if (IsSkipped()) return;
  ASSERT_TRUE(burner_.ImportSessionTree(1, nullptr)) << Log();
  ExtractAll(burner_.RootDir, dir_ / "out");
  if (!Joliet()) {
    // Other names, the same contents.
    std::vector<std::string> got, expected;
    for (const auto& [path, content] : ReadTree(dir_ / "out")) if (!path.ends_with("/")) got.push_back(content);
    for (const auto& [path, content] : Sources()) expected.push_back(content);
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(got == expected);
    return;
  }
  EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), ReadTree(dir_ / "src")));
  for (const auto& [path, content] : Sources())
    EXPECT_EQ(ModifiedTime(dir_ / "out/" + path), ModifiedTime(dir_ / "src/" + path)) << path;
  EXPECT_THAT(Log(), HasSubstr(">>> EXTRAIRE LES FICHIERS plage.jpg vers " + (dir_ / "out/Photos d'été/plage.jpg")));
}

INSTANTIATE_TEST_SUITE_P(Makers, ImportImages,
                         ::testing::Values(Maker::kZamo, Maker::kZamoNoJoliet, Maker::kGenisoimage,
                                           Maker::kGenisoimageNoJoliet, Maker::kXorriso),
                         [](const auto& p) { return std::string(MakerName(p.param)); });

class ImportTest : public DiscTest {};

TEST_F(ImportTest, TheLongestNamesOfOurImagesComeBackWhole) {
  const std::string file(108, 'f');
  const std::string folder(110, 'd');
  MakeTree(dir_ / "src", {{file, "1"}, {folder + "/" + std::string(104, 'g') + ".txt", "2"}});
  ASSERT_EQ(MakeImage(Maker::kZamo, dir_ / "src", dir_ / "disc.iso"), "");
  Load("cd-rom", dir_ / "disc.iso");
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << Log();
  EXPECT_EQ(TreePaths(burner_.RootDir), DiskPaths(dir_ / "src"));
  EXPECT_EQ(CompilationLines(), "");
}

TEST_F(ImportTest, NoDiscNoSessionAndNoFileSystemAreFailures) {
  MakeTree(dir_ / "src", {{"a.txt", "a"}});
  ASSERT_EQ(MakeImage(Maker::kZamo, dir_ / "src", dir_ / "disc.iso"), "");
  Load("cd-rom", dir_ / "disc.iso", ",disc=none");
  EXPECT_FALSE(burner_.ImportSessionTree(-1, nullptr));
  EXPECT_EQ(burner_.ImportedSession, 0);
  transport::AspiUnload();

  // A blank CD-R has no session to import.
  Load("cd-r", dir_ / "blank.img");
  EXPECT_FALSE(burner_.ImportSessionTree(-1, nullptr));
  EXPECT_EQ(burner_.FileCount(), 0);
  transport::AspiUnload();

  // Data without a volume descriptor.
  WriteFile(dir_ / "zeros.iso", std::string(400 * 2048, '\0'));
  ClearLog();
  Load("cd-rom", dir_ / "zeros.iso");
  EXPECT_FALSE(burner_.ImportSessionTree(-1, nullptr));
  EXPECT_THAT(Log(), HasSubstr(">>> ERREUR IMPORTATION DE SESSION 1 (IMAGE ISO NON TROUVÉE)\n"));
  EXPECT_FALSE(burner_.ImportSessionTree(0, nullptr)) << "0 imports nothing";
}

TEST_F(ImportTest, ImportIntoAFolderOfTheCompilation) {
  MakeTree(dir_ / "src", {{"x/y.txt", "y"}});
  ASSERT_EQ(MakeImage(Maker::kZamo, dir_ / "src", dir_ / "disc.iso"), "");
  Load("cd-rom", dir_ / "disc.iso");
  TDEntry* into = burner_.ForceDirs("\\Ancien disque");
  ASSERT_NE(into, nullptr);
  ASSERT_TRUE(burner_.ImportSessionTree(1, into));
  EXPECT_EQ(TreePaths(burner_.RootDir),
            (std::map<std::string, int64_t>{{"Ancien disque/", 0}, {"Ancien disque/x/", 0}, {"Ancien disque/x/y.txt", 1}}));
  EXPECT_NE(burner_.FindDir("\\ANCIEN DISQUE\\X"), nullptr);
}

}  // namespace
}  // namespace zamo::test
