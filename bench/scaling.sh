#!/usr/bin/env bash
# bench/scaling.sh: how the cost of a compilation grows with its entries.
# Trees of the tiny corpus' shape (folders of 15 files of 0 to 200 bytes,
# bench/gen_corpus.py entries) of 10,000 to 1,000,000 entries, files and
# folders; for each, `zamo-cli mkiso --print-size`, `zamo-cli mkiso -o`
# (the threaded save) and `tar cf` of the same folder: wall time, user +
# system time and peak memory, whole and per entry. The cost is linear when
# the per-entry figures stay flat from the smallest tree to the largest.
# A benchmark: run on demand, never from `make test`. See bench/README.md.
#
# Environment:
#   ZAMO_CLI    zamo-cli to measure (default build/cli/zamo-cli; measure a Release build)
#   SIZES       entry counts, multiples of 16 (default "10000 30000 100000 300000 1000000")
#   REPEAT      runs of each measurement, the median reported (default 3)
#   CORPUS_DIR  where the trees are generated and kept (default bench/corpus: entries-N,
#               about 4 KB of disk a file, 4 GB for the largest)
#   OUT_DIR     where the results and the report go (default bench/out)
#   WORK_DIR    where the image and the archive go, one at a time (default: /dev/shm when it has
#               4 GB free, so that what is measured is the program and not the disk's writeback;
#               else OUT_DIR)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CLI=${ZAMO_CLI:-$ROOT/build/cli/zamo-cli}
SIZES=${SIZES:-10000 30000 100000 300000 1000000}
REPEAT=${REPEAT:-3}
OUT_DIR=${OUT_DIR:-$BENCH/out}
[ -x "$CLI" ] || die "no zamo-cli at $CLI (ZAMO_CLI=...)"
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install time)"
mkdir -p "$OUT_DIR"
DEFAULT_MAX_ENTRIES=600000

STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/scaling-$STAMP.tsv
REPORT=$OUT_DIR/scaling-$STAMP.txt
printf 'way\trun\twall\tcpu\trss_kb\n' >"$RESULTS"
if [ -z "${WORK_DIR:-}" ]; then
  WORK_DIR=$OUT_DIR
  [ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -1)" -gt $((4 * 1048576)) ] 2>/dev/null && WORK_DIR=/dev/shm
fi
OUT=$WORK_DIR/zamo-scaling-$$.out
trap 'rm -f "$OUT"' EXIT

# measure WAY RUN COMMAND...: one run, its wall time, user + system time and
# peak memory (GNU time) appended to RESULTS.
measure() {
  local way=$1 run=$2
  shift 2
  rm -f "$OUT"
  sync
  /usr/bin/time -f '%e %U %S %M' -o "$OUT_DIR/scaling.time" "$@" >/dev/null 2>"$OUT_DIR/scaling.err" ||
    { tail -5 "$OUT_DIR/scaling.err" >&2; die "$way failed: $*"; }
  read -r wall user sys rss <"$OUT_DIR/scaling.time"
  printf '%s\t%s\t%s\t%s\t%s\n' "$way" "$run" "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" "$rss" \
    >>"$RESULTS"
  rm -f "$OUT"
}

declare -A TREE LIMIT
for n in $SIZES; do
  TREE[$n]=$(corpus "entries-$n" "$n")
  LIMIT[$n]=""
  [ "$n" -gt "$DEFAULT_MAX_ENTRIES" ] && LIMIT[$n]="--max-entries $n"
done

run_way() {  # WAY RUN: a tool on one tree, WAY = TOOL:ENTRIES
  local tool=${1%%:*} n=${1#*:} run=$2 tree
  tree=${TREE[$n]}
  # Metadata and data from the page cache: tar reads the whole tree.
  tar cf - "$tree" >/dev/null 2>&1
  case $tool in
    size) measure "$1" "$run" "$CLI" mkiso --print-size ${LIMIT[$n]} "$tree" ;;
    mkiso) measure "$1" "$run" "$CLI" mkiso ${LIMIT[$n]} -o "$OUT" "$tree" ;;
    tar) measure "$1" "$run" tar cf "$OUT" "$tree" ;;
  esac
}

ways=()
for n in $SIZES; do ways+=("size:$n" "mkiso:$n" "tar:$n"); done
interleave "$REPEAT" "${ways[@]}"

# median WAY COLUMN: of the runs of WAY (columns: 3 wall, 4 cpu, 5 rss_kb).
median() {
  awk -F'\t' -v w="$1" -v c="$2" '$1 == w { print $c }' "$RESULTS" | sort -g |
    awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
{
  echo "Scaling with the entry count, $(date '+%Y-%m-%d %H:%M')"
  machine_line
  echo "zamo-cli: $CLI; the image and the archive written to $WORK_DIR"
  echo "trees: the tiny corpus' shape (bench/gen_corpus.py entries N: N/16 folders of 15 files of 0-200 bytes);"
  echo "$REPEAT runs of each, tools and sizes taking turns, medians; page cache warm; --max-entries N above 600,000"
  echo "size = zamo-cli mkiso --print-size, mkiso = zamo-cli mkiso -o (threaded), tar = tar cf"
  echo
  printf '  %-6s %9s %9s %9s %9s %9s %9s %9s %9s\n' tool entries "wall s" "cpu s" "RSS MB" "wall us/e" "cpu us/e" "KB/entry" \
    "+KB/entry"
  set -- $SIZES
  first=$1
  for tool in size mkiso tar; do
    r0=$(median "$tool:$first" 5)
    for n in $SIZES; do
      w=$(median "$tool:$n" 3) c=$(median "$tool:$n" 4) r=$(median "$tool:$n" 5)
      marginal=-
      [ "$n" = "$first" ] || marginal=$(awk -v r="$r" -v r0="$r0" -v n="$n" -v n0="$first" 'BEGIN { printf "%.3f", (r - r0) / (n - n0) }')
      printf '  %-6s %9d %9.2f %9.2f %9.1f %9.2f %9.2f %9.3f %9s\n' "$tool" "$n" "$w" "$c" "$(awk -v r="$r" 'BEGIN { print r / 1024 }')" \
        "$(awk -v w="$w" -v n="$n" 'BEGIN { print w * 1e6 / n }')" "$(awk -v c="$c" -v n="$n" 'BEGIN { print c * 1e6 / n }')" \
        "$(awk -v r="$r" -v n="$n" 'BEGIN { print r / n }')" "$marginal"
    done
  done
  echo "  KB/entry: the peak RSS over the entries; +KB/entry: what each entry beyond the smallest tree's adds to it"
  echo
  echo "Time per entry, largest tree over smallest (1.00: linear; wall, cpu; memory: +KB/entry above):"
  last=${!#}
  for tool in size mkiso tar; do
    printf '  %-6s' "$tool"
    for col in 3 4; do
      printf ' %6.2f' "$(awk -v a="$(median "$tool:$last" $col)" -v b="$(median "$tool:$first" $col)" \
        -v na="$last" -v nb="$first" 'BEGIN { print (a / na) / (b / nb) }')"
    done
    echo
  done
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
rm -f "$OUT_DIR/scaling.time" "$OUT_DIR/scaling.err"
