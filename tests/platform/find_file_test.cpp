#include "burner/platform/find_file.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "burner/platform/date_time.h"
#include "burner/platform/file_attributes.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::MakeTree;
using test::TempDir;

std::vector<std::string> Names(const std::vector<TSearchRec>& found) {
  std::vector<std::string> names;
  for (const TSearchRec& rec : found) names.push_back(rec.Name);
  return names;
}

TEST(FindFileTest, ListsAFolderInNtfsOrder) {
  TempDir dir;
  MakeTree(dir.path(), {{"b", ""}, {"A", ""}, {"a_", ""}, {"\xC3\xA9t\xC3\xA9", ""}, {"Z", ""}, {"sub/", ""},
                        {"_x", ""}});
  // "." and ".." first, then ordinal order of the upper-cased names: "_" (5Fh)
  // after the letters, "É" (C9h) after "Z".
  EXPECT_EQ(Names(FindFiles(dir.path() + "/*.*", faAnyFile)),
            (std::vector<std::string>{".", "..", "A", "a_", "b", "sub", "Z", "_x", "été"}));
}

TEST(FindFileTest, AttributeMaskHidesWhatItDoesNotName) {
  TempDir dir;
  MakeTree(dir.path(), {{"plain.txt", "x"}, {".hidden", "y"}, {"folder/", ""}});
  EXPECT_EQ(Names(FindFiles(dir.path() + "/*.*", 0)), std::vector<std::string>{"plain.txt"});
  EXPECT_EQ(Names(FindFiles(dir.path() + "/*.*", faHidden)), (std::vector<std::string>{".hidden", "plain.txt"}));
  EXPECT_EQ(Names(FindFiles(dir.path() + "/*.*", faDirectory)),
            (std::vector<std::string>{".", "..", "folder", "plain.txt"}));
  EXPECT_EQ(Names(FindFiles(dir.path() + "/*.TXT", faAnyFile)), std::vector<std::string>{"plain.txt"});
}

TEST(FindFileTest, FollowsLinksAndSkipsWhatIsNotAFileOrFolder) {
  TempDir dir;
  MakeTree(dir.path(), {{"target.bin", "12345"}, {"realdir/inside", "i"}});
  ASSERT_EQ(symlink("target.bin", (dir / "link.bin").c_str()), 0);
  ASSERT_EQ(symlink("realdir", (dir / "linkdir").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "broken").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const auto found = FindFiles(dir.path() + "/*.*", faAnyFile & ~faDirectory);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"link.bin", "target.bin"}));
  EXPECT_EQ(found[0].Size, 5);
  TSearchRec rec;
  ASSERT_TRUE(FindOne(dir / "linkdir", faAnyFile, rec));
  EXPECT_NE(rec.Attr & faDirectory, 0);
  EXPECT_FALSE(FindOne(dir / "broken", faAnyFile, rec));
  EXPECT_FALSE(FindOne(dir / "fifo", faAnyFile, rec));
}

// What is left out is told, kind by kind, in the listing's order, as the
// mask and the hidden attribute would have listed it.
TEST(FindFileTest, TellsWhatItLeavesOutAndWhy) {
  TempDir dir;
  MakeTree(dir.path(), {{"file.txt", "f"}, {"locked/inside", "i"}});
  ASSERT_EQ(symlink("missing/target", (dir / "broken").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir / ".hidden pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop-b", (dir / "loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", (dir / "loop-b").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", (dir / "null").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string sock_path = dir / "sock";
  ASSERT_LT(sock_path.size(), sizeof address.sun_path);
  std::copy(sock_path.begin(), sock_path.end(), address.sun_path);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(sock);

  std::vector<TSkippedEntry> skipped;
  const auto found = FindFiles(dir.path() + "/*.*", faAnyFile & ~faHidden, nullptr, true, &skipped);
  EXPECT_EQ(Names(found), (std::vector<std::string>{".", "..", "file.txt", "locked"}));
  std::vector<std::string> told;
  for (const TSkippedEntry& entry : skipped) told.push_back(entry.Name + ": " + SkippedKindText(entry));
  EXPECT_EQ(told, (std::vector<std::string>{"broken: lien symbolique brisé vers «\u00A0missing/target\u00A0»",
                                            "fifo: tube nommé (FIFO)", "loop-a: boucle de liens symboliques",
                                            "loop-b: boucle de liens symboliques",
                                            "null: fichier de périphérique", "sock: socket"}));
  skipped.clear();
  FindFiles(dir.path() + "/*.*", faAnyFile, nullptr, true, &skipped);
  ASSERT_FALSE(skipped.empty());
  EXPECT_EQ(skipped[0].Name, ".hidden pipe");  // asked for with faHidden
  skipped.clear();
  FindFiles(dir.path() + "/f*", faAnyFile, nullptr, true, &skipped);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].Kind, TSkippedKind::kFifo);

  TSkippedEntry one;
  ASSERT_TRUE(DescribeSkipped(dir / "broken", one));
  EXPECT_EQ(one.Kind, TSkippedKind::kBrokenLink);
  EXPECT_EQ(one.LinkTarget, "missing/target");
  EXPECT_FALSE(DescribeSkipped(dir / "file.txt", one));
  EXPECT_FALSE(DescribeSkipped(dir / "locked/", one));
  EXPECT_FALSE(DescribeSkipped(dir / "nothing here", one));

  // A link into a folder this process may not search (as anyone but root).
  if (geteuid() != 0) {
    ASSERT_EQ(symlink("locked/inside", (dir / "behind").c_str()), 0);
    chmod((dir / "locked").c_str(), 0);
    skipped.clear();
    FindFiles(dir.path() + "/b*", faAnyFile, nullptr, true, &skipped);
    chmod((dir / "locked").c_str(), 0700);
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[0].Name, "behind");
    EXPECT_EQ(skipped[0].Kind, TSkippedKind::kUnreachable);
  }
}

TEST(FindFileTest, RecordsCarrySizeTimesAndAttributes) {
  TempDir dir;
  MakeTree(dir.path(), {{"f.txt", std::string(3000, 'x')}, {"old.txt", "o"}});
  test::SetModifiedTime(dir / "f.txt", 1181896200);  // 2007-06-15 08:30:00 UTC
  test::SetModifiedTime(dir / "old.txt", 100);       // 1970: no MS-DOS date exists for it
  chmod((dir / "f.txt").c_str(), 0444);
  TSearchRec rec;
  ASSERT_TRUE(FindOne(dir / "f.txt", faAnyFile, rec));
  EXPECT_EQ(rec.Size, 3000);
  EXPECT_EQ(rec.ModifiedSeconds, 1181896200);
  EXPECT_NE(rec.Time, 0);
  EXPECT_NE(rec.Attr & faReadOnly, 0);
  EXPECT_EQ(rec.Attr & faDirectory, 0);
  ASSERT_TRUE(FindOne(dir / "old.txt", faAnyFile, rec));
  EXPECT_EQ(rec.Time, 0);
  EXPECT_EQ(rec.ModifiedSeconds, 100);  // the exact time survives
}

TEST(FindFileTest, AlternateNamesDependOnTheWholeFolder) {
  TempDir dir;
  MakeTree(dir.path(), {{"Long name alpha.txt", ""}, {"Long name beta.txt", ""}, {"short.txt", ""}, {".z", ""}});
  const auto found = FindFiles(dir.path() + "/*.*", faAnyFile & ~faDirectory);
  ASSERT_EQ(Names(found), (std::vector<std::string>{".z", "Long name alpha.txt", "Long name beta.txt", "short.txt"}));
  EXPECT_EQ(found[0].cAlternateFileName, "Z~1");
  EXPECT_EQ(found[1].cAlternateFileName, "LONGNA~1.TXT");
  EXPECT_EQ(found[2].cAlternateFileName, "LONGNA~2.TXT");
  EXPECT_EQ(found[3].cAlternateFileName, "");
  // A masked listing and a single lookup give each file the same alternate name.
  EXPECT_EQ(FindFiles(dir.path() + "/*beta*", faAnyFile)[0].cAlternateFileName, "LONGNA~2.TXT");
  TSearchRec rec;
  ASSERT_TRUE(FindOne(dir / "Long name beta.txt", faAnyFile, rec));
  EXPECT_EQ(rec.cAlternateFileName, "LONGNA~2.TXT");
}

TEST(FindFileTest, MasksMatchLikeWindows) {
  EXPECT_TRUE(MatchesMask("README", "*.*"));
  EXPECT_TRUE(MatchesMask("a.TXT", "*.txt"));
  EXPECT_FALSE(MatchesMask("a.txt.bak", "*.txt"));
  EXPECT_TRUE(MatchesMask("abc", "a?c"));
  EXPECT_FALSE(MatchesMask("ac", "a?c"));
  EXPECT_TRUE(MatchesMask("photo 2024.jpeg", "photo*.jp*"));
}

TEST(FindFileTest, ArchiveAttributeFollowsChanges) {
  TempDir dir;
  MakeTree(dir.path(), {{"doc.txt", "v1"}});
  const std::string path = dir / "doc.txt";
  if (setxattr(path.c_str(), "user.zamo.probe", "1", 1, 0) != 0) GTEST_SKIP() << "no user extended attributes here";
  TSearchRec rec;
  ASSERT_TRUE(FindOne(path, faAnyFile, rec));
  EXPECT_NE(rec.Attr & faArchive, 0) << "a file never recorded has changed";
  ASSERT_TRUE(ClearArchiveAttribute(path).ok());
  ASSERT_TRUE(FindOne(path, faAnyFile, rec));
  EXPECT_EQ(rec.Attr & faArchive, 0);
  test::WriteFile(path, "v2 longer");
  ASSERT_TRUE(FindOne(path, faAnyFile, rec));
  EXPECT_NE(rec.Attr & faArchive, 0) << "a rewritten file has changed again";
}

// The listing in two steps (names and folders first, the rest's stat data
// later, on another thread in a folder walk) gives what FindFiles gives.
TEST(FindFileTest, ListingInTwoStepsGivesWhatFindFilesGives) {
  TempDir dir;
  MakeTree(dir.path(), {{"b.txt", "12"}, {"A", ""}, {".hidden", "h"}, {"sub2/x", "x"}, {"Sub1/", ""},
                        {"\xC3\xA9t\xC3\xA9/", ""}, {"long file name.text", "l"}, {"becomes/", ""}});
  ASSERT_EQ(symlink("sub2", (dir / "linkdir").c_str()), 0);
  ASSERT_EQ(symlink("b.txt", (dir / "link.txt").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "broken").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::vector<TSkippedEntry> skipped_at_once;
  int error_at_once = -1;
  const auto at_once = FindFiles(dir.path() + "/*.*", faAnyFile, &error_at_once, false, &skipped_at_once);

  TFolderScan scan = ScanFolder(dir.path() + "/");
  // The folders the walk goes into, in listing order, a link to one among them.
  std::vector<std::string> folders;
  for (const TFolderScan::Subfolder& sub : scan.Subfolders()) folders.push_back(sub.name);
  EXPECT_EQ(folders, (std::vector<std::string>{"becomes", "linkdir", "Sub1", "sub2", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_EQ(scan.Size(), 12u);
  std::vector<TSkippedEntry> skipped;
  int error = -1;
  const auto in_two = FinishScan(std::move(scan), &error, false, &skipped);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(error_at_once, 0);
  ASSERT_EQ(Names(in_two), Names(at_once));
  for (size_t i = 0; i < in_two.size(); ++i) {
    EXPECT_EQ(in_two[i].Size, at_once[i].Size) << in_two[i].Name;
    EXPECT_EQ(in_two[i].Attr, at_once[i].Attr) << in_two[i].Name;
    EXPECT_EQ(in_two[i].Inode, at_once[i].Inode) << in_two[i].Name;
    EXPECT_EQ(in_two[i].cAlternateFileName, at_once[i].cAlternateFileName) << in_two[i].Name;
  }
  ASSERT_EQ(skipped.size(), skipped_at_once.size());
  for (size_t i = 0; i < skipped.size(); ++i) EXPECT_EQ(skipped[i].Name, skipped_at_once[i].Name);
}

// Between the two steps a file becomes a folder and a folder a file: the
// listing keeps the kinds the walk saw (it goes only into the folders the
// scan found), leaving out the new folder.
TEST(FindFileTest, ListingInTwoStepsKeepsTheFoldersTheScanSaw) {
  TempDir dir;
  MakeTree(dir.path(), {{"file", "f"}, {"folder/", ""}, {"stays", "s"}});
  TFolderScan scan = ScanFolder(dir.path() + "/");
  ASSERT_EQ(scan.Subfolders().size(), 1u);
  ASSERT_EQ(unlink((dir / "file").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "file").c_str(), 0755), 0);
  const auto found = FinishScan(std::move(scan), nullptr, false);
  EXPECT_EQ(Names(found), (std::vector<std::string>{".", "..", "folder", "stays"}));
  // An unreadable folder: nothing, and why.
  int error = 0;
  EXPECT_TRUE(FinishScan(ScanFolder(dir.path() + "/none/"), &error).empty());
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace zamo
