#!/usr/bin/env bash
# bench/mkiso_builds.sh: the threaded save (`zamo-cli mkiso -o`, or the
# quick one with QUICK=1) of one corpus by several builds of zamo-cli, and
# `cat` of the same files into one file (the floor), REPEAT runs each,
# taking turns at going first; medians, minimums and maximums, and each
# build's time over cat's from the same runs. For builds that differ in one
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

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPEAT=${REPEAT:-9}
CORPUS=${CORPUS:-$ROOT/bench/corpus/big}
OUT_DIR=${OUT_DIR:-$ROOT/bench/out}
QUICK=${QUICK:-0}

say() { printf '%s\n' "$*" >&2; }
die() { say "mkiso_builds.sh: $*"; exit 1; }

[ $# -gt 0 ] || die "usage: mkiso_builds.sh NAME=ZAMO_CLI..."
[ -d "$CORPUS" ] || die "no corpus at $CORPUS"
declare -A CLI
WAYS=(cat)
for arg in "$@"; do
  name=${arg%%=*} cli=${arg#*=}
  [ "$name" != "$arg" ] && [ -x "$cli" ] || die "'$arg': not NAME=an executable zamo-cli"
  [ "$name" != cat ] || die "'cat' is the floor's name"
  CLI[$name]=$cli
  WAYS+=("$name")
done
mkdir -p "$OUT_DIR"
export LC_ALL=C.UTF-8
OPTS=()
[ "$QUICK" = 1 ] && OPTS=(--quick)
OUT=$OUT_DIR/builds.out
STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/builds-$STAMP.tsv
REPORT=$OUT_DIR/builds-$STAMP.txt
printf 'way\trun\twall\n' >"$RESULTS"

for run in $(seq 1 "$REPEAT"); do
  say "run $run/$REPEAT"
  n=${#WAYS[@]}
  for i in $(seq 0 $((n - 1))); do
    way=${WAYS[$(( (i + run - 1) % n ))]}
    # The corpus read from the page cache, the last output's writeback done.
    find "$CORPUS" -type f -exec cat {} + >/dev/null
    rm -f "$OUT"
    sync
    t0=$(date +%s%N)
    if [ "$way" = cat ]; then
      find "$CORPUS" -type f -exec cat {} + >"$OUT"
    else
      "${CLI[$way]}" mkiso "${OPTS[@]}" -o "$OUT" "$CORPUS" >/dev/null || die "$way failed"
    fi
    t1=$(date +%s%N)
    rm -f "$OUT"
    printf '%s\t%s\t%s\n' "$way" "$run" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')" >>"$RESULTS"
  done
done

# stat WAY median|min|max
stat_of() {
  awk -F'\t' -v w="$1" 'NR > 1 && $1 == w { print $3 }' "$RESULTS" | sort -g |
    awk -v how="$2" '{ a[NR] = $1 } END {
      if (how == "min") print a[1]; else if (how == "max") print a[NR]
      else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
{
  echo "mkiso of builds, $(date '+%Y-%m-%d %H:%M'): $CORPUS, $([ "$QUICK" = 1 ] && echo quick || echo threaded) save"
  echo "machine: $(nproc) cores, kernel $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
  for way in "${WAYS[@]:1}"; do echo "  $way: ${CLI[$way]}"; done
  echo "$REPEAT runs of each, in turn; before each run the corpus is read and sync'ed; /cat: median over cat's median"
  printf '  %-12s %8s %8s %8s %6s\n' way "median s" "best s" "worst s" /cat
  cw=$(stat_of cat median)
  for way in "${WAYS[@]}"; do
    w=$(stat_of "$way" median)
    printf '  %-12s %8.3f %8.3f %8.3f %6.2f\n' "$way" "$w" "$(stat_of "$way" min)" "$(stat_of "$way" max)" \
      "$(awk -v a="$w" -v b="$cw" 'BEGIN { print a / b }')"
  done
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
