// The real zamo binary on a virtual X display (xvfb-run) over two emulated
// recorders: its window appears with its caption, F5 puts the log on the
// desktop's clipboard, and closing the window through "Fichier > Sortir"
// ends the program cleanly. xdotool plays the user, xclip reads the clipboard.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

#ifdef ZAMO_APP_PATH

// The session on the virtual display; each step says what it saw.
constexpr const char* kSession = R"sh(set -u
"$ZAMO" & pid=$!
window=$(timeout 30 xdotool search --sync --name '^ZAMO  v\.' | head -1)
echo "window=$window"
[ -n "$window" ] || { kill -9 $pid; exit 3; }
echo "caption=$(xdotool getwindowname "$window")"
xdotool windowfocus --sync "$window"
sleep 0.5
xdotool key F5
sleep 0.5
echo "clipboard<<"
xclip -o -selection clipboard
echo ""
echo ">>clipboard"
# Fichier > Sortir: the first entry of the menu Alt+F opens.
xdotool key alt+f
sleep 0.5
xdotool key Return
for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then echo "still running"; kill -9 $pid; fi
wait $pid
echo "status=$?"
)sh";

TEST(RealProgramOnXvfb, ShowsItsWindowCopiesTheLogAndEndsWhenClosed) {
  for (const char* tool : {"xvfb-run", "xdotool", "xclip"}) {
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh installs it)";
  }
  test::TempDir dir;
  test::WriteFile(dir / "session.sh", kSession);
  const std::string drives = "cd-r:" + (dir / "cd.img") + ";dvd+rw:" + (dir / "dvd.img");
  const test::RunResult r =
      // The X display, not the offscreen platform the in-process suites use.
      test::Run({"env", "-u", "QT_QPA_PLATFORM", "ZAMO=" ZAMO_APP_PATH, "ZAMO_EMULATED_DRIVES=" + drives,
                 "XDG_CACHE_HOME=" + (dir / "cache"),
                 // A display number of its own to start from: xvfb-run -a
                 // alone races with other suites starting their own at once.
                 "xvfb-run", "-a", "-n", std::to_string(100 + getpid() % 800), "-s", "-screen 0 1280x1024x24", "sh",
                 dir / "session.sh"},
                180);
  ASSERT_FALSE(r.timed_out) << test::Describe(r);
  EXPECT_EQ(r.status, 0) << test::Describe(r);
  // The caption as the desktop sees it, exactly.
  const size_t caption = r.out.find("caption=");
  ASSERT_NE(caption, std::string::npos) << test::Describe(r);
  const std::string title = r.out.substr(caption + 8, r.out.find('\n', caption) - caption - 8);
  EXPECT_EQ(title.rfind("ZAMO  v.", 0), 0u) << title;
  EXPECT_TRUE(title.ends_with("    Gravure sur CD/DVD")) << title;

  // The clipboard holds the whole log: the start-up lines, up to the separator.
  const size_t begin = r.out.find("clipboard<<\n");
  const size_t end = r.out.find("\n>>clipboard");
  ASSERT_NE(begin, std::string::npos) << test::Describe(r);
  ASSERT_NE(end, std::string::npos) << test::Describe(r);
  const std::string clipboard = r.out.substr(begin + 12, end - begin - 12);
  EXPECT_EQ(clipboard.rfind(">>> ZAMO  v.", 0), 0u) << clipboard;
  EXPECT_NE(clipboard.find("\n>>> ZAMOEMU\n"), std::string::npos) << clipboard;
  ASSERT_GE(clipboard.size(), 2u);
  EXPECT_EQ(clipboard.substr(clipboard.size() - 2), "\n ") << clipboard;

  EXPECT_EQ(r.out.find("still running"), std::string::npos) << test::Describe(r);
  EXPECT_NE(r.out.find("status=0"), std::string::npos) << test::Describe(r);
}

#endif  // ZAMO_APP_PATH

}  // namespace
}  // namespace zamo
