// session_safety_test.cpp: no sequence of burns, interrupts and image burns
// loses a session or passes off a file a reader cannot get back. zamo-cli runs
// on emulated recorders as a user runs it; xorriso, reading the emulator's
// image file at a session's start, is the oracle for what a reader sees.
//
// - Overwritable discs (DVD+RW, DVD-RAM, restricted-overwrite DVD-RW) hold
//   one volume that each new session extends: sessions with and without a
//   boot image and a Joliet tree, in every order, keep every file.
// - A burn stopped with Ctrl-C at its start, its middle and its end, on
//   write-once discs, then another burn: the new session is the one readers
//   find, it keeps every file that was recorded whole, and leaves out the
//   ones that were not.
// - Image files of sizes around the DVD's 16-sector blocks, on every DVD kind,
//   blank and already written.
// - --close closes every write-once kind for good.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/background.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;

class SessionSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("xorriso");
  }

  std::string Disc() const { return dir_ / "disc.img"; }

  void NewDisc() {
    for (const char* suffix : {"", ".state", ".stats"}) std::remove((Disc() + suffix).c_str());
  }

  // Every burn of these tests reads its session back.
  std::vector<std::string> Argv(const std::string& kind, const std::vector<std::string>& args,
                                const std::string& options = "") const {
    return CliOn(kind + ":" + Disc() + options, args, ReadBack::kVerify);
  }

  RunResult Cli(const std::string& kind, const std::vector<std::string>& args, const std::string& options = "") {
    return test::Run(Argv(kind, args, options), 240);
  }

  // The files of the session that starts at `sector`, as xorriso reads them.
  std::map<std::string, std::string> Session(uint32_t sector) {
    const Extraction read = Extract("xorriso", Disc(), dir_ / ("read-" + std::to_string(reads_++)), sector);
    EXPECT_TRUE(read.ok) << read.log;
    return read.tree;
  }

  // The first sector of the last session that holds data, from `zamo-cli info`.
  uint32_t LastSessionStart(const std::string& kind) {
    const RunResult info = Cli(kind, {"info"});
    EXPECT_EQ(info.status, 0) << Describe(info);
    const std::regex track(R"(Piste +\d+ +session +(\d+) +début +(\d+) +(\S+))");
    int last_session = 0;
    uint32_t start = 0;
    for (std::sregex_iterator it(info.out.begin(), info.out.end(), track), end; it != end; ++it) {
      if (std::string((*it)[3]).rfind("vierge", 0) == 0) continue;
      const int session = std::stoi((*it)[1]);
      if (session > last_session) {
        last_session = session;
        start = static_cast<uint32_t>(std::stoul((*it)[2]));
      }
    }
    EXPECT_GT(last_session, 0) << info.out;
    return start;
  }

  // Blocks recorded in track `number`, from the emulator's state file.
  uint32_t TrackWritten(uint32_t number) const {
    std::ifstream state(Disc() + ".state");
    std::string line;
    const std::regex track(R"(track (\d+) \S+ \d+ \d+ (\d+))");
    std::smatch m;
    while (std::getline(state, line)) {
      if (std::regex_search(line, m, track) && std::stoul(m[1]) == number) return std::stoul(m[2]);
    }
    return 0;
  }

  std::string DiscBytes() const {
    std::ifstream in(Disc(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  TempDir dir_;
  int reads_ = 0;
};

// ---- Overwritable discs: one volume extended by each session ---------------

class OverwritableSessions : public SessionSafety, public ::testing::WithParamInterface<const char*> {};

TEST_P(OverwritableSessions, EveryOrderOfBootAndJolietKeepsEveryFile) {
  const std::string kind = GetParam();
  WriteFile(dir_ / "boot.img", Bytes(4 * 2048, 99));
  // Each session is a boot image or not, a Joliet tree or not. The order
  // below (a de Bruijn sequence) has every one of the 16 pairs of
  // successive sessions once: a longer or shorter descriptor set after
  // each other kind.
  const int order[] = {0, 0, 1, 0, 2, 0, 3, 1, 1, 2, 1, 3, 2, 2, 3, 3, 0};
  std::map<std::string, std::string> expected;
  int session = 0;
  for (const int flags : order) {
    ++session;
    SCOPED_TRACE("session " + std::to_string(session) + (flags & 1 ? " with a boot image" : "") +
                 (flags & 2 ? " without Joliet" : ""));
    // Names that are the same in both trees; sizes that move the files
    // across ECC blocks and the head copy's end.
    const std::string folder = dir_ / ("s" + std::to_string(session));
    const std::string name = "S" + std::to_string(session) + ".BIN";
    const std::string bytes = Bytes(1000 + static_cast<size_t>(session) * 7919, static_cast<uint32_t>(session));
    MakeTree(folder, {{name, bytes}});
    expected[name] = bytes;
    std::vector<std::string> args = {"burn"};
    if (flags & 1) args.insert(args.end(), {"--boot", dir_ / "boot.img"});
    if (flags & 2) args.push_back("--no-joliet");
    args.push_back(folder);
    const RunResult r = Cli(kind, args);
    ASSERT_EQ(r.status, 0) << Describe(r);
    ASSERT_THAT(r.err, HasSubstr(">>> Gravure terminée\u00A0: succès"));
    ASSERT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: succès"));
    // A reader finds the volume at sector 16: every file of every session.
    std::map<std::string, std::string> seen = Session(0);
    seen.erase("boot.catalog");
    ASSERT_TRUE(SameTree(seen, expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, OverwritableSessions, ::testing::Values("dvd+rw", "dvd-ram", "dvd-rw"),
                         KindParamName());

// ---- Interrupted burns on write-once discs ---------------------------------

struct InterruptCase {
  const char* kind;
  const char* moment;  // start, middle, end
};

class InterruptedBurn : public SessionSafety, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptedBurn, NextSessionIsReadAndKeepsWhatWasRecordedWhole) {
  const std::string kind = GetParam().kind;
  const std::string moment = GetParam().moment;
  const std::string small = Bytes(10000, 1), big = Bytes(3 * 1024 * 1024 + 1234, 2);
  MakeTree(dir_ / "one", {{"A.TXT", small}, {"B.BIN", big}});
  MakeTree(dir_ / "two", {{"C.TXT", Bytes(5000, 3)}});
  const RunResult size = test::Run({ZamoCli(), "mkiso", "--print-size", dir_ / "one"}, 60);
  ASSERT_EQ(size.status, 0) << Describe(size);
  const uint32_t sectors = static_cast<uint32_t>(std::stoul(size.out));

  // At a real speed, so that the moment can be chosen; at the end, a buffer
  // that takes seconds to record, so that Ctrl-C comes while it drains.
  const bool cd = kind.rfind("cd", 0) == 0;
  const std::string speed = std::string(",speed=") + (cd ? "4x" : "1x") + (moment == "end" ? ",buffer=2M" : ",buffer=256K");
  Background burn(Argv(kind, {"burn", dir_ / "one"}, speed), dir_ / "burn");
  bool reached = false;
  if (moment == "start") {
    reached = burn.WaitUntil([&] { return burn.Err().find("ÉCRITURE de") != std::string::npos; }, 60000);
  } else {
    const uint32_t goal = moment == "middle" ? sectors / 2 : sectors;
    reached = burn.WaitUntil([&] { return TrackWritten(1) >= goal; }, 60000);
  }
  ASSERT_TRUE(reached) << burn.Err();
  const auto signalled = std::chrono::steady_clock::now();
  burn.Signal(SIGINT);
  ASSERT_TRUE(burn.Wait(10000)) << "Ctrl-C not heard within 10 s\n" << burn.Err();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(burn.exit_status(), 1) << burn.Err();
  EXPECT_THAT(burn.Err(), HasSubstr("OPÉRATION TERMINÉE PAR L'USAGER"));
  EXPECT_THAT(burn.Err(), ::testing::Not(::testing::AnyOf(HasSubstr("SUCCÈS"), HasSubstr("succès"))));
  const uint32_t recorded = TrackWritten(1);

  // The interrupted session, listed before anything else happens: a file
  // recorded in part is marked, never listed as good.
  if (recorded < sectors) {
    const RunResult listing = Cli(kind, {"ls"});
    EXPECT_EQ(listing.status, 1) << Describe(listing);
    EXPECT_THAT(listing.out, ::testing::ContainsRegex("B\\.BIN +<ENDOMMAGÉ>")) << listing.out;
  }

  const RunResult next = Cli(kind, {"burn", dir_ / "two"});
  ASSERT_THAT(next.status, ::testing::AnyOf(0, 1)) << Describe(next);
  ASSERT_THAT(next.err, HasSubstr(">>> Gravure terminée\u00A0: succès")) << Describe(next);
  EXPECT_THAT(next.err, HasSubstr(">>> Vérification terminée\u00A0: succès")) << Describe(next);
  EXPECT_THAT(next.err, HasSubstr("A ÉTÉ INTERROMPUE"));

  // Readers find the new session; it lists the new files and those of the
  // stopped session that were recorded whole, byte for byte.
  const uint32_t start = LastSessionStart(kind);
  std::map<std::string, std::string> seen = Session(start);
  std::map<std::string, std::string> expected = ReadTree(dir_ / "two");
  if (seen.contains("A.TXT") || moment != "start") expected["A.TXT"] = small;
  if (recorded >= sectors) expected["B.BIN"] = big;
  EXPECT_TRUE(SameTree(seen, expected)) << "session at " << start << "\n" << next.err;

  // zamo-cli reads the same session back.
  const RunResult back = Cli(kind, {"extract", "/", dir_ / "back"});
  ASSERT_EQ(back.status, 0) << Describe(back);
  EXPECT_TRUE(SameTree(ReadTree(dir_ / "back"), expected));

  // The stopped session, now closed, still says what it lacks: a CD-R or
  // DVD+R track ends where its data does. (A DVD-R's reserved track is
  // padded by the drive when it is closed, so its listing can no longer
  // tell; the new session above left the file out all the same.)
  const RunResult first = Cli(kind, {"ls", "--session", "1"});
  if (recorded < sectors && kind != "dvd-r") {
    EXPECT_EQ(first.status, 1) << Describe(first);
    EXPECT_THAT(first.out, ::testing::ContainsRegex("B\\.BIN +<ENDOMMAGÉ>")) << first.out;
  }
  if (expected.contains("A.TXT")) {
    const RunResult a = Cli(kind, {"extract", "--session", "1", "/A.TXT", dir_ / "a-from-1"});
    EXPECT_EQ(a.status, 0) << Describe(a);
    EXPECT_EQ(ReadFile(dir_ / "a-from-1"), small);
  }
}

INSTANTIATE_TEST_SUITE_P(Moments, InterruptedBurn,
                         ::testing::Values(InterruptCase{"cd-r", "start"}, InterruptCase{"cd-r", "middle"},
                                           InterruptCase{"cd-r", "end"}, InterruptCase{"dvd-r", "start"},
                                           InterruptCase{"dvd-r", "middle"}, InterruptCase{"dvd-r", "end"},
                                           InterruptCase{"dvd+r", "start"}, InterruptCase{"dvd+r", "middle"},
                                           InterruptCase{"dvd+r", "end"}),
                         [](const auto& p) { return KindTestName(p.param.kind) + "_" + p.param.moment; });

// ---- Image files on DVDs ----------------------------------------------------

struct ImageCase {
  const char* kind;
  bool appendable;  // the disc already holds a session
};

class ImageOnDvd : public SessionSafety, public ::testing::WithParamInterface<ImageCase> {
 protected:
  // A genisoimage image of exactly `sectors` sectors holding folder "iso".
  std::string PeerImage(uint32_t sectors) {
    const std::string iso = dir_ / "peer.iso";
    size_t payload = static_cast<size_t>(sectors - 30) * 2048;
    for (int attempt = 0; attempt < 4; ++attempt) {
      std::filesystem::remove_all(dir_ / "iso");
      MakeTree(dir_ / "iso", {{"payload.bin", Bytes(payload, 7)}, {"lisez-moi.txt", "image faite par genisoimage\n"}});
      const RunResult r = test::Run({"genisoimage", "-quiet", "-J", "-o", iso, dir_ / "iso"}, 60);
      EXPECT_EQ(r.status, 0) << Describe(r);
      const auto size = static_cast<int64_t>(std::filesystem::file_size(iso)) / 2048;
      if (size == sectors) return iso;
      payload = static_cast<size_t>(static_cast<int64_t>(payload) + (sectors - size) * 2048);
    }
    ADD_FAILURE() << "no genisoimage image of " << sectors << " sectors";
    return iso;
  }
};

TEST_P(ImageOnDvd, ImageOfAnySizeIsRecordedWholeOrRefusedWithAReason) {
  REQUIRE_TOOLS("genisoimage");
  const std::string kind = GetParam().kind;
  const bool appendable = GetParam().appendable;
  const bool overwritable = kind == "dvd+rw" || kind == "dvd-ram" || kind == "dvd-rw";
  MakeTree(dir_ / "one", {{"UN.TXT", Bytes(20000, 11)}});
  for (const uint32_t sectors : {1u, 15u, 16u, 17u, 1318u}) {
    SCOPED_TRACE(std::to_string(sectors) + " sectors");
    const bool peer = sectors == 1318;
    std::string image = dir_ / "raw.img";
    if (peer) {
      image = PeerImage(sectors);
    } else {
      WriteFile(image, Bytes(sectors * 2048 - 100, sectors));  // a partial last sector too
    }
    NewDisc();
    if (appendable) {
      const RunResult first = Cli(kind, {"burn", dir_ / "one"});
      ASSERT_EQ(first.status, 0) << Describe(first);
    }
    const std::string before = DiscBytes();
    const RunResult r = Cli(kind, {"burn-image", image});
    if (appendable && !overwritable) {
      // A write-once disc with a session cannot take an image at sector 0.
      EXPECT_EQ(r.status, 1) << Describe(r);
      EXPECT_THAT(r.err, HasSubstr("UNE IMAGE SE GRAVE À PARTIR DU DÉBUT DU DISQUE"));
      EXPECT_THAT(r.err, ::testing::Not(::testing::AnyOf(HasSubstr("SUCCÈS"), HasSubstr("succès"))));
      EXPECT_TRUE(DiscBytes() == before) << "the disc changed";
      EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "one")));
      continue;
    }
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr(">>> Vérification terminée\u00A0: succès"));
    // The disc starts with the image's bytes, its last sector and the rest
    // of the last 32-sector write filled with zeros.
    const std::string bytes = ReadFile(image);
    std::string disc = DiscBytes();
    const size_t written = (bytes.size() + 65535) / 65536 * 65536;
    if (disc.size() < written) disc.resize(written, '\0');
    EXPECT_TRUE(disc.compare(0, bytes.size(), bytes) == 0) << "the disc does not start with the image";
    EXPECT_EQ(disc.find_first_not_of('\0', bytes.size()) >= written, true) << "not zeros after the image";
    if (peer) {
      EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "iso")));
      // A blank DVD-RW takes the image in sequential recording: it is then a
      // disc with a session, as after a burn of a peer tool.
      if (overwritable && (appendable || kind != "dvd-rw")) {
        // A session added after the image extends its volume.
        const RunResult more = Cli(kind, {"burn", dir_ / "one"});
        ASSERT_EQ(more.status, 0) << Describe(more);
        std::map<std::string, std::string> both = ReadTree(dir_ / "iso");
        both["UN.TXT"] = ReadFile(dir_ / "one/UN.TXT");
        std::map<std::string, std::string> seen = Session(0);
        EXPECT_TRUE(SameTree(seen, both));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ImageOnDvd,
                         ::testing::Values(ImageCase{"dvd-r", false}, ImageCase{"dvd-r", true},
                                           ImageCase{"dvd+r", false}, ImageCase{"dvd+r", true},
                                           ImageCase{"dvd+r-dl", false}, ImageCase{"dvd+r-dl", true},
                                           ImageCase{"dvd-rw", false}, ImageCase{"dvd-rw", true},
                                           ImageCase{"dvd+rw", false}, ImageCase{"dvd+rw", true},
                                           ImageCase{"dvd-ram", false}, ImageCase{"dvd-ram", true}),
                         [](const auto& p) {
                           return KindTestName(p.param.kind) + (p.param.appendable ? "_appendable" : "_blank");
                         });

// ---- Closing a write-once disc for good -------------------------------------

class CloseForGood : public SessionSafety, public ::testing::WithParamInterface<const char*> {};

TEST_P(CloseForGood, ClosedDiscTakesNoFurtherSession) {
  const std::string kind = GetParam();
  MakeTree(dir_ / "one", {{"UN.TXT", Bytes(30000, 21)}});
  MakeTree(dir_ / "two", {{"DEUX.TXT", Bytes(3000, 22)}});
  RunResult r = Cli(kind, {"burn", "--close", dir_ / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(ReadFile(Disc() + ".state"), HasSubstr("finalized yes"));
  const RunResult info = Cli(kind, {"info"});
  EXPECT_THAT(info.out, ::testing::Not(HasSubstr("une session peut être ajoutée"))) << info.out;
  r = Cli(kind, {"burn", dir_ / "two"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("LE DISQUE EST FERMÉ"));
  EXPECT_TRUE(SameTree(Session(0), ReadTree(dir_ / "one")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, CloseForGood, ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd+r", "dvd+r-dl"),
                         KindParamName());

}  // namespace
}  // namespace zamo::test
