#!/bin/sh
# Renders the desktop program's windows to PNG files on a virtual X display
# (Xvfb), as the X11 platform draws them: the main window over two emulated
# recorders with a few files in its list, the about box, the options dialog,
# the capabilities window, the print title dialog and a help balloon. The widget suite's
# EveryWindowShowsItsTextsWhole test draws them and fails when a text is cut;
# DiscLayoutWindowTest.DrawnWhole draws the disc layout window over a two-session CD-R;
# DiscWindowsTest.EveryDiscWindowShowsItsTextsWhole the session chooser, the explorer and the gauges;
# JobsTest.AbortInTheMiddleOfASlowBurn the main window in the middle of a burn.
#   scripts/screenshots.sh [BUILD] [OUT]    (defaults: build, BUILD/screenshots)
set -e
BUILD=${1:-build}
OUT=${2:-$BUILD/screenshots}
TESTS="$BUILD/tests/app/zamo_app_tests"
[ -x "$TESTS" ] || { echo "$TESTS manque : construisez d'abord (make build)" >&2; exit 2; }
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
DRAWN='MainWindowTest.EveryWindowShowsItsTextsWhole:DiscLayoutWindowTest.DrawnWhole'
DRAWN="$DRAWN:DiscWindowsTest.EveryDiscWindowShowsItsTextsWhole:JobsTest.AbortInTheMiddleOfASlowBurn"
ZAMO_SCREENSHOTS_DIR="$OUT" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$TESTS" --gtest_filter="$DRAWN" \
  >"$OUT/screenshots.log" 2>&1 || { cat "$OUT/screenshots.log" >&2; exit 1; }
ls "$OUT"/*.png
