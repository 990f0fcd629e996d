#!/bin/bash
# Records a 600 MB compilation of the benchmark corpus on emulated recorders
# that write at a real speed (speed=16x: a CD-R at 16 x 176,400 bytes/s, a
# DVD+R at 16 x 1,385,000 bytes/s) through a 2 MiB drive buffer, and reports
# what the drive saw: the lowest buffer fill while recording, the underruns,
# and the average speed against the throttle.
#
#   bench/burn.sh            (ZAMO_CLI=path/to/zamo-cli to use another build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
CLI=${ZAMO_CLI:-$ROOT/build/cli/zamo-cli}
OUT=${OUT:-$BENCH/out}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$OUT"

[ -x "$CLI" ] || { echo "zamo-cli introuvable : $CLI (make build)" >&2; exit 2; }
select_mib 600
SELECTED=("${FILES[@]}")
TOTAL=$BYTES

REPORT="$OUT/burn-$(date +%Y%m%d-%H%M%S).txt"
{
  echo "zamo-cli burn at speed=16x on emulated recorders, $(date '+%Y-%m-%d %H:%M')"
  echo "machine : $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GB", $2/1048576}' /proc/meminfo), kernel $(uname -r)"
  echo "compilation: ${#SELECTED[@]} files, $((TOTAL / 1048576)) MiB, from $CORPUS_DIR/big (page cache warmed first)"
  echo
  printf '%-6s %9s %10s %12s %12s %8s %10s %10s %10s %s\n' kind "wall s" "MB/s" "drive avg" "throttle" "avg/thr" "min fill" "full fill" "underruns" "result"
} | tee "$REPORT"

cat "${SELECTED[@]}" > /dev/null  # into the page cache: the disk is not what is measured
for kind in cd-r dvd+r; do
  IMAGE="$WORK/$kind.img"
  start=$(date +%s.%N)
  if "$CLI" --emulate "$kind:$IMAGE,speed=16x" burn --paths keep "${SELECTED[@]}" > "$WORK/$kind.log" 2>&1; then
    result=ok
  else
    result="FAILED (see $WORK/$kind.log)"
    cp "$WORK/$kind.log" "$OUT/burn-$kind.log"
  fi
  end=$(date +%s.%N)
  wall=$(echo "$end - $start" | bc -l)
  stats="$IMAGE.stats"
  rate=$(awk '/^rate / {print $2}' "$stats" 2>/dev/null || echo 0)
  average=$(awk '/^average / {print $2}' "$stats" 2>/dev/null || echo 0)
  buffer=$(awk '/^buffer / {print $2}' "$stats" 2>/dev/null || echo 0)
  minfill=$(awk '/^minfill / {print $2}' "$stats" 2>/dev/null || echo 0)
  steady=$(awk '/^steadyfill / {print $2}' "$stats" 2>/dev/null || echo 0)
  underruns=$(awk '/^underruns / {print $2}' "$stats" 2>/dev/null || echo "?")
  printf '%-6s %9.1f %10.2f %10.2f MB %10.2f MB %7.3fx %9.1f%% %9.1f%% %10s %s\n' "$kind" "$wall" \
    "$(echo "$TOTAL / $wall / 1048576" | bc -l)" "$(echo "$average / 1048576" | bc -l)" \
    "$(echo "$rate / 1048576" | bc -l)" "$(echo "$average / ($rate + 0.000001)" | bc -l)" \
    "$(echo "100 * $minfill / ($buffer + 0.000001)" | bc -l)" "$(echo "100 * $steady / ($buffer + 0.000001)" | bc -l)" \
    "$underruns" "$result" | tee -a "$REPORT"
  rm -f "$IMAGE" "$IMAGE.state"
done
{
  echo
  echo "drive avg: bytes the drive recorded / time from its first write to its last byte recorded;"
  echo "min fill: lowest drive-buffer fill a write found (the first write aside), of the 2 MiB buffer; it includes"
  echo "          the start, while the host fills the empty buffer; full fill: the same once the buffer had"
  echo "          first been filled to 90 % (the steady state of the recording)."
} | tee -a "$REPORT"
echo "Rapport : $REPORT"
