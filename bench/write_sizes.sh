#!/usr/bin/env bash
# bench/write_sizes.sh: how fast 1.5 GB of big files goes into one file for
# each size of write call, as the threaded image save's writer makes them
# (bench/write_sizes.cpp: 64 KiB blocks, so many a pwritev), against `cat`
# of the same files into a file, the floor. REPEAT runs of each, taking
# turns at going first; medians and minimums, and each size's time over
# cat's from the same runs. A benchmark: run on demand, never from
# `make test`. See bench/README.md.
#
# Environment:
#   SIZES      KiB per call (multiples of 64; default "64 128 256 512 1024");
#              with a "c" before it, the kernel copies the files (c1024: the
#              quick save's copy_file_range of 1 MiB a call); with a "g",
#              small files are gathered into a buffer of that size (g4096:
#              the quick save's 4 MiB buffer; CORPUS=bench/corpus/small)
#   REPEAT     runs of each (default 9)
#   CORPUS     the files (default: bench/corpus/big, made by bench/gen_corpus.py)
#   OUT_DIR    where the program, the output and the report go (default: bench/out)
#   CXX        the compiler (default g++)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SIZES=${SIZES:-64 128 256 512 1024}
REPEAT=${REPEAT:-9}
CORPUS=${CORPUS:-$CORPUS_DIR/big}
OUT_DIR=${OUT_DIR:-$BENCH/out}
CXX=${CXX:-g++}

[ -d "$CORPUS" ] || die "no corpus at $CORPUS (python3 bench/gen_corpus.py, or bench/mkiso.sh makes it)"
mkdir -p "$OUT_DIR"
PROG=$OUT_DIR/write_sizes
"$CXX" -O2 -std=c++20 -pthread -o "$PROG" "$BENCH/write_sizes.cpp" || die "cannot build $PROG"

# The files in the order of their paths, as an image holds them.
LIST=$OUT_DIR/write_sizes.list
find "$CORPUS" -type f -print0 | LC_ALL=C sort -z >"$LIST"
COUNT=$(tr -cd '\0' <"$LIST" | wc -c)
[ "$COUNT" -gt 0 ] || die "no files under $CORPUS"
BYTES=$(xargs -0 cat <"$LIST" | wc -c)
OUT=$OUT_DIR/write_sizes.out
STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/write_sizes-$STAMP.tsv
REPORT=$OUT_DIR/write_sizes-$STAMP.txt
printf 'way\trun\twall\n' >"$RESULTS"

WAYS=(cat)
for k in $SIZES; do WAYS+=("$k"); done
run_way() {  # WAY RUN
  # The files read from the page cache, the last output's writeback done.
  xargs -0 cat <"$LIST" >/dev/null
  rm -f "$OUT"
  sync
  if [ "$1" = cat ]; then
    timed "$RESULTS" cat "$2" sh -c 'xargs -0 cat <"$1" >"$2"' sh "$LIST" "$OUT" || die "cat failed"
  else
    timed "$RESULTS" "$1" "$2" sh -c '"$1" "$2" "$3" <"$4"' sh "$PROG" "$1" "$OUT" "$LIST" || die "$1 failed"
  fi
  [ "$(stat -c %s "$OUT")" = "$BYTES" ] || die "$1: the output is not $BYTES bytes"
  rm -f "$OUT"
}
interleave "$REPEAT" "${WAYS[@]}"

{
  echo "write sizes, $(date '+%Y-%m-%d %H:%M'): $COUNT files, $BYTES bytes from $CORPUS"
  echo "machine: $(nproc) cores, kernel $(uname -r), $(df -PT "$OUT_DIR" | awk 'NR == 2 { print $2 }'), load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "$REPEAT runs of each, in turn; before each run the files are read and sync'ed; /cat: median over cat's median"
  printf '  %-14s %8s %8s %8s %6s %8s\n' way "median s" "best s" "worst s" /cat "MB/s"
  cw=$(stat_of "$RESULTS" cat median)
  for way in "${WAYS[@]}"; do
    w=$(stat_of "$RESULTS" "$way" median)
    case $way in
      cat) label=cat ;;
      c*) label="copy ${way#c} KiB" ;;
      g*) label="buffer ${way#g} KiB" ;;
      *) label="$way KiB" ;;
    esac
    printf '  %-14s %8.3f %8.3f %8.3f %6.2f %8.0f\n' "$label" "$w" "$(stat_of "$RESULTS" "$way" min)" "$(stat_of "$RESULTS" "$way" max)" \
      "$(awk -v a="$w" -v b="$cw" 'BEGIN { print a / b }')" "$(awk -v a="$w" -v b="$BYTES" 'BEGIN { print b / 1e6 / a }')"
  done
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
rm -f "$LIST"
