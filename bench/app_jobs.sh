#!/usr/bin/env bash
# bench/app_jobs.sh: a burn and an image save started from the desktop
# program's main window against zamo-cli doing the same job, in the same run,
# and the window's responsiveness while they run.
#
# The job: the first files of the big corpus in name order, up to 600 MiB (as
# bench/burn.sh selects them), page cache warmed first.
#   burn  the window: Gravure > Graver, "Oui" (bench/app_jobs, on a virtual X
#         display) on an emulated DVD+RW that records as fast as it is fed;
#         zamo-cli --emulate dvd+rw:IMAGE burn --cache-size 8 FILES
#   save  the window: Gravure > Créer une image ISO, the file named in the
#         save dialog (the threaded save); zamo-cli mkiso --cache-size 8 -o IMAGE FILES
# Both take the files to the disc's root (the window's path box clear,
# zamo-cli's --paths none) with the window's 8 MiB read-ahead cache. The
# window's time runs from the user's last answer ("Oui", or the save dialog's
# button) to the log line ">>> ÉCRITURE TERMINÉE: - SUCCÈS" in its pane;
# zamo-cli's is its process' wall time. Runs take turns
# at going first; medians are reported. The responsiveness is measured in
# runs of its own, whose probes would take a few percent of the timed runs.
#
# Targets: the window at least 0.95 times zamo-cli's speed for each job, and
# responsive while they run: no request to repaint the log pane waiting more
# than 100 ms, and no gap of more than 100 ms in the event loop's 10 ms timer.
# The same measures taken on the window without a job, in the same run, and
# the machine's load averages show how much of a gap the machine itself makes
# (on a loaded machine the event loop waits for a core whatever it runs).
# See bench/README.md.
#
# Environment:
#   REPEAT      runs of each job by each program; the median is reported (default 7)
#   BUILD       build folder of the driver and zamo-cli (default build-bench-jobs, Release)
#   CORPUS_DIR  where the corpora are generated and kept (default bench/corpus)
#   WORK_DIR    where the images are written, one at a time (default: a new folder in /dev/shm when it
#               has 2 GB free, so that the disk's writeback is not measured; else in /tmp)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

REPEAT=${REPEAT:-7}
BUILD=${BUILD:-$ROOT/build-bench-jobs}
for tool in xvfb-run; do command -v $tool >/dev/null || die "$tool is missing (scripts/install-deps.sh)"; done

build_driver "$BUILD" zamo_app_jobs
# The window's options, beside the driver where it reads them: no layout
# window before the burn, no import, no eject, the threaded save, the
# files' paths left out.
cat >"$BUILD/Zamo.ini" <<'INI'
[Options]
ShowFiles=0
ImportSession=0
SessionNo=0
EjectDisc=0
ArchiveFiles=0
QuickSaveISO=0
SavePath=Unchecked
TestWrite=0
JolietFS=1
Bootable=0
INI

select_mib 600

if [ -n "${WORK_DIR:-}" ]; then
  WORK=$WORK_DIR
elif [ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -1)" -gt $((2 * 1048576)) ] 2>/dev/null; then
  WORK=$(mktemp -d -p /dev/shm)
else
  WORK=$(mktemp -d)
fi
mkdir -p "$WORK"
[ -n "${WORK_DIR:-}" ] || trap 'rm -rf "$WORK"' EXIT
printf '%s\0' "${FILES[@]}" >"$WORK/files"

# Runs inside the virtual display: one line per run, "JOB PROGRAM MS [driver figures]";
# "idle window" lines for the window without a job.
cat >"$WORK/session.sh" <<'SESSION'
set -eu
mapfile -d '' FILES <"$WORK/files"
now() { date +%s%N; }
warm() { cat "${FILES[@]}" >/dev/null; sync; }
# JOB [--time-only]: "JOB window MS ..." timed alone, or "JOB probed 0 ..." with the responsiveness measures.
window() {
  local image=$WORK/window.img
  if [ "$1" = burn ]; then
    out=$(ZAMO_EMULATED_DRIVES="dvd+rw:$image" "$DRIVER" ${2:-} burn "${FILES[@]}") ||
      { echo "the window's burn failed" >&2; exit 1; }
  else
    out=$(ZAMO_EMULATED_DRIVES="dvd+rw:$WORK/unused.img" "$DRIVER" ${2:-} save "$image" "${FILES[@]}") ||
      { echo "the window's image save failed" >&2; exit 1; }
  fi
  if [ -n "${2:-}" ]; then
    echo "$1 window $(sed -n 's/.* ms=\([0-9]*\) .*/\1/p' <<<"$out") $out"
  else
    echo "$1 probed 0 $out"
  fi
  echo "$1 window-size $(stat -c %s "$image")" >>"$WORK/sizes"
  rm -f "$WORK"/window.img* "$WORK"/unused.img*
}
cli() {  # JOB
  local image=$WORK/cli.img start
  start=$(now)
  if [ "$1" = burn ]; then
    "$CLI" --emulate "dvd+rw:$image" burn --cache-size 8 "${FILES[@]}" >"$WORK/cli.log" 2>&1 ||
      { cat "$WORK/cli.log" >&2; echo "zamo-cli burn failed" >&2; exit 1; }
  else
    "$CLI" mkiso --cache-size 8 -o "$image" "${FILES[@]}" >"$WORK/cli.log" 2>&1 ||
      { cat "$WORK/cli.log" >&2; echo "zamo-cli mkiso failed" >&2; exit 1; }
  fi
  echo "$1 cli $(( ($(now) - start) / 1000000 ))"
  echo "$1 cli-size $(stat -c %s "$image")" >>"$WORK/sizes"
  rm -f "$WORK"/cli.img*
}
idle() {
  out=$(ZAMO_EMULATED_DRIVES="dvd+rw:$WORK/unused.img" "$DRIVER" idle 2000 "${FILES[@]}") ||
    { echo "the idle window failed" >&2; exit 1; }
  echo "idle probed 0 $out"
  rm -f "$WORK"/unused.img*
}
for job in burn save; do
  for i in $(seq "$REPEAT"); do  # taking turns at going first
    if [ $((i % 2)) = 1 ]; then
      warm; window $job --time-only; warm; cli $job
    else
      warm; cli $job; warm; window $job --time-only
    fi
    warm; window $job
    idle
  done
done
SESSION

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
say "Measuring ($REPEAT runs of each job by each program, ${#FILES[@]} files, $((BYTES / 1048576)) MiB)"
: >"$WORK/sizes"
unset QT_QPA_PLATFORM
WORK=$WORK DRIVER=$DRIVER CLI=$CLI REPEAT=$REPEAT \
  xvfb-run -a -s "-screen 0 1280x1024x24" bash "$WORK/session.sh" >"$WORK/out.txt" 2>"$WORK/err.txt" ||
  { cat "$WORK/out.txt" "$WORK/err.txt" >&2; die "the session failed"; }
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { sort -n | tail -1; }
runs() { awk -v j="$1" -v p="$2" '$1 == j && $2 == p { print $3 }' "$WORK/out.txt"; }
figure() { awk -v j="$1" '$1 == j && $2 == "probed"' "$WORK/out.txt" | sed -n "s/.* $2=\([0-9]*\).*/\1/p"; }
# Whether every image of a job, the window's and zamo-cli's, has the same size.
same_size() {
  [ "$(awk -v j="$1" '$1 == j { print $3 }' "$WORK/sizes" | sort -u | wc -l)" = 1 ] && echo same || echo DIFFERENT
}

echo "A burn and an image save of ${#FILES[@]} files, $BYTES bytes ($((BYTES / 1048576)) MiB) of the big corpus,"
echo "from the window and from zamo-cli (median of $REPEAT runs each, taking turns; page cache warm)"
echo "machine: $(nproc) cores, load averages $load_before before the runs, $load_after after"
echo
printf '  %-5s %12s %12s %10s %10s %16s %s\n' \
  job "window ms" "cli ms" "window MB/s" "cli MB/s" "window/cli speed" "images"
verdicts=()
for job in burn save; do
  w=$(runs $job window | median)
  c=$(runs $job cli | median)
  ratio=$(awk -v w="$w" -v c="$c" 'BEGIN { printf "%.3f", c / w }')
  printf '  %-5s %12s %12s %10.1f %10.1f %16s %s\n' $job "$w" "$c" \
    "$(awk -v b="$BYTES" -v t="$w" 'BEGIN { print b / 1e6 / (t / 1000) }')" \
    "$(awk -v b="$BYTES" -v t="$c" 'BEGIN { print b / 1e6 / (t / 1000) }')" "$ratio" "$(same_size $job) size"
  verdicts+=("$job speed ratio $ratio: $(awk -v r="$ratio" 'BEGIN { print (r >= 0.95 ? "met" : "NOT met") }')")
done
echo "  runs (ms):"
for job in burn save; do
  printf '    %-5s window: %s\n' $job "$(runs $job window | tr '\n' ' ')"
  printf '    %-5s cli:    %s\n' $job "$(runs $job cli | tr '\n' ' ')"
done
echo
echo "Responsiveness of the window while its jobs ran (runs of their own, $REPEAT of each; largest, ms)"
printf '  %-5s %14s %16s %10s %16s %15s\n' \
  job "event loop gap" "(core wait in it)" "own gap" "repaint waited" "between paints"
for job in burn save idle; do
  tick=$(figure $job max_tick_gap_ms | largest)
  # The core wait within the run whose gap was the largest.
  core=$(awk -v j="$job" '$1 == j && $2 == "probed"' "$WORK/out.txt" |
    sed -n 's/.* max_tick_gap_ms=\([0-9]*\) core_wait_ms=\([0-9]*\).*/\1 \2/p' | sort -n | tail -1 | cut -d' ' -f2)
  own=$(figure $job max_own_gap_ms | largest)
  wait=$(figure $job max_paint_wait_ms | largest)
  gap=$(figure $job max_paint_gap_ms | largest)
  printf '  %-5s %14s %16s %10s %16s %15s\n' $job "$tick" "($core)" "$own" "$wait" "$gap"
  [ $job = idle ] && continue
  all=$([ "$tick" -le 100 ] && [ "$wait" -le 100 ] && echo met || echo "NOT met")
  own_part=$([ "$own" -le 100 ] && echo met || echo "NOT met")
  verdicts+=("$job responsiveness (100 ms at most): $all;"
    "  the program's own part of the gaps (100 ms at most): $own_part")
done
echo "  own gap: the largest gap of the event loop less the time the GUI thread waited for a core in it"
echo "  (from /proc/thread-self/schedstat): the program's part, whatever the machine's load."
echo "  (idle: the window with the same list and no job, 2 s after each pair of runs)"
echo
echo "Targets (window at 0.95 times zamo-cli's speed at least, repaint within 100 ms):"
printf '  %s\n' "${verdicts[@]}"
