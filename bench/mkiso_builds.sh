#!/usr/bin/env bash
# bench/mkiso_builds.sh: the threaded save (`zamo-cli mkiso -o`, or the
# quick one with QUICK=1) of one corpus by several builds of zamo-cli, and
# `cat` of the same files into one file (the floor) and `tar cf` of the
# folder, REPEAT runs each, taking turns at going first; medians, minimums
# and maximums, each build's time over cat's and tar's time over each
# build's (its throughput over tar's: at least 1 is at tar's speed), medians
# and best runs, from the same runs. For builds that differ in one
# constant, made from copies of the tree (see bench/README.md). A benchmark:
# run on demand, never from `make test`.
#
#   bench/mkiso_builds.sh NAME=ZAMO_CLI...
#
# Environment:
#   REPEAT     runs of each (default 9)
#   CORPUS     the folder saved (default: bench/corpus/big)
#   QUICK      1: the quick save (--quick) instead of the threaded one
#   OUT_DIR    where the image, the results and the report go (default: bench/out)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

REPEAT=${REPEAT:-9}
CORPUS=${CORPUS:-$CORPUS_DIR/big}
OUT_DIR=${OUT_DIR:-$BENCH/out}
QUICK=${QUICK:-0}

[ $# -gt 0 ] || die "usage: mkiso_builds.sh NAME=ZAMO_CLI..."
[ -d "$CORPUS" ] || die "no corpus at $CORPUS"
declare -A CLI
WAYS=(cat tar)
for arg in "$@"; do
  name=${arg%%=*} cli=${arg#*=}
  [ "$name" != "$arg" ] && [ -x "$cli" ] || die "'$arg': not NAME=an executable zamo-cli"
  [ "$name" != cat ] && [ "$name" != tar ] || die "'cat' and 'tar' are the peers' names"
  CLI[$name]=$cli
  WAYS+=("$name")
done
mkdir -p "$OUT_DIR"
OPTS=()
[ "$QUICK" = 1 ] && OPTS=(--quick)
OUT=$OUT_DIR/builds.out
STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/builds-$STAMP.tsv
REPORT=$OUT_DIR/builds-$STAMP.txt
printf 'way\trun\twall\n' >"$RESULTS"

run_way() {  # WAY RUN
  # The corpus read from the page cache, the last output's writeback done.
  find "$CORPUS" -type f -exec cat {} + >/dev/null
  rm -f "$OUT"
  sync
  if [ "$1" = cat ]; then
    timed "$RESULTS" cat "$2" sh -c 'find "$1" -type f -exec cat {} + >"$2"' sh "$CORPUS" "$OUT" || die "cat failed"
  elif [ "$1" = tar ]; then
    timed "$RESULTS" tar "$2" tar cf "$OUT" -C "$CORPUS" . || die "tar failed"
  else
    timed "$RESULTS" "$1" "$2" "${CLI[$1]}" mkiso "${OPTS[@]}" -o "$OUT" "$CORPUS" || die "$1 failed"
  fi
  rm -f "$OUT"
}
interleave "$REPEAT" "${WAYS[@]}"

{
  echo "mkiso of builds, $(date '+%Y-%m-%d %H:%M'): $CORPUS, $([ "$QUICK" = 1 ] && echo quick || echo threaded) save"
  machine_line
  for way in "${WAYS[@]:2}"; do echo "  $way: ${CLI[$way]}"; done
  echo "$REPEAT runs of each, in turn; before each run the corpus is read and sync'ed; /cat: median over cat's median;"
  echo "tar/: tar's median over the median, and tar's best run over the best run"
  printf '  %-12s %8s %8s %8s %6s %11s %9s\n' way "median s" "best s" "worst s" /cat "tar/ median" "tar/ best"
  cw=$(stat_of "$RESULTS" cat median)
  tw=$(stat_of "$RESULTS" tar median)
  tb=$(stat_of "$RESULTS" tar min)
  for way in "${WAYS[@]}"; do
    w=$(stat_of "$RESULTS" "$way" median)
    b=$(stat_of "$RESULTS" "$way" min)
    printf '  %-12s %8.3f %8.3f %8.3f %6.2f %11.2f %9.2f\n' "$way" "$w" "$b" "$(stat_of "$RESULTS" "$way" max)" \
      "$(awk -v a="$w" -v b="$cw" 'BEGIN { print a / b }')" "$(awk -v a="$tw" -v b="$w" 'BEGIN { print a / b }')" \
      "$(awk -v a="$tb" -v b="$b" 'BEGIN { print a / b }')"
  done
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
