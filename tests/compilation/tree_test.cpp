// Filling the compilation tree: names, duplicates, limits, KeepPath and the
// refusals that keep every record writable.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "burner/platform/text.h"
#include "tests/compilation/burner_fixture.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::BurnerTest;
using test::DirRec;
using test::FileRec;
using test::MakeTree;
using test::TempDir;

class TreeTest : public BurnerTest {};

TEST_F(TreeTest, ClearedCompilationHoldsOnlyTheRoot) {
  AddFile(burner.RootDir, "a.txt", 5000);
  AddDir(burner.RootDir, "d");
  burner.ClearCompilation(10, 5);
  EXPECT_EQ(burner.DirectoryCount(), 0);
  EXPECT_EQ(burner.FileCount(), 0);
  EXPECT_EQ(burner.CompilationBytes, 0);
  EXPECT_EQ(burner.RootDir->Path, "\\");
  EXPECT_EQ(burner.RootDir->IsoName, "CD_ROOT");
  EXPECT_EQ(burner.RootDir->LongName, "CD Root Directory");
  EXPECT_EQ(burner.RootDir->Parent, burner.RootDir);
  EXPECT_EQ(burner.RootDir->FirstChild, nullptr);
  EXPECT_EQ(burner.FindChild(burner.RootDir, "a.txt"), nullptr);
  EXPECT_EQ(burner.FindDir("\\D"), nullptr);
}

TEST_F(TreeTest, ConstructionDefaults) {
  EXPECT_EQ(burner.Version(), "1.23");
  burner.SetVersion("9.9");
  EXPECT_EQ(burner.Version(), "1.23");
  EXPECT_TRUE(burner.JolietFileSystem);
  EXPECT_TRUE(burner.WritePostGap);
  EXPECT_EQ(burner.CacheSize(), 4194304);
  EXPECT_EQ(burner.MaxFiles(), 65535);
  EXPECT_EQ(burner.MaxDirs(), 8191);
  burner.SetCacheSize(1000);
  EXPECT_EQ(burner.CacheSize(), 2097152);
  burner.SetCacheSize(5000000);
  EXPECT_EQ(burner.CacheSize(), 4999168);
}

TEST_F(TreeTest, FileWithoutExtensionGetsATrailingDot) {
  TFEntry* e = AddFile(burner.RootDir, "README");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->LongName, "README.");
  EXPECT_EQ(e->IsoName, "README.");
  TFEntry* lower = AddFile(burner.RootDir, "notes");
  EXPECT_EQ(lower->IsoName, "NOTES.");
  TFEntry* alt = AddFile(burner.RootDir, "My Document.txt", 1, "MYDOCU~1.TXT");
  EXPECT_EQ(alt->IsoName, "MYDOCU~1.TXT");
  EXPECT_EQ(alt->LongName, "My Document.txt");
}

TEST_F(TreeTest, SameNameTwiceIsAddedOnceUnlessReplacing) {
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("a.txt", 3000), false, 0, "/one/a.txt"), 1);
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("A.TXT", 10), false, 0, "/two/A.TXT"), 0);
  EXPECT_EQ(burner.FileCount(), 1);
  EXPECT_EQ(burner.CompilationBytes, 4096);
  burner.ReplaceFile = true;
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("A.TXT", 10), false, 0, "/two/A.TXT"), 1);
  EXPECT_EQ(burner.FileCount(), 1);
  EXPECT_EQ(burner.CompilationBytes, 2048);  // counted once, at its new size
  TFEntry* e = burner.FindChild(burner.RootDir, "a.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->SourcePath(), "/two/A.TXT");
  EXPECT_EQ(e->LongName, "A.TXT");
  EXPECT_EQ(burner.FindChild(burner.RootDir, "A.TXT"), e);
}

TEST_F(TreeTest, NamesEqualOnTheDiscAreKeptApartAndReported) {
  EXPECT_NE(AddFile(burner.RootDir, "a:b.txt"), nullptr);
  EXPECT_NE(AddFile(burner.RootDir, "README"), nullptr);
  EXPECT_NE(AddFile(burner.RootDir, "caf\xC3\xA9.txt"), nullptr);
  log.clear();
  EXPECT_EQ(AddFile(burner.RootDir, "a_b.txt"), nullptr);      // both are a_b.txt in Joliet
  EXPECT_EQ(AddFile(burner.RootDir, "readme"), nullptr);       // equal but for case
  EXPECT_EQ(AddFile(burner.RootDir, "README."), nullptr);      // the same after the added dot
  EXPECT_EQ(AddFile(burner.RootDir, "caf\xE9.txt"), nullptr);  // Latin-1 spelling of the same name
  EXPECT_EQ(log.size(), 4u);
  for (const auto& line : log) {
    EXPECT_EQ(line.type, kMsgCompilation);
    EXPECT_NE(line.text.find("MÊME NOM"), std::string::npos) << line.text;
  }
  EXPECT_EQ(burner.FileCount(), 3);
  // The very same source added twice is left out without a word.
  log.clear();
  burner.AddFileEntry(burner.RootDir, FileRec("x.txt"), false, 0, "/src/x.txt");
  burner.AddFileEntry(burner.RootDir, FileRec("x.txt"), false, 0, "/src/x.txt");
  EXPECT_TRUE(log.empty());
}

TEST_F(TreeTest, LongNamesUpToTheRecordLimit) {
  EXPECT_NE(AddFile(burner.RootDir, std::string(104, 'a') + ".txt"), nullptr);  // 108 characters
  EXPECT_EQ(AddFile(burner.RootDir, std::string(105, 'b') + ".txt"), nullptr);  // 109
  // The dot added to a name without extension is not part of its Joliet name.
  EXPECT_NE(AddFile(burner.RootDir, std::string(108, 'n')), nullptr);
  EXPECT_EQ(AddFile(burner.RootDir, std::string(109, 'm')), nullptr);
  // 108 characters counted in UTF-16 units, not bytes.
  EXPECT_NE(AddFile(burner.RootDir, std::string("é") + std::string(103, 'c') + ".txt"), nullptr);
  EXPECT_EQ(burner.FileCount(), 3);
}

TEST_F(TreeTest, HandlerMayRenameButNotOverflowARecord) {
  burner.OnAddFile = [](TObject*, const std::string&, std::string& long_name, std::string& short_name,
                        TDateTime& date, int, int64_t, bool& skip) {
    if (long_name == "rename.txt") {
      long_name = "renamed.txt";
      short_name = "renamed.txt";
      date = 1.5;
    }
    skip = false;  // even for names too long for a record
  };
  TFEntry* e = AddFile(burner.RootDir, "rename.txt");
  ASSERT_EQ(e, nullptr);  // looked up under its old name
  e = burner.FindChild(burner.RootDir, "renamed.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->IsoName, "RENAMED.TXT");
  EXPECT_DOUBLE_EQ(e->DateTime, 1.5);
  EXPECT_EQ(AddFile(burner.RootDir, std::string(120, 'x') + ".txt"), nullptr);
  EXPECT_TRUE(Logged("NOM DE FICHIER TROP LONG"));
}

TEST_F(TreeTest, FilesPastEightExtentsAreRefusedWithAMessage) {
  // Eight extents of 4 GiB - 2048 bytes: the most a file's records describe.
  const int64_t largest = 8 * 0xFFFFF800LL;
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("huge.bin", largest + 1), false, 0, "/data/huge.bin"), 0);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].type, kMsgCompilation);
  EXPECT_EQ(log[0].text, ">>> FICHIER DE PLUS DE 34359721984 OCTETS IGNORÉ \"/data/huge.bin\"");
  for (const int64_t size : {int64_t{0xFFFFFFFF}, int64_t{0x100000000}, largest}) {
    const std::string name = "f" + std::to_string(size) + ".bin";
    EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec(name, size), false, 0, "/data/" + name), 1) << size;
    EXPECT_EQ(burner.FindChild(burner.RootDir, name)->IsoSize, size);
  }
  EXPECT_EQ(burner.CompilationBytes, 2 * 0x100000000LL + largest);  // whole sectors
}

TEST_F(TreeTest, AFolderIsNeverAddedAsAFile) {
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, DirRec("folder"), false, 0, "/data/folder"), 0);
  EXPECT_EQ(burner.FileCount(), 0);
  EXPECT_TRUE(Logged("/data/folder"));
  TempDir dir;
  MakeTree(dir.path(), {{"folder/inner.txt", "x"}});
  EXPECT_EQ(burner.AddFile("\\", dir / "folder", false), 1);
  EXPECT_EQ(burner.FileCount(), 0);
}

TEST_F(TreeTest, ReplacingNeverTurnsASubdirectoryIntoAFile) {
  TDEntry* sub = AddDir(burner.RootDir, "data.d");
  AddFile(sub, "inner.txt");
  burner.ReplaceFile = true;
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("DATA.D", 5), false, 0, "/x/DATA.D"), 0);
  EXPECT_EQ(burner.FindDir("\\DATA.D"), sub);
  TFEntry* entry = burner.FindChild(burner.RootDir, "data.d");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->Dir, sub);
  EXPECT_NE(entry->Attr & faDirectory, 0);
  EXPECT_EQ(burner.FileCount(), 2);
}

TEST_F(TreeTest, IsoFileNamesAlwaysHoldASeparator) {
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec(".profile", 1, "PROFIL~1"), false, 0, "/src/.profile"), 1);
  EXPECT_EQ(burner.FindChild(burner.RootDir, ".profile")->IsoName, "PROFIL~1.");
}

TEST_F(TreeTest, FindDirNormalisesThePath) {
  TDEntry* a = AddDir(burner.RootDir, "a");
  TDEntry* b = AddDir(a, "Bé");
  EXPECT_EQ(a->Path, "\\A");
  EXPECT_EQ(b->Path, "\\A\\Bé");
  EXPECT_EQ(burner.FindDir("\\A\\"), a);
  EXPECT_EQ(burner.FindDir("\\a"), a);
  EXPECT_EQ(burner.FindDir("\\a\\bé\\"), b);
  EXPECT_EQ(burner.FindDir(""), burner.RootDir);
  EXPECT_EQ(burner.FindDir("\\"), burner.RootDir);
  EXPECT_EQ(burner.FindDir("A"), nullptr);  // no leading "\"
  EXPECT_EQ(AddDir(burner.RootDir, "A"), a);  // the same path: nothing added
  EXPECT_EQ(burner.DirectoryCount(), 2);
}

TEST_F(TreeTest, BackslashInAFolderNameIsNotAPathSeparator) {
  TDEntry* we = AddDir(burner.RootDir, "we");
  TDEntry* ird = AddDir(we, "ird");
  TDEntry* odd = AddDir(burner.RootDir, "we\\ird");
  ASSERT_NE(odd, nullptr);
  EXPECT_NE(odd, ird);
  EXPECT_EQ(odd->LongName, "we\\ird");
  EXPECT_EQ(burner.FindDir("\\WE\\IRD"), ird);
  EXPECT_EQ(burner.FindDir("\\WE/IRD"), odd);
  EXPECT_EQ(burner.ForceDirs("\\we/ird"), odd);
}

TEST_F(TreeTest, FoldersCreatedByNameAndForced) {
  TDEntry* d = burner.AddDirByName(burner.RootDir, "\\Ma nouvelle archive\\", faDirectory);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->IsoName, "MA_NOUVELLE_A");
  EXPECT_EQ(d->LongName, "Ma nouvelle archive");
  TDEntry* three = burner.ForceDirs("\\one\\two\\three");
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(three, burner.FindDir("\\ONE\\TWO\\THREE"));
  EXPECT_EQ(burner.ForceDirs("\\x\\y\\"), nullptr);  // made, then found by the caller
  EXPECT_NE(burner.FindDir("\\X\\Y"), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 6);
}

TEST_F(TreeTest, CapacitiesAreCheckedBeforeAnythingIsRegistered) {
  burner.ClearCompilation(/*max_files=*/2, /*max_dirs=*/10);
  AddFile(burner.RootDir, "a");
  AddFile(burner.RootDir, "b");
  EXPECT_EQ(AddDir(burner.RootDir, "d"), nullptr);  // no file slot for its entry
  EXPECT_EQ(burner.DirectoryCount(), 0);
  EXPECT_TRUE(Logged("MAXIMUM FILES CAN BE 2"));
  burner.ClearCompilation(10, 2);
  EXPECT_NE(AddDir(burner.RootDir, "d1"), nullptr);
  EXPECT_EQ(AddDir(burner.RootDir, "d2"), nullptr);
  EXPECT_EQ(burner.FileCount(), 1);
  EXPECT_TRUE(Logged(">>> MAXIMUM DIRECTORIES CAN BE 2"));
  EXPECT_EQ(log.back().type, kMsgLimit);
}

class FolderTest : public BurnerTest {
 protected:
  TempDir dir;
};

TEST_F(FolderTest, RecursiveAddPutsSubfoldersFirstAndDropsEmptyOnes) {
  MakeTree(dir.path(), {{"src/z.txt", "z"}, {"src/b/", ""}, {"src/a/empty/", ""}, {"src/c/deep/file", "f"},
                        {"src/.hidden", "h"}});
  EXPECT_EQ(burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, ""), 1);
  std::vector<std::string> names;
  for (TFEntry* e = burner.RootDir->FirstChild; e != nullptr; e = e->Next) names.push_back(e->LongName);
  EXPECT_EQ(names, (std::vector<std::string>{"c", ".hidden", "z.txt"}));
  EXPECT_EQ(burner.FindDir("\\A"), nullptr);
  EXPECT_EQ(burner.FindDir("\\B"), nullptr);
  ASSERT_NE(burner.FindDir("\\C\\DEEP"), nullptr);
  EXPECT_EQ(burner.FindChild(burner.FindDir("\\C\\DEEP"), "file.")->SourcePath(), dir / "src/c/deep/file");
  EXPECT_NE(burner.FindChild(burner.RootDir, ".hidden")->Attr & faHidden, 0);
  EXPECT_EQ(burner.CompilationBytes, 3 * 2048);
}

TEST_F(FolderTest, KeepPathRecreatesTheSourceFolders) {
  MakeTree(dir.path(), {{"data/photos/p.jpg", "jpg"}});
  EXPECT_EQ(burner.AddFolderTo(burner.RootDir, dir / "data/photos/", false, true, false, faAnyFile, "*.*"), 1);
  std::string disc_path = "\\" + dir.path().substr(1) + "\\data\\photos";
  for (char& c : disc_path) c = c == '/' ? '\\' : AsciiUpper(c);
  TDEntry* photos = burner.FindDir(disc_path);
  ASSERT_NE(photos, nullptr) << disc_path;
  EXPECT_EQ(photos->LongName, "photos");
  EXPECT_NE(burner.FindChild(photos, "p.jpg"), nullptr);

  burner.ClearCompilation(100, 100);
  burner.LastFolderOnly = true;
  burner.AddFolderTo(burner.RootDir, dir / "data/photos/", false, true, false, faAnyFile, "*.*");
  ASSERT_NE(burner.FindDir("\\PHOTOS"), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 1);

  burner.ClearCompilation(100, 100);
  EXPECT_EQ(burner.AddFile("\\", dir / "data/photos/p.jpg", true), 1);
  EXPECT_NE(burner.FindChild(burner.FindDir("\\PHOTOS"), "p.jpg"), nullptr);
  EXPECT_EQ(burner.AddFile("\\", dir / "data/nothing.jpg", true), -1);
  EXPECT_EQ(burner.AddFile("\\NOWHERE", dir / "data/photos/p.jpg", false), 0);
  EXPECT_TRUE(Logged("CHEMIN DESTINATION INVALIDE"));
}

TEST_F(FolderTest, OverlongFolderNamesAreSkippedAndTheWalkGoesOn) {
  const std::string long_name(111, 'L');
  MakeTree(dir.path(), {{"src/" + long_name + "/in.txt", "x"}, {"src/" + std::string(110, 'M') + "/in.txt", "y"},
                        {"src/z/in.txt", "z"}, {"src/top.txt", "t"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  EXPECT_EQ(burner.FindChild(burner.RootDir, long_name), nullptr);
  EXPECT_NE(burner.FindChild(burner.RootDir, std::string(110, 'M')), nullptr);
  EXPECT_NE(burner.FindDir("\\Z"), nullptr);
  EXPECT_NE(burner.FindChild(burner.RootDir, "top.txt"), nullptr);
  EXPECT_TRUE(Logged("NOM DE DOSSIER TROP LONG"));
  EXPECT_TRUE(Logged(long_name));
}

TEST_F(FolderTest, ReachingTheDirectoryLimitStopsAtOnceAndKeepsWhatWasAdded) {
  MakeTree(dir.path(), {{"src/a/1", "1"}, {"src/b/2", "2"}, {"src/c/3", "3"}, {"src/top", "t"}});
  burner.ClearCompilation(100, 3);
  EXPECT_EQ(burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*"), 0);
  EXPECT_NE(burner.FindDir("\\A"), nullptr);
  EXPECT_NE(burner.FindDir("\\B"), nullptr);
  EXPECT_EQ(burner.FindDir("\\C"), nullptr);
  EXPECT_EQ(burner.FindChild(burner.RootDir, "top."), nullptr);  // the walk ended before the files
  EXPECT_EQ(burner.DirectoryCount(), 2);
}

TEST_F(FolderTest, ArchiveOnlyTakesChangedFilesAndClearsThemAfterwards) {
  MakeTree(dir.path(), {{"src/a.txt", "a"}, {"src/b.txt", "b"}});
  if (ClearArchiveAttribute(dir / "src/b.txt").code() == Status::Code::kUnsupported)
    GTEST_SKIP() << "no user extended attributes here";
  burner.AddFolderTo(burner.RootDir, dir / "src", true, false, true, faAnyFile, "*.*");
  ASSERT_NE(burner.FindChild(burner.RootDir, "a.txt"), nullptr);
  EXPECT_TRUE(burner.FindChild(burner.RootDir, "a.txt")->ClearArchive);
  EXPECT_EQ(burner.FindChild(burner.RootDir, "b.txt"), nullptr);
  burner.ClearArchiveBits();
  burner.ClearCompilation(100, 100);
  burner.AddFolderTo(burner.RootDir, dir / "src", true, false, true, faAnyFile, "*.*");
  EXPECT_EQ(burner.FileCount(), 0);
}

TEST_F(FolderTest, LinksBackUpTheTreeAreNotFollowed) {
  MakeTree(dir.path(), {{"src/d/a.txt", "once"}, {"other/b.txt", "b"}});
  ASSERT_EQ(symlink("..", (dir / "src/d/up").c_str()), 0);
  ASSERT_EQ(symlink("../../other", (dir / "src/d/side").c_str()), 0);
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  EXPECT_EQ(burner.FindDir("\\D\\UP"), nullptr);
  EXPECT_NE(burner.FindChild(burner.FindDir("\\D\\SIDE"), "b.txt"), nullptr);  // not a loop: followed
  EXPECT_EQ(burner.FileCount(), 4);
  EXPECT_TRUE(Logged("BOUCLE DE LIENS SYMBOLIQUES"));
  EXPECT_TRUE(Logged("src/d/up"));
}

// A tree of many folders, listed ahead of the walk on two threads: every
// folder and file is added, in its place, none twice.
TEST_F(FolderTest, AWideAndDeepTreeIsAddedWhole) {
  std::vector<std::pair<std::string, std::string>> tree;
  for (int a = 0; a < 30; ++a) {
    for (int b = 0; b < 8; ++b) {
      for (int f = 0; f < 3; ++f) {
        const std::string path = "src/a" + std::to_string(a) + "/b" + std::to_string(b) + "/f" + std::to_string(f);
        tree.emplace_back(path, path);
      }
    }
  }
  // One folder larger than what wakes the walk in one go.
  for (int i = 0; i < 5000; ++i) tree.emplace_back("src/wide/w" + std::to_string(i), "");
  MakeTree(dir.path(), tree);
  ASSERT_EQ(burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*"), 1);
  EXPECT_EQ(burner.FileCount(), 30 + 30 * 8 + 30 * 8 * 3 + 1 + 5000);
  for (int a = 0; a < 30; a += 7) {
    for (int b = 0; b < 8; b += 3) {
      const std::string folder = "\\A" + std::to_string(a) + "\\B" + std::to_string(b);
      ASSERT_NE(burner.FindDir(folder), nullptr) << folder;
      const TFEntry* file = burner.FindChild(burner.FindDir(folder), "f2.");
      ASSERT_NE(file, nullptr) << folder;
      EXPECT_EQ(file->SourcePath(), dir / ("src/a" + std::to_string(a) + "/b" + std::to_string(b) + "/f2"));
    }
  }
  ASSERT_NE(burner.FindDir("\\WIDE"), nullptr);
  EXPECT_NE(burner.FindChild(burner.FindDir("\\WIDE"), "w4999."), nullptr);
}

TEST_F(FolderTest, FolderSizeCountsEverythingBelow) {
  MakeTree(dir.path(), {{"src/a", std::string(10, 'a')}, {"src/s/b", std::string(20, 'b')}, {"src/s/t/c", "ccc"}});
  EXPECT_EQ(burner.FolderSize(dir / "src/"), 33);
  EXPECT_EQ(burner.FolderSize(dir / "src/s/b"), 20);
}

TEST_F(TreeTest, ManyEntriesInOneFolderStayFast) {
  // Quadratic lookups or appends would make this take minutes.
  burner.ClearCompilation(600000, 20000);
  for (int i = 0; i < 200000; ++i) {
    ASSERT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("f" + std::to_string(i) + ".txt"), false, 0, ""), 1);
  }
  EXPECT_EQ(burner.AddFileEntry(burner.RootDir, FileRec("F123.TXT"), false, 0, ""), 0);
  EXPECT_EQ(burner.FindChild(burner.RootDir, "F199999.TXT")->LongName, "f199999.txt");
  int count = 0;
  for (TFEntry* e = burner.RootDir->FirstChild; e != nullptr; e = e->Next) ++count;
  EXPECT_EQ(count, 200000);
}

}  // namespace
}  // namespace zamo
