// The lean tree. A file's source path, rebuilt from its folder's path and
// its name: the right file for every kind of name (its long name, the long
// name less the "." added to a name without one, a name OnAddFile changed),
// shared folder copies, a replaced entry, and the bytes both saves read from
// those paths. A tree left to the process' end rather than freed.
#include <malloc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <functional>
#include <string>
#include <vector>

#include "burner/platform/call_queue.h"
#include "tests/compilation/burner_fixture.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

struct NameCase {
  const char* on_disk;      // the file's name in its folder
  const char* renamed;      // what OnAddFile makes of its long name ("" leaves it)
  const char* long_name;    // the entry's long name
  TSourceName kind;
};

class SourcePathNames : public BurnerTest, public ::testing::WithParamInterface<NameCase> {
 protected:
  TempDir dir;
};

TEST_P(SourcePathNames, RebuiltPathIsTheFileAdded) {
  const NameCase& c = GetParam();
  const std::string content = std::string("bytes of ") + c.on_disk;
  MakeTree(dir.path(), {{std::string("src/sub/") + c.on_disk, content}, {"src/sub/other.txt", "other"}});
  const std::string renamed = c.renamed;
  burner.OnAddFile = [&](TObject*, const std::string&, std::string& long_name, std::string&, TDateTime&, int,
                         int64_t, bool&) {
    if (!renamed.empty() && long_name != "other.txt") long_name = renamed;
  };
  ASSERT_EQ(burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*"), 1);
  const TFEntry* e = burner.FindChild(burner.FindDir("\\SUB"), c.long_name);
  ASSERT_NE(e, nullptr) << c.long_name;
  EXPECT_EQ(e->LongName, c.long_name);
  EXPECT_EQ(e->SourceKind, c.kind);
  EXPECT_TRUE(e->HasSource());
  EXPECT_EQ(e->SourcePath(), dir / (std::string("src/sub/") + c.on_disk));
  EXPECT_EQ(ReadFile(e->SourcePath()), content);
  // Its neighbour keeps its own path, whatever the renamed file's record holds.
  EXPECT_EQ(burner.FindChild(burner.FindDir("\\SUB"), "other.txt")->SourcePath(), dir / "src/sub/other.txt");
}

INSTANTIATE_TEST_SUITE_P(
    Names, SourcePathNames,
    ::testing::Values(NameCase{"a.txt", "", "a.txt", TSourceName::kLongName},
                      NameCase{"noext", "", "noext.", TSourceName::kLongNameDot},
                      NameCase{"dot.", "", "dot.", TSourceName::kLongName},
                      NameCase{"we\\ird", "", "we\\ird.", TSourceName::kLongNameDot},
                      NameCase{"été.txt", "", "été.txt", TSourceName::kLongName},
                      NameCase{"b.txt", "c.txt", "c.txt", TSourceName::kWholePath},
                      NameCase{"y", "y.", "y.", TSourceName::kLongNameDot},
                      NameCase{"cut", "cu.", "cu.", TSourceName::kWholePath},
                      NameCase{"long.txt", "long.txt.", "long.txt.", TSourceName::kLongNameDot},
                      NameCase{"up.txt", "UP.TXT", "UP.TXT", TSourceName::kWholePath}));

class SourcePathTest : public BurnerTest {
 protected:
  TempDir dir;
};

TEST_F(SourcePathTest, FilesOfOneFolderShareOneCopyOfItsPath) {
  MakeTree(dir.path(), {{"src/a/1.txt", "1"}, {"src/a/2.txt", "2"}, {"src/a/3", "3"}, {"src/b/4.txt", "4"},
                        {"src/5.txt", "5"}, {"lone.txt", "6"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  burner.AddFile("\\", dir / "lone.txt", false);
  const TDEntry* a = burner.FindDir("\\A");
  const TFEntry* one = burner.FindChild(a, "1.txt");
  const TFEntry* three = burner.FindChild(a, "3.");
  const TFEntry* four = burner.FindChild(burner.FindDir("\\B"), "4.txt");
  const TFEntry* five = burner.FindChild(burner.RootDir, "5.txt");
  const TFEntry* lone = burner.FindChild(burner.RootDir, "lone.txt");
  ASSERT_TRUE(one && three && four && five && lone);
  EXPECT_EQ(one->SourceFolder, three->SourceFolder);
  EXPECT_EQ(*one->SourceFolder, dir / "src/a/");
  EXPECT_NE(one->SourceFolder, four->SourceFolder);
  EXPECT_EQ(*five->SourceFolder, dir / "src/");
  EXPECT_EQ(three->SourcePath(), dir / "src/a/3");
  EXPECT_EQ(four->SourcePath(), dir / "src/b/4.txt");
  EXPECT_EQ(five->SourcePath(), dir / "src/5.txt");
  EXPECT_EQ(lone->SourcePath(), dir / "lone.txt");
}

TEST_F(SourcePathTest, ReplacedEntryTakesTheNewSource) {
  MakeTree(dir.path(), {{"one/f", "first"}, {"two/f", "second"}});
  burner.AddFolderTo(burner.RootDir, dir / "one", false, false, false, faAnyFile, "*.*");
  burner.ReplaceFile = true;
  burner.AddFolderTo(burner.RootDir, dir / "two", false, false, false, faAnyFile, "*.*");
  ASSERT_EQ(burner.FileCount(), 1);
  const TFEntry* f = burner.FindChild(burner.RootDir, "f.");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->SourcePath(), dir / "two/f");
  EXPECT_EQ(ReadFile(f->SourcePath()), "second");
}

TEST_F(SourcePathTest, SameFileAddedTwiceIsLeftOutSilently) {
  MakeTree(dir.path(), {{"src/n", "n"}, {"other/n", "m"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, false, faAnyFile, "*.*");
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, false, faAnyFile, "*.*");
  EXPECT_FALSE(Logged("MÊME NOM"));
  burner.AddFolderTo(burner.RootDir, dir / "other", false, false, false, faAnyFile, "*.*");
  EXPECT_EQ(burner.FileCount(), 1);
  EXPECT_TRUE(Logged("MÊME NOM EXISTE DÉJÀ SUR LE DISQUE \"" + (dir / "other/n") + "\""));
}

TEST_F(SourcePathTest, ClearingTheCompilationDropsTheFolderCopies) {
  MakeTree(dir.path(), {{"src/a.txt", "a"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, false, faAnyFile, "*.*");
  burner.ClearCompilation(10, 5);
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, false, faAnyFile, "*.*");
  const TFEntry* a = burner.FindChild(burner.RootDir, "a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->SourcePath(), dir / "src/a.txt");
}

// Both saves read every file from its rebuilt path: a renamed file, a file
// without a dot and a plain one lie in the image with their own bytes.
class SourcePathSave : public BurnerTest, public ::testing::WithParamInterface<bool> {
 protected:
  SourcePathSave() {
    burner.Dispatcher = [this](std::function<void()> call) { queue.Post(std::move(call)); };
    burner.OnWriteDone = [this](TObject*, const std::string& error) {
      ++done_calls;
      done_error = error;
    };
  }
  std::string Save(const std::string& image) {
    burner.SaveImageFile(image, GetParam());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done_calls == 0 && std::chrono::steady_clock::now() < deadline) {
      queue.RunFor(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(done_calls, 1);
    return done_error;
  }

  TempDir dir;
  CallQueue queue;
  int done_calls = 0;
  std::string done_error;
};

TEST_P(SourcePathSave, EachFileReadFromItsOwnSource) {
  MakeTree(dir.path(), {{"src/d/plain.txt", Bytes(3000, 1)}, {"src/d/noext", Bytes(100, 2)},
                        {"src/d/before.txt", Bytes(5000, 3)}, {"src/e/after.txt", Bytes(700, 4)}});
  burner.OnAddFile = [](TObject*, const std::string&, std::string& long_name, std::string&, TDateTime&, int,
                        int64_t, bool&) {
    if (long_name == "before.txt") long_name = "after.txt";  // the name of another source file
  };
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  const std::string image = dir / "out.iso";
  ASSERT_EQ(Save(image), "");
  const std::string bytes = ReadFile(image);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"\\D|plain.txt", Bytes(3000, 1)}, {"\\D|noext.", Bytes(100, 2)},
      {"\\D|after.txt", Bytes(5000, 3)}, {"\\E|after.txt", Bytes(700, 4)}};
  for (const auto& [where, data] : expected) {
    const size_t bar = where.find('|');
    const TFEntry* e = burner.FindChild(burner.FindDir(where.substr(0, bar)), where.substr(bar + 1));
    ASSERT_NE(e, nullptr) << where;
    const size_t at = static_cast<size_t>(burner.FirstFileLba + e->IsoExtent) * 2048;
    ASSERT_LE(at + data.size(), bytes.size()) << where;
    EXPECT_EQ(bytes.substr(at, data.size()), data) << where;
  }
}

INSTANTIATE_TEST_SUITE_P(QuickAndThreaded, SourcePathSave, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return param_info.param ? "Quick" : "Threaded";
                         });

// Bytes the allocator holds for the program (0 where it does not say, as
// under a sanitizer's allocator).
size_t HeldBytes() { return mallinfo2().uordblks; }

// Bytes given back when a component holding `files` files is destroyed.
size_t FreedWithAComponentOf(int files) {
  auto burner = std::make_unique<TVeskBurner>(nullptr);
  burner->ClearCompilation(files + 10, 10);
  for (int i = 0; i < files; ++i) {
    TSearchRec rec;
    rec.Name = "f" + std::to_string(i) + ".txt";
    burner->AddFileEntry(burner->RootDir, rec, false, 0, "/src/" + rec.Name);
  }
  const size_t before = HeldBytes();
  burner.reset();
  const size_t after = HeldBytes();
  return before > after ? before - after : 0;
}

TEST(LeaveTreesToProcessEnd, TreesOfComponentsDestroyedAfterItAreNotFreed) {
  if (FreedWithAComponentOf(2000) == 0) GTEST_SKIP() << "the allocator does not report what it holds";
  // In a child process: the choice is never undone.
  EXPECT_EXIT(
      {
        const size_t freed = FreedWithAComponentOf(20000);
        TVeskBurner::LeaveTreesToProcessEnd();
        const size_t left = FreedWithAComponentOf(20000);
        // 20,000 records and their index are megabytes; what is still freed
        // is the component's own part (its arrays of pointers, for one).
        std::exit(freed > 2'000'000 && left * 4 < freed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zamo::test
