#!/usr/bin/env bash
# bench/bigfile.sh: one sparse file of 5 GiB (zeros but for a few bytes) into
# an image, `zamo-cli mkiso` (threaded and --quick) against `tar cf` of the
# same file, REPEAT times each, taking turns at going first; medians. The
# file is recorded in two extents by zamo (4 GiB - 2048 bytes, then the
# rest), so this is the path of files of 4 GiB and more. A benchmark: run on
# demand, never from `make test`. See bench/README.md.
#
# Environment:
#   ZAMO_CLI   zamo-cli to measure (default: build/cli/zamo-cli)
#   REPEAT     runs of each tool (default 5)
#   SIZE_GIB   the file's size in GiB (default 5)
#   OUT_DIR    where the file, the outputs and the report go (default: bench/out)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZAMO_CLI=${ZAMO_CLI:-$ROOT/build/cli/zamo-cli}
REPEAT=${REPEAT:-5}
SIZE_GIB=${SIZE_GIB:-5}
OUT_DIR=${OUT_DIR:-$ROOT/bench/out}

say() { printf '%s\n' "$*" >&2; }
die() { say "bigfile.sh: $*"; exit 1; }

[ -x "$ZAMO_CLI" ] || die "no zamo-cli at $ZAMO_CLI (make build, or ZAMO_CLI=...)"
command -v /usr/bin/time >/dev/null || die "/usr/bin/time is missing (package time)"
mkdir -p "$OUT_DIR"
avail_kb=$(df -Pk "$OUT_DIR" | awk 'NR == 2 { print $4 }')
[ "$avail_kb" -gt $(( (SIZE_GIB + 2) * 1024 * 1024 )) ] || die "less than $((SIZE_GIB + 2)) GiB free under $OUT_DIR"

WORK=$(mktemp -d "$OUT_DIR/bigfile.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SRC=$WORK/src
mkdir -p "$SRC"
BIG=$SRC/video.mkv
BYTES=$((SIZE_GIB * 1024 * 1024 * 1024))
truncate -s "$BYTES" "$BIG"
# A few bytes at the start, across the end of the first extent and at the end.
printf 'debut' | dd of="$BIG" conv=notrunc status=none
printf 'extent' | dd of="$BIG" bs=1 seek=$((0xFFFFF800 - 3)) conv=notrunc status=none
printf 'fin' | dd of="$BIG" bs=1 seek=$((BYTES - 3)) conv=notrunc status=none

STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/bigfile-results-$STAMP.tsv
REPORT=$OUT_DIR/bigfile-report-$STAMP.txt
printf 'tool\trun\twall_s\tuser_s\tsys_s\tmaxrss_kb\trc\n' >"$RESULTS"

set_cmd() {
  case $1 in
    zamo-cli) CMD=("$ZAMO_CLI" mkiso -o "$2" "$SRC") ;;
    zamo-quick) CMD=("$ZAMO_CLI" mkiso --quick -o "$2" "$SRC") ;;
    tar) CMD=(tar cf "$2" -C "$SRC" .) ;;
  esac
}

# One timed run: the file read once before (its holes are in the page cache
# as for every tool), the previous output's writeback flushed (sync), the
# output deleted after.
measure() {
  local tool=$1 run=$2 out=$WORK/out.$1 t0 t1 rc=0
  set_cmd "$tool" "$out"
  cat "$BIG" >/dev/null
  sync
  t0=$(date +%s%N)
  /usr/bin/time -v -o "$WORK/time.txt" "${CMD[@]}" >/dev/null 2>"$WORK/stderr.txt" || rc=$?
  t1=$(date +%s%N)
  if [ "$rc" -ne 0 ]; then say "  $tool failed with status $rc:"; tail -n 5 "$WORK/stderr.txt" >&2; fi
  rm -f "$out"
  awk -v t="$tool" -v r="$run" -v us="$(( (t1 - t0) / 1000 ))" -v rc="$rc" '
    /User time \(seconds\)/ { u = $NF }
    /System time \(seconds\)/ { s = $NF }
    /Maximum resident set size/ { m = $NF }
    END { printf "%s\t%s\t%.3f\t%s\t%s\t%s\t%s\n", t, r, us / 1e6, u, s, m, rc }
  ' "$WORK/time.txt" >>"$RESULTS"
}

# The image is checked once, untimed: two extents, the whole size.
"$ZAMO_CLI" mkiso -o "$WORK/check.iso" "$SRC" >/dev/null 2>&1 || die "zamo-cli mkiso failed"
CHECK=$("$ZAMO_CLI" ls "$WORK/check.iso" 2>/dev/null | grep -c " $BYTES  /video.mkv" || true)
EXTENTS=$(command -v xorriso >/dev/null &&
  xorriso -indev "$WORK/check.iso" -find / -exec report_lba -- 2>/dev/null | grep -c "video.mkv" || echo "?")
rm -f "$WORK/check.iso"

TOOLS=(zamo-cli zamo-quick tar)
for run in $(seq 1 "$REPEAT"); do
  say "run $run/$REPEAT"
  n=${#TOOLS[@]}
  for k in $(seq 0 $((n - 1))); do measure "${TOOLS[$(( (k + run - 1) % n ))]}" "$run"; done
done

median() {
  awk -F'\t' -v t="$1" -v c="$2" 'NR > 1 && $1 == t { print $c }' "$RESULTS" | sort -g |
    awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
calc() { awk "BEGIN { printf \"$1\", ($2) }"; }

{
  echo "A sparse file of $SIZE_GIB GiB into an image, $(date '+%Y-%m-%d %H:%M')"
  echo "machine : $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GB, kernel $(uname -r)," \
    "$(df -PT "$OUT_DIR" | awk 'NR == 2 { print $2 }') for the file and the outputs"
  echo "zamo-cli: $ZAMO_CLI"
  echo "runs    : $REPEAT of each, in turn; medians; before each run the file is read once and sync runs"
  echo "check   : zamo-cli ls of the image shows the whole size ($CHECK line), xorriso finds $EXTENTS extents"
  echo
  printf '  %-11s %8s %8s %8s %8s %9s\n' tool "wall s" "MB/s" user sys "tar/this"
  tw=$(median tar 3)
  for t in "${TOOLS[@]}"; do
    w=$(median "$t" 3)
    printf '  %-11s %8.2f %8.0f %8.2f %8.2f %9s\n' "$t" "$w" "$(calc %.0f "$BYTES / 1e6 / $w")" "$(median "$t" 4)" \
      "$(median "$t" 5)" "$(calc %.2f "$tw / $w")"
  done
  echo
  echo "Target: zamo-cli mkiso at least at tar's speed (tar/this >= 1):" \
    "threaded $(calc %.2f "$tw / $(median zamo-cli 3)"), quick $(calc %.2f "$tw / $(median zamo-quick 3)")"
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
