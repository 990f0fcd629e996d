// burn_cli_test.cpp: `zamo-cli burn`, `burn-image` and `erase` on emulated
// recorders of every writable kind, as a user runs them: a first session, a
// second one that keeps the first one's files, the disc read back by xorriso
// from the emulator's image file at each session's start, an image file
// recorded as it is, an erase then a new burn, and the French texts of the
// failures a user can meet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;

class BurnCli : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("xorriso");
    MakeTree(dir_ / "one", {{"Lisez-moi.txt", "première session\n"},
                            {"Photos d'été/plage.jpg", RandomBytes(200000, 1)},
                            {"Documents/rapport.pdf", RandomBytes(70001, 2)}});
    MakeTree(dir_ / "two", {{"Courrier/Lettre à Léa.txt", "deuxième session\n"},
                            {"Courrier/pièce.bin", RandomBytes(40960, 3)}});
  }

  // Every burn reads its session back.
  RunResult Cli(const std::string& kind, std::vector<std::string> args, const std::string& options = "") {
    return test::Run(CliOn(kind + ":" + (dir_ / "disc.img") + options, args, ReadBack::kVerify), 240);
  }

  // The files of the session that starts at `sector`, as xorriso reads them
  // from the emulator's image file.
  std::map<std::string, std::string> Session(uint32_t sector) {
    const Extraction read = Extract("xorriso", dir_ / "disc.img", dir_ / ("read-" + std::to_string(sector)), sector);
    EXPECT_TRUE(read.ok) << read.log;
    return read.tree;
  }

  // The start sector of track `n` in `zamo-cli info`.
  static uint32_t TrackStart(const std::string& info, int n) {
    std::smatch m;
    const std::regex line("Piste " + std::to_string(n) + " +session +[0-9]+ +début ([0-9]+)");
    return std::regex_search(info, m, line) ? static_cast<uint32_t>(std::stoul(m[1])) : 0xFFFFFFFF;
  }

  TempDir dir_;
};

class BurnEveryKind : public BurnCli, public ::testing::WithParamInterface<const char*> {};

TEST_P(BurnEveryKind, SecondSessionKeepsTheFirstSessionsFiles) {
  const std::string kind = GetParam();
  RunResult r = Cli(kind, {"burn", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> Gravure terminée\u00A0: succès"));
  EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: succès"));
  r = Cli(kind, {"burn", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);

  std::map<std::string, std::string> both = ReadTree(dir_ / "one");
  for (const auto& [path, bytes] : ReadTree(dir_ / "two")) both[path] = bytes;

  const bool overwritable = kind == "dvd+rw" || kind == "dvd-ram" || kind == "dvd-rw";
  if (overwritable) {
    // No sessions: the new volume descriptors at sector 16 describe both.
    EXPECT_TRUE(SameTree(Session(0), both));
  } else {
    const RunResult info = Cli(kind, {"info"});
    ASSERT_EQ(info.status, 0) << Describe(info);
    EXPECT_THAT(info.out, HasSubstr("Sessions  \u00A0: 2")) << info.out;
    const uint32_t second = TrackStart(info.out, 2);
    ASSERT_NE(second, 0xFFFFFFFFu) << info.out;
    EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "one")));
    EXPECT_TRUE(SameTree(Session(second), both));
  }

  // The last session as zamo-cli lists and extracts it.
  r = Cli(kind, {"extract", "/", dir_ / "back"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(SameTree(ReadTree(dir_ / "back"), both));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BurnEveryKind,
                         ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd+r", "dvd+rw", "dvd-ram",
                                           "dvd+r-dl"),
                         KindParamName());

TEST_F(BurnCli, ClosedDiscTakesNoFurtherSession) {
  RunResult r = Cli("cd-r", {"burn", "--close", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = Cli("cd-r", {"burn", dir_ / "two"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("LE DISQUE EST FERMÉ"));
  EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "one")));
}

TEST_F(BurnCli, ImageFileIsRecordedAsItIs) {
  const std::string iso = dir_ / "image.iso";
  RunResult r = test::Run({ZamoCli(), "mkiso", "-o", iso, dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = Cli("dvd+r", {"burn-image", iso});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "one")));
  std::ifstream a(iso, std::ios::binary), b(dir_ / "disc.img", std::ios::binary);
  std::stringstream sa, sb;
  sa << a.rdbuf();
  sb << b.rdbuf();
  // The emulator keeps unwritten and zero sectors as holes at the file's end.
  std::string disc = sb.str();
  if (disc.size() < sa.str().size()) disc.resize(sa.str().size(), '\0');
  EXPECT_TRUE(disc.compare(0, sa.str().size(), sa.str()) == 0) << "the disc starts with the image's bytes";
}

TEST_F(BurnCli, EraseThenBurnAgain) {
  for (const char* kind : {"cd-rw", "dvd-rw"}) {
    SCOPED_TRACE(kind);
    std::remove((dir_ / "disc.img").c_str());
    std::remove((dir_ / "disc.img.state").c_str());
    RunResult r = Cli(kind, {"burn", "--close", dir_ / "one"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    for (const char* mode : {"quick", "full"}) {
      std::vector<std::string> args = {"erase"};
      if (std::string(mode) == "full") args.push_back("--full");
      r = Cli(kind, args);
      ASSERT_EQ(r.status, 0) << mode << ": " << Describe(r);
      const RunResult info = Cli(kind, {"info"});
      if (std::string(kind) == "cd-rw") {
        EXPECT_THAT(info.out, HasSubstr("vierge")) << info.out;
      }
    }
    r = Cli(kind, {"burn", dir_ / "two"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "two")));
  }
}

TEST_F(BurnCli, FailuresAreReportedInFrench) {
  // A write error at a sector the session covers.
  RunResult r = Cli("cd-r", {"burn", dir_ / "one"}, ",writeerror=40:3/0C/00");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> Gravure\u00A0: échec"));
  EXPECT_THAT(r.err, HasSubstr("ERREUR D'ÉCRITURE [ERREUR DISQUE"));

  // A write-protected disc.
  std::remove((dir_ / "disc.img").c_str());
  std::remove((dir_ / "disc.img.state").c_str());
  r = Cli("dvd+r", {"burn", dir_ / "one"}, ",protected=1");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("PROTÉGÉ EN ÉCRITURE"));

  // An empty tray.
  r = Cli("cd-r", {"burn", dir_ / "one"}, ",tray=open");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("AUCUN DISQUE PRÊT"));

  // A pressed disc cannot be written.
  const std::string iso = dir_ / "pressed.iso";
  r = test::Run({ZamoCli(), "mkiso", "-o", iso, dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = test::Run({ZamoCli(), "--emulate", "cd-rom:" + iso, "burn", dir_ / "one"}, 120);
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("NE PEUT PAS ÊTRE GRAVÉ"));

  // A speed that is not one: a usage error.
  std::remove((dir_ / "disc.img").c_str());
  std::remove((dir_ / "disc.img.state").c_str());
  r = test::Run({ZamoCli(), "--emulate", "cd-r:" + (dir_ / "disc.img"), "burn", "--speed", "fast", dir_ / "one"}, 60);
  EXPECT_EQ(r.status, 2) << Describe(r);
}

}  // namespace
}  // namespace zamo::test
