// `zamo-cli ls` and `extract` on discs that do not hold every file whole:
// a CD-R whose session was interrupted (by a real run stopped with SIGINT,
// or as such a run leaves the image and state files), an image cut short in
// a read-only drive, a file in several extents whose chain is broken. A
// listing marks each damaged file and exits 1; extraction refuses it,
// leaves nothing of it behind, and still copies every good file byte for
// byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const TreeContents kSource = {{"a.txt", "premier fichier\n"}, {"gros.bin", Bytes(400000, 5)}, {"z.txt", "dernier\n"}};

class DamagedCli : public ::testing::Test {
 protected:
  RunResult Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8", ZamoCli(), "--emulate",
                                     drive_};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Run(argv, 120);
  }
  // Every name in the test folder besides the discs and the source: what
  // an extraction left.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = item.path().filename().string();
      if (name != "src" && !name.starts_with("disc.") && name != "out") names.push_back(name);
    }
    return names;
  }
  // Checks what a user sees of a disc holding a.txt whole and gros.bin and
  // z.txt damaged.
  void ExpectAListedAsGoodTheOthersDamaged() {
    RunResult r = Cli({"ls"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  /a.txt\n"));
    EXPECT_THAT(r.out, HasSubstr("400000  /gros.bin  <ENDOMMAGÉ>\n"));
    EXPECT_THAT(r.out, HasSubstr("  /z.txt  <ENDOMMAGÉ>\n"));
    EXPECT_THAT(r.err, HasSubstr("2 fichier(s) endommagé(s)\u00A0: leurs données dépassent la fin des données"));

    r = Cli({"extract", "/gros.bin", dir_ / "gros.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("EXTRACTION REFUSÉE: LE FICHIER \"gros.bin\" EST ENDOMMAGÉ"));
    EXPECT_TRUE(Leftovers().empty());

    r = Cli({"extract", "/", dir_ / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Extraction incomplète\u00A0: 2 erreur(s)."));
    EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), {{"a.txt", "premier fichier\n"}}));
    EXPECT_TRUE(Leftovers().empty());
  }

  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string drive_;
};

// The damaged discs a user meets, each made as it happens.
enum class Damage { kInterruptedCdR, kTruncatedIso };

class DamagedDisc : public DamagedCli, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedDisc, LsMarksDamagedFilesAndExtractRefusesThemButNotTheOthers) {
  MakeTree(src_, kSource);
  const std::string iso = dir_ / "disc.iso";
  ASSERT_EQ(MakeImage(Maker::kZamo, src_, iso), "");
  const std::string full = ReadFile(iso);
  const uint32_t gros = Le32At(full, JolietRecordAt(full, "gros.bin;1") + 2);
  const uint32_t end = gros + 50;  // inside gros.bin
  if (GetParam() == Damage::kInterruptedCdR) {
    // What a run stopped mid-way leaves: the session open, its invisible
    // track recorded up to `end`.
    const std::string image = dir_ / "disc.img";
    WriteFile(image, full.substr(0, size_t{end} * 2048));
    WriteFile(image + ".state", "zamo-disc 1\nkind cd-r\nfinalized no\nformatted no\nrestricted-overwrite no\n"
                                "session 1 open\ntrack 1 invisible 0 0 " + std::to_string(end) + "\n");
    drive_ = "cd-r:" + image;
  } else {
    ASSERT_EQ(truncate(iso.c_str(), off_t{end} * 2048 + 1000), 0);  // and a partial sector after
    drive_ = "cd-rom:" + iso;
  }
  ExpectAListedAsGoodTheOthersDamaged();
}

INSTANTIATE_TEST_SUITE_P(Discs, DamagedDisc, ::testing::Values(Damage::kInterruptedCdR, Damage::kTruncatedIso),
                         [](const auto& param_info) {
                           return std::string(param_info.param == Damage::kInterruptedCdR ? "InterruptedCdR"
                                                                                          : "TruncatedIso");
                         });

TEST_F(DamagedCli, ABurnStoppedWithSigintLeavesASessionWhoseRecordedFilesStillComeOut) {
  // A real run at 1x, stopped once the drive has taken a.txt and part of
  // gros.bin (the state file names the track's recorded blocks), as a user
  // pressing Ctrl-C does.
  MakeTree(src_, {{"a.txt", "premier fichier\n"}, {"gros.bin", Bytes(6'000'000, 6)}});
  const std::string image = dir_ / "disc.img";
  const std::string script =
      "\"$0\" --emulate \"cd-r:$1,speed=1x\" burn \"$2/\" >/dev/null 2>&1 & pid=$!\n"
      "i=0\n"
      "until awk '/^track 1 invisible/ { found = $6 >= 600 } END { exit !found }' \"$1.state\" 2>/dev/null; do\n"
      "  i=$((i + 1)); [ $i -gt 1200 ] && break; sleep 0.05\n"
      "done\n"
      "kill -INT $pid; wait $pid; echo \"burn $?\"\n";
  const RunResult burn = test::Run({"env", "-u", "ZAMO_EMULATED_DRIVES", "sh", "-c", script, ZamoCli(), image, src_}, 120);
  ASSERT_THAT(burn.out, HasSubstr("burn ")) << burn.err;
  ASSERT_THAT(burn.out, Not(HasSubstr("burn 0"))) << "an interrupted burn never ends as a success";
  drive_ = "cd-r:" + image;

  RunResult r = Cli({"ls"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("6000000  /gros.bin  <ENDOMMAGÉ>\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("/a.txt  <ENDOMMAGÉ>")));
  r = Cli({"extract", "/gros.bin", dir_ / "gros.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("EXTRACTION REFUSÉE"));
  EXPECT_TRUE(Leftovers().empty());
  r = Cli({"extract", "/a.txt", dir_ / "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out"), "premier fichier\n");
}

// A file given in two extents (zamo-cli writes none: the image's Joliet
// records of p1 and p2 are made one chain named p1).
TEST_F(DamagedCli, AChainOfExtentsComesOutWholeOrNotAtAll) {
  MakeTree(src_, {{"ok.txt", "bon\n"}, {"p1", Bytes(2048, 1)}, {"p2", Bytes(2049, 2)}});
  const std::string iso = dir_ / "disc.iso";
  ASSERT_EQ(MakeImage(Maker::kZamo, src_, iso), "");
  std::string image = ReadFile(iso);
  const size_t p1 = JolietRecordAt(image, "p1;1"), p2 = JolietRecordAt(image, "p2;1");
  ASSERT_TRUE(p1 != std::string::npos && p2 == p1 + static_cast<uint8_t>(image[p1])) << "p2's record follows p1's";
  const uint32_t second = Le32At(image, p2 + 2);
  ASSERT_EQ(second, Le32At(image, p1 + 2) + 1) << "p2's data follows p1's";
  image[p1 + 25] = static_cast<char>(image[p1 + 25] | 0x80);  // more extents follow
  image.replace(p2 + 33, 8, Utf16Be("p1;1"));
  const std::string whole = image;
  drive_ = "cd-rom:" + iso;

  WriteFile(iso, whole);
  RunResult r = Cli({"ls", "/p1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("4097  /p1\n"));
  r = Cli({"extract", "/p1", dir_ / "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out"), Bytes(2048, 1) + Bytes(2049, 2));
  std::filesystem::remove(dir_ / "out");

  // The image ends inside the second part: the file is damaged, and no
  // piece of it (its first 2048 bytes, say) is ever left.
  WriteFile(iso, whole.substr(0, size_t{second} * 2048 + 1000));
  r = Cli({"ls", "/p1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("4097  /p1  <ENDOMMAGÉ>\n"));
  r = Cli({"extract", "/", dir_ / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), {{"ok.txt", "bon\n"}}));
  EXPECT_TRUE(Leftovers().empty());
  std::filesystem::remove_all(dir_ / "out");

  // The second part does not follow the first: the file is left out whole.
  std::string gap = whole;
  PutBoth32At(gap, p2 + 2, second + 1);
  WriteFile(iso, gap);
  r = Cli({"ls"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("FICHIER EN PLUSIEURS PARTIES NON PRIS EN CHARGE \"\\p1\""));
  EXPECT_THAT(r.out, Not(HasSubstr("/p1")));
  r = Cli({"extract", "/p1", dir_ / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Leftovers().empty());
}

// Every file of a folder is damaged: the folder the extraction made for
// them goes too, while a folder that got a file stays with it.
TEST_F(DamagedCli, AFolderLeftEmptyByRefusedFilesIsNotLeftBehind) {
  MakeTree(src_, {{"a/bon.txt", "bon\n"}, {"b/gros.bin", Bytes(300000, 3)}});
  const std::string iso = dir_ / "disc.iso";
  ASSERT_EQ(MakeImage(Maker::kZamo, src_, iso), "");
  const std::string full = ReadFile(iso);
  ASSERT_EQ(truncate(iso.c_str(), off_t{Le32At(full, JolietRecordAt(full, "gros.bin;1") + 2)} * 2048), 0);
  drive_ = "cd-rom:" + iso;
  RunResult r = Cli({"extract", "/", dir_ / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadTree(dir_ / "out"), (std::map<std::string, std::string>{{"a/", ""}, {"a/bon.txt", "bon\n"}}));
  r = Cli({"extract", "/b", dir_ / "b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Leftovers().empty());
}

}  // namespace
}  // namespace zamo::test
