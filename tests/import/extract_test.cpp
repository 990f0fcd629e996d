// Extraction failures: an unreadable sector, a write that fails, a
// destination that cannot be made. Each is a failure with a French message
// naming what failed, and none leaves a partial file behind or touches what
// the destination held before.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;

class ExtractTest : public DiscTest {
 protected:
  void SetUp() override {
    DiscTest::SetUp();
    MakeTree(dir_ / "src", {{"petit.txt", "petit\n"}, {"grand.bin", Bytes(300000, 7)}});
    iso_ = dir_ / "disc.iso";
    ASSERT_EQ(MakeImage(Maker::kZamo, dir_ / "src", iso_), "");
    Load("cd-rom", iso_);
    ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << Log();
    grand_ = FindPath(burner_, "grand.bin");
    ASSERT_NE(grand_, nullptr);
    mkdir((dir_ / "out").c_str(), 0777);
  }

  // Names in `folder` other than `keep`: leftovers of a failed extraction.
  std::vector<std::string> Leftovers(const std::string& folder, const std::string& keep = "") {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
      const std::string name = item.path().filename().string();
      if (name != keep) names.push_back(name);
    }
    return names;
  }

  std::string iso_;
  const TFEntry* grand_ = nullptr;
};

TEST_F(ExtractTest, AnUnreadableSectorFailsNamingFileAndSectorAndLeavesTheDestinationAlone) {
  // The disc ends 10 sectors into the file's data, as a damaged one would.
  const uint32_t bad = static_cast<uint32_t>(grand_->IsoExtent) + 10;
  transport::AspiUnload();
  ASSERT_EQ(truncate(iso_.c_str(), off_t{bad} * 2048), 0);
  Load("cd-rom", iso_);
  WriteFile(dir_ / "out/grand.bin", "what was there before");
  EXPECT_FALSE(burner_.ExtractFile(grand_, dir_ / "out/grand.bin"));
  EXPECT_THAT(burner_.ExtractError,
              HasSubstr("ERREUR DE LECTURE DU DISQUE: FICHIER \"grand.bin\", SECTEUR " + std::to_string(bad) + " ("));
  EXPECT_THAT(Log(), HasSubstr(">>> " + burner_.ExtractError));
  EXPECT_EQ(ReadFile(dir_ / "out/grand.bin"), "what was there before");
  EXPECT_TRUE(Leftovers(dir_ / "out", "grand.bin").empty());
}

TEST_F(ExtractTest, AFailedWriteRemovesThePartialFile) {
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = burner_.ExtractFile(grand_, dir_ / "out/grand.bin");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(ok);
  EXPECT_THAT(burner_.ExtractError, HasSubstr("ERREUR D'ÉCRITURE DU FICHIER \"" + (dir_ / "out/grand.bin") + "\""));
  EXPECT_TRUE(Leftovers(dir_ / "out").empty());
}

TEST_F(ExtractTest, ADestinationThatCannotBeMadeIsAFailureNotAnException) {
  EXPECT_FALSE(burner_.ExtractFile(grand_, dir_ / "missing/folder/grand.bin"));
  EXPECT_THAT(burner_.ExtractError, HasSubstr("IMPOSSIBLE DE CRÉER LE FICHIER \"" + (dir_ / "missing/folder/grand.bin")));
  mkdir((dir_ / "out/grand.bin").c_str(), 0777);  // a folder holds the name
  EXPECT_FALSE(burner_.ExtractFile(grand_, dir_ / "out/grand.bin"));
  EXPECT_TRUE(Leftovers(dir_ / "out", "grand.bin").empty());
}

TEST_F(ExtractTest, ADateThatCannotBeGivenFailsTheFileToo) {
  TFEntry odd = *FindPath(burner_, "petit.txt");
  odd.DateTime = 1e12;  // no time stamp of the file system holds it
  EXPECT_FALSE(burner_.ExtractFile(&odd, dir_ / "out/petit.txt"));
  EXPECT_THAT(burner_.ExtractError, HasSubstr("IMPOSSIBLE DE DONNER SA DATE AU FICHIER"));
  EXPECT_TRUE(Leftovers(dir_ / "out").empty());
}

TEST_F(ExtractTest, OnlyFilesReadFromTheDiscCanBeExtracted) {
  EXPECT_FALSE(burner_.ExtractFile(nullptr, dir_ / "out/x"));
  WriteFile(dir_ / "new.txt", "new");
  ASSERT_EQ(burner_.AddFile("\\", dir_ / "new.txt", false), 1);
  const TFEntry* added = FindPath(burner_, "new.txt");
  ASSERT_NE(added, nullptr);
  EXPECT_FALSE(burner_.ExtractFile(added, dir_ / "out/new.txt"));
  EXPECT_THAT(burner_.ExtractError, HasSubstr("\"new.txt\" N'EST PAS UN FICHIER DU DISQUE"));
  EXPECT_TRUE(Leftovers(dir_ / "out").empty());
}

TEST_F(ExtractTest, ANameAtTheFileSystemsLimitIsStillADestination) {
  const std::string name(255, 'n');  // NAME_MAX: the temporary file cannot be named after it
  ASSERT_TRUE(burner_.ExtractFile(FindPath(burner_, "petit.txt"), dir_ / "out/" + name)) << burner_.ExtractError;
  EXPECT_EQ(ReadFile(dir_ / "out/" + name), "petit\n");
  EXPECT_TRUE(Leftovers(dir_ / "out", name).empty());
}

TEST_F(ExtractTest, AnExistingFileOrLinkIsReplacedNeverFollowed) {
  WriteFile(dir_ / "target.txt", "must stay");
  ASSERT_EQ(symlink((dir_ / "target.txt").c_str(), (dir_ / "out/petit.txt").c_str()), 0);
  ASSERT_TRUE(burner_.ExtractFile(FindPath(burner_, "petit.txt"), dir_ / "out/petit.txt")) << burner_.ExtractError;
  EXPECT_EQ(ReadFile(dir_ / "out/petit.txt"), "petit\n");
  EXPECT_EQ(ReadFile(dir_ / "target.txt"), "must stay");
  struct stat st {};
  ASSERT_EQ(lstat((dir_ / "out/petit.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~[] { const mode_t m = umask(0); umask(m); return m; }());
}

}  // namespace
}  // namespace zamo::test
