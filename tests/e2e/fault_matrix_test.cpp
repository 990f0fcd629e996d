// fault_matrix_test.cpp: `zamo-cli burn` against every fault the emulated
// recorder injects, on CD-R, DVD-R, DVD+R and DVD+RW, in the phase of the
// burn where a drive meets it: preparation (before the first write), writing
// and closing. Every case must end within its bound with exit status 1 and a
// French reason, never "SUCCÈS", and must have met its fault (the drive's
// trace shows the answer). Ctrl-C (SIGINT) sent in each phase must be heard
// within seconds.
//
// The burns wait on the drive far more than they compute, and some faults
// take the writer's whole bound (two or three minutes) by design: the first
// case of the matrix to run starts every selected case at once, each in its
// own process, and each test then collects its own outcome. ctest runs the
// matrix as one test for the same reason (tests/CMakeLists.txt).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Phase { kPreparation, kWriting, kClosing };
const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kPreparation: return "preparation";
    case Phase::kWriting: return "writing";
    case Phase::kClosing: return "closing";
  }
  return "";
}

const std::vector<std::string> kKinds = {"cd-r", "dvd-r", "dvd+r", "dvd+rw"};
const std::vector<Phase> kPhases = {Phase::kPreparation, Phase::kWriting, Phase::kClosing};

// Where a fault set to start in the writing phase begins: a block inside the
// data of the small folder's session (300 sectors).
constexpr int kWritingLba = 100;

// The bounds a job keeps, from the waits the component documents: a failure
// the drive reports at once; a drive refusing writes (busy, not ready) for
// the writer's 120 seconds; a write or a flush that never completes (their
// 120-second time-outs); a close that never completes (180 seconds); a READ
// DISC INFORMATION that never completes, at the 10 seconds the command gate
// gives any command, for each one the checks before a burn send.
constexpr int kQuickBound = 60;
constexpr int kRefusedWritesBound = 150;
constexpr int kHungWriteOrFlushBound = 150;
constexpr int kHungCloseBound = 210;
constexpr int kHungDiscInformationBound = 90;
// Ctrl-C: heard within this many seconds in every phase.
constexpr int kInterruptHeardSeconds = 5;

struct MatrixCase {
  std::string name = "";     // the test's name: "Fault/kind_details"
  std::string kind = "";
  std::string options = "";  // emulator options
  // The drive's answer that shows the fault was met ("": nothing to show),
  // to that opcode only when one is given.
  std::string met = "";
  std::string met_opcode = "";
  int bound_seconds = kQuickBound;
  bool closed_disc = false;
  // Ctrl-C once the job reached this phase (a recording slow enough to be caught in it).
  std::optional<Phase> interrupt = std::nullopt;
};

void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }

std::string Ident(std::string text) {
  for (char& c : text) c = c == '-' ? '_' : c == '+' ? 'P' : c == '/' ? '_' : c;
  return text;
}

// ---------------------------------------------------------------------------
// The cases, fault by fault.

std::vector<MatrixCase> WriteErrorCases() {
  std::vector<MatrixCase> cases;
  for (const std::string& kind : kKinds) {
    for (const char* sense : {"3/0C/00", "3/0C/09", "5/21/02", "4/44/00"}) {
      cases.push_back({"WriteError/" + Ident(kind + "_" + sense), kind,
                       "writeerror=" + std::to_string(kWritingLba) + ":" + sense,
                       std::string("CHECK CONDITION ") + sense});
    }
  }
  return cases;
}

// notready=always or busy=always, from the phase on.
std::vector<MatrixCase> RefusingCases(const std::string& fault, bool busy) {
  std::vector<MatrixCase> cases;
  for (const std::string& kind : kKinds) {
    for (const Phase phase : kPhases) {
      MatrixCase c{fault + "/" + Ident(kind) + "_" + PhaseName(phase), kind,
                   std::string(busy ? "busy" : "notready") + "=always"};
      if (phase == Phase::kWriting) c.options += ",faultat=" + std::to_string(kWritingLba);
      if (phase == Phase::kClosing) c.options += ",faultat=sync";
      c.met = busy ? "BUSY" : phase == Phase::kPreparation ? "CHECK CONDITION 2/04/01" : "CHECK CONDITION 2/04/08";
      if (phase == Phase::kWriting) c.bound_seconds = kRefusedWritesBound;
      cases.push_back(c);
    }
  }
  return cases;
}

// hang=: a WRITE while writing, a SYNCHRONIZE CACHE and a CLOSE TRACK/SESSION
// after the data, READ DISC INFORMATION before the burn and, on a DVD-R whose
// closing waits for it, after the flush.
std::vector<MatrixCase> NeverAnsweredCases() {
  struct Hang {
    const char* opcode;
    Phase phase;
    const char* start;  // faultat=
    int bound;
  };
  const std::string writing = std::to_string(kWritingLba);
  const Hang hangs[] = {
      {"2A", Phase::kWriting, writing.c_str(), kHungWriteOrFlushBound},
      {"35", Phase::kClosing, writing.c_str(), kHungWriteOrFlushBound},
      {"5B", Phase::kClosing, writing.c_str(), kHungCloseBound},
      {"51", Phase::kPreparation, nullptr, kHungDiscInformationBound},
      {"51", Phase::kClosing, "sync", kHungDiscInformationBound},
  };
  std::vector<MatrixCase> cases;
  for (const std::string& kind : kKinds) {
    for (const Hang& hang : hangs) {
      // Only a DVD-R's closing asks READ DISC INFORMATION after the flush.
      if (std::string(hang.opcode) == "51" && hang.phase == Phase::kClosing && kind != "dvd-r") continue;
      MatrixCase c{"NeverAnswered/" + Ident(kind) + "_" + hang.opcode + "_" + PhaseName(hang.phase), kind,
                   std::string("hang=") + hang.opcode, "NEVER ANSWERED", hang.opcode};
      if (hang.start) c.options += std::string(",faultat=") + hang.start;
      c.bound_seconds = hang.bound;
      cases.push_back(c);
    }
  }
  return cases;
}

std::vector<MatrixCase> RemovedCases() {
  std::vector<MatrixCase> cases;
  for (const std::string& kind : kKinds) {
    cases.push_back({"DiscRemoved/" + Ident(kind) + "_preparation", kind, "disc=none", "CHECK CONDITION 2/3A/01"});
    cases.push_back({"DiscRemoved/" + Ident(kind) + "_writing", kind, "removeat=" + std::to_string(kWritingLba),
                     "CHECK CONDITION 2/3A/00"});
    cases.push_back({"DiscRemoved/" + Ident(kind) + "_closing", kind, "removeat=close", "CHECK CONDITION 2/3A/00"});
  }
  return cases;
}

std::vector<MatrixCase> PreparationCases(const std::string& fault, const std::string& options, const std::string& met,
                                         bool closed_disc) {
  std::vector<MatrixCase> cases;
  for (const std::string& kind : kKinds) {
    if (closed_disc && kind == "dvd+rw") continue;  // an overwritable disc is never closed
    MatrixCase c{fault + "/" + Ident(kind) + "_preparation", kind, options, met};
    c.closed_disc = closed_disc;
    cases.push_back(c);
  }
  return cases;
}

// A recording slow enough to be caught in each phase: about 2 MB at 8x on a
// CD and 1x on a DVD through a small buffer (a second or two of writing),
// and a flush that takes 20 seconds.
std::vector<MatrixCase> InterruptedCases() {
  std::vector<MatrixCase> cases;
  for (const std::string& kind : kKinds) {
    for (const Phase phase : kPhases) {
      MatrixCase c{"Interrupted/" + Ident(kind) + "_" + PhaseName(phase), kind,
                   std::string(kind == "cd-r" ? "speed=8" : "speed=1") + ",buffer=256K,sync=20,close=20", ""};
      c.interrupt = phase;
      cases.push_back(c);
    }
  }
  return cases;
}

// ---------------------------------------------------------------------------
// Running the cases, all at once.

struct Outcome {
  int status = -1;
  bool ended = false;  // false: still running past its bound, killed
  double seconds = 0;
  std::string err;
  std::string trace;
  bool reached = true;       // the interrupted job reached its phase
  double heard_seconds = 0;  // from Ctrl-C to the end
};

// Whether the trace shows the job in `phase`: the writer's first command
// (READ BUFFER CAPACITY), the first WRITE, or the first SYNCHRONIZE CACHE
// after the data's first blocks.
bool Reached(const std::string& trace, Phase phase) {
  std::istringstream lines(trace);
  bool wrote_data = false;
  static const std::regex write(R"(^ *[0-9.]+ 2A 00 ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) )");
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 13) continue;
    const std::string opcode = line.substr(10, 2);
    if (phase == Phase::kPreparation && opcode == "5C") return true;
    std::smatch m;
    if (std::regex_search(line, m, write)) {
      if (phase == Phase::kWriting) return true;
      wrote_data = wrote_data || std::stoul(m[1].str() + m[2].str() + m[3].str() + m[4].str(), nullptr, 16) >= 32;
    }
    if (phase == Phase::kClosing && wrote_data && opcode == "35") return true;
  }
  return false;
}

class MatrixRunner {
 public:
  static MatrixRunner& Get() {
    static MatrixRunner runner;
    return runner;
  }

  // The outcome of `c`, started with every other selected case on the first call.
  Outcome OutcomeOf(const MatrixCase& c) {
    std::call_once(started_, [this] { StartSelected(); });
    std::shared_future<Outcome> outcome;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = outcomes_.find(c.name);
      if (it == outcomes_.end()) it = outcomes_.emplace(c.name, Start(c)).first;
      outcome = it->second;
    }
    return outcome.get();
  }

  static std::vector<MatrixCase>& Registry() {
    static std::vector<MatrixCase> all;
    return all;
  }

 private:
  MatrixRunner() {
    MakeTree(dir_ / "small", {{"Lisez-moi.txt", "une gravure qui n'aboutit pas\n"}, {"données/a.bin", Bytes(300000, 7)}});
    MakeTree(dir_ / "large", {{"gros.bin", Bytes(2'000'000, 9)}});
  }

  // Every case whose test runs in this process.
  void StartSelected() {
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    std::set<std::string> selected;
    for (int i = 0; i < unit.total_test_suite_count(); ++i) {
      const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
      for (int j = 0; j < suite.total_test_count(); ++j) {
        const ::testing::TestInfo& info = *suite.GetTestInfo(j);
        if (info.should_run() && info.value_param() != nullptr) selected.insert(info.value_param());
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const MatrixCase& c : Registry()) {
      if (selected.contains(c.name)) outcomes_.emplace(c.name, Start(c));
    }
  }

  std::shared_future<Outcome> Start(const MatrixCase& c) {
    const std::string dir = dir_ / Ident(c.name);
    std::filesystem::create_directories(dir);
    const std::string source = dir_ / (c.interrupt ? "large" : "small");
    return std::async(std::launch::async, [c, dir, source] { return Run(c, dir, source); }).share();
  }

  static Outcome Run(const MatrixCase& c, const std::string& dir, const std::string& source) {
    const std::string image = dir + "/disc.img";
    const std::string trace = dir + "/trace.txt";
    if (c.closed_disc) {
      // A write-once disc closed for good after one session of 320 blocks.
      { std::ofstream create(image); }
      std::filesystem::resize_file(image, 320 * 2048);
      std::ofstream(image + ".state") << "zamo-disc 1\nkind " << c.kind
                                      << "\nfinalized yes\nformatted no\nrestricted-overwrite no\n"
                                         "session 1 closed\ntrack 1 complete 0 320 320\n";
    }
    const std::string drive = c.kind + ":" + image + ",trace=" + trace + (c.options.empty() ? "" : "," + c.options);
    const auto start = Clock::now();
    Background cli({ZamoCli(), "--emulate", drive, "burn", source}, dir + "/cli");
    Outcome outcome;
    const int bound_ms = c.bound_seconds * 1000;
    if (c.interrupt) {
      outcome.reached = cli.WaitUntil([&] { return Reached(ReadFile(trace), *c.interrupt); }, bound_ms);
      if (outcome.reached) {
        std::this_thread::sleep_for(300ms);  // a moment into the phase
        const auto sent = Clock::now();
        cli.Signal(SIGINT);
        outcome.ended = cli.Wait(bound_ms);
        outcome.heard_seconds = std::chrono::duration<double>(Clock::now() - sent).count();
      }
    }
    // Past the bound (with a margin for a loaded machine) the job is killed.
    if (!outcome.ended) outcome.ended = cli.Wait(bound_ms + 30'000);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    outcome.status = outcome.ended ? cli.exit_status() : -1;
    outcome.err = cli.Err();
    outcome.trace = ReadFile(trace);
    return outcome;
  }

  TempDir dir_;
  std::once_flag started_;
  std::mutex mutex_;
  std::map<std::string, std::shared_future<Outcome>> outcomes_;
};

std::vector<MatrixCase> Register(std::vector<MatrixCase> cases) {
  for (const MatrixCase& c : cases) MatrixRunner::Registry().push_back(c);
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<MatrixCase>& info) {
  return info.param.name.substr(info.param.name.find('/') + 1);
}

// Whether a line of the drive's trace ends with `answer` (to `opcode`, when given).
bool TraceHas(const std::string& trace, const std::string& opcode, const std::string& answer) {
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    if (!line.ends_with("-> " + answer)) continue;
    if (opcode.empty() || (line.size() > 12 && line.substr(10, 2) == opcode)) return true;
  }
  return false;
}

// Whether `text` holds a word of the component's French messages.
bool HasFrenchWord(const std::string& text) {
  static const std::set<std::string> kWords = {"LE",      "LA",    "LES",   "DU",        "DES", "AUCUN",
                                               "PAS",     "EST",   "ERREUR", "GRAVEUR", "DISQUE", "OPÉRATION"};
  std::string word;
  for (const char c : text + " ") {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || byte >= 0x80) {
      word += c;
    } else {
      if (kWords.contains(word)) return true;
      word.clear();
    }
  }
  return false;
}

// The last line of the log: the reason the job gives.
std::string Reason(const std::string& err) {
  std::string last;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) last = line;
  return last;
}

std::string Describe(const MatrixCase& c, const Outcome& o) {
  std::ostringstream text;
  text << c.kind << "," << c.options << ": exit status " << o.status << (o.ended ? "" : " (killed: still running)")
       << " after " << o.seconds << " s\n--- stderr ---\n" << o.err << "--- end of the drive's trace ---\n";
  std::istringstream lines(o.trace);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  for (size_t i = all.size() > 12 ? all.size() - 12 : 0; i < all.size(); ++i) text << all[i] << "\n";
  return text.str();
}

class FaultMatrix : public ::testing::TestWithParam<MatrixCase> {
 protected:
  // The job failed as it must: in time, with exit status 1, a French reason
  // and no success line, after meeting its fault.
  void ExpectFailedInTime() {
    const MatrixCase& c = GetParam();
    const Outcome o = MatrixRunner::Get().OutcomeOf(c);
    const std::string what = Describe(c, o);
    RecordProperty("seconds", std::to_string(o.seconds));  // in --gtest_output=xml
    ASSERT_TRUE(o.ended) << what;
    EXPECT_LE(o.seconds, c.bound_seconds) << what;
    EXPECT_EQ(o.status, 1) << what;
    EXPECT_THAT(o.err, ::testing::Not(::testing::AnyOf(::testing::HasSubstr("SUCCÈS"), ::testing::HasSubstr("succès"))))
        << what;
    const std::string reason = Reason(o.err);
    EXPECT_TRUE(reason.starts_with(">>> ") && reason != ">>> Gravure\u00A0: échec" && HasFrenchWord(reason))
        << "no French reason: " << what;
    if (!c.met.empty()) {
      EXPECT_TRUE(TraceHas(o.trace, c.met_opcode, c.met)) << "the fault was never met: " << what;
    }
    if (c.interrupt) {
      EXPECT_TRUE(o.reached) << "the job never reached its " << PhaseName(*c.interrupt) << " phase: " << what;
      EXPECT_LE(o.heard_seconds, kInterruptHeardSeconds) << what;
      EXPECT_THAT(reason, ::testing::HasSubstr("OPÉRATION TERMINÉE PAR L'USAGER")) << what;
    }
  }
};

class NeverAnswered : public FaultMatrix {};
TEST_P(NeverAnswered, FailsWithinTheCommandsBound) { ExpectFailedInTime(); }

class WriteError : public FaultMatrix {};
TEST_P(WriteError, FailsTheBurn) { ExpectFailedInTime(); }

class NotReady : public FaultMatrix {};
TEST_P(NotReady, WithoutEndFailsTheBurnWithinTheWritersBound) { ExpectFailedInTime(); }

class Busy : public FaultMatrix {};
TEST_P(Busy, WithoutEndFailsTheBurnWithinTheWritersBound) { ExpectFailedInTime(); }

class DiscRemoved : public FaultMatrix {};
TEST_P(DiscRemoved, FailsTheBurn) { ExpectFailedInTime(); }

class TrayOpen : public FaultMatrix {};
TEST_P(TrayOpen, FailsTheBurn) { ExpectFailedInTime(); }

class WriteProtected : public FaultMatrix {};
TEST_P(WriteProtected, FailsTheBurn) { ExpectFailedInTime(); }

class ClosedDisc : public FaultMatrix {};
TEST_P(ClosedDisc, FailsTheBurn) { ExpectFailedInTime(); }

class Interrupted : public FaultMatrix {};
TEST_P(Interrupted, CtrlCIsHeardWithinSeconds) { ExpectFailedInTime(); }

INSTANTIATE_TEST_SUITE_P(FaultMatrix, WriteError, ::testing::ValuesIn(Register(WriteErrorCases())), CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, NotReady, ::testing::ValuesIn(Register(RefusingCases("NotReady", false))),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, Busy, ::testing::ValuesIn(Register(RefusingCases("Busy", true))), CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, NeverAnswered, ::testing::ValuesIn(Register(NeverAnsweredCases())), CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, DiscRemoved, ::testing::ValuesIn(Register(RemovedCases())), CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, TrayOpen,
                         ::testing::ValuesIn(Register(PreparationCases("TrayOpen", "tray=open",
                                                                       "CHECK CONDITION 2/3A/02", false))),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, WriteProtected,
                         ::testing::ValuesIn(Register(PreparationCases("WriteProtected", "protected=1",
                                                                       "CHECK CONDITION 7/27/00", false))),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, ClosedDisc,
                         ::testing::ValuesIn(Register(PreparationCases("ClosedDisc", "", "", true))),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(FaultMatrix, Interrupted, ::testing::ValuesIn(Register(InterruptedCases())), CaseName);

}  // namespace
}  // namespace zamo::test
