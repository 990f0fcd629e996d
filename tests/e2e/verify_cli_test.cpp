// verify_cli_test.cpp: `zamo-cli burn --verify` and `zamo-cli verify` on
// emulated recorders, as a user runs them: sessions that read back as they
// were recorded, and a disc or sources changed behind their back (a byte of
// the emulator's image file, a session cut short in its state file, a file
// added or removed) named in the log with exit status 1; the compilation
// options decide where each file is looked for; Ctrl-C stops a long
// verification within seconds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background.h"
#include "tests/support/run.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class VerifyCli : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeTree(dir_ / "one", {{"Lisez-moi.txt", "première session\n"},
                            {"Photos d'été/plage.jpg", RandomBytes(200000, 1)},
                            {"Documents/rapport.pdf", RandomBytes(70001, 2)}});
    MakeTree(dir_ / "two", {{"Courrier/Lettre à Léa.txt", "deuxième session\n"},
                            {"Courrier/pièce.bin", RandomBytes(40960, 3)}});
  }

  std::vector<std::string> Command(const std::string& kind, std::vector<std::string> args) {
    return CliOn(kind + ":" + (dir_ / "disc.img"), args);
  }
  RunResult Cli(const std::string& kind, std::vector<std::string> args) { return test::Run(Command(kind, args), 240); }

  // Where the data of `file` (below dir_) starts in the emulator's image file.
  int64_t DataOffset(const std::string& file) {
    const std::string disc = ReadFile(dir_ / "disc.img");
    const std::string head = ReadFile(dir_ / file).substr(0, 64);
    const size_t at = disc.find(head);
    EXPECT_NE(at, std::string::npos) << file << " is not on the disc";
    EXPECT_EQ(disc.find(head, at + 1), std::string::npos) << file << " is on the disc twice";
    return static_cast<int64_t>(at);
  }

  void FlipByte(int64_t offset) {
    const int fd = open((dir_ / "disc.img").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char byte = 0;
    ASSERT_EQ(pread(fd, &byte, 1, offset), 1);
    byte = static_cast<char>(byte ^ 0x5A);
    ASSERT_EQ(pwrite(fd, &byte, 1, offset), 1);
    close(fd);
  }

  TempDir dir_;
};

// ---- After the burn ---------------------------------------------------------------

class VerifyAfterBurn : public VerifyCli, public ::testing::WithParamInterface<const char*> {};

TEST_P(VerifyAfterBurn, EachSessionReadsBackAsItWasRecorded) {
  const std::string kind = GetParam();
  RunResult r = Cli(kind, {"burn", "--verify", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION DE LA SESSION GRAVÉE (SECTEURS 0 À "));
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION DE L'EN-TÊTE: 11 ZONES IDENTIQUES, 0 DIFFÉRENTE, 0 ILLISIBLE\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 3 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: succès"));
  // The verification comes after the burn's own verdict.
  EXPECT_LT(r.err.find("Gravure terminée\u00A0: succès"), r.err.find("VÉRIFICATION DE LA SESSION"));

  // The second session lists the first one's files, which are read back too.
  r = Cli(kind, {"burn", "--verify", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 2 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE, "
                               "3 LUS SANS COMPARAISON\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: succès"));

  // On its own: the last session against both folders, then the first one's.
  r = Cli(kind, {"verify", dir_ / "one", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 5 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE\n"));
  if (kind != "dvd+rw") {  // an overwritable disc holds one volume, not sessions
    r = Cli(kind, {"verify", "--session", "1", dir_ / "one"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION DE LA SESSION # 1\n"));
    EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 3 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, VerifyAfterBurn, ::testing::Values("cd-r", "dvd+r", "dvd+rw"), KindParamName());

TEST_F(VerifyCli, ATestBurnHasNothingToVerify) {
  const RunResult r = Cli("cd-r", {"burn", "--test", "--verify", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> Pas de vérification\u00A0: simulation"));
  EXPECT_THAT(r.err, Not(HasSubstr("Vérification terminée")));
}

// ---- A disc or sources changed since the burn -----------------------------------

TEST_F(VerifyCli, AByteChangedOnTheDiscIsFoundInItsFile) {
  RunResult r = Cli("cd-r", {"burn", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  const int64_t at = DataOffset("one/Photos d'été/plage.jpg") + 123457;
  FlipByte(at);
  r = Cli("cd-r", {"verify", dir_ / "one"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> ERREUR DE VÉRIFICATION: FICHIER \"\\Photos d'été\\plage.jpg\", CONTENU DIFFÉRENT "
                               "À L'OCTET 123457 (SECTEUR " +
                               std::to_string(at / 2048) + ")\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 2 FICHIERS IDENTIQUES, 1 DIFFÉRENT, 0 ILLISIBLE\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: échec\n>>> LE DISQUE NE CORRESPOND PAS"));
  EXPECT_THAT(r.err, Not(HasSubstr("rapport.pdf"))) << "only the changed file is named";
}

TEST_F(VerifyCli, ASessionCutShortNamesItsUnreadableFile) {
  RunResult r = Cli("cd-r", {"burn", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  // The recorded track ends where the file recorded last begins.
  std::string last;
  int64_t last_offset = -1;
  for (const char* file : {"Lisez-moi.txt", "Photos d'été/plage.jpg", "Documents/rapport.pdf"}) {
    const int64_t at = DataOffset(std::string("one/") + file);
    if (at > last_offset) last = file, last_offset = at;
  }
  const std::string state_path = dir_ / "disc.img.state";
  const std::string state = ReadFile(state_path);
  const std::string end = std::to_string(last_offset / 2048);
  const std::regex track1("track 1 complete 0 [0-9]+ [0-9]+( [0-9]+)?");  // start size written [run-out]
  ASSERT_TRUE(std::regex_search(state, track1)) << state;
  WriteFile(state_path, std::regex_replace(state, track1, "track 1 complete 0 " + end + " " + end));

  r = Cli("cd-r", {"verify", dir_ / "one"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  std::string disc_path = "\\" + last;
  std::replace(disc_path.begin(), disc_path.end(), '/', '\\');
  const std::string prefix = ">>> ERREUR DE VÉRIFICATION: FICHIER \"" + disc_path + "\", ";
  const size_t at = r.err.find(prefix);
  ASSERT_NE(at, std::string::npos) << prefix << "\n" << Describe(r);
  EXPECT_THAT(r.err.substr(at, r.err.find('\n', at) - at), HasSubstr("ILLISIBLE"));
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 2 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 1 ILLISIBLE\n")) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: échec"));
}

TEST_F(VerifyCli, FilesMissingOnTheDiscOrOnlyThereAreTold) {
  RunResult r = Cli("dvd+r", {"burn", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  WriteFile(dir_ / "one/Documents/nouveau.txt", "ajouté après la gravure\n");
  ASSERT_EQ(unlink((dir_ / "one/Lisez-moi.txt").c_str()), 0);
  WriteFile(dir_ / "one/Documents/rapport.pdf", RandomBytes(70002, 2));
  r = Cli("dvd+r", {"verify", dir_ / "one"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> ERREUR DE VÉRIFICATION: FICHIER \"\\Documents\\nouveau.txt\", ABSENT DU DISQUE\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> ERREUR DE VÉRIFICATION: FICHIER \"\\Documents\\rapport.pdf\", 70001 OCTETS SUR LE "
                               "DISQUE ET 70002 DANS LE FICHIER SOURCE\n"));
  // The disc's file without a source is read, not compared: no error.
  EXPECT_THAT(r.err, Not(HasSubstr("Lisez-moi")));
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 1 FICHIER IDENTIQUE, 2 DIFFÉRENTS, 0 ILLISIBLE, "
                               "1 LU SANS COMPARAISON\n"));
}

TEST_F(VerifyCli, TheCompilationOptionsSayWhereTheFilesAre) {
  // Kept paths: the files are under the source folders' own path.
  RunResult r = Cli("dvd+r", {"burn", "--paths", "keep", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = Cli("dvd+r", {"verify", "--paths", "keep", dir_ / "two"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 2 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE\n"));
  r = Cli("dvd+r", {"verify", dir_ / "two"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("FICHIER \"\\Courrier\\pièce.bin\", ABSENT DU DISQUE"));

  // Without Joliet, the ISO 9660 names are looked for.
  std::remove((dir_ / "disc.img").c_str());
  std::remove((dir_ / "disc.img.state").c_str());
  r = Cli("cd-r", {"burn", "--no-joliet", dir_ / "one", dir_ / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = Cli("cd-r", {"verify", "--no-joliet", dir_ / "one", dir_ / "two"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> VÉRIFICATION: 5 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE\n"));
}

TEST_F(VerifyCli, UsageAndDiscErrors) {
  RunResult r = Cli("cd-r", {"verify"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  r = Cli("cd-r", {"verify", "--session", "0", dir_ / "one"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  r = Cli("cd-r", {"verify", dir_ / "one"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("aucune session"));
  r = Cli("cd-r", {"burn", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = Cli("cd-r", {"verify", "--session", "2", dir_ / "one"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("La session 2 n'existe pas"));
}

// ---- Ctrl-C ---------------------------------------------------------------------------------

TEST_F(VerifyCli, CtrlCStopsALongVerificationWithinSeconds) {
  // 600 MB of a sparse file: quick to burn (the emulator keeps zeros as
  // holes), seconds to read back and compare.
  const std::string big = dir_ / "big";
  MakeTree(big, {{"début.bin", RandomBytes(100000, 4)}});
  {
    const int fd = open((dir_ / "big/gros.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 600ll << 20), 0);
    close(fd);
  }
  RunResult r = Cli("dvd+r", {"burn", big});
  ASSERT_EQ(r.status, 0) << Describe(r);

  // The job is caught between its first line and its end, then held while
  // the signal is sent; a few attempts on a machine fast enough to finish first.
  // zamo-cli's stderr is a terminal, as a user sees it.
  BackgroundOptions on_terminal;
  on_terminal.stderr_on_terminal = true;
  std::unique_ptr<Background> job;
  std::string attempts;
  for (int attempt = 1; attempt <= 3 && job == nullptr; ++attempt) {
    auto candidate = std::make_unique<Background>(Command("dvd+r", {"verify", big}), dir_ / "verify", on_terminal);
    ASSERT_TRUE(candidate->started());
    if (candidate->WaitFor("VÉRIFICATION DE LA SESSION", 60000) && candidate->Hold() &&
        candidate->Err().find("Vérification terminée") == std::string::npos) {
      job = std::move(candidate);
    } else {
      attempts += "attempt " + std::to_string(attempt) + ": not caught running\n" + candidate->Err();
    }
  }
  ASSERT_NE(job, nullptr) << attempts;
  job->Signal(SIGINT);
  const auto resumed = Clock::now();
  job->Resume();
  ASSERT_TRUE(job->Wait(10000)) << "still running 10 s after Ctrl-C\n" << job->Err();
  EXPECT_LT(MsSince(resumed), 3000) << "the verification took long to stop";
  EXPECT_EQ(job->exit_status(), 1) << job->Err();
  EXPECT_THAT(job->Err(), HasSubstr(">>> Vérification terminée\u00A0: échec"));
  EXPECT_THAT(job->Err(), HasSubstr("OPÉRATION TERMINÉE PAR L'USAGER"));
  EXPECT_THAT(job->Err(), HasSubstr("Arrêt demandé\u00A0: fin de la lecture en cours"));
  EXPECT_THAT(job->Err(), Not(::testing::AnyOf(HasSubstr("SUCCÈS"), HasSubstr("succès"))));
  EXPECT_THAT(job->Err(), Not(HasSubstr("ERREUR DE VÉRIFICATION"))) << "an interruption is no difference";

  // Uninterrupted, the same verification passes, its progress shown on the
  // terminal. The line is drawn every quarter of a second and a rate needs a
  // second of reading: a fast machine with the disc in its page cache may be
  // done before either.
  const auto whole_start = Clock::now();
  Background whole(Command("dvd+r", {"verify", big}), dir_ / "whole", on_terminal);
  ASSERT_TRUE(whole.Wait(120000)) << whole.Err();
  const int64_t whole_ms = MsSince(whole_start);
  EXPECT_EQ(whole.exit_status(), 0) << whole.Err();
  if (whole_ms > 1000) {
    EXPECT_THAT(whole.Err(), ::testing::ContainsRegex("%   [0-9,]+ Mo / 600,1 Mo")) << whole_ms << " ms";
  }
  if (whole_ms > 2500) {
    EXPECT_THAT(whole.Err(), HasSubstr(" Mo/s")) << whole_ms << " ms";
  }
  EXPECT_THAT(whole.Err(), HasSubstr(">>> Vérification terminée\u00A0: succès"));
}

}  // namespace
}  // namespace zamo::test
