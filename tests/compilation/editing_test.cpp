// Deleting entries and directories keeps the arrays, the lists and the
// lookups consistent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/compilation/burner_fixture.h"

namespace zamo {
namespace {

using test::BurnerTest;

class EditingTest : public BurnerTest {
 protected:
  std::vector<std::string> Children(const TDEntry* dir) {
    std::vector<std::string> names;
    for (const TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) names.push_back(e->LongName);
    return names;
  }
  bool InArrays(const TDEntry* dir) {
    bool found[3] = {false, false, false};
    for (const TDEntry* d : burner.DirEntries()) found[0] |= d == dir;
    for (const TDEntry* d : burner.IsoDirOrder()) found[1] |= d == dir;
    for (const TDEntry* d : burner.JolietDirOrder()) found[2] |= d == dir;
    EXPECT_EQ(found[0], found[1]);
    EXPECT_EQ(found[0], found[2]);
    return found[0];
  }
};

TEST_F(EditingTest, DeletingADirectoryTakesItsWholeSubtree) {
  TDEntry* dir = AddDir(burner.RootDir, "d");
  AddFile(dir, "one.txt");
  AddFile(dir, "two.txt");
  TDEntry* sub = AddDir(dir, "sub");
  AddFile(sub, "three.txt");
  TDEntry* other = AddDir(burner.RootDir, "other");
  AddFile(other, "keep.txt");
  ASSERT_EQ(burner.DirectoryCount(), 3);
  ASSERT_EQ(burner.FileCount(), 7);
  TDEntry* doomed = dir;
  EXPECT_TRUE(burner.DeleteDir(doomed));
  EXPECT_EQ(doomed, nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 1);
  EXPECT_EQ(burner.FileCount(), 2);  // five entries gone: two files, the file below, two directory entries
  EXPECT_EQ(burner.FindDir("\\D"), nullptr);
  EXPECT_EQ(burner.FindDir("\\D\\SUB"), nullptr);
  EXPECT_EQ(burner.FindChild(burner.RootDir, "d"), nullptr);
  EXPECT_EQ(Children(burner.RootDir), std::vector<std::string>{"other"});
  EXPECT_TRUE(InArrays(other));
  EXPECT_EQ(burner.FileEntries().size(), 2u);
  for (const TFEntry* e : burner.FileEntries()) EXPECT_NE(e, nullptr);
}

TEST_F(EditingTest, RootCannotBeDeleted) {
  AddFile(burner.RootDir, "a.txt");
  TDEntry* root = burner.RootDir;
  EXPECT_FALSE(burner.DeleteDir(root));
  EXPECT_EQ(root, burner.RootDir);
  EXPECT_EQ(burner.FileCount(), 1);
}

TEST_F(EditingTest, DeletingAfterALayoutMatchesNeverHavingAdded) {
  auto build = [&](bool with_extra) {
    burner.ClearCompilation(1000, 100);
    TDEntry* b = AddDir(burner.RootDir, "B");
    TDEntry* extra = with_extra ? AddDir(burner.RootDir, "A") : nullptr;
    if (extra != nullptr) AddDir(extra, "Inner");
    AddDir(b, "C");
    AddFile(b, "f.txt", 5000);
    AddFile(burner.RootDir, "g.txt", 10);
    if (extra != nullptr) {
      burner.LayoutImage(true, nullptr);  // reorders the path-table arrays
      burner.DeleteDir(extra);
    }
    burner.LayoutImage(true, nullptr);
    burner.BuildImageHeader(true, nullptr);
    return std::vector<uint8_t>(burner.ImageStream.Memory().begin(), burner.ImageStream.Memory().end());
  };
  const auto with = build(true);
  const auto without = build(false);
  EXPECT_EQ(with, without);
}

TEST_F(EditingTest, RemoveEmptyDirsWorksFromTheLeavesUp) {
  TDEntry* a = AddDir(burner.RootDir, "A");
  TDEntry* b = AddDir(a, "B");
  AddDir(b, "C");
  TDEntry* kept = AddDir(burner.RootDir, "K");
  TDEntry* kept_inner = AddDir(kept, "Inner");
  AddDir(kept, "Empty");
  AddFile(kept_inner, "file.txt");
  EXPECT_TRUE(burner.RemoveEmptyDirs());
  EXPECT_EQ(burner.FindDir("\\A"), nullptr);
  EXPECT_EQ(burner.FindDir("\\A\\B\\C"), nullptr);
  EXPECT_EQ(burner.FindDir("\\K\\EMPTY"), nullptr);
  EXPECT_EQ(burner.FindDir("\\K\\INNER"), kept_inner);
  EXPECT_EQ(burner.DirectoryCount(), 2);
  EXPECT_EQ(burner.FileCount(), 3);
  EXPECT_EQ(Children(burner.RootDir), std::vector<std::string>{"K"});
  EXPECT_EQ(Children(kept), std::vector<std::string>{"Inner"});
}

TEST_F(EditingTest, ListStaysLinkedAfterDeletingAtEitherEnd) {
  TFEntry* first = AddFile(burner.RootDir, "1.txt");
  AddFile(burner.RootDir, "2.txt");
  TFEntry* last = AddFile(burner.RootDir, "3.txt");
  TDEntry* root = burner.RootDir;
  ASSERT_TRUE(burner.DeleteChild(root, first));
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(burner.RootDir->FirstChild->LongName, "2.txt");
  ASSERT_TRUE(burner.DeleteChild(root, last));
  EXPECT_EQ(burner.RootDir->FirstChild->Next, nullptr);
  AddFile(burner.RootDir, "4.txt");  // appends after the new last entry
  EXPECT_EQ(Children(burner.RootDir), (std::vector<std::string>{"2.txt", "4.txt"}));
  TFEntry* only = burner.FindChild(root, "2.txt");
  ASSERT_TRUE(burner.DeleteChild(root, only));
  TFEntry* four = burner.FindChild(root, "4.txt");
  ASSERT_TRUE(burner.DeleteChild(root, four));
  EXPECT_EQ(burner.RootDir->FirstChild, nullptr);
  AddFile(burner.RootDir, "5.txt");
  EXPECT_EQ(Children(burner.RootDir), std::vector<std::string>{"5.txt"});
}

TEST_F(EditingTest, DeleteByNameIgnoresLetterCase) {
  TDEntry* d = AddDir(burner.RootDir, "Docs");
  AddFile(d, "Report.PDF");
  EXPECT_TRUE(burner.DeleteByName("\\docs\\", "report.pdf"));
  EXPECT_EQ(d->FirstChild, nullptr);
  EXPECT_FALSE(burner.DeleteByName("\\docs", "report.pdf"));
  EXPECT_FALSE(burner.DeleteByName("\\nowhere", "x"));
}

TEST_F(EditingTest, AnEntryOfAnotherDirectoryIsNotDeleted) {
  TDEntry* a = AddDir(burner.RootDir, "A");
  TDEntry* b = AddDir(burner.RootDir, "B");
  TFEntry* in_b = AddFile(b, "x.txt");
  TFEntry* keep = in_b;
  EXPECT_FALSE(burner.DeleteChild(a, in_b));
  EXPECT_EQ(in_b, keep);
  EXPECT_EQ(burner.FindChild(b, "x.txt"), keep);
  EXPECT_EQ(burner.FileCount(), 3);
}

TEST_F(EditingTest, DeleteDirFindsItsOwnEntryNotAFileOfTheSameName) {
  // A file "Same.d" comes first in the root's list; the directory of the
  // same name is added afterwards (directories are checked by path only).
  TFEntry* file = AddFile(burner.RootDir, "Same.d");
  TDEntry* dir = AddDir(burner.RootDir, "same.d");
  AddFile(dir, "inner.txt");
  ASSERT_EQ(Children(burner.RootDir), (std::vector<std::string>{"Same.d", "same.d"}));
  TDEntry* doomed = dir;
  EXPECT_TRUE(burner.DeleteDir(doomed));
  EXPECT_EQ(Children(burner.RootDir), std::vector<std::string>{"Same.d"});
  EXPECT_EQ(burner.RootDir->FirstChild, file);
  EXPECT_EQ(burner.DirectoryCount(), 0);
  EXPECT_EQ(burner.FileCount(), 1);
}

TEST_F(EditingTest, LookupsForgetDeletedEntries) {
  TDEntry* d = AddDir(burner.RootDir, "d");
  AddFile(d, "a.txt");
  TDEntry* doomed = d;
  burner.DeleteDir(doomed);
  TDEntry* again = AddDir(burner.RootDir, "D");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->FirstChild, nullptr);
  EXPECT_EQ(burner.FindChild(again, "a.txt"), nullptr);
  EXPECT_NE(AddFile(again, "a.txt"), nullptr);
}

}  // namespace
}  // namespace zamo
