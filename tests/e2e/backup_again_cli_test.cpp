// backup_again_cli_test.cpp: zamo-cli as a backup script runs it, again and
// again, on emulated recorders: an incremental burn with nothing changed is
// a success that records nothing; a session to keep that the disc does not
// have is refused before anything is recorded; a burn of the same folder
// again keeps the volume name (both descriptors, read from the emulator's
// image file) and says that --archive-only adds only what changed; and the
// texts a user meets first: a missing image file, --version, help, no drive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kNbsp = "\u00A0";
constexpr const char* kHint = "n'ajoute que ce qui a changé depuis la dernière sauvegarde.";

std::string Quoted(const std::string& text) { return std::string("«") + kNbsp + text + kNbsp + "»"; }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class BackupAgainCli : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeTree(dir_ / "one", {{"Lisez-moi.txt", "première session\n"},
                            {"Photos/plage.jpg", RandomBytes(120000, 1)},
                            {"Documents/rapport.pdf", RandomBytes(70001, 2)}});
    MakeTree(dir_ / "two", {{"Courrier/Lettre.txt", "deuxième session\n"}});
  }

  // zamo-cli on the emulated `kind` recorder holding dir_/disc.img.
  RunResult Cli(const std::vector<std::string>& args, const std::string& kind = "cd-r") {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8",
                                     "XDG_STATE_HOME=" + (dir_ / "state"), ZamoCli(), "--emulate",
                                     kind + ":" + (dir_ / "disc.img")};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Run(argv, 120);
  }

  int Sessions() {
    const RunResult info = Cli({"info"});
    std::smatch m;
    const std::regex line("Sessions +\u00A0: ([0-9]+)");
    return std::regex_search(info.out, m, line) ? std::stoi(m[1]) : -1;
  }

  // Where session `n` starts, from `info`.
  uint32_t SessionStart(int n) {
    const RunResult info = Cli({"info"});
    std::smatch m;
    const std::regex line("Piste +[0-9]+ +session " + std::to_string(n) + " +début ([0-9]+)");
    return std::regex_search(info.out, m, line) ? static_cast<uint32_t>(std::stoul(m[1])) : 0xFFFFFFFF;
  }

  // The volume identifiers of the session at `start` in the emulator's
  // image file: the primary one (32 bytes as recorded) and the Joliet one
  // (its UCS-2 units, ASCII here, trailing blanks cut).
  std::pair<std::string, std::string> VolumeIds(uint32_t start) {
    const std::string disc = ReadFile(dir_ / "disc.img");
    std::string primary, joliet;
    for (size_t lba = start + 16; (lba + 1) * 2048 <= disc.size(); ++lba) {
      const std::string sector = disc.substr(lba * 2048, 2048);
      if (sector.compare(1, 5, "CD001") != 0 || sector[0] == '\xFF') break;
      if (sector[0] == 1) primary = sector.substr(40, 32);
      if (sector[0] == 2) {
        for (size_t i = 40; i < 72; i += 2) joliet += sector[i] == 0 ? sector[i + 1] : '?';
        while (!joliet.empty() && joliet.back() == ' ') joliet.pop_back();
      }
    }
    return {primary, joliet};
  }

  bool UserXattrsWork() {
    const std::string probe = dir_ / "xattr-probe";
    WriteFile(probe, "");
    const bool ok = setxattr(probe.c_str(), "user.zamo.probe", "1", 1, 0) == 0;
    fs::remove(probe);
    return ok;
  }

  TempDir dir_;
};

TEST_F(BackupAgainCli, ArchiveOnlyWithNothingChangedRecordsNothingAndSucceeds) {
  if (!UserXattrsWork()) GTEST_SKIP() << "no user extended attributes on " << dir_.path();
  RunResult r = Cli({"burn", "--archive-only", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);

  r = Cli({"burn", "--archive-only", dir_ / "one"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(std::string("Aucun fichier modifié depuis la dernière sauvegarde") + kNbsp +
                               ": rien n'est gravé."));
  EXPECT_THAT(r.err, Not(HasSubstr("RIEN À GRAVER")));
  EXPECT_EQ(Sessions(), 1);

  // One file changed: the next run records it, and the session keeps the rest.
  WriteFile(dir_ / "one/Photos/plage.jpg", RandomBytes(120000, 7));
  SetModifiedTime(dir_ / "one/Photos/plage.jpg", 1700000000);
  r = Cli({"burn", "--archive-only", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> Gravure terminée\u00A0: succès"));
  EXPECT_EQ(Sessions(), 2);
  r = Cli({"extract", "/", dir_ / "back"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(SameTree(ReadTree(dir_ / "back"), ReadTree(dir_ / "one")));
}

TEST_F(BackupAgainCli, ASessionToKeepThatTheDiscDoesNotHaveIsRefused) {
  const struct {
    int ask;
    std::string has;
  } steps[] = {{1, "le disque n'a aucune session"},
               {2, "le disque n'a que la session 1"},
               {3, "le disque a les sessions 1 et 2"},
               {7, "le disque a les sessions 1 à 3"}};
  int sessions = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.ask);
    const std::string text =
        "La session " + std::to_string(step.ask) + " n'existe pas" + kNbsp + ": " + step.has + ".";
    RunResult r = Cli({"burn", "--import-session", std::to_string(step.ask), dir_ / "one"});
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr(text + " Rien n'est gravé."));
    EXPECT_THAT(r.err, Not(HasSubstr("IMPORTER LA SESSION")));
    EXPECT_EQ(Sessions(), sessions);
    if (sessions > 0) {
      r = Cli({"ls", "--session", std::to_string(step.ask)});
      EXPECT_EQ(r.status, 1) << Describe(r);
      EXPECT_THAT(r.err, HasSubstr(text));
    }
    r = Cli({"burn", sessions % 2 == 0 ? dir_ / "one" : dir_ / "two"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    ++sessions;
  }
  // A session the disc has is kept.
  const RunResult r = Cli({"burn", "--import-session", "2", dir_ / "two"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> IMPORTER LA SESSION # 2"));
  EXPECT_EQ(Sessions(), 5);
}

TEST_F(BackupAgainCli, TheSameFolderAgainKeepsTheVolumeNameAndGetsAHint) {
  RunResult r = Cli({"burn", "--volume", "Sauvegarde photos 2024", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr(kHint)));

  // The same folder: said once, and the volume name kept in both descriptors
  // (the Joliet one holds 16 characters, the primary one the rest too).
  r = Cli({"burn", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(Count(r.err, kHint), 1u) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(std::string("Conseil") + kNbsp + ": ces dossiers et fichiers sont déjà dans la "
                                                                 "session 1 du disque"));
  EXPECT_THAT(r.err, HasSubstr(std::string("Nom de volume repris de la session 1") + kNbsp + ": " +
                               Quoted("Sauvegarde photo") + " (ISO 9660" + kNbsp + ": " +
                               Quoted("SAUVEGARDE PHOTOS 2024") + ")."));
  const uint32_t second = SessionStart(2);
  ASSERT_NE(second, 0xFFFFFFFFu);
  EXPECT_EQ(VolumeIds(second), std::make_pair(std::string("SAUVEGARDE PHOTOS 2024          "),
                                              std::string("Sauvegarde photo")));

  // Other entries at the top, or some new ones among them: no hint.
  r = Cli({"burn", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr(kHint)));
  WriteFile(dir_ / "nouveau.txt", "nouveau\n");
  r = Cli({"burn", dir_ / "one", dir_ / "nouveau.txt"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr(kHint)));
  EXPECT_EQ(VolumeIds(SessionStart(4)).second, "Sauvegarde photo");

  // A name given is the name; --archive-only needs no hint.
  r = Cli({"burn", "--volume", "Autre", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(Count(r.err, kHint), 1u) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr("Nom de volume repris")));
  EXPECT_EQ(VolumeIds(SessionStart(5)), std::make_pair("AUTRE" + std::string(27, ' '), std::string("Autre")));
  WriteFile(dir_ / "one/Lisez-moi.txt", "changé\n");
  r = Cli({"burn", "--archive-only", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr(kHint)));
}

TEST_F(BackupAgainCli, AMissingImageFileIsSaidMissingBeforeTheDriveIsTouched) {
  fs::create_directory(dir_ / "dossier.iso");
  const struct {
    std::string file;
    std::string expected;
  } cases[] = {{dir_ / "absente.iso", "Le fichier image " + Quoted(dir_ / "absente.iso") + " n'existe pas."},
               {dir_ / "dossier.iso", Quoted(dir_ / "dossier.iso") + " est un dossier, pas un fichier image."}};
  for (const auto& c : cases) {
    const RunResult r = Cli({"burn-image", c.file});
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr(c.expected));
    EXPECT_THAT(r.err, Not(HasSubstr("UTILISÉ PAR UN LOGICIEL")));
    EXPECT_THAT(r.err, Not(HasSubstr("Début de la gravure")));
  }
  EXPECT_FALSE(PathExists(dir_ / "disc.img.state"));
}

TEST_F(BackupAgainCli, VersionHelpAndTheWayWithoutADrive) {
  RunResult r = test::Run({ZamoCli(), "--version"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("zamo-cli [0-9]+\\.[0-9]+\n"))) << r.out;

  r = test::Run({ZamoCli(), "help"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out, test::Run({ZamoCli(), "--help"}).out);
  EXPECT_THAT(r.out, HasSubstr("help [COMMANDE]"));
  EXPECT_THAT(r.out, HasSubstr("--image IMAGE.iso"));
  // help COMMAND is the command's own help.
  for (const char* command : {"ls", "extract", "burn", "burn-image", "mkiso", "verify", "erase", "info", "devices"}) {
    const RunResult help = test::Run({ZamoCli(), "help", command});
    EXPECT_EQ(help.status, 0) << command << Describe(help);
    EXPECT_EQ(help.out, test::Run({ZamoCli(), command, "--help"}).out) << command;
    EXPECT_NE(help.out, r.out) << command;
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{ZamoCli(), "help", "graver"}, {ZamoCli(), "help", "ls", "info"}}) {
    const RunResult wrong = test::Run(args);
    EXPECT_EQ(wrong.status, 2) << Describe(wrong);
    EXPECT_THAT(wrong.err, HasSubstr("Utilisation\u00A0: zamo-cli"));
  }

  if (fs::exists("/sys/class/block/sr0")) GTEST_SKIP() << "this machine has a CD/DVD drive";
  r = test::Run({"env", "-u", "ZAMO_EMULATED_DRIVES", ZamoCli(), "devices"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("--emulate TYPE:IMAGE"));
  EXPECT_THAT(r.err, HasSubstr(std::string("Pour lire un fichier image comme un disque") + kNbsp +
                               ": zamo-cli ls --image IMAGE.iso"));
}

TEST_F(BackupAgainCli, GlobalOptionsAfterTheCommandAndValuesThatLookLikeThem) {
  RunResult r = test::Run({"env", "-u", "ZAMO_EMULATED_DRIVES", ZamoCli(), "info", "--emulate",
                           "dvd+r:" + (dir_ / "disc.img")});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.out, HasSubstr("Disque    \u00A0: DVD+R"));
  r = Cli({"burn", dir_ / "one", "--drive", "0"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  // A command's option value is that value, even when it reads as a global option.
  r = test::Run({ZamoCli(), "mkiso", "-o", dir_ / "o.iso", "--volume", "-v", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(ReadFile(dir_ / "o.iso").substr(16 * 2048 + 40, 3), "-V ");
  EXPECT_THAT(r.err, Not(HasSubstr("CDB")));
}

}  // namespace
}  // namespace zamo::test
