#!/usr/bin/env bash
# bench/burn_kinds.sh: burns and erases on instant emulated recorders (no
# speed=: the drive records as fast as it is fed) against `zamo-cli mkiso`
# of the same files, in one run, REPEAT rounds taking turns at going first.
#
# The files: the first files of the big corpus in name order, up to 600 MiB
# (as bench/burn.sh selects them), page cache warmed before each step. Per
# kind, on a fresh blank disc: the burn of those files (--paths keep); a
# second session importing the first (--import-session last) and adding
# the first 60 MiB of the files again at the root (--paths none); on a
# rewritable disc, a quick erase of that disc, then a full erase. The
# references, in the same rounds: mkiso of the 600 MiB and of the 60 MiB.
#
# Target: a burn within 2 x mkiso of the same files + 1 s (the second
# session: of the 60 MiB it adds); an erase within 1 s, as an instant
# emulated erase moves no data of the compilation's, so that any fixed
# pause of a second left in its waits shows (a full DVD+RW erase is the
# exception: it overwrites the whole 4.7 GB disc with zeros, 71,001 writes,
# and is held to 2 x mkiso of the 600 MiB + 1 s). See bench/README.md.
#
# Environment:
#   ZAMO_CLI   zamo-cli to measure (default build/cli/zamo-cli)
#   REPEAT     rounds (default 5)
#   KINDS      the disc kinds (default: every kind zamo-cli burns)
#   WORK_DIR   where the images go (default: a new folder in /dev/shm when it has
#              3 GB free, so that the disk's writeback is not measured; else in /tmp)
#   OUT_DIR    where the results and the report go (default bench/out)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CLI=${ZAMO_CLI:-$ROOT/build/cli/zamo-cli}
REPEAT=${REPEAT:-5}
KINDS=${KINDS:-cd-r cd-rw dvd-r dvd-rw dvd+r dvd+rw dvd+r-dl dvd-ram}
OUT_DIR=${OUT_DIR:-$BENCH/out}
[ -x "$CLI" ] || die "no zamo-cli at $CLI (ZAMO_CLI=...)"
mkdir -p "$OUT_DIR"

if [ -n "${WORK_DIR:-}" ]; then
  WORK=$WORK_DIR
  mkdir -p "$WORK"
else
  if [ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -1)" -gt $((3 * 1048576)) ] 2>/dev/null; then
    WORK=$(mktemp -d -p /dev/shm)
  else
    WORK=$(mktemp -d)
  fi
  trap 'rm -rf "$WORK"' EXIT
fi

select_mib 60
ADDED=("${FILES[@]}")
added_bytes=$BYTES
select_mib 600

STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/burn_kinds-$STAMP.tsv
REPORT=$OUT_DIR/burn_kinds-$STAMP.txt
printf 'way\trun\twall\n' >"$RESULTS"
FAILED=$OUT_DIR/burn_kinds-$STAMP.failures
: >"$FAILED"

rewritable() { case $1 in cd-rw | dvd-rw | dvd+rw | dvd-ram) return 0 ;; *) return 1 ;; esac; }

# step ROW RUN COMMAND...: one timed step of the page cache warmed; a
# failure is noted with its log, and the row gets no time for that run.
step() {
  local row=$1 run=$2
  shift 2
  cat "${FILES[@]}" >/dev/null
  if ! timed "$RESULTS" "$row" "$run" "$@" 2>"$WORK/step.log"; then
    sed -i '$d' "$RESULTS"
    { echo "$row, run $run: $*"; tail -5 "$WORK/step.log"; } >>"$FAILED"
  fi
}

run_way() {  # WAY RUN: a reference, or every step of one kind
  local way=$1 run=$2 disc
  case $way in
    mkiso)
      step mkiso "$run" "$CLI" mkiso --paths keep -o "$WORK/ref.iso" "${FILES[@]}"
      rm -f "$WORK/ref.iso"
      return ;;
    mkiso-60)
      step mkiso-60 "$run" "$CLI" mkiso --paths none -o "$WORK/ref.iso" "${ADDED[@]}"
      rm -f "$WORK/ref.iso"
      return ;;
  esac
  disc=$WORK/$way.img
  rm -f "$disc" "$disc".*
  step "$way burn" "$run" "$CLI" --emulate "$way:$disc" burn --paths keep "${FILES[@]}"
  step "$way session 2" "$run" "$CLI" --emulate "$way:$disc" burn --import-session last --paths none "${ADDED[@]}"
  if rewritable "$way"; then
    step "$way quick erase" "$run" "$CLI" --emulate "$way:$disc" erase
    step "$way full erase" "$run" "$CLI" --emulate "$way:$disc" erase --full
  fi
  rm -f "$disc" "$disc".*
}

say "${#FILES[@]} files, $((BYTES / 1048576)) MiB; second sessions: ${#ADDED[@]} files, $((added_bytes / 1048576)) MiB"
read -ra kinds <<<"$KINDS"
interleave "$REPEAT" mkiso mkiso-60 "${kinds[@]}"

calc() { awk "BEGIN { printf \"$1\", ($2) }"; }
{
  echo "Burns and erases on instant emulated recorders against zamo-cli mkiso, $(date '+%Y-%m-%d %H:%M')"
  machine_line
  echo "zamo-cli: $CLI; images in $WORK"
  echo "files: ${#FILES[@]}, $BYTES bytes of the big corpus; second sessions add ${#ADDED[@]} files, $added_bytes bytes"
  echo "$REPEAT rounds, kinds and references taking turns; bound: 2 x mkiso's median + 1 s (erases: 1 s, see the script)"
  echo
  printf '  %-22s %9s %9s %9s %7s %s\n' row "median s" "min s" "bound s" /bound verdict
  ref=$(stat_of "$RESULTS" mkiso median)
  ref60=$(stat_of "$RESULTS" mkiso-60 median)
  printf '  %-22s %9.3f %9.3f\n' "mkiso 600 MiB" "$ref" "$(stat_of "$RESULTS" mkiso min)"
  printf '  %-22s %9.3f %9.3f\n' "mkiso 60 MiB" "$ref60" "$(stat_of "$RESULTS" mkiso-60 min)"
  for kind in "${kinds[@]}"; do
    for what in burn "session 2" "quick erase" "full erase"; do
      row="$kind $what"
      case $what in
        burn) bound=$(calc %.3f "2 * $ref + 1") ;;
        "session 2") bound=$(calc %.3f "2 * $ref60 + 1") ;;
        *) rewritable "$kind" || continue
           bound=1
           [ "$row" = "dvd+rw full erase" ] && bound=$(calc %.3f "2 * $ref + 1") ;;
      esac
      median=$(stat_of "$RESULTS" "$row" median)
      if [ "$median" = nan ]; then
        printf '  %-22s %9s %9s %9.3f %7s %s\n' "$row" - - "$bound" - "FAILED"
        continue
      fi
      printf '  %-22s %9.3f %9.3f %9.3f %7.2f %s\n' "$row" "$median" "$(stat_of "$RESULTS" "$row" min)" "$bound" \
        "$(calc %.4f "$median / $bound")" "$(calc %s "$median <= $bound ? \"met\" : \"MISSED\"")"
    done
  done
  if [ -s "$FAILED" ]; then
    echo
    echo "Failed steps (no time counted):"
    sed 's/^/  /' "$FAILED"
  fi
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
[ -s "$FAILED" ] || rm -f "$FAILED"
