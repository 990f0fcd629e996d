// big_file_test.cpp: a file of 5 GiB through an image and through a DVD+R
// DL, read back by the peers and by zamo-cli. The file is sparse (it costs
// no disk) and zeros but for marks at its start, across the end of its
// first extent, at 4 GiB and at its end; every reader's copy is compared
// with it byte for byte as it streams by.
//
// These are the suite's largest tests (a 5 GiB image is written, and read
// back several times): ctest runs them as one test, BigFile, alone
// (tests/CMakeLists.txt), so the image is made once for all of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/marked_file.h"
#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr int64_t kFirstExtentSectors = 0xFFFFF800 / 2048;
const std::string kBigName = "Vidéo de vacances.mkv";
// Its ISO 9660 name begins so: VID_OD~1.MKV as recorded, VID_O_DE_VACA when
// a later session takes it over (an imported name is cut to 13 characters).
const std::string kBigIsoName = "/FILMS/VID_O";
const std::string kBigPath = "Films/" + kBigName;
constexpr int kSlow = 600;  // bound on one command over the 5 GiB file

// One extent of a file as `xorriso -exec report_lba` gives it.
struct Extent {
  int index;
  int64_t lba;
  int64_t blocks;
  int64_t file_size;
  bool operator==(const Extent&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Extent& e) {
  return os << "{xt " << e.index << ", lba " << e.lba << ", " << e.blocks << " blocks, size " << e.file_size << "}";
}

// The extents of the file whose path holds `name`, from the tree xorriso
// reads (Joliet or the ISO 9660 tree) of the session at `session`.
std::vector<Extent> XorrisoExtents(const std::string& image, const std::string& name, bool joliet, int64_t session,
                                   std::string& log) {
  std::vector<std::string> argv = {"xorriso"};
  if (session > 0) argv.insert(argv.end(), {"-load", "sbsector", std::to_string(session)});
  argv.insert(argv.end(),
              {"-read_fs", joliet ? "any" : "ecma119", "-indev", image, "-find", "/", "-exec", "report_lba"});
  const RunResult r = RunTool(argv);
  log = Describe(r);
  std::vector<Extent> extents;
  const std::regex line(R"(File data lba: +(\d+) , +(\d+) , +(\d+) , +(\d+) , '(.*)')");
  std::istringstream in(r.out);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_search(text, m, line) || m[5].str().find(name) == std::string::npos) continue;
    extents.push_back({std::stoi(m[1]), std::stoll(m[2]), std::stoll(m[3]), std::stoll(m[4])});
  }
  return extents;
}

class BigFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    fs::create_directories(*dir_ / "src/Films");
    ASSERT_TRUE(big_.Make(*dir_ / ("src/" + kBigPath)));
    MakeTree(*dir_ / "src", {{"avant.txt", "avant le grand fichier\n"}, {"Films/après.txt", "après\n"}});
    const auto start = std::chrono::steady_clock::now();
    mkiso_ = test::Run({"env", "LC_ALL=C.UTF-8", ZamoCli(), "mkiso", "-o", Image(), *dir_ / "src"}, kSlow);
    mkiso_seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    ASSERT_EQ(mkiso_.status, 0) << Describe(mkiso_);
    ::testing::Test::RecordProperty("mkiso_seconds", std::to_string(mkiso_seconds_));
  }

  static std::string Image() { return *dir_ / "big.iso"; }
  static std::string Source() { return *dir_ / "src"; }

  static std::unique_ptr<TempDir> dir_;
  static inline const MarkedFile big_ = FiveGiBMarked();
  static RunResult mkiso_;
  static double mkiso_seconds_;
};

std::unique_ptr<TempDir> BigFile::dir_;
RunResult BigFile::mkiso_;
double BigFile::mkiso_seconds_ = 0;

TEST_F(BigFile, BothTreesGiveTwoConsecutiveExtents) {
  REQUIRE_TOOLS("xorriso");
  for (const bool joliet : {true, false}) {
    SCOPED_TRACE(joliet ? "Joliet" : "ISO 9660");
    std::string log;
    const std::vector<Extent> extents = XorrisoExtents(Image(), joliet ? kBigName : kBigIsoName, joliet, 0, log);
    ASSERT_EQ(extents.size(), 2u) << log;
    EXPECT_EQ(extents[0], (Extent{0, extents[0].lba, kFirstExtentSectors, big_.size}));
    EXPECT_EQ(extents[1], (Extent{1, extents[0].lba + kFirstExtentSectors, (big_.size + 2047) / 2048 -
                                                                              kFirstExtentSectors, big_.size}));
    // The file lies after avant.txt, the first file added.
    EXPECT_EQ(extents[0].lba, 151) << log;
  }
  // --print-size counts what the image holds.
  const RunResult size = test::Run({ZamoCli(), "mkiso", "--print-size", Source()}, kSlow);
  ASSERT_EQ(size.status, 0) << Describe(size);
  EXPECT_EQ(std::stoll(size.out) * 2048, static_cast<int64_t>(fs::file_size(Image())));
}

TEST_F(BigFile, PeersListItWithItsWholeSize) {
  REQUIRE_TOOLS("7z", "bsdtar", "xorriso");
  const std::string size = std::to_string(big_.size);
  const RunResult seven = RunTool({"7z", "l", Image()});
  EXPECT_THAT(seven.out, ::testing::ContainsRegex(" " + size + " +" + size + " +" + kBigPath)) << Describe(seven);
  const RunResult tar = RunTool({"bsdtar", "-tvf", Image()});
  EXPECT_THAT(tar.out, ::testing::ContainsRegex(" " + size + " .* " + kBigPath)) << Describe(tar);
  std::string log;
  const auto listed = XorrisoList(Image(), log);
  ASSERT_TRUE(listed.contains(kBigPath)) << log;
  EXPECT_EQ(listed.at(kBigPath).size, big_.size);
}

class BigFileReader : public BigFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(BigFileReader, ExtractsTheSameBytes) {
  REQUIRE_TOOLS(GetParam());
  MarkedFileCheck check(big_);
  const RunResult r = StreamFile(GetParam(), Image(), kBigPath, std::ref(check), kSlow);
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(check.Whole());
}

INSTANTIATE_TEST_SUITE_P(Peers, BigFileReader, ::testing::Values("7z", "bsdtar", "xorriso"));

TEST_F(BigFile, ZamoCliListsAndExtractsItFromTheImage) {
  const RunResult ls = test::Run({ZamoCli(), "ls", Image()}, kSlow);
  ASSERT_EQ(ls.status, 0) << Describe(ls);
  EXPECT_THAT(ls.out, ::testing::ContainsRegex(" " + std::to_string(big_.size) + "  /" + kBigPath + "\n"));
  const std::string copy = *dir_ / "copie.mkv";
  const RunResult extract = test::Run({ZamoCli(), "extract", Image(), "/" + kBigPath, copy}, kSlow);
  ASSERT_EQ(extract.status, 0) << Describe(extract);
  EXPECT_TRUE(SameAsMarked(copy, big_));
  fs::remove(copy);
}

TEST_F(BigFile, VerifyComparesPastTheFirstExtent) {
  RunResult r = test::Run({ZamoCli(), "verify", Image(), Source()}, kSlow);
  EXPECT_EQ(r.status, 0) << Describe(r);
  // One byte of the source changed in the second extent: a difference.
  const std::string source = *dir_ / ("src/" + kBigPath);
  const int64_t at = big_.size - 1000;
  auto put = [&](char byte) {
    const int fd = open(source.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &byte, 1, at), 1);
    close(fd);
  };
  put('x');
  r = test::Run({ZamoCli(), "verify", Image(), Source()}, kSlow);
  put(big_.At(at));
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(kBigName)) << Describe(r);
}

TEST_F(BigFile, SecondSessionOnADvdPlusRDlKeepsItWhole) {
  REQUIRE_TOOLS("xorriso");
  const std::string disc = *dir_ / "dl.img";
  const std::string drive = "dvd+r-dl:" + disc;
  RunResult r = test::Run(CliOn(drive, {"burn", Source()}, ReadBack::kVerify), kSlow);
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: succès"));
  MakeTree(*dir_ / "src2", {{"deuxième session.txt", "deux\n"}});
  r = test::Run(CliOn(drive, {"burn", *dir_ / "src2"}), kSlow);
  ASSERT_EQ(r.status, 0) << Describe(r);

  const RunResult info = test::Run(CliOn(drive, {"info"}), 60);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(info.out, m, std::regex(R"(Piste 2 +session 2 +début (\d+))"))) << Describe(info);
  const int64_t second = std::stoll(m[1]);
  // The second session's records give the first session's extents again, in both trees.
  for (const bool joliet : {true, false}) {
    SCOPED_TRACE(joliet ? "Joliet" : "ISO 9660");
    const std::string name = joliet ? kBigName : kBigIsoName;
    std::string log1, log2;
    const std::vector<Extent> first_extents = XorrisoExtents(disc, name, joliet, 0, log1);
    ASSERT_EQ(first_extents.size(), 2u) << log1;
    EXPECT_EQ(XorrisoExtents(disc, name, joliet, second, log2), first_extents) << log2;
  }

  const RunResult ls = test::Run(CliOn(drive, {"ls", "--session", "2"}), 60);
  ASSERT_EQ(ls.status, 0) << Describe(ls);
  EXPECT_THAT(ls.out, ::testing::ContainsRegex(" " + std::to_string(big_.size) + "  /" + kBigPath + "\n"));
  EXPECT_THAT(ls.out, HasSubstr("deuxième session.txt"));
  // The whole file read back through the second session's records.
  r = test::Run(CliOn(drive, {"verify", "--session", "2", Source(), *dir_ / "src2"}), kSlow);
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("4 FICHIERS IDENTIQUES")) << Describe(r);
}

}  // namespace
}  // namespace zamo::test
