#!/usr/bin/env bash
# bench/app_drop.sh: times dropping a corpus folder on the desktop program's
# file list (the list walks the whole tree for the folder's size) against
# `zamo-cli mkiso --print-size` of the same folder (which walks it, builds
# the compilation tree and lays it out), in one run, and prints wall times,
# peak memory and the ratio. Target: the drop within 1.5 times the CLI's
# time. See bench/README.md.
#
# Environment:
#   CORPUS      the corpus dropped: small (100,000 files in 5,000 folders,
#               the default), tiny (300,000 files) or big
#   REPEAT      runs of each measurement; the median is reported (default 5)
#   BUILD       build folder of the driver and zamo-cli (default build-bench-drop, Release)
#   CORPUS_DIR  where the corpora are generated and kept (default bench/corpus)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CORPUS=${CORPUS:-small}
REPEAT=${REPEAT:-5}
BUILD=${BUILD:-$ROOT/build-bench-drop}

case $CORPUS in big|small|tiny) ;; *) die "unknown corpus '$CORPUS' (big, small or tiny)";; esac
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install time)"

build_driver "$BUILD" zamo_app_drop
DROP=$DRIVER
folder=$(corpus "$CORPUS")
files=$(find "$folder" -type f | wc -l)
bytes=$(find "$folder" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }')

# Both only read the tree's metadata: one untimed pass of each puts it in
# the cache.
"$DROP" "$folder" >/dev/null 2>&1
"$CLI" mkiso --print-size "$folder" >/dev/null 2>&1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# run NAME COMMAND...: one timed run; appends "wall_s rss_kb" to $work/NAME
# and the command's standard output to $work/NAME.out.
run() {
  local name=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >>"$work/$name.out" 2>/dev/null || die "$name failed: $*"
  cat "$work/time" >>"$work/$name"
}
for ((i = 1; i <= REPEAT; i++)); do  # taking turns at going first
  if ((i % 2)); then
    run drop "$DROP" "$folder"
    run cli "$CLI" mkiso --print-size "$folder"
  else
    run cli "$CLI" mkiso --print-size "$folder"
    run drop "$DROP" "$folder"
  fi
done

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" "$work/drop.out"; }
drop_ms=$(field drop_ms | median)
drop_rss_before=$(field rss_before_kb | median)
drop_rss=$(field rss_peak_kb | median)
drop_bytes=$(field bytes | head -1)
drop_wall=$(awk '{ print $1 }' "$work/drop" | median)
cli_wall=$(awk '{ print $1 }' "$work/cli" | median)
cli_rss=$(awk '{ print $2 }' "$work/cli" | sort -g | tail -1)
sectors=$(head -1 "$work/cli.out")

ratio=$(awk -v a="$drop_ms" -v b="$cli_wall" 'BEGIN { printf "%.2f", a / 1000 / b }')
verdict=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.5 ? "met" : "NOT met") }')
sizes=$([ "$drop_bytes" = "$bytes" ] && echo "the same" || echo "DIFFERENT: $bytes bytes in the corpus")

cat <<EOF
Drop of the $CORPUS corpus ($files files, $bytes bytes) on the file list, against zamo-cli --print-size
(median of $REPEAT runs each, metadata in the page cache)

                                   wall        peak RSS
  drop on the list (the drop)      $(printf '%7.3f s' "$(awk -v a="$drop_ms" 'BEGIN { print a / 1000 }')")
  drop driver (whole process)      $(printf '%7.3f s' "$drop_wall")   $(printf '%7d KB' "$drop_rss")
    (of which the driver with its window shown, before the drop: $drop_rss_before KB)
  zamo-cli mkiso --print-size      $(printf '%7.3f s' "$cli_wall")   $(printf '%7d KB' "$cli_rss")   ($sectors sectors)

  drop / CLI walk: $ratio (target 1.5 at most: $verdict)
  size shown for the folder: $drop_bytes bytes, $sizes
EOF
