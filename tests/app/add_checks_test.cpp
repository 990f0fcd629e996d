// add_checks_test.cpp: the main window's checks on the files and folders
// the component adds (OnAddFile, OnAddDir), driven through the component's
// AddFolder and AddFile: what the tree keeps and the exact log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "app/add_checks.h"
#include "burner/platform/file_attributes.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using ::testing::ElementsAre;

std::string Repeat(const std::string& unit, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += unit;
  return text;
}

class AddChecksTest : public ::testing::Test {
 protected:
  AddChecksTest()
      : checks_(burner_, [this](const std::string& line) { log_.push_back(line); },
                [this](const std::string& text) { sizes_.push_back(text); }) {
    checks_.Connect();
    // The component's own lines go to the same log, as in the window.
    burner_.OnDebugMessage = [this](TObject*, const std::string& message, uint8_t) { log_.push_back(message); };
    EXPECT_TRUE(burner_.ClearCompilation(600000, 20000));
  }

  // The long names of a directory's entries, in list order.
  std::vector<std::string> Names(const std::string& disc_path) const {
    std::vector<std::string> names;
    const TDEntry* dir = burner_.FindDir(disc_path);
    if (dir == nullptr) return {"<no such folder>"};
    for (const TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) names.push_back(e->LongName);
    return names;
  }

  test::TempDir dir_;
  TVeskBurner burner_{nullptr};
  std::vector<std::string> log_;
  std::vector<std::string> sizes_;
  TAddChecks checks_;
};

TEST_F(AddChecksTest, AFileNameOf107CharactersIsTakenAndOf108Refused) {
  // Accented letters: two bytes each, one character each.
  const std::string taken = Repeat("é", 103) + ".txt";     // 107 characters
  const std::string refused = Repeat("a", 104) + ".txt";   // 108
  const std::string refused_too = Repeat("a", 105) + ".txt";  // 109: the component alone would take it
  test::MakeTree(dir_.path(), {{"src/" + taken, "1"}, {"src/" + refused, "2"}, {"src/" + refused_too, "3"}});
  ASSERT_NE(burner_.AddFolder("\\", dir_ / "src/", false, false, false, faAnyFile, "*.*"), -1);

  EXPECT_THAT(Names("\\"), ElementsAre(taken));
  EXPECT_THAT(log_, ElementsAre(">>> ABANDON; NOM FICHIER > 107 " + dir_ / "src/" + refused,
                                ">>> ABANDON; NOM FICHIER > 107 " + dir_ / "src/" + refused_too));
}

TEST_F(AddChecksTest, AFileThatCannotBeOpenedIsLeftOutAndTheRestGoesOn) {
  test::MakeTree(dir_.path(), {{"src/a.txt", "a"}, {"src/b.txt", "b"}, {"src/c.txt", "c"}});
  // b.txt goes away between the listing and its check, as a file another
  // program deletes or locks meanwhile.
  const TAddFileEvent check = burner_.OnAddFile;
  const std::string victim = dir_ / "src/b.txt";
  burner_.OnAddFile = [&](TObject* sender, const std::string& path, std::string& long_name, std::string& short_name,
                          TDateTime& date, int attr, int64_t size, bool& skip) {
    if (path == victim) unlink(victim.c_str());
    check(sender, path, long_name, short_name, date, attr, size, skip);
  };
  ASSERT_EQ(burner_.AddFolder("\\", dir_ / "src/", false, false, false, faAnyFile, "*.*"), 1);
  EXPECT_THAT(Names("\\"), ElementsAre("a.txt", "c.txt"));
  EXPECT_THAT(log_, ElementsAre(">>> ABANDON; LE FICHIER EST DÉJÀ UTILISÉ  " + victim));

  // AddFile meets the same check.
  log_.clear();
  test::WriteFile(victim, "b");
  EXPECT_EQ(burner_.AddFile("\\", victim, false), 1);
  EXPECT_THAT(Names("\\"), ElementsAre("a.txt", "c.txt"));
  EXPECT_THAT(log_, ElementsAre(">>> ABANDON; LE FICHIER EST DÉJÀ UTILISÉ  " + victim));
}

TEST_F(AddChecksTest, TheSizeLabelShowsTheTotalBeforeEachFileItKeeps) {
  test::MakeTree(dir_.path(), {{"src/1.bin", std::string(1048576, '1')},
                               {"src/2.bin", std::string(2 * 1048576 + 1, '2')},
                               {"src/3-" + Repeat("x", 110) + ".bin", "skipped"},
                               {"src/4.bin", std::string(10, '4')}});
  ASSERT_EQ(burner_.AddFolder("\\", dir_ / "src/", false, false, false, faAnyFile, "*.*"), 1);
  // 2.bin counts as 2 MiB + one sector; the skipped file (third in the
  // folder's order) shows nothing.
  EXPECT_THAT(sizes_, ElementsAre("0.00 MB", "1.00 MB", "3.00 MB"));
  EXPECT_THAT(Names("\\"), ElementsAre("1.bin", "2.bin", "4.bin"));
  EXPECT_EQ(burner_.CompilationBytes, 1048576 + 2 * 1048576 + 2048 + 2048);
}

TEST_F(AddChecksTest, AFolderNameAboveTheJolietLimitIsLeftOutWithEverythingBelowIt) {
  const std::string kept = Repeat("é", 110);  // 110 characters (220 bytes)
  const std::string refused = Repeat("d", 111);
  test::MakeTree(dir_.path(), {{"src/" + kept + "/in.txt", "1"},
                               {"src/" + refused + "/lost.txt", "2"},
                               {"src/" + refused + "/deeper/lost2.txt", "3"},
                               {"src/ok/sub/" + refused + "/lost3.txt", "4"},
                               {"src/ok/sub/f.txt", "5"},
                               {"src/top.txt", "6"}});
  ASSERT_EQ(burner_.AddFolder("\\", dir_ / "src/", false, false, true, faAnyFile, "*.*"), 1);

  EXPECT_THAT(Names("\\"), ElementsAre("ok", kept, "top.txt"));  // O before É: the folder's order
  EXPECT_THAT(Names("\\" + kept), ElementsAre("in.txt"));
  EXPECT_THAT(Names("\\OK\\SUB"), ElementsAre("f.txt"));
  EXPECT_EQ(burner_.FindDir("\\" + refused), nullptr);
  for (const TFEntry* entry : burner_.FileEntries()) EXPECT_EQ(entry->LongName.find("lost"), std::string::npos);

  // Each refusal: the message with the limit, then the name on its own line.
  const std::string message = ">>> ** NOM DE FICHIER INVALIDE (LA LONGUEUR NE DOIT PAS DÉPASSER 110)";
  std::vector<size_t> at;
  for (size_t i = 0; i < log_.size(); ++i)
    if (log_[i] == message) at.push_back(i);
  ASSERT_EQ(at.size(), 2u) << ::testing::PrintToString(log_);
  for (size_t i : at) {
    ASSERT_LT(i + 1, log_.size());
    EXPECT_EQ(log_[i + 1], "     " + refused);
  }
}

}  // namespace
}  // namespace zamo
