// erase_cli_test.cpp: `zamo-cli erase [--full]` on emulated recorders, as a
// user runs it: the log lines, the exit status, and the disc afterwards as
// `zamo-cli info` and the emulated disc's own files show it. Recorded discs
// are described by the emulator's state file (emulator/README.md).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class EraseCli : public ::testing::Test {
 protected:
  RunResult Cli(const std::string& drive, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8",
                                     "XDG_STATE_HOME=" + (dir_ / "state"), ZamoCli(), "--emulate", drive};
    argv.insert(argv.end(), args.begin(), args.end());
    return zamo::test::Run(argv, 60);
  }
  // A disc with one closed session of `blocks` blocks of 0x41, then an open one.
  std::string RecordedDisc(const std::string& kind, uint32_t blocks, uint32_t next_start) {
    const std::string image = dir_ / (kind + ".img");
    WriteFile(image, std::string(size_t{blocks} * 2048, 'A'));
    WriteFile(image + ".state", "zamo-disc 1\nkind " + kind +
                                    "\nfinalized no\nformatted no\nrestricted-overwrite no\nsession 1 closed\n"
                                    "track 1 complete 0 " + std::to_string(blocks) + " " + std::to_string(blocks) +
                                    "\nsession 2 open\ntrack 2 invisible " + std::to_string(next_start) + " 0 0\n");
    return image;
  }
  std::string State(const std::string& drive) {
    const RunResult info = Cli(drive, {"info"});
    EXPECT_EQ(info.status, 0) << Describe(info);
    std::istringstream lines(info.out);
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with("État")) return line.substr(line.find(": ") + 2);
    return {};
  }

  TempDir dir_;
};

TEST_F(EraseCli, QuickEraseOfACdRwLeavesABlankDisc) {
  const std::string image = RecordedDisc("cd-rw", 300, 11'700);
  const std::string drive = "cd-rw:" + image;
  ASSERT_EQ(State(drive), "incomplet (une session peut être ajoutée)");
  const RunResult r = Cli(drive, {"erase"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> SUPPRESSION de CD-RW À 24X(4234 KB/s) - Veillez patienter...\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> SUPPRESSION: - RÉUSSIE\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("ÉCHEC")));
  EXPECT_EQ(State(drive), "vierge");
  EXPECT_EQ(fs::file_size(image), 300u * 2048);  // a minimal blank: the data area stays as it was
}

// (A DVD-RW would do the same after a fixed five-second pause of the erase
// thread; the component's own tests cover it in virtual time.)
TEST_F(EraseCli, FullEraseOfACdRwBlanksTheWholeDisc) {
  const std::string image = RecordedDisc("cd-rw", 300, 11'700);
  const std::string drive = "cd-rw:" + image;
  const RunResult r = Cli(drive, {"erase", "--full"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> SUPPRESSION: - RÉUSSIE\n"));
  EXPECT_EQ(State(drive), "vierge");
  EXPECT_EQ(fs::file_size(image), 0u);
}

TEST_F(EraseCli, QuickEraseOfADvdRamOverwritesItsStart) {
  const std::string image = dir_ / "ram.img";
  WriteFile(image, std::string(3000 * 2048, 'A'));
  WriteFile(image + ".state",
            "zamo-disc 1\nkind dvd-ram\nfinalized yes\nformatted yes\nrestricted-overwrite no\n"
            "session 1 closed\ntrack 1 complete 0 2236704 2236704\n");
  const RunResult r = Cli("dvd-ram:" + image, {"erase"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> SUPPRESSION de DVD-RAM À 5.0X(6925 KB/s) - Veillez patienter...\n"));
  const std::string bytes = ReadFile(image);
  ASSERT_EQ(bytes.size(), 3000u * 2048);
  EXPECT_EQ(bytes.find_first_not_of('\0'), 2080u * 2048);  // blocks 0 to 2079 are zeros, the rest is left
}

TEST_F(EraseCli, FailuresEndWithStatusOneAndTheirReason) {
  const RunResult cd_r = Cli("cd-r:" + (dir_ / "r.img"), {"erase"});
  EXPECT_EQ(cd_r.status, 1) << Describe(cd_r);
  EXPECT_THAT(cd_r.err, HasSubstr("Média non effaçable"));

  // A DVD+RW whose overwrite fails at the first write.
  const RunResult bad = Cli("dvd+rw:" + (dir_ / "p.img") + ",writeerror=0:3/0C/00", {"erase"});
  EXPECT_EQ(bad.status, 1) << Describe(bad);
  EXPECT_THAT(bad.err, HasSubstr("ERREUR D'ÉCRITURE AU SECTEUR 0 PENDANT L'EFFACEMENT ["));
  EXPECT_THAT(bad.err, HasSubstr(">>> SUPPRESSION: - ÉCHEC\n"));

  const RunResult usage = Cli("cd-rw:" + (dir_ / "w.img"), {"erase", "--fast"});
  EXPECT_EQ(usage.status, 2) << Describe(usage);
  EXPECT_THAT(usage.err, HasSubstr("--fast"));
}

}  // namespace
}  // namespace zamo::test
