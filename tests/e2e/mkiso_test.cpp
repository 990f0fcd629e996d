// mkiso_test.cpp: `zamo-cli mkiso` run on real trees, every image read back
// by independent readers (isoinfo, xorriso, 7z, bsdtar) and compared, names
// and bytes, with the tree it was made from.
//
// What each reader is trusted for:
//  - 7z and xorriso read the Joliet tree (or the ISO 9660 tree without
//    Joliet) with full Unicode names: the main oracles for names and bytes.
//  - bsdtar (libarchive) also reads Joliet, but cuts names longer than 103
//    UTF-16 units; it is used for names and bytes wherever names are shorter.
//  - isoinfo cannot print UTF-8. Asked for ISO 8859-1 (-j iso8859-1) it shows
//    every UTF-16 unit above U+00FF as "_", so its Joliet listing is compared
//    with the expected names mapped the same way. It is the one reader that
//    shows records as they are: the ";1" version of files, the extent and the
//    flags of each record, both trees side by side, and the descriptors.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "burner/platform/text.h"
#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Relative path -> content; folders end with "/" and have no content (the
// shape ReadTree gives).
using Files = std::map<std::string, std::string>;

constexpr int64_t kSector = 2048;

// ---------------------------------------------------------------------------
// Running the command and the readers.

struct How {
  std::vector<std::string> env;  // extra NAME=VALUE settings
  std::string cwd;
  bool unprivileged = false;  // as user nobody, through setpriv
  int timeout = 60;
};

How InZone(const std::string& tz) {
  How how;
  how.env = {"TZ=" + tz};
  return how;
}

How InFolder(const std::string& cwd) {
  How how;
  how.cwd = cwd;
  return how;
}

How WithTimeout(int seconds) {
  How how;
  how.timeout = seconds;
  return how;
}

// `zamo-cli mkiso ARGS...`, in a UTF-8 locale and, unless told, in UTC.
RunResult Mkiso(const std::vector<std::string>& args, const How& how = {}) {
  std::vector<std::string> argv;
  if (how.unprivileged) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.insert(argv.end(), {"env", "LC_ALL=C.UTF-8", "TZ=UTC0"});
  argv.insert(argv.end(), how.env.begin(), how.env.end());
  argv.push_back(ZamoCli());
  argv.push_back("mkiso");
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, how.timeout, how.cwd);
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

// The sector count `--print-size` prints, or -1.
int64_t PrintedSize(const RunResult& r) {
  std::istringstream in(r.out);
  int64_t value = -1;
  std::string rest;
  if (!(in >> value) || (in >> rest)) return -1;
  return value;
}

// ---------------------------------------------------------------------------
// Names.

std::u32string DecodeUtf8(std::string_view s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    ++i;
    for (; extra > 0 && i < s.size(); --extra, ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    out.push_back(cp);
  }
  return out;
}

size_t Utf16Units(std::string_view utf8) {
  size_t units = 0;
  for (char32_t cp : DecodeUtf8(utf8)) units += cp >= 0x10000 ? 2 : 1;
  return units;
}

bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
    if (extra == 9 || i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// A name as log lines show it: bytes that are not UTF-8 read as Latin-1.
std::string ShownName(std::string_view name) { return IsUtf8(name) ? std::string(name) : Latin1ToUtf8(name); }

// A name as Joliet readers show it: characters Joliet forbids become "_".
std::string JolietVisible(std::string_view name) {
  std::string out;
  for (char32_t cp : DecodeUtf8(name)) {
    const bool forbidden = cp < 0x20 || cp == U'*' || cp == U'/' || cp == U':' || cp == U';' || cp == U'?' ||
                           cp == U'\\';
    if (forbidden) {
      out += '_';
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

// A name as `isoinfo -J -j iso8859-1` shows it (converted back to UTF-8):
// every UTF-16 unit above U+00FF is "_".
std::string IsoinfoVisible(std::string_view name) {
  std::string out;
  for (char32_t cp : DecodeUtf8(JolietVisible(name))) {
    if (cp >= 0x10000) {
      out += "__";
    } else if (cp > 0xFF) {
      out += "_";
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

template <typename MapName>
std::string MapPath(std::string_view path, MapName map_name) {
  std::string out;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    out += map_name(path.substr(start, slash - start));
    if (slash < path.size()) out.push_back('/');
    start = slash + 1;
  }
  return out;
}

// The disc a tree should give: its files, renamed by `map_name`, and the
// folders above them. Folders with no file below are not recorded.
template <typename MapName>
Files ExpectedDisc(const Files& source, MapName map_name) {
  Files disc;
  for (const auto& [path, content] : source) {
    if (path.ends_with('/')) continue;
    const std::string mapped = MapPath(path, map_name);
    disc[mapped] = content;
    for (size_t slash = mapped.find('/'); slash != std::string::npos; slash = mapped.find('/', slash + 1)) {
      disc[mapped.substr(0, slash + 1)] = "";
    }
  }
  return disc;
}

Files ExpectedJoliet(const Files& source) { return ExpectedDisc(source, JolietVisible); }

// Readable differences between two trees, empty when they are equal.
std::string Differences(const Files& expected, const Files& actual) {
  std::ostringstream out;
  for (const auto& [path, content] : expected) {
    const auto it = actual.find(path);
    if (it == actual.end()) {
      out << "  missing     " << path << (path.ends_with('/') ? "" : " (" + std::to_string(content.size()) + " bytes)")
          << "\n";
    } else if (it->second != content) {
      size_t at = 0;
      while (at < content.size() && at < it->second.size() && content[at] == it->second[at]) ++at;
      out << "  different   " << path << ": " << content.size() << " bytes expected, " << it->second.size()
          << " read, first difference at byte " << at << "\n";
    }
  }
  for (const auto& [path, content] : actual) {
    if (!expected.contains(path)) out << "  unexpected  " << path << " (" << content.size() << " bytes)\n";
  }
  return out.str();
}

// ---------------------------------------------------------------------------
// Readers.

// The readers' runs, extraction and listings: tests/support/peer_tools.h.

// Folder -> names of its records that appear more than once.
std::string DuplicateNames(const std::vector<IsoRecord>& records) {
  std::map<std::string, int> count;
  for (const IsoRecord& rec : records) ++count[rec.path];
  std::string out;
  for (const auto& [path, n] : count) {
    if (n > 1) out += "  " + path + " recorded " + std::to_string(n) + " times\n";
  }
  return out;
}

// A source file is on the disc when some file read back holds its bytes (the
// files of these trees all differ). One that is not must be named on stderr
// and the exit status must be 1. Returns the files lost without a word.
std::string SilentLosses(const Files& source, const Files& read_back, const RunResult& r) {
  std::set<std::string> contents;
  for (const auto& [path, content] : read_back) {
    if (!path.ends_with('/')) contents.insert(content);
  }
  std::string out;
  for (const auto& [path, content] : source) {
    if (path.ends_with('/') || contents.contains(content)) continue;
    const std::string name = path.substr(path.rfind('/') + 1);
    if (r.status == 1 && r.err.find(ShownName(name)) != std::string::npos) continue;
    out += "  " + path + " is not on the disc, exit status " + std::to_string(r.status) +
           ", and no log line names it\n";
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files on disk.

void SetTimes(const std::string& path, int64_t seconds, long nanoseconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                                    {static_cast<time_t>(seconds), nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

int64_t ModifiedSeconds(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return st.st_mtim.tv_sec;
}

// Files only (no folders), by relative path.
Files FilesOnly(const Files& tree) {
  Files out;
  for (const auto& [path, content] : tree) {
    if (!path.ends_with('/')) out[path] = content;
  }
  return out;
}

// When the suite runs as root, access checks do not stop reading, so the
// command is run as user nobody. Returns false (with `why`) when that is not
// possible; otherwise sets `how` and opens `dir` to other users.
bool PrepareUnprivileged(const TempDir& dir, How& how, std::string& why) {
  if (geteuid() != 0) return true;
  if (!HaveTool("setpriv")) {
    why = "running as root, and setpriv is missing to run zamo-cli as an ordinary user";
    return false;
  }
  const RunResult probe = Run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", ZamoCli(), "--help"});
  if (probe.status != 0) {
    why = "running as root, and zamo-cli cannot be run as user nobody: " + Describe(probe);
    return false;
  }
  chmod(dir.path().c_str(), 0777);
  how.unprivileged = true;
  return true;
}

// ---------------------------------------------------------------------------
// A realistic tree, written once and read by every reader.

std::vector<std::string> CollisionNames() {
  // More than nine long names sharing their first six letters, so that the
  // generated 8.3 names reach ~10 and must shorten the base to five letters.
  std::vector<std::string> names;
  for (const char* word :
       {"one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten", "eleven", "twelve"}) {
    names.push_back(std::string("Long file name ") + word + ".txt");
  }
  return names;
}

TreeContents RealTree() {
  std::string deep;
  for (int level = 1; level <= 12; ++level) deep += "level" + std::to_string(level) + "/";
  TreeContents tree = {
      {"café.txt", "un café, s'il vous plaît"},
      {"Élan/über/ça va.txt", Bytes(100, 2)},
      {"Домашний/Документ.txt", Bytes(2047, 3)},
      {"日本語/ファイル.dat", Bytes(2048, 4)},
      {"Ωμέγα/αβγ.txt", Bytes(2049, 5)},
      {"emoji 😀 smile.txt", "😀"},
      {"readme", "no extension"},
      {"Makefile", "all:\n\ttrue\n"},
      {".profile", "export EDITOR=vi\n"},
      {".config/settings.ini", "[hidden folder]\n"},
      {"empty.txt", ""},
      {"holder/only an empty file.dat", ""},  // a folder holding an empty file is not empty
      {"one byte.bin", "x"},
      {"two sectors.bin", Bytes(4096, 7)},
      {"big.bin", Bytes(3 * 1024 * 1024 + 123, 6)},
      {deep + "leaf.txt", "twelve levels down"},
      {"onlyempty/empty/", ""},
      {"vide/", ""},
      {"l'été en famille.txt", Bytes(10, 8)},
      {"what? a:b;c*.txt", Bytes(11, 9)},
      {"back\\slash.txt", Bytes(12, 10)},
      {"tab\there.txt", Bytes(13, 11)},
      {"MixedCase.TXT", Bytes(14, 12)},
      {"Program Files/app.exe", Bytes(5000, 13)},
      {"data.tar.gz", Bytes(15, 14)},
  };
  uint32_t seed = 100;
  for (const std::string& name : CollisionNames()) {
    tree.emplace_back(name, Bytes(20 + seed, seed));
    ++seed;
  }
  return tree;
}

class MkisoRealTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    MakeTree(*dir_ / "src", RealTree());
    source_ = ReadTree(*dir_ / "src");
    image_ = *dir_ / "real.iso";
    made_ = Mkiso({"-o", image_, "--volume", "ZAMO_E2E", *dir_ / "src"});
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    ASSERT_EQ(made_.status, 0) << Describe(made_);
    ASSERT_TRUE(PathExists(image_));
  }

  static std::unique_ptr<TempDir> dir_;
  static Files source_;
  static std::string image_;
  static RunResult made_;
};

std::unique_ptr<TempDir> MkisoRealTree::dir_;
Files MkisoRealTree::source_;
std::string MkisoRealTree::image_;
RunResult MkisoRealTree::made_;

TEST_F(MkisoRealTree, WritesAWholeNumberOfSectorsAndSaysSo) {
  EXPECT_EQ(FileSize(image_) % kSector, 0);
  EXPECT_THAT(made_.out, HasSubstr("ZAMO_E2E"));
  // Nothing in this tree may be left out.
  EXPECT_THAT(made_.err, ::testing::Not(HasSubstr("ABANDON")));
}

TEST_F(MkisoRealTree, DescriptorsGiveTheVolumeAndItsSize) {
  REQUIRE_TOOLS("isoinfo");
  const VolumeInfo v = IsoinfoDescriptors(image_);
  ASSERT_TRUE(v.ok) << v.log;
  EXPECT_EQ(v.id, "ZAMO_E2E") << v.log;
  EXPECT_EQ(v.sectors * kSector, FileSize(image_)) << v.log;
  EXPECT_TRUE(v.joliet) << v.log;
}

TEST_F(MkisoRealTree, IsoinfoJolietListingHasEveryNameAndSize) {
  REQUIRE_TOOLS("isoinfo");
  // The tree is named so that no two names look alike through isoinfo.
  ASSERT_EQ(ExpectedDisc(source_, IsoinfoVisible).size(), ExpectedJoliet(source_).size());
  std::string log;
  const std::vector<IsoRecord> records = IsoinfoList(image_, true, log);
  ASSERT_FALSE(records.empty()) << log;
  EXPECT_EQ(DuplicateNames(records), "");
  // Files carry ";1" in Joliet too; "readme" must be "readme;1", not "readme.;1".
  Files shown;
  for (const IsoRecord& rec : records) {
    if (rec.dir) {
      shown[rec.path] = "";
      continue;
    }
    EXPECT_TRUE(rec.path.ends_with(";1")) << rec.path;
    shown[rec.path.substr(0, rec.path.size() - 2)] = std::to_string(rec.size);
  }
  Files expected;
  for (const auto& [path, content] : ExpectedDisc(source_, IsoinfoVisible)) {
    expected[path] = path.ends_with('/') ? "" : std::to_string(content.size());
  }
  EXPECT_EQ(Differences(expected, shown), "") << log;
}

TEST_F(MkisoRealTree, IsoTreeHasUniqueEightDotThreeNames) {
  REQUIRE_TOOLS("isoinfo");
  std::string iso_log;
  const std::vector<IsoRecord> iso = IsoinfoList(image_, false, iso_log);
  ASSERT_FALSE(iso.empty()) << iso_log;
  EXPECT_EQ(DuplicateNames(iso), "") << iso_log;

  static const std::string kChar = "[A-Z0-9_~!#$%&'()@^`{}-]";
  static const std::regex kFile("^" + kChar + "{1,8}\\." + kChar + "{0,3};1$");
  static const std::regex kFolder("^" + kChar + "{1,8}$");
  for (const IsoRecord& rec : iso) {
    // A file identifier always holds the "." separator, as in README.;1.
    EXPECT_TRUE(std::regex_match(rec.name, rec.dir ? kFolder : kFile)) << "not an 8.3 identifier: " << rec.path;
  }
}

TEST_F(MkisoRealTree, IsoAndJolietTreesDescribeTheSameFiles) {
  REQUIRE_TOOLS("isoinfo");
  std::string iso_log, joliet_log;
  const std::vector<IsoRecord> iso = IsoinfoList(image_, false, iso_log);
  const std::vector<IsoRecord> joliet = IsoinfoList(image_, true, joliet_log);
  ASSERT_FALSE(iso.empty()) << iso_log;
  ASSERT_FALSE(joliet.empty()) << joliet_log;

  // Both trees describe the same files: the same (extent, size) pairs, the
  // same number of folders, the same hidden entries.
  auto files_of = [](const std::vector<IsoRecord>& records) {
    std::multiset<std::pair<int64_t, int64_t>> out;
    for (const IsoRecord& rec : records) {
      if (!rec.dir) out.emplace(rec.extent, rec.size);
    }
    return out;
  };
  EXPECT_EQ(files_of(iso), files_of(joliet));
  auto count = [](const std::vector<IsoRecord>& records, auto pred) {
    return std::count_if(records.begin(), records.end(), pred);
  };
  EXPECT_EQ(count(iso, [](const IsoRecord& r) { return r.dir; }), count(joliet, [](const IsoRecord& r) { return r.dir; }));

  // Names beginning with "." are hidden, and only they.
  for (const IsoRecord& rec : joliet) {
    EXPECT_EQ((rec.flags & 1) != 0, rec.name.starts_with('.')) << "hidden flag of " << rec.path;
  }
  EXPECT_EQ(count(iso, [](const IsoRecord& r) { return (r.flags & 1) != 0; }),
            count(joliet, [](const IsoRecord& r) { return (r.flags & 1) != 0; }));
}

TEST_F(MkisoRealTree, ExtentsLieInsideTheImageWithoutOverlap) {
  REQUIRE_TOOLS("isoinfo");
  std::string iso_log, joliet_log;
  const std::vector<IsoRecord> iso = IsoinfoList(image_, false, iso_log);
  const std::vector<IsoRecord> joliet = IsoinfoList(image_, true, joliet_log);
  ASSERT_FALSE(iso.empty()) << iso_log;
  const int64_t sectors = FileSize(image_) / kSector;
  // Each folder extent of both trees, each file extent once.
  std::map<int64_t, std::pair<int64_t, std::string>> ranges;  // first sector -> (count, what)
  std::set<int64_t> file_extents;
  for (const auto* tree : {&iso, &joliet}) {
    for (const IsoRecord& rec : *tree) {
      if (rec.size == 0) continue;
      if (!rec.dir && !file_extents.insert(rec.extent).second) continue;
      const int64_t count = (rec.size + kSector - 1) / kSector;
      EXPECT_GE(rec.extent, 18) << rec.path << " overlaps the system area or the descriptors";
      EXPECT_LE(rec.extent + count, sectors) << rec.path << " ends beyond the image";
      EXPECT_TRUE(ranges.emplace(rec.extent, std::make_pair(count, rec.path)).second)
          << rec.path << " shares its extent " << rec.extent << " with " << ranges[rec.extent].second;
    }
  }
  int64_t end = 0;
  std::string previous;
  for (const auto& [first, what] : ranges) {
    EXPECT_GE(first, end) << what.second << " overlaps " << previous;
    end = first + what.first;
    previous = what.second;
  }
}

TEST_F(MkisoRealTree, XorrisoListsEveryNameTypeAndSize) {
  REQUIRE_TOOLS("xorriso");
  std::string log;
  const auto listed = XorrisoList(image_, log);
  Files shown;
  for (const auto& [path, e] : listed) shown[path] = e.dir ? "" : std::to_string(e.size);
  Files expected;
  for (const auto& [path, content] : ExpectedJoliet(source_)) {
    expected[path] = path.ends_with('/') ? "" : std::to_string(content.size());
  }
  EXPECT_EQ(Differences(expected, shown), "") << log;
}

class MkisoRealTreeReader : public MkisoRealTree, public ::testing::WithParamInterface<const char*> {};

TEST_P(MkisoRealTreeReader, UnpacksTheSourceTreeByteForByte) {
  const std::string reader = GetParam();
  REQUIRE_TOOLS(reader.c_str());
  TempDir out;
  const Extraction e = Extract(reader, image_, out / "x");
  ASSERT_TRUE(e.ok) << e.log;
  EXPECT_EQ(Differences(ExpectedJoliet(source_), e.tree), "") << e.log;
}

INSTANTIATE_TEST_SUITE_P(Readers, MkisoRealTreeReader, ::testing::Values("7z", "bsdtar", "xorriso"),
                         [](const auto& param_info) {
                           return std::string(param_info.param == std::string("7z") ? "SevenZip" : param_info.param);
                         });

// ---------------------------------------------------------------------------
// Writing.

TEST(MkisoWrite, QuickSaveHoldsTheSameFiles) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  MakeTree(dir / "src", RealTree());
  const RunResult r = Mkiso({"--quick", "-o", dir / "quick.iso", dir / "src"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  const Extraction e = Extract("bsdtar", dir / "quick.iso", dir / "x");
  ASSERT_TRUE(e.ok) << e.log;
  EXPECT_EQ(Differences(ExpectedJoliet(ReadTree(dir / "src")), e.tree), "");
}

TEST(MkisoWrite, ReplacesALargerExistingFileWhole) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"b.bin", Bytes(3000, 2)}});
  WriteFile(dir / "out.iso", Bytes(5 * 1024 * 1024, 3));
  const RunResult size = Mkiso({"--print-size", dir / "src"});
  const RunResult r = Mkiso({"-o", dir / "out.iso", dir / "src"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(FileSize(dir / "out.iso"), PrintedSize(size) * kSector) << "old bytes left after the new image";
  const Extraction e = Extract("bsdtar", dir / "out.iso", dir / "x");
  EXPECT_EQ(Differences(ExpectedJoliet(ReadTree(dir / "src")), e.tree), "") << e.log;
}

TEST(MkisoWrite, FilesLieInTheOrderOfThePathsGiven) {
  REQUIRE_TOOLS("isoinfo");
  TempDir dir;
  // Named so that alphabetical order is the reverse of the command line's.
  MakeTree(dir.path(), {{"zeta/z1.bin", Bytes(3000, 1)},
                        {"zeta/z2.bin", Bytes(5000, 2)},
                        {"alpha/a1.bin", Bytes(4000, 3)},
                        {"alpha/a2.bin", Bytes(100, 4)}});
  const RunResult r = Mkiso({"--paths", "last", "-o", dir / "o.iso", dir / "zeta", dir / "alpha"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  std::string log;
  int64_t last_zeta = -1, first_alpha = INT64_MAX;
  int found = 0;
  for (const IsoRecord& rec : IsoinfoList(dir / "o.iso", true, log)) {
    if (rec.dir) continue;
    ++found;
    if (rec.path.starts_with("zeta/")) last_zeta = std::max(last_zeta, rec.extent);
    if (rec.path.starts_with("alpha/")) first_alpha = std::min(first_alpha, rec.extent);
  }
  ASSERT_EQ(found, 4) << log;
  EXPECT_LT(last_zeta, first_alpha) << "files of the first PATH must come first\n" << log;
}

// ---------------------------------------------------------------------------
// Dates: recorded as local time with the zone's offset; readers that apply
// the offset must get the source file's modification time back, to the second.

struct DatedFile {
  const char* name;
  int64_t seconds;
  long nanoseconds;
};

constexpr DatedFile kDatedFiles[] = {
    {"winter.txt", 1610712000, 0},            // 2021-01-15 12:00:00 UTC
    {"fraction.txt", 1610712005, 999999999},  // 12:00:05.999999999: whole seconds, not rounded up
    {"millennium.txt", 946684799, 0},         // 1999-12-31 23:59:59 UTC: another year in most zones
    {"summer.txt", 1625140800, 0},            // 2021-07-01 12:00:00 UTC
};

// Writes the dated files in `tz` and returns (reader, file) -> seconds read back.
std::map<std::string, int64_t> DatesReadBack(const std::string& tz, std::string& log) {
  TempDir dir;
  for (const DatedFile& f : kDatedFiles) {
    WriteFile(dir / "src/" + f.name, f.name);
    SetTimes(dir / "src/" + f.name, f.seconds, f.nanoseconds);
  }
  const RunResult r = Mkiso({"-o", dir / "d.iso", dir / "src"}, InZone(tz));
  log = Describe(r);
  std::map<std::string, int64_t> read;
  if (r.status != 0) return read;
  for (const char* reader : {"bsdtar", "7z"}) {
    const std::string out = dir / (std::string("x-") + reader);
    const Extraction e = Extract(reader, dir / "d.iso", out);
    log += "\n" + e.log;
    for (const DatedFile& f : kDatedFiles) read[std::string(reader) + " " + f.name] = ModifiedSeconds(out + "/" + f.name);
  }
  return read;
}

class MkisoDates : public ::testing::TestWithParam<const char*> {};

TEST_P(MkisoDates, ModificationTimesSurviveInAZoneWithoutSummerTime) {
  REQUIRE_TOOLS("bsdtar", "7z");
  std::string log;
  const auto read = DatesReadBack(GetParam(), log);
  ASSERT_FALSE(read.empty()) << log;
  for (const char* reader : {"bsdtar", "7z"}) {
    for (const DatedFile& f : kDatedFiles) {
      EXPECT_EQ(read.at(std::string(reader) + " " + f.name), f.seconds) << reader << " " << f.name << "\n" << log;
    }
  }
}

// UTC, Japan (UTC+9) and US Eastern standard time (UTC-5), written as POSIX
// TZ strings so that no zone database is needed.
INSTANTIATE_TEST_SUITE_P(Zones, MkisoDates, ::testing::Values("UTC0", "JST-9", "EST5"),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           std::replace(name.begin(), name.end(), '-', 'm');
                           return name;
                         });

TEST(MkisoDatesSummerTime, SummerFileKeepsItsTimeInAZoneWithSummerTime) {
  REQUIRE_TOOLS("bsdtar", "7z");
  // Central European time: UTC+1, UTC+2 from the last Sunday of March to the
  // last Sunday of October. A summer file's record must carry the offset in
  // force at its date, or every reader shows it an hour off.
  std::string log;
  const auto read = DatesReadBack("CET-1CEST,M3.5.0,M10.5.0/3", log);
  ASSERT_FALSE(read.empty()) << log;
  for (const char* reader : {"bsdtar", "7z"}) {
    for (const DatedFile& f : kDatedFiles) {
      EXPECT_EQ(read.at(std::string(reader) + " " + f.name), f.seconds) << reader << " " << f.name;
    }
  }
}

// ---------------------------------------------------------------------------
// Joliet names.

std::string NameOfUnits(const std::string& tag, size_t units, const std::string& ext) {
  std::string name = tag + "_";
  while (Utf16Units(name) + Utf16Units(ext) < units) name += "x";
  return name + ext;
}

TEST(MkisoJolietNames, FileNamesUpTo108UnitsAreKeptLongerOnesRefused) {
  REQUIRE_TOOLS("xorriso", "7z", "isoinfo");
  TempDir dir;
  Files kept, refused;
  for (size_t units : {64, 65, 103, 108}) kept[NameOfUnits("n" + std::to_string(units), units, ".txt")] = "";
  for (size_t units : {109, 110}) refused[NameOfUnits("n" + std::to_string(units), units, ".txt")] = "";
  // Lengths are counted in UTF-16 units: each emoji is a surrogate pair.
  std::string emoji108 = "emoji_";
  while (Utf16Units(emoji108) + 4 < 108) emoji108 += "😀";
  kept[emoji108 + ".txt"] = "";
  std::string emoji109 = "emoji_x";
  while (Utf16Units(emoji109) + 4 < 109) emoji109 += "😀";
  refused[emoji109 + ".txt"] = "";
  // Names after the refused ones in sorted order show that the walk goes on.
  kept["zz after.txt"] = "";
  uint32_t seed = 1;
  TreeContents tree;
  for (auto* group : {&kept, &refused}) {
    for (auto& [name, content] : *group) {
      content = Bytes(seed * 7, seed);
      ++seed;
      tree.emplace_back(name, content);
    }
  }
  for (const auto& [name, content] : kept) ASSERT_LE(Utf16Units(name), 108u) << name;
  for (const auto& [name, content] : refused) ASSERT_GE(Utf16Units(name), 109u) << name;
  ASSERT_EQ(Utf16Units(NameOfUnits("n108", 108, ".txt")), 108u);
  ASSERT_EQ(Utf16Units(NameOfUnits("n109", 109, ".txt")), 109u);
  ASSERT_EQ(Utf16Units(emoji108 + ".txt"), 108u);
  ASSERT_EQ(Utf16Units(emoji109 + ".txt"), 109u);
  MakeTree(dir / "src", tree);

  const RunResult r = Mkiso({"-o", dir / "j.iso", dir / "src"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  ASSERT_TRUE(PathExists(dir / "j.iso")) << Describe(r);
  for (const auto& [name, content] : refused) EXPECT_THAT(r.err, HasSubstr(name)) << "no log line for it";
  for (const auto& [name, content] : kept) EXPECT_THAT(r.err, ::testing::Not(HasSubstr(name)));

  for (const char* reader : {"7z", "xorriso"}) {
    const Extraction e = Extract(reader, dir / "j.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(e.ok) << e.log;
    EXPECT_EQ(Differences(kept, e.tree), "") << reader;
  }
  std::string log;
  Files shown;
  for (const IsoRecord& rec : IsoinfoList(dir / "j.iso", true, log)) shown[rec.path] = "";
  Files expected;
  for (const auto& [name, content] : kept) expected[IsoinfoVisible(name) + ";1"] = "";
  EXPECT_EQ(Differences(expected, shown), "") << log;
}

TEST(MkisoJolietNames, ExtensionlessFileNameOf108UnitsIsKept) {
  REQUIRE_TOOLS("7z");
  // "readme" is recorded as README. in ISO 9660 but as "readme" in Joliet:
  // the dot added for ISO 9660 takes no room in the Joliet record, so a 108
  // unit name without extension fits as well as one with.
  TempDir dir;
  const std::string name(108, 'a');
  MakeTree(dir / "src", {{name, "108 units, no extension"}, {std::string(107, 'b'), "107"}});
  const RunResult r = Mkiso({"-o", dir / "e.iso", dir / "src"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  const Extraction e = Extract("7z", dir / "e.iso", dir / "x");
  EXPECT_EQ(Differences(ExpectedJoliet(ReadTree(dir / "src")), e.tree), "") << e.log;
}

TEST(MkisoJolietNames, FolderNamesUpTo110UnitsAreKeptLongerOnesRefused) {
  REQUIRE_TOOLS("7z", "xorriso");
  TempDir dir;
  const std::string d110 = NameOfUnits("d110", 110, "");
  const std::string d111 = NameOfUnits("d111", 111, "");
  std::string emoji111 = "emoji_";  // 111 units with surrogate pairs
  while (Utf16Units(emoji111) < 111) emoji111 += Utf16Units(emoji111) + 2 <= 111 ? "😀" : "x";
  ASSERT_EQ(Utf16Units(d110), 110u);
  ASSERT_EQ(Utf16Units(d111), 111u);
  ASSERT_EQ(Utf16Units(emoji111), 111u);
  MakeTree(dir / "src", {{d110 + "/in110.txt", "kept"},
                         {d110 + "/sub/deeper.txt", "kept too"},
                         {d111 + "/in111.txt", "refused with its folder"},
                         {emoji111 + "/inemoji.txt", "refused too"},
                         {"zz after/after.txt", "the walk goes on"},
                         {"zz last.txt", "and reaches the files"}});
  const RunResult r = Mkiso({"-o", dir / "d.iso", dir / "src"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(d111));
  EXPECT_THAT(r.err, HasSubstr(emoji111));
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr(d110)));
  Files source = ReadTree(dir / "src");
  std::erase_if(source, [&](const auto& item) { return item.first.starts_with(d111) || item.first.starts_with(emoji111); });
  for (const char* reader : {"7z", "xorriso"}) {
    const Extraction e = Extract(reader, dir / "d.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(e.ok) << e.log;
    EXPECT_EQ(Differences(ExpectedJoliet(source), e.tree), "") << reader;
  }
}

TEST(MkisoJolietNames, NonUtf8NamesAreReadAsLatin1) {
  REQUIRE_TOOLS("7z", "bsdtar", "xorriso", "isoinfo");
  TempDir dir;
  // Byte names as an old Latin-1 system leaves them: caf\xE9.txt, d\xE9j\xE0/na\xEFve.
  WriteFile(dir / "src/caf\xE9.txt", "latin-1 name");
  WriteFile(dir / "src/d\xE9j\xE0/na\xEFve", "latin-1 folder, no extension");
  WriteFile(dir / "src/plain.txt", "ascii");
  const RunResult r = Mkiso({"-o", dir / "l.iso", dir / "src"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  const Files expected = {{"café.txt", "latin-1 name"},
                          {"déjà/", ""},
                          {"déjà/naïve", "latin-1 folder, no extension"},
                          {"plain.txt", "ascii"}};
  for (const char* reader : {"7z", "bsdtar", "xorriso"}) {
    const Extraction e = Extract(reader, dir / "l.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(e.ok) << e.log;
    EXPECT_EQ(Differences(expected, e.tree), "") << reader;
  }
  std::string log;
  std::set<std::string> shown;
  for (const IsoRecord& rec : IsoinfoList(dir / "l.iso", true, log)) shown.insert(rec.path);
  EXPECT_EQ(shown, (std::set<std::string>{"café.txt;1", "déjà/", "déjà/naïve;1", "plain.txt;1"})) << log;
}

TEST(MkisoJolietNames, CaseVariantsInOneFolderAreNotLostSilently) {
  REQUIRE_TOOLS("7z", "xorriso");
  // A Linux folder may hold names that differ only by case, or by a final
  // dot. Each file must reach the disc, or be reported (exit status 1).
  TempDir dir;
  MakeTree(dir / "src", {{"README", "upper"},
                         {"readme", "lower"},
                         {"Report.TXT", "report one"},
                         {"report.txt", "report two"},
                         {"notes", "no dot"},
                         {"notes.", "final dot"},
                         {"Docs/a.txt", "in Docs"},
                         {"docs/a.txt", "in docs"}});
  const RunResult r = Mkiso({"-o", dir / "c.iso", dir / "src"});
  ASSERT_TRUE(PathExists(dir / "c.iso")) << Describe(r);
  for (const char* reader : {"7z", "xorriso"}) {
    const Extraction e = Extract(reader, dir / "c.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(e.ok) << e.log;
    EXPECT_EQ(SilentLosses(ReadTree(dir / "src"), e.tree, r), "") << reader << "\n" << Describe(r);
  }
}

TEST(MkisoJolietNames, NamesThatBecomeEqualOnTheDiscStayDistinct) {
  REQUIRE_TOOLS("7z", "isoinfo");
  // "a:b.txt" is shown as "a_b.txt" in Joliet, and caf\xE9.txt (Latin-1) as
  // "café.txt": next to files already bearing those names, two records of a
  // folder would carry one name, and readers keep only one of the files.
  TempDir dir;
  WriteFile(dir / "src/a:b.txt", "colon");
  WriteFile(dir / "src/a_b.txt", "underscore");
  WriteFile(dir / "src/caf\xE9.txt", "latin-1 spelling");
  WriteFile(dir / "src/café.txt", "utf-8 spelling");
  const RunResult r = Mkiso({"-o", dir / "u.iso", dir / "src"});
  ASSERT_TRUE(PathExists(dir / "u.iso")) << Describe(r);
  std::string log;
  EXPECT_EQ(DuplicateNames(IsoinfoList(dir / "u.iso", true, log)), "") << log;
  const Extraction e = Extract("7z", dir / "u.iso", dir / "x");
  EXPECT_EQ(SilentLosses(ReadTree(dir / "src"), e.tree, r), "") << e.log;
}

TEST(MkisoJolietNames, BackslashInAFolderNameIsAnOrdinaryCharacter) {
  REQUIRE_TOOLS("7z");
  // On Linux "we\ird" is one folder name; on the disc it must stay one
  // folder ("we_ird" in Joliet), not become the path we/ird.
  TempDir dir;
  MakeTree(dir / "src", {{"we\\ird/f.txt", "in the folder with a backslash"}, {"we/ird/g.txt", "in we/ird"}});
  const RunResult r = Mkiso({"-o", dir / "b.iso", dir / "src"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  const Extraction e = Extract("7z", dir / "b.iso", dir / "x");
  EXPECT_EQ(Differences(ExpectedJoliet(ReadTree(dir / "src")), e.tree), "") << e.log;
}

// ---------------------------------------------------------------------------
// Without Joliet: only the 8.3 names.

TEST(MkisoNoJoliet, EveryReaderShowsTheEightDotThreeNames) {
  REQUIRE_TOOLS("isoinfo", "7z", "bsdtar", "xorriso");
  TempDir dir;
  // Expected short names, worked out by hand from the Windows rules: long
  // names take the first six letters of their base and ~N, N the first number
  // free in the folder, names taken in sorted order; a valid 8.3 name
  // (LONGFI~1.TXT below) keeps its name and its number is skipped.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"Long file name eight.txt", "LONGFI~2.TXT"},  {"Long file name eleven.txt", "LONGFI~3.TXT"},
      {"Long file name five.txt", "LONGFI~4.TXT"},   {"Long file name four.txt", "LONGFI~5.TXT"},
      {"Long file name nine.txt", "LONGFI~6.TXT"},   {"Long file name one.txt", "LONGFI~7.TXT"},
      {"Long file name seven.txt", "LONGFI~8.TXT"},  {"Long file name six.txt", "LONGFI~9.TXT"},
      {"Long file name ten.txt", "LONGF~10.TXT"},    {"Long file name three.txt", "LONGF~11.TXT"},
      {"Long file name twelve.txt", "LONGF~12.TXT"}, {"Long file name two.txt", "LONGF~13.TXT"},
      {"LONGFI~1.TXT", "LONGFI~1.TXT"},              {"readme", "README"},
      {"My documents.txt", "MYDOCU~1.TXT"},          {"data.tar.gz", "DATATA~1.GZ"},
      {"photo.jpeg", "PHOTO~1.JPE"},                 {"lower.txt", "LOWER.TXT"},
      {"UPPER.TXT", "UPPER.TXT"},                    {".profile", "PROFIL~1"},
      {"Program Files/app.exe", "PROGRA~1/APP.EXE"}, {"sub/size2049.bin", "SUB/SIZE2049.BIN"},
      {"sub/big.bin", "SUB/BIG.BIN"},
  };
  Files expected;
  TreeContents tree;
  uint32_t seed = 1;
  for (const auto& [source, shown] : names) {
    std::string content = Bytes(shown == "SUB/BIG.BIN" ? 700000 : shown == "SUB/SIZE2049.BIN" ? 2049 : seed * 3, seed);
    ++seed;
    tree.emplace_back(source, content);
    expected[shown] = content;
    if (shown.find('/') != std::string::npos) expected[shown.substr(0, shown.find('/') + 1)] = "";
  }
  tree.emplace_back("empty folder/", "");
  MakeTree(dir / "src", tree);

  const RunResult r = Mkiso({"--no-joliet", "-o", dir / "n.iso", dir / "src"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  const VolumeInfo v = IsoinfoDescriptors(dir / "n.iso");
  EXPECT_TRUE(v.says_no_joliet) << v.log;
  EXPECT_FALSE(v.joliet) << v.log;
  EXPECT_EQ(v.sectors * kSector, FileSize(dir / "n.iso")) << v.log;
  std::string log;
  EXPECT_EQ(DuplicateNames(IsoinfoList(dir / "n.iso", false, log)), "") << log;
  for (const char* reader : {"7z", "bsdtar", "xorriso"}) {
    const Extraction e = Extract(reader, dir / "n.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(e.ok) << e.log;
    EXPECT_EQ(Differences(expected, e.tree), "") << reader;
  }
}

// ---------------------------------------------------------------------------
// --paths.

// A --paths mode with the folder src (named by `src_arg`, run from the
// test's folder, or by its absolute path when empty) and the file
// other/f.txt, and where they come on the disc: below the test folder's own
// path when `absolute`, then below the prefixes.
struct PathsCase {
  const char* name;
  const char* mode;
  const char* src_arg;
  bool absolute;
  const char* src_prefix;
  const char* other_prefix;
};

class MkisoPaths : public ::testing::TestWithParam<PathsCase> {
 protected:
  void SetUp() override {
    MakeTree(dir_.path(), {{"src/a.txt", "a"}, {"src/sub/b.txt", Bytes(3000, 1)}, {"other/f.txt", "f"}});
  }
  // The disc from `mode` with the folder src and the file other/f.txt.
  Extraction Make(const std::string& mode, RunResult& r, const std::string& src_arg = "", const std::string& cwd = "") {
    r = Mkiso({"--paths", mode, "-o", dir_ / (mode + ".iso"), src_arg.empty() ? dir_ / "src" : src_arg,
               dir_ / "other/f.txt"},
              InFolder(cwd));
    if (r.status != 0) return {false, Describe(r), {}};
    return Extract("bsdtar", dir_ / (mode + ".iso"), dir_ / ("x-" + mode));
  }
  // The expected tree with every path below `prefix`.
  Files Below(const std::string& src_prefix, const std::string& other_prefix) {
    Files files = {{src_prefix + "a.txt", "a"}, {src_prefix + "sub/b.txt", Bytes(3000, 1)}, {other_prefix + "f.txt", "f"}};
    return ExpectedDisc(files, [](std::string_view name) { return std::string(name); });
  }
  TempDir dir_;
};

// none puts the folder's contents and the file at the root; keep recreates
// the absolute source path (a relative one normalised first); last keeps
// only the last folder. xorriso lists a kept path too.
TEST_P(MkisoPaths, SourcesComeWhereTheModeSays) {
  REQUIRE_TOOLS("bsdtar");
  const PathsCase& c = GetParam();
  RunResult r;
  const std::string base =
      c.absolute ? fs::path(dir_.path()).lexically_normal().string().substr(1) + "/" : std::string();
  const Extraction e = Make(c.mode, r, c.src_arg, *c.src_arg != '\0' ? dir_.path() : std::string());
  ASSERT_TRUE(e.ok) << e.log;
  EXPECT_EQ(Differences(Below(base + c.src_prefix, base + c.other_prefix), e.tree), "");
  if (std::string_view(c.mode) == "keep" && HaveTool("xorriso")) {
    std::string log;
    const auto listed = XorrisoList(dir_ / "keep.iso", log);
    EXPECT_TRUE(listed.contains(base + "src/sub/b.txt")) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, MkisoPaths,
                         ::testing::Values(PathsCase{"None", "none", "", false, "", ""},
                                           PathsCase{"Keep", "keep", "", true, "src/", "other/"},
                                           PathsCase{"KeepRelative", "keep", "./src/../src/", true, "src/", "other/"},
                                           PathsCase{"Last", "last", "", false, "src/", "other/"}),
                         [](const auto& mode) { return std::string(mode.param.name); });

TEST(MkisoPathsNoJoliet, KeptFoldersSharingALongPrefixStayDistinct) {
  REQUIRE_TOOLS("isoinfo", "bsdtar", "7z");
  // Folders created for --paths get ISO 9660 names of their own; two whose
  // names begin alike must still be two folders on a disc without Joliet.
  TempDir dir;
  MakeTree(dir / "src", {{"longfoldername_alpha/same.txt", "alpha"}, {"longfoldername_beta/same.txt", "beta"}});
  const RunResult r = Mkiso({"--no-joliet", "--paths", "last", "-o", dir / "k.iso", dir / "src/longfoldername_alpha",
                             dir / "src/longfoldername_beta"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  std::string log;
  EXPECT_EQ(DuplicateNames(IsoinfoList(dir / "k.iso", false, log)), "") << log;
  for (const char* reader : {"bsdtar", "7z"}) {
    const Extraction e = Extract(reader, dir / "k.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(e.ok) << e.log;
    EXPECT_EQ(FilesOnly(e.tree).size(), 2u) << reader << " reads one folder where there are two:\n"
                                            << Differences({}, e.tree);
    EXPECT_EQ(SilentLosses(ReadTree(dir / "src"), e.tree, r), "") << reader;
  }
}

// ---------------------------------------------------------------------------
// --print-size.

TEST(MkisoPrintSize, EqualsTheSectorsOfTheWrittenImage) {
  REQUIRE_TOOLS("isoinfo");
  TempDir dir;
  MakeTree(dir / "tiny", {{"one.txt", "1"}});
  MakeTree(dir / "sizes", {{"zero", ""}, {"a2047", Bytes(2047)}, {"a2048", Bytes(2048)}, {"a2049", Bytes(2049)},
                           {"d/big", Bytes(300000)}});
  // Folders spanning several sectors and path tables longer than a sector.
  TreeContents many;
  for (int i = 0; i < 300; ++i) many.emplace_back("file number " + std::to_string(i) + " with a long name.dat", "x");
  for (int i = 0; i < 80; ++i) {
    many.emplace_back("folder number " + std::to_string(i) + " with a long name to fill the path table/f", "y");
  }
  MakeTree(dir / "many", many);
  WriteFile(dir / "floppy.img", Bytes(1474560, 9));  // 1.44 MB diskette
  WriteFile(dir / "disk.img", Bytes(5000, 10));      // hard disk emulation, not a whole sector count

  for (const char* tree : {"tiny", "sizes", "many"}) {
    for (const char* boot : {"", "floppy.img", "disk.img"}) {
      for (bool joliet : {true, false}) {
        SCOPED_TRACE(std::string(tree) + " boot=" + boot + (joliet ? " joliet" : " no joliet"));
        std::vector<std::string> options;
        if (*boot != '\0') options = {"--boot", dir / boot};
        if (!joliet) options.push_back("--no-joliet");
        std::vector<std::string> size_args = {"--print-size"};
        size_args.insert(size_args.end(), options.begin(), options.end());
        size_args.push_back(dir / tree);
        const RunResult size = Mkiso(size_args);
        ASSERT_EQ(size.status, 0) << Describe(size);
        const std::string image = dir / "p.iso";
        std::vector<std::string> write_args = {"-o", image};
        write_args.insert(write_args.end(), options.begin(), options.end());
        write_args.push_back(dir / tree);
        const RunResult written = Mkiso(write_args);
        ASSERT_EQ(written.status, 0) << Describe(written);
        EXPECT_GT(PrintedSize(size), 0) << size.out;
        EXPECT_EQ(PrintedSize(size) * kSector, FileSize(image)) << size.out;
        const VolumeInfo v = IsoinfoDescriptors(image);
        // The default save pads a small image with zeros to 300 sectors.
        EXPECT_EQ(std::max<int64_t>(v.sectors, 300) * kSector, FileSize(image)) << v.log;
        EXPECT_EQ(v.joliet, joliet) << v.log;
      }
    }
  }
}

TEST(MkisoPrintSize, WritesNoImage) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const RunResult r = Mkiso({"--print-size", "-o", dir / "no.iso", dir / "src"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_GT(PrintedSize(r), 0) << r.out;
  EXPECT_FALSE(PathExists(dir / "no.iso"));
}

TEST(MkisoPrintSize, FileJustUnder4GiBIsCounted) {
  TempDir dir;
  MakeTree(dir / "src", {{"small.txt", "s"}});
  // --quick: the size of the volume itself, not padded to 300 sectors.
  const RunResult without = Mkiso({"--print-size", "--quick", dir / "src"});
  ASSERT_EQ(without.status, 0) << Describe(without);
  const std::string max = dir / "src/max.bin";
  WriteFile(max, "");
  ASSERT_EQ(truncate(max.c_str(), (int64_t{1} << 32) - 1), 0);  // sparse
  const RunResult with = Mkiso({"--print-size", "--quick", dir / "src"});
  ASSERT_EQ(with.status, 0) << Describe(with);
  EXPECT_THAT(with.err, ::testing::Not(HasSubstr("max.bin")));
  EXPECT_EQ(PrintedSize(with) - PrintedSize(without), (int64_t{1} << 32) / kSector) << with.out << without.out;
}

// ---------------------------------------------------------------------------
// Failures.

TEST(MkisoFailures, MissingPathFailsTheJobAndWritesNothing) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  for (const std::vector<std::string>& paths :
       {std::vector<std::string>{dir / "nowhere"}, std::vector<std::string>{dir / "src", dir / "nowhere"}}) {
    std::vector<std::string> args = {"-o", dir / "o.iso"};
    args.insert(args.end(), paths.begin(), paths.end());
    const RunResult r = Mkiso(args);
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("nowhere"));
    EXPECT_FALSE(PathExists(dir / "o.iso"));
  }
}

TEST(MkisoFailures, UsageErrorsExitWith2) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const std::string out = dir / "o.iso";
  const std::vector<std::vector<std::string>> cases = {
      {"-o", out},                                  // no PATH
      {"--bogus", "-o", out, dir / "src"},          // unknown option
      {dir / "src"},                                // neither -o nor --print-size
      {"--paths", "sideways", "-o", out, dir / "src"},
      {dir / "src", "-o"},                          // -o without its value
      {"-o", out, dir / "src", "--volume"},         // --volume without its value
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    const RunResult r = Mkiso(args);
    EXPECT_EQ(r.status, 2) << shown << "\n" << Describe(r);
    EXPECT_FALSE(r.err.empty()) << shown;
    EXPECT_FALSE(PathExists(out)) << shown;
  }
  for (const std::vector<std::string>& argv : {std::vector<std::string>{ZamoCli()},
                                               std::vector<std::string>{ZamoCli(), "frobnicate"}}) {
    const RunResult r = zamo::test::Run(argv, 30);
    EXPECT_EQ(r.status, 2) << Describe(r);
  }
}

TEST(MkisoFailures, UnreadableFileIsLeftOutAndNamed) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  How how;
  std::string why;
  if (!PrepareUnprivileged(dir, how, why)) GTEST_SKIP() << why;
  MakeTree(dir / "src", {{"ok.txt", "readable"}, {"secret.txt", "unreadable"}, {"sub/also ok.txt", "readable too"}});
  chmod((dir / "src/secret.txt").c_str(), 0);
  if (!how.unprivileged && access((dir / "src/secret.txt").c_str(), R_OK) == 0) GTEST_SKIP() << "chmod 000 does not stop reading here";
  fs::create_directories(dir / "out");
  chmod((dir / "out").c_str(), 0777);
  const RunResult r = Mkiso({"-o", dir / "out/u.iso", dir / "src"}, how);
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("secret.txt"));
  ASSERT_TRUE(PathExists(dir / "out/u.iso")) << Describe(r);
  const Extraction e = Extract("bsdtar", dir / "out/u.iso", dir / "x");
  EXPECT_EQ(Differences({{"ok.txt", "readable"}, {"sub/", ""}, {"sub/also ok.txt", "readable too"}}, e.tree), "");
}

TEST(MkisoFailures, UnreadableFolderIsNotLostSilently) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  How how;
  std::string why;
  if (!PrepareUnprivileged(dir, how, why)) GTEST_SKIP() << why;
  MakeTree(dir / "src", {{"ok.txt", "readable"}, {"locked/inside.txt", "behind a closed folder"}});
  chmod((dir / "src/locked").c_str(), 0);
  if (!how.unprivileged && access((dir / "src/locked").c_str(), R_OK) == 0) GTEST_SKIP() << "chmod 000 does not stop reading here";
  fs::create_directories(dir / "out");
  chmod((dir / "out").c_str(), 0777);
  const RunResult r = Mkiso({"-o", dir / "out/u.iso", dir / "src"}, how);
  EXPECT_EQ(r.status, 1) << "a folder that cannot be listed was left out\n" << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("locked"));
}

TEST(MkisoFailures, FilePastEightExtentsIsRefusedAndTheRestWritten) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"sub/b.bin", Bytes(5000, 2)}});
  const std::string huge = dir / "src/sub/huge.bin";
  WriteFile(huge, "");
  // One byte more than 8 extents of 4 GiB - 2048; sparse: costs no disk space.
  ASSERT_EQ(truncate(huge.c_str(), 8 * int64_t{0xFFFFF800} + 1), 0);
  const RunResult r = Mkiso({"-o", dir / "h.iso", dir / "src"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> FICHIER DE PLUS DE 34359721984 OCTETS IGNORÉ \"" + huge + "\""));
  ASSERT_TRUE(PathExists(dir / "h.iso"));
  EXPECT_LT(FileSize(dir / "h.iso"), 1 << 20);
  const Extraction e = Extract("bsdtar", dir / "h.iso", dir / "x");
  EXPECT_EQ(Differences({{"a.txt", "a"}, {"sub/", ""}, {"sub/b.bin", Bytes(5000, 2)}}, e.tree), "") << e.log;
}

TEST(MkisoFailures, OutputIntoAMissingFolderFails) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const std::string out = dir / "no/such/folder/o.iso";
  const RunResult r = Mkiso({"-o", out, dir / "src"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  // The folder is what is missing, and it is named.
  EXPECT_THAT(r.err, HasSubstr("Le dossier «\u00A0" + (dir / "no/such/folder") + "\u00A0» n'existe pas\u00A0: "
                               "«\u00A0o.iso\u00A0» ne peut pas y être créé."));
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr("introuvable")));
  EXPECT_FALSE(PathExists(out));
  EXPECT_FALSE(PathExists(dir / "no"));
}

TEST(MkisoFailures, ImageInsideASourceFolderNeverHoldsItself) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"b.bin", Bytes(4000, 1)}});
  const std::string image = dir / "src/self.iso";
  const Files expected = ExpectedJoliet(ReadTree(dir / "src"));
  // The first time the image does not exist yet while the tree is read; the
  // second time the previous image is in the tree.
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const RunResult r = Mkiso({"-o", image, dir / "src"});
    if (r.status == 1) {
      EXPECT_THAT(r.err, HasSubstr("self.iso"));
      continue;
    }
    ASSERT_EQ(r.status, 0) << Describe(r);
    const Extraction e = Extract("bsdtar", image, dir / ("x" + std::to_string(round)));
    EXPECT_EQ(Differences(expected, e.tree), "") << e.log;
  }
}

// A folder linked back to its parent is a loop: the walk must not follow
// it for ever, nor record the same files again and again.
TEST(MkisoFailures, SymbolicLinkLoopIsNotRecordedOverAndOver) {
  REQUIRE_TOOLS("xorriso");
  TempDir dir;
  MakeTree(dir / "src", {{"d/a.txt", "once"}});
  fs::create_directory_symlink("..", dir / "src/d/up");
  const RunResult r = Mkiso({"-o", dir / "l.iso", dir / "src"}, WithTimeout(30));
  ASSERT_FALSE(r.timed_out);
  ASSERT_TRUE(PathExists(dir / "l.iso")) << Describe(r);
  std::string log;
  int copies = 0;
  for (const auto& [path, e] : XorrisoList(dir / "l.iso", log)) copies += path.ends_with("a.txt") ? 1 : 0;
  EXPECT_EQ(copies, 1) << "a.txt recorded " << copies << " times";
}

TEST(MkisoFailures, TwoSymbolicLinkLoopsDoNotHang) {
  TempDir dir;
  MakeTree(dir / "src", {{"d/a.txt", "once"}});
  fs::create_directory_symlink("..", dir / "src/d/up1");
  fs::create_directory_symlink("..", dir / "src/d/up2");
  // A walk that follows both links doubles at every level.
  const RunResult r = Mkiso({"--print-size", dir / "src"}, WithTimeout(10));
  EXPECT_FALSE(r.timed_out) << "still walking after 10 s";
  if (!r.timed_out) {
    EXPECT_LT(PrintedSize(r), 1000) << r.out;
  }
}

// ---------------------------------------------------------------------------
// --archive-only.

constexpr const char* kArchived = "user.zamo.archived";

bool Marked(const std::string& path) { return getxattr(path.c_str(), kArchived, nullptr, 0) >= 0; }

bool UserXattrsWork(const std::string& folder) {
  const std::string probe = folder + "/xattr-probe";
  WriteFile(probe, "");
  const bool ok = setxattr(probe.c_str(), "user.zamo.probe", "1", 1, 0) == 0;
  fs::remove(probe);
  return ok;
}

class MkisoArchiveOnly : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UserXattrsWork(dir_.path())) GTEST_SKIP() << "no user extended attributes on " << dir_.path();
    MakeTree(dir_ / "src", {{"a.txt", "a"}, {"sub/b.txt", Bytes(3000, 2)}, {"c.bin", Bytes(100, 3)}});
  }
  Files ReadBack(const std::string& image) {
    return Extract("bsdtar", image, dir_ / ("x-" + fs::path(image).filename().string())).tree;
  }
  TempDir dir_;
};

TEST_F(MkisoArchiveOnly, FirstRunTakesAllThenOnlyWhatChanged) {
  REQUIRE_TOOLS("bsdtar");
  const RunResult first = Mkiso({"--archive-only", "-o", dir_ / "1.iso", dir_ / "src"});
  ASSERT_EQ(first.status, 0) << Describe(first);
  EXPECT_EQ(Differences(ExpectedJoliet(ReadTree(dir_ / "src")), ReadBack(dir_ / "1.iso")), "");
  for (const char* f : {"a.txt", "sub/b.txt", "c.bin"}) EXPECT_TRUE(Marked(dir_ / "src/" + f)) << f;

  // Nothing changed: an incremental backup with nothing to add is a success, and writes no image.
  const RunResult second = Mkiso({"--archive-only", "-o", dir_ / "2.iso", dir_ / "src"});
  EXPECT_EQ(second.status, 0) << Describe(second);
  EXPECT_THAT(second.err,
              HasSubstr("Aucun fichier modifié depuis la dernière sauvegarde\u00A0: aucune image n'est écrite."));
  EXPECT_THAT(second.err, ::testing::Not(HasSubstr("Rien à enregistrer")));
  EXPECT_FALSE(PathExists(dir_ / "2.iso"));
  const RunResult size = Mkiso({"--archive-only", "--print-size", dir_ / "src"});
  EXPECT_EQ(size.status, 0) << Describe(size);
  EXPECT_EQ(size.out, "0\n");

  // Same size, new content and time: only the modification tells.
  WriteFile(dir_ / "src/sub/b.txt", Bytes(3000, 4));
  SetModifiedTime(dir_ / "src/sub/b.txt", 1700000000);
  const RunResult third = Mkiso({"--archive-only", "-o", dir_ / "3.iso", dir_ / "src"});
  ASSERT_EQ(third.status, 0) << Describe(third);
  EXPECT_EQ(Differences({{"sub/", ""}, {"sub/b.txt", Bytes(3000, 4)}}, ReadBack(dir_ / "3.iso")), "");

  const RunResult fourth = Mkiso({"--archive-only", "-o", dir_ / "4.iso", dir_ / "src"});
  EXPECT_EQ(fourth.status, 0) << Describe(fourth);
  EXPECT_FALSE(PathExists(dir_ / "4.iso"));

  // Without --archive-only, an empty compilation is still a failure.
  fs::create_directory(dir_ / "empty");
  const RunResult empty = Mkiso({"-o", dir_ / "5.iso", dir_ / "empty"});
  EXPECT_EQ(empty.status, 1) << Describe(empty);
  EXPECT_THAT(empty.err, HasSubstr("Rien à enregistrer"));
}

TEST_F(MkisoArchiveOnly, NothingIsMarkedUnlessItIsInAWrittenImage) {
  REQUIRE_TOOLS("bsdtar");
  const std::string overlong = NameOfUnits("long", 109, ".txt");
  WriteFile(dir_ / "src/" + overlong, "refused");

  const RunResult size = Mkiso({"--archive-only", "--print-size", dir_ / "src"});
  EXPECT_EQ(size.status, 0) << Describe(size);
  const RunResult failed = Mkiso({"--archive-only", "-o", dir_ / "missing/o.iso", dir_ / "src"});
  EXPECT_EQ(failed.status, 1) << Describe(failed);
  for (const char* f : {"a.txt", "sub/b.txt", "c.bin"}) EXPECT_FALSE(Marked(dir_ / "src/" + f)) << f;

  const RunResult written = Mkiso({"--archive-only", "-o", dir_ / "w.iso", dir_ / "src"});
  EXPECT_EQ(written.status, 1) << "the overlong name is left out\n" << Describe(written);
  for (const char* f : {"a.txt", "sub/b.txt", "c.bin"}) EXPECT_TRUE(Marked(dir_ / "src/" + f)) << f;
  EXPECT_FALSE(Marked(dir_ / "src/" + overlong)) << "a file left out of the image was marked as saved";
}

// ---------------------------------------------------------------------------
// --replace.

TEST(MkisoReplace, SecondSourceWinsOnlyWithReplace) {
  REQUIRE_TOOLS("bsdtar", "7z");
  TempDir dir;
  // Sizes differ both ways so that a layout keeping the first file's size shows.
  MakeTree(dir / "one", {{"same.txt", Bytes(5000, 1)}, {"sub/deep.txt", "short"}, {"only one.txt", "1"}});
  MakeTree(dir / "two", {{"same.txt", "tiny"}, {"sub/deep.txt", Bytes(7000, 2)}, {"only two.txt", "2"}});
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "--replace" : "no --replace");
    const Files& winner = replace ? Files{{"same.txt", "tiny"}, {"sub/deep.txt", Bytes(7000, 2)}}
                                  : Files{{"same.txt", Bytes(5000, 1)}, {"sub/deep.txt", "short"}};
    Files expected = winner;
    expected["sub/"] = "";
    expected["only one.txt"] = "1";
    expected["only two.txt"] = "2";
    std::vector<std::string> options = {"--paths", "none"};
    if (replace) options.push_back("--replace");
    const std::string image = dir / (replace ? "r.iso" : "n.iso");
    std::vector<std::string> size_args = options, write_args = options;
    size_args.insert(size_args.begin(), "--print-size");
    size_args.insert(size_args.end(), {dir / "one", dir / "two"});
    write_args.insert(write_args.end(), {"-o", image, dir / "one", dir / "two"});
    const RunResult size = Mkiso(size_args);
    const RunResult r = Mkiso(write_args);
    ASSERT_TRUE(PathExists(image)) << Describe(r);
    if (replace) {
      EXPECT_EQ(r.status, 0) << "nothing is left out with --replace\n" << Describe(r);
    } else if (r.status != 0) {
      // Dropping the second file may be reported as an entry left out; then
      // the log must say which.
      EXPECT_EQ(r.status, 1) << Describe(r);
      EXPECT_THAT(r.err, HasSubstr(dir / "two/same.txt"));
      EXPECT_THAT(r.err, HasSubstr(dir / "two/sub/deep.txt"));
    }
    EXPECT_EQ(PrintedSize(size) * kSector, FileSize(image)) << size.out;
    for (const char* reader : {"bsdtar", "7z"}) {
      const Extraction e = Extract(reader, image, dir / ((replace ? "xr-" : "xn-") + std::string(reader)));
      ASSERT_TRUE(e.ok) << e.log;
      EXPECT_EQ(Differences(expected, e.tree), "") << reader;
    }
  }
}

TEST(MkisoReplace, SameFolderTwiceIsRecordedOnce) {
  REQUIRE_TOOLS("isoinfo", "bsdtar");
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"sub/b.bin", Bytes(3000, 1)}});
  for (bool replace : {false, true}) {
    const std::string image = dir / (replace ? "r.iso" : "n.iso");
    std::vector<std::string> args = {"-o", image, dir / "src", dir / "src"};
    if (replace) args.insert(args.begin(), "--replace");
    const RunResult r = Mkiso(args);
    ASSERT_TRUE(PathExists(image)) << Describe(r);
    std::string log;
    const std::vector<IsoRecord> records = IsoinfoList(image, true, log);
    EXPECT_EQ(DuplicateNames(records), "") << log;
    EXPECT_EQ(records.size(), 3u) << log;
    const Extraction e = Extract("bsdtar", image, dir / (replace ? "xr" : "xn"));
    EXPECT_EQ(Differences(ExpectedJoliet(ReadTree(dir / "src")), e.tree), "") << e.log;
  }
}

}  // namespace
}  // namespace zamo::test
