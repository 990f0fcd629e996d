// progress_cli_test.cpp: what zamo-cli shows while a job runs, as a user or a
// cron job sees it: plain progress lines every few seconds when stderr is a
// file, what the drive does once the data is sent on a terminal, an erase's
// progress as the drive reports it, and Ctrl-C answered at once with what
// the program waits for. The emulated recorders record at a real speed
// (speed=) and take real time over their long operations (close=,
// fullblank=), so the jobs last seconds, as on a real drive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/background.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

const std::string kNbsp = "\u00A0";
const std::string kPlainStart = "Progression" + kNbsp + ": ";

// The plain progress lines of a log, in order.
struct PlainLine {
  int percent = -1;
  std::string text;
};
std::vector<PlainLine> PlainLines(const std::string& err) {
  static const std::regex kPercent("^Progression\xC2\xA0: (\\d+)\xC2\xA0%");
  std::vector<PlainLine> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, kPercent)) lines.push_back({std::stoi(m[1]), line});
  }
  return lines;
}

std::vector<int> Percents(const std::vector<PlainLine>& lines) {
  std::vector<int> percents;
  for (const PlainLine& line : lines) percents.push_back(line.percent);
  return percents;
}

// "reste M:SS" of a line, in seconds; -1 without one.
int SecondsLeft(const std::string& line) {
  static const std::regex kLeft("reste (\\d+):(\\d\\d)");
  std::smatch m;
  if (!std::regex_search(line, m, kLeft)) return -1;
  return std::stoi(m[1]) * 60 + std::stoi(m[2]);
}

class ProgressCli : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(dir_ / "src/film.bin", RandomBytes(6 * 1024 * 1024, 7)); }

  // zamo-cli on the emulated `drive`, a plain line every second.
  std::vector<std::string> Command(const std::string& drive, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env",         "-u",          "ZAMO_EMULATED_DRIVES", "ZAMO_PROGRESS_INTERVAL=1",
                                     "LC_ALL=C.UTF-8", "XDG_STATE_HOME=" + (dir_ / "state"), ZamoCli(), "--emulate",
                                     drive};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  // A rewritable disc holding one closed session of 300 blocks, the next one open.
  std::string RecordedDisc(const std::string& kind) {
    const std::string image = dir_ / (kind + ".img");
    const uint32_t next = kind == "cd-rw" ? 11'700 : 16'704;
    WriteFile(image, std::string(size_t{300} * 2048, 'A'));
    WriteFile(image + ".state", "zamo-disc 1\nkind " + kind +
                                    "\nfinalized no\nformatted no\nrestricted-overwrite no\nsession 1 closed\n"
                                    "track 1 complete 0 300 300\nsession 2 open\ntrack 2 invisible " +
                                    std::to_string(next) + " 0 0\n");
    return image;
  }

  TempDir dir_;
};

// A burn of 6 MB at 4x (600 Ko/s), stderr a file: the lines come while the
// burn runs, say the drive's pace, rise to 100 % and then name what the
// drive does (its buffer, the close) instead of a time left of zero.
TEST_F(ProgressCli, PlainLinesFollowASlowBurnWhenStderrIsAFile) {
  Background job(Command("cd-r:" + (dir_ / "cd.img") + ",speed=4x,close=3", {"burn", dir_ / "src"}), dir_ / "burn");
  ASSERT_TRUE(job.WaitFor(kPlainStart, 10000)) << job.Describe();
  EXPECT_FALSE(job.Poll()) << "the first progress line came only at the end";
  ASSERT_TRUE(job.Wait(90000)) << job.Describe();
  ASSERT_EQ(job.exit_status(), 0) << job.Describe();
  const std::string err = job.Err();
  EXPECT_EQ(err.find_first_of("\r\033"), std::string::npos) << err;

  const std::vector<PlainLine> lines = PlainLines(err);
  const std::vector<int> percents = Percents(lines);
  ASSERT_GE(lines.size(), 8u) << err;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << ::testing::PrintToString(percents);
  // The last line: the whole session, as much as the log says was burnt.
  std::smatch burnt;
  ASSERT_TRUE(std::regex_search(err, burnt, std::regex(">>> (\\d+,\\d\\d) Mo gravés"))) << err;
  std::string burnt_mo = burnt[1];
  std::replace(burnt_mo.begin(), burnt_mo.end(), ',', '.');
  char one_decimal[32];
  std::snprintf(one_decimal, sizeof one_decimal, "%.1f", std::stod(burnt_mo));
  std::string size = std::string(one_decimal) + " Mo";
  std::replace(size.begin(), size.end(), '.', ',');
  EXPECT_EQ(lines.back().text, kPlainStart + "100" + kNbsp + "%, " + size + " sur " + size) << err;
  EXPECT_LT(err.find(lines.back().text), err.find(">>> Gravure terminée\u00A0: succès"));

  // The rate is the drive's, not the pace at which its buffer or the cache filled.
  static const std::regex kRate(", (\\d+) Ko/s, reste");
  std::vector<int> rates;
  for (const PlainLine& line : lines) {
    std::smatch m;
    if (std::regex_search(line.text, m, kRate)) rates.push_back(std::stoi(m[1]));
  }
  // (A host-side pace would read in Mo/s.) Around 600 Ko/s, with room for a
  // loaded machine's late looks.
  ASSERT_GE(rates.size(), 4u) << err;
  std::vector<int> sorted = rates;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_GE(sorted[sorted.size() / 2], 500) << err;
  EXPECT_LE(sorted[sorted.size() / 2], 700) << err;
  EXPECT_GE(sorted.front(), 300) << err;
  EXPECT_LE(sorted.back(), 1000) << err;
  // Once the data is sent, the phase instead of "reste 0:00": the drive
  // records its buffer, then closes the session (3 s).
  std::set<std::string> phases;
  for (const PlainLine& line : lines) {
    if (line.percent < 100) continue;
    EXPECT_THAT(line.text, Not(HasSubstr("reste")));
    for (const char* phase : {"vidage du tampon du graveur depuis", "fermeture de la session depuis"})
      if (line.text.find(phase) != std::string::npos) phases.insert(phase);
  }
  EXPECT_EQ(phases.size(), 2u) << err;
}

TEST_F(ProgressCli, TerminalShowsWhatTheDriveDoesOnceTheDataIsSent) {
  BackgroundOptions options;
  options.stderr_on_terminal = true;
  Background job(Command("cd-r:" + (dir_ / "cd.img") + ",speed=8x,close=3", {"burn", dir_ / "src"}), dir_ / "burn",
                 options);
  ASSERT_TRUE(job.Wait(90000)) << job.Describe();
  ASSERT_EQ(job.exit_status(), 0) << job.Describe();
  std::vector<std::string> shown;  // every state of the progress line
  std::string err = job.Err();
  std::replace(err.begin(), err.end(), '\r', '\n');
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("\033[K")) line.erase(0, 3);
    if (line.find(kNbsp + "%   ") != std::string::npos) shown.push_back(line);
  }
  ASSERT_FALSE(shown.empty()) << err;
  EXPECT_THAT(err, Not(HasSubstr(kPlainStart)));  // a terminal has its own line
  bool time_left = false, closing = false;
  for (const std::string& line : shown) {
    if (line.starts_with("100" + kNbsp + "%")) {
      EXPECT_THAT(line, Not(HasSubstr("reste"))) << line;
      closing = closing || line.find("fermeture de la session depuis 0:0") != std::string::npos;
    } else {
      time_left = time_left || SecondsLeft(line) >= 0;
    }
  }
  EXPECT_TRUE(time_left) << err;
  EXPECT_TRUE(closing) << err;
}

// A full blank of 10 or 21 s, where the component's estimate is 4500 s (CD) or
// 4440 s (DVD): the percent comes from the drive and reaches the end, and
// the time left is counted at the blank's own pace.
class EraseProgressCli : public ProgressCli, public ::testing::WithParamInterface<const char*> {};

TEST_P(EraseProgressCli, FullEraseProgressRisesToTheEnd) {
  const std::string kind = GetParam();
  // The erase thread asks a CD-RW every 5 s, a DVD-RW every 3 s.
  const std::string seconds = kind == "cd-rw" ? "21" : "10";
  const RunResult r =
      test::Run(Command(kind + ":" + RecordedDisc(kind) + ",fullblank=" + seconds, {"erase", "--full"}), 120);
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> SUPPRESSION: - RÉUSSIE"));
  const std::vector<PlainLine> lines = PlainLines(r.err);
  const std::vector<int> percents = Percents(lines);
  ASSERT_GE(lines.size(), 5u) << r.err;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << ::testing::PrintToString(percents);
  EXPECT_EQ(lines.back().text, kPlainStart + "100" + kNbsp + "%") << r.err;
  std::set<int> between;
  for (int p : percents)
    if (p > 0 && p < 100) between.insert(p);
  EXPECT_GE(between.size(), 2u) << ::testing::PrintToString(percents);
  EXPECT_GE(percents[percents.size() - 2], 60) << ::testing::PrintToString(percents);
  int estimates = 0;
  for (const PlainLine& line : lines) {
    const int left = SecondsLeft(line.text);
    if (left < 0) continue;
    ++estimates;
    EXPECT_LE(left, 30) << line.text;
  }
  EXPECT_GE(estimates, 2) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Rewritable, EraseProgressCli, ::testing::Values("cd-rw", "dvd-rw"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                           return std::string(param_info.param[0] == 'c' ? "CdRw" : "DvdRw");
                         });

// Ctrl-C in each phase where a user waits: the program says at once that it
// stops and what for, and ends soon after with status 1.
struct InterruptCase {
  const char* name;
  const char* kind;     // the emulated disc: "cd-r" blank, "cd-rw" recorded
  const char* options;  // the drive's
  std::vector<std::string> args;
  const char* running;  // in stderr once the phase is reached
  const char* said;     // what the answer to Ctrl-C says
  const char* outcome;  // the log's last word
};

class InterruptCli : public ProgressCli, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptCli, CtrlCSaysAtOnceWhatItWaitsFor) {
  const InterruptCase& c = GetParam();
  const std::string image = std::string(c.kind) == "cd-rw" ? RecordedDisc("cd-rw") : dir_ / "cd.img";
  std::vector<std::string> args = c.args;
  if (args[0] == "burn") args.push_back(dir_ / "src");
  Background job(Command(std::string(c.kind) + ":" + image + "," + c.options, args), dir_ / "job");
  ASSERT_TRUE(job.WaitFor(c.running, 30000)) << job.Describe();
  const auto sent = Clock::now();
  job.Signal(SIGINT);
  const std::string said = "Arrêt demandé" + kNbsp + ": " + c.said;
  ASSERT_TRUE(job.WaitFor(said, 2000)) << "not said within 2 s\n" << job.Describe();
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(1500));
  ASSERT_TRUE(job.Wait(15000)) << "still running 15 s after Ctrl-C\n" << job.Describe();
  EXPECT_EQ(job.exit_status(), 1) << job.Describe();
  const std::string err = job.Err();
  EXPECT_THAT(err, HasSubstr(c.outcome));
  EXPECT_THAT(err, Not(::testing::AnyOf(HasSubstr("SUCCÈS"), HasSubstr("succès"))));
  EXPECT_THAT(err, Not(HasSubstr("RÉUSSIE")));
  EXPECT_LT(err.find(said), err.find(c.outcome));
}

INSTANTIATE_TEST_SUITE_P(
    Phases, InterruptCli,
    ::testing::Values(
        InterruptCase{"BurnWriting", "cd-r", "speed=4x", {"burn"}, " Ko/s, reste ",
                      "attente de la fin de l'écriture en cours", ">>> OPÉRATION TERMINÉE PAR L'USAGER"},
        InterruptCase{"BurnClosing", "cd-r", "speed=32x,close=60", {"burn"}, "fermeture de la session depuis",
                      "le graveur termine seul la fermeture de la session", "PENDANT LA FERMETURE"},
        InterruptCase{"FullErase", "cd-rw", "fullblank=60", {"erase", "--full"}, "effacement depuis",
                      "le graveur termine seul l'effacement", ">>> SUPPRESSION: - ÉCHEC"}),
    [](const ::testing::TestParamInfo<InterruptCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zamo::test
