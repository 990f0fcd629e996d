// The real zamo binary on a virtual X display (xvfb-run) burning a folder
// named on its command line onto an emulated CD-R, as a user does it with
// the keyboard alone: the menu "Gravure" reached from Alt+F, its entry
// "Graver", the confirmation box answered with Return, the log followed
// through F5 and the clipboard (xclip) until the burn says how it ended, and
// the window closed through "Fichier > Sortir". xorriso then reads the disc
// image back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

#ifdef ZAMO_APP_PATH

// The session on the virtual display. Each step is bounded and, when it
// fails, says which one with "failed: ..." and a status of its own; the log
// lines are printed between "log<<" and ">>log" as last read.
constexpr const char* kBurnSession = R"sh(set -u
fail() { echo "failed: $1"; kill -9 $pid 2>/dev/null; wait $pid 2>/dev/null; exit $2; }
# The log pane's whole text, through F5 and the clipboard.
read_log() {
  timeout 5 xdotool windowfocus --sync "$window" && xdotool key F5 && sleep 0.2 &&
    timeout 5 xclip -o -selection clipboard
}
"$ZAMO" "$SOURCE" & pid=$!
window=$(timeout 30 xdotool search --sync --name '^ZAMO  v\.' | head -1)
[ -n "$window" ] || fail "no main window within 30 s" 3
timeout 5 xdotool windowfocus --sync "$window" || fail "the main window took no focus" 3
sleep 0.3
# Alt+F opens "Fichier"; three steps left (past "Aide" and "Postes en
# Réseau") reach "Gravure", whose first entry "Graver" is then selected.
xdotool key alt+f && sleep 0.3
for step in 1 2 3; do xdotool key Left && sleep 0.2; done
xdotool key Return
box=$(timeout 15 xdotool search --sync --name '^Confirmation de la gravure$' | head -1)
[ -n "$box" ] || fail "no confirmation box within 15 s of Gravure > Graver" 4
timeout 5 xdotool windowfocus --sync "$box" || fail "the confirmation box took no focus" 4
# "Oui" is the box's default button when the list fits on the disc.
xdotool key Return
ended=
for attempt in $(seq 60); do
  # A box of the program over the window (a failed job's) holds F5 back:
  # it is noted and closed, and the log then says what went wrong.
  failure=$(xdotool search --name '^ZAMO    Gravure sur CD/DVD$' | head -1)
  if [ -n "$failure" ]; then
    echo "box over the window"
    timeout 5 xdotool windowfocus --sync "$failure" && xdotool key Return && sleep 0.3
    ended=1
  fi
  log=$(read_log)
  case $log in *">>> ÉCRITURE TERMINÉE: - SUCCÈS"*|*">>> ÉCRITURE: - ÉCHEC"*) ended=1;; esac
  [ -n "$ended" ] && break
  sleep 0.5
done
printf 'log<<\n%s\n>>log\n' "$log"
[ -n "$ended" ] || fail "the burn had not ended after 60 readings of the log" 5
timeout 5 xdotool windowfocus --sync "$window" || fail "the main window took no focus after the burn" 6
xdotool key alt+f && sleep 0.3 && xdotool key Return
for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -0 $pid 2>/dev/null && fail "zamo still runs 10 s after Fichier > Sortir" 6
wait $pid
echo "status=$?"
)sh";

// Whether `text` holds each of `lines` (whole lines) in this order.
::testing::AssertionResult LinesInOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = ("\n" + text + "\n").find("\n" + line + "\n", at);
    if (found == std::string::npos)
      return ::testing::AssertionFailure() << "no line \"" << line << "\" after offset " << at << " in:\n" << text;
    at = found + line.size() + 1;
  }
  return ::testing::AssertionSuccess();
}

TEST(RealProgramOnXvfb, BurnsAFolderNamedOnItsCommandLineFromTheKeyboard) {
  for (const char* tool : {"xvfb-run", "xdotool", "xclip"}) {
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh installs it)";
  }
  REQUIRE_TOOLS("xorriso", "isoinfo");
  test::TempDir dir;
  // The folder's own files go to the disc's root; its subfolder does not
  // (an entry of the list takes the files directly inside a folder).
  test::MakeTree(dir / "source", {{"données.bin", test::RandomBytes(3 << 20, 13)},
                                  {"été à Noël.txt", "un texte accentué\n"},
                                  {"vide.txt", ""},
                                  {"sous/dessous.txt", "pas sur le disque"}});
  // The program keeps its settings beside itself when it can: a copy in the
  // test's folder reads these, whatever another run left elsewhere (no
  // layout window, no import, no eject, the folder's path left out).
  std::filesystem::create_directory(dir / "app");
  std::filesystem::copy_file(ZAMO_APP_PATH, dir / "app/zamo");
  test::WriteFile(dir / "app/Zamo.ini",
                  "[Options]\nShowFiles=0\nImportSession=0\nSessionNo=0\nEjectDisc=0\nArchiveFiles=0\n"
                  "SavePath=Unchecked\nTestWrite=0\nJolietFS=1\nBootable=0\nVolumeLable=CLAVIER\n");
  test::WriteFile(dir / "session.sh", kBurnSession);
  const std::string image = dir / "cd.img";

  const test::RunResult r =
      test::Run({"env", "-u", "QT_QPA_PLATFORM", "ZAMO=" + (dir / "app/zamo"), "SOURCE=" + (dir / "source"),
                 "ZAMO_EMULATED_DRIVES=cd-r:" + image, "XDG_CACHE_HOME=" + (dir / "cache"),
                 "XDG_CONFIG_HOME=" + (dir / "config"), "LC_ALL=C.UTF-8",
                 // A display number of its own to start from (xvfb-run -a alone
                 // races with other suites starting theirs at once).
                 "xvfb-run", "-a", "-n", std::to_string(100 + (getpid() + 400) % 800), "-s",
                 "-screen 0 1280x1024x24", "sh", dir / "session.sh"},
                180);
  ASSERT_FALSE(r.timed_out) << test::Describe(r);
  ASSERT_EQ(r.out.find("failed: "), std::string::npos) << test::Describe(r);
  EXPECT_EQ(r.out.find("box over the window"), std::string::npos) << test::Describe(r);
  EXPECT_EQ(r.status, 0) << test::Describe(r);
  EXPECT_NE(r.out.find("status=0"), std::string::npos) << test::Describe(r);

  const size_t begin = r.out.find("log<<\n");
  const size_t end = r.out.find("\n>>log");
  ASSERT_TRUE(begin != std::string::npos && end != std::string::npos) << test::Describe(r);
  const std::string log = r.out.substr(begin + 6, end - begin - 6);
  EXPECT_TRUE(LinesInOrder(log, {">>> LECTURE DES FICHIERS - OK.", ">>> FERMETURE DE LA SESSION...",
                                 ">>> ÉCRITURE TERMINÉE: - SUCCÈS", " "}));
  EXPECT_NE(log.find("\n>>> Veillez patienter ... Gravure "), std::string::npos) << log;
  EXPECT_EQ(log.find("ÉCHEC"), std::string::npos) << log;

  // What a reader gets from the disc: the folder's files, byte for byte.
  const test::Extraction back = test::Extract("xorriso", image, dir / "lu");
  ASSERT_TRUE(back.ok) << back.log;
  std::map<std::string, std::string> expected = test::ReadTree(dir / "source");
  expected.erase("sous/");
  expected.erase("sous/dessous.txt");
  EXPECT_TRUE(test::SameTree(back.tree, expected));
  EXPECT_EQ(test::IsoinfoDescriptors(image).id, "CLAVIER");
}

#endif  // ZAMO_APP_PATH

}  // namespace
}  // namespace zamo
