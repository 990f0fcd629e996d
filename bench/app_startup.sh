#!/usr/bin/env bash
# bench/app_startup.sh: the desktop program's start-up and its log pane.
#
# 1. Start-up: the real `zamo` binary on a virtual X display with two
#    emulated recorders (a blank CD-R and a blank DVD+RW), from its launch
#    to its window on the screen (mapped, which happens once the drive list
#    is filled, the drive chosen and the settings read), against
#    `zamo-cli devices` over the same recorders, in the same run. Target:
#    the window in under 1 s.
# 2. The log pane taking 100,000 lines from a worker thread, each handed to
#    the GUI thread, then 100,000 from the GUI thread (bench/app_log):
#    time, lines per second, repaints while it fills and the longest time
#    without one, the longest time the event loop went without running.
#    Target: the window repaints while the log fills.
# See bench/README.md.
#
# Environment:
#   REPEAT      start-ups of each program; the median is reported (default 7)
#   BUILD       build folder (default build-bench-app, Release)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

REPEAT=${REPEAT:-7}
BUILD=${BUILD:-$ROOT/build-bench-app}
for tool in xvfb-run xdotool; do command -v $tool >/dev/null || die "$tool is missing (scripts/install-deps.sh)"; done

build_driver "$BUILD" zamo_app_log zamo
LOG=$DRIVER
APP=$BUILD/zamo/app/zamo

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export ZAMO_EMULATED_DRIVES="cd-r:$WORK/cd-r.img;dvd+rw:$WORK/dvd+rw.img"
unset QT_QPA_PLATFORM

# Runs inside the virtual display: each line "app MS" or "cli MS".
cat >"$WORK/session.sh" <<'SESSION'
set -eu
now() { date +%s%N; }
for i in $(seq "$REPEAT"); do
  start=$(now)
  "$APP" & pid=$!
  until xdotool search --onlyvisible --name '^ZAMO  v\.' >/dev/null 2>&1; do
    kill -0 $pid 2>/dev/null || { echo "zamo ended early" >&2; exit 1; }
  done
  echo "app $(( ($(now) - start) / 1000000 ))"
  kill $pid; wait $pid 2>/dev/null || true
  start=$(now)
  "$CLI" devices >/dev/null
  echo "cli $(( ($(now) - start) / 1000000 ))"
done
"$LOG"
SESSION

say "Measuring ($REPEAT start-ups of each, then 2 x 100,000 log lines)"
APP=$APP CLI=$CLI LOG=$LOG REPEAT=$REPEAT \
  xvfb-run -a -s "-screen 0 1280x1024x24" bash "$WORK/session.sh" >"$WORK/out.txt" 2>"$WORK/err.txt" ||
  { cat "$WORK/err.txt" >&2; die "the session failed"; }

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : int((a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }
app_ms=$(awk '$1 == "app" { print $2 }' "$WORK/out.txt" | median)
cli_ms=$(awk '$1 == "cli" { print $2 }' "$WORK/out.txt" | median)
app_all=$(awk '$1 == "app" { printf "%s ", $2 }' "$WORK/out.txt")
cli_all=$(awk '$1 == "cli" { printf "%s ", $2 }' "$WORK/out.txt")

echo "Start-up with two emulated recorders (median of $REPEAT, ms)"
printf '  zamo, launch to window shown : %6d   (%s)\n' "$app_ms" "$app_all"
printf '  zamo-cli devices             : %6d   (%s)\n' "$cli_ms" "$cli_all"
printf '  target: window under 1000 ms : %s\n' "$([ "$app_ms" -lt 1000 ] && echo met || echo MISSED)"
echo
echo "Log pane, 100,000 lines"
grep '^thread_ms=' "$WORK/out.txt" | tr ' ' '\n' | sed 's/^/  /'
