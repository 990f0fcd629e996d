#!/usr/bin/env bash
# bench/mkiso.sh: times `zamo-cli mkiso` against tar, genisoimage and xorriso
# on the same corpora in one run, and prints times, throughput, peak memory
# and the ratios to the peers. See bench/README.md.
#
# Environment:
#   ZAMO_CLI   zamo-cli to measure (default: build/cli/zamo-cli, built if missing)
#   REPEAT     runs of each measurement; the median is reported (default 5)
#   CORPORA    corpora to run, among "big small tiny" (default: all three)
#   CORPUS_DIR where the corpora are generated and kept (default: bench/corpus)
#   OUT_DIR    scratch space for the images and the results (default: bench/out)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH=$ROOT/bench
CORPUS_DIR=${CORPUS_DIR:-$BENCH/corpus}
OUT_DIR=${OUT_DIR:-$BENCH/out}
REPEAT=${REPEAT:-5}
CORPORA=${CORPORA:-big small tiny}
DEFAULT_CLI=$ROOT/build/cli/zamo-cli
ZAMO_CLI=${ZAMO_CLI:-$DEFAULT_CLI}

# Every tool reads the UTF-8 names the same way.
export LC_ALL=C.UTF-8

# Options given to both ISO peers besides -quiet -J -r. The small corpus has
# names of up to 100 characters: without -joliet-long (103 characters) both
# would cut them to Joliet's 64. It changes nothing for shorter names, so it is
# given for every corpus.
PEER_OPTS=(-joliet-long)
GENISO_OPTS=(-input-charset utf-8)  # xorriso takes the charset from LC_ALL

say() { printf '%s\n' "$*" >&2; }
die() { say "mkiso.sh: $*"; exit 1; }

# --- tools --------------------------------------------------------------------

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "Installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

install_missing genisoimage xorriso time tar python3 coreutils

if [ ! -x "$ZAMO_CLI" ]; then
  [ "$ZAMO_CLI" = "$DEFAULT_CLI" ] || die "ZAMO_CLI=$ZAMO_CLI is not an executable"
  say "Building zamo-cli in $ROOT/build"
  install_missing cmake make g++ libgtest-dev libgmock-dev
  if [ ! -f "$ROOT/build/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$ROOT/build" -j"$(nproc)" --target zamo-cli >/dev/null
fi
ZAMO_CLI=$(cd "$(dirname "$ZAMO_CLI")" && pwd)/$(basename "$ZAMO_CLI")

# --- corpora ------------------------------------------------------------------

mkdir -p "$CORPUS_DIR" "$OUT_DIR"
for c in $CORPORA; do
  case $c in big|small|tiny) ;; *) die "unknown corpus '$c' (big, small or tiny)";; esac
  if [ ! -d "$CORPUS_DIR/$c" ]; then
    avail_kb=$(df -Pk "$CORPUS_DIR" | awk 'NR == 2 { print $4 }')
    [ "$avail_kb" -gt $((6 * 1024 * 1024)) ] || die "less than 6 GB free under $CORPUS_DIR"
    say "Generating the $c corpus in $CORPUS_DIR/$c"
    python3 "$BENCH/gen_corpus.py" "$c" "$CORPUS_DIR/$c"
  fi
done
rm -f "$OUT_DIR"/*.iso "$OUT_DIR"/*.tar

# --- measuring ----------------------------------------------------------------

STAMP=$(date +%Y%m%d-%H%M%S)
RESULTS=$OUT_DIR/results-$STAMP.tsv
REPORT=$OUT_DIR/report-$STAMP.txt
printf 'corpus\top\ttool\trun\twall_s\tuser_s\tsys_s\tmaxrss_kb\trc\tfs_inputs\n' >"$RESULTS"

# warm CORPUS_PATH: reads every file once, so that the corpus is in the page
# cache. This machine gives back page cache left idle for a few minutes, so it
# is done before every timed run, not only once.
warm() {
  find "$1" -type f -print0 | xargs -0 cat >/dev/null
}

# measure CORPUS OP TOOL RUN OUTPUT COMMAND...: one timed run, on a warm page
# cache. Dirty pages are flushed first (sync) so that the writeback of the
# previous run is not billed to this one; the file written (OUTPUT, if any) is
# deleted right after.
measure() {
  local corpus=$1 op=$2 tool=$3 run=$4 output=$5
  shift 5
  [ -n "$output" ] && rm -f "$output"
  warm "$CORPUS_DIR/$corpus"
  sync
  local t0 t1 rc=0
  t0=$(date +%s%N)
  /usr/bin/time -v -o "$OUT_DIR/time.txt" "$@" >"$OUT_DIR/stdout.txt" 2>"$OUT_DIR/stderr.txt" || rc=$?
  t1=$(date +%s%N)
  [ -n "$output" ] && rm -f "$output"
  if [ "$rc" -ne 0 ]; then
    say "  $tool ($corpus, $op) failed with status $rc:"
    tail -n 5 "$OUT_DIR/stderr.txt" >&2
  fi
  awk -v c="$corpus" -v o="$op" -v t="$tool" -v r="$run" -v us="$(( (t1 - t0) / 1000 ))" -v rc="$rc" '
    /User time \(seconds\)/ { u = $NF }
    /System time \(seconds\)/ { s = $NF }
    /Maximum resident set size/ { m = $NF }
    /File system inputs/ { fi = $NF }
    END { printf "%s\t%s\t%s\t%s\t%.3f\t%s\t%s\t%s\t%s\t%s\n", c, o, t, r, us / 1e6, u, s, m, rc, fi }
  ' "$OUT_DIR/time.txt" >>"$RESULTS"
}

# set_save_cmd TOOL CORPUS_PATH OUTPUT: CMD becomes the command that writes one image.
set_save_cmd() {
  case $1 in
    zamo-cli) CMD=("$ZAMO_CLI" mkiso -o "$3" "$2") ;;
    tar) CMD=(tar cf "$3" -C "$2" .) ;;
    genisoimage) CMD=(genisoimage -quiet -J -r "${PEER_OPTS[@]}" "${GENISO_OPTS[@]}" -o "$3" "$2") ;;
    xorriso) CMD=(xorriso -as mkisofs -quiet -J -r "${PEER_OPTS[@]}" -o "$3" "$2") ;;
  esac
}

# set_size_cmd TOOL CORPUS_PATH: CMD becomes the command that prints the image size.
set_size_cmd() {
  case $1 in
    zamo-cli) CMD=("$ZAMO_CLI" mkiso --print-size "$2") ;;
    genisoimage) CMD=(genisoimage -print-size -quiet -J -r "${PEER_OPTS[@]}" "${GENISO_OPTS[@]}" "$2") ;;
    xorriso) CMD=(xorriso -as mkisofs -print-size -quiet -J -r "${PEER_OPTS[@]}" "$2") ;;
  esac
}

SAVE_TOOLS=(zamo-cli tar genisoimage xorriso)
SIZE_TOOLS=(zamo-cli genisoimage xorriso)
SANITY=()
declare -A BYTES FILES DIRS
CMD=()

for c in $CORPORA; do
  src=$CORPUS_DIR/$c
  BYTES[$c]=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
  FILES[$c]=$(find "$src" -type f | wc -l)
  DIRS[$c]=$(find "$src" -mindepth 1 -type d | wc -l)
  say "== $c: ${FILES[$c]} files, ${DIRS[$c]} folders, ${BYTES[$c]} bytes"

  # Untimed: checks zamo's image.
  img=$OUT_DIR/sanity-$c.iso
  rm -f "$img"
  "$ZAMO_CLI" mkiso -o "$img" "$src" >"$OUT_DIR/sanity-$c.log" 2>&1 ||
    die "zamo-cli mkiso failed on $c (see $OUT_DIR/sanity-$c.log)"
  rm -f "$OUT_DIR/sanity-$c.log"
  printed=$("$ZAMO_CLI" mkiso --print-size "$src")
  bytes=$(stat -c %s "$img")
  if [ "$printed" = "$((bytes / 2048))" ] && [ $((bytes % 2048)) -eq 0 ]; then
    SANITY+=("$c: --print-size $printed = image size / 2048: ok")
  else
    SANITY+=("$c: --print-size $printed, image of $bytes bytes: MISMATCH")
  fi
  if [ "$c" = small ]; then
    xorriso -indev "$img" -find / -type f -- 2>/dev/null | sed "s/^'//; s/'\$//" | LC_ALL=C sort >"$OUT_DIR/listed.txt"
    (cd "$src" && find . -type f | sed 's/^\.//' | LC_ALL=C sort) >"$OUT_DIR/expected.txt"
    count=$(wc -l <"$OUT_DIR/listed.txt")
    if cmp -s "$OUT_DIR/listed.txt" "$OUT_DIR/expected.txt"; then
      SANITY+=("$c: xorriso -indev lists the image's $count files under the corpus' own paths: ok")
    else
      SANITY+=("$c: xorriso -indev lists $count files, not the corpus' paths: MISMATCH")
    fi
    rm -f "$OUT_DIR/listed.txt" "$OUT_DIR/expected.txt"
  fi
  rm -f "$img"

  for run in $(seq 1 "$REPEAT"); do
    say "  run $run/$REPEAT"
    # The tools take turns going first.
    for k in 0 1 2 3; do
      tool=${SAVE_TOOLS[$(( (k + run - 1) % 4 ))]}
      out=$OUT_DIR/$c.iso
      [ "$tool" = tar ] && out=$OUT_DIR/$c.tar
      set_save_cmd "$tool" "$src" "$out"
      measure "$c" save "$tool" "$run" "$out" "${CMD[@]}"
    done
    for k in 0 1 2; do
      tool=${SIZE_TOOLS[$(( (k + run - 1) % 3 ))]}
      set_size_cmd "$tool" "$src"
      measure "$c" size "$tool" "$run" "" "${CMD[@]}"
    done
  done
done
rm -f "$OUT_DIR/time.txt" "$OUT_DIR/stdout.txt" "$OUT_DIR/stderr.txt"

# --- report -------------------------------------------------------------------

# stat CORPUS OP TOOL COLUMN median|min|max: over the runs of one measurement.
stat_of() {
  awk -F'\t' -v c="$1" -v o="$2" -v t="$3" -v col="$4" \
    'NR > 1 && $1 == c && $2 == o && $3 == t { print $col }' "$RESULTS" |
    sort -g |
    awk -v how="$5" '{ a[NR] = $1 }
      END {
        if (NR == 0) { print "nan"; exit }
        if (how == "min") print a[1]
        else if (how == "max") print a[NR]
        else if (NR % 2) print a[(NR + 1) / 2]
        else print (a[NR / 2] + a[NR / 2 + 1]) / 2
      }'
}
failures() {
  awk -F'\t' -v c="$1" -v o="$2" -v t="$3" 'NR > 1 && $1 == c && $2 == o && $3 == t && $9 != 0 { n++ } END { print n + 0 }' "$RESULTS"
}
calc() { awk "BEGIN { printf \"$1\", ($2) }"; }

declare -A WALL RSS
{
  echo "zamo-cli mkiso benchmark, $(date '+%Y-%m-%d %H:%M')"
  echo "machine : $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')), $(free -g | awk '/^Mem:/ { print $2 }') GB, kernel $(uname -r), $(df -PT "$OUT_DIR" | awk 'NR == 2 { print $2 }') for corpora and output"
  echo "zamo-cli: $ZAMO_CLI"
  echo "peers   : $(tar --version | head -n1), $(genisoimage --version 2>&1 | head -n1), $(xorriso -version 2>/dev/null | head -n1 | cut -d: -f1)"
  echo "runs    : $REPEAT of each measurement, tools in turn; times are medians, RSS the highest of the runs"
  echo "          before each run: corpus read into the page cache, then sync; output deleted after each run"
  echo
  for c in $CORPORA; do
    printf '%s: %s files in %s folders, %s MB
' "$c" "${FILES[$c]}" "${DIRS[$c]}" "$(calc %.1f "${BYTES[$c]} / 1e6")"
    printf '  %-5s %-12s %9s %9s %9s %7s %7s %9s  %s
' op tool "wall s" "best s" "MB/s" user sys "RSS MB" "peer time / zamo time"
    for op in save size; do
      tools=("${SAVE_TOOLS[@]}")
      [ "$op" = size ] && tools=("${SIZE_TOOLS[@]}")
      zw=$(stat_of "$c" "$op" zamo-cli 5 median)
      for t in "${tools[@]}"; do
        w=$(stat_of "$c" "$op" "$t" 5 median)
        best=$(stat_of "$c" "$op" "$t" 5 min)
        u=$(stat_of "$c" "$op" "$t" 6 median)
        s=$(stat_of "$c" "$op" "$t" 7 median)
        m=$(stat_of "$c" "$op" "$t" 8 max)
        WALL[$c,$op,$t]=$w
        RSS[$c,$op,$t]=$m
        mbs=-
        [ "$op" = save ] && mbs=$(calc %.0f "${BYTES[$c]} / 1e6 / ($w > 0 ? $w : 1e-9)")
        ratio=""
        [ "$t" != zamo-cli ] && ratio=$(calc %.2f "$w / ($zw > 0 ? $zw : 1e-9)")
        fails=$(failures "$c" "$op" "$t")
        [ "$fails" -gt 0 ] && ratio="$ratio  ($fails run(s) FAILED)"
        printf '  %-5s %-12s %9.3f %9.3f %9s %7.2f %7.2f %9.1f  %s
' "$op" "$t" "$w" "$best" "$mbs" "$u" "$s" \
          "$(calc %.1f "$m / 1024")" "$ratio"
      done
    done
    echo
  done

  echo "Targets"
  verdict() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
  for c in $CORPORA; do
    z=${WALL[$c,save,zamo-cli]}
    r_tar=$(calc %.2f "${WALL[$c,save,tar]} / $z")
    r_gen=$(calc %.2f "${WALL[$c,save,genisoimage]} / $z")
    r_xor=$(calc %.2f "${WALL[$c,save,xorriso]} / $z")
    ok_tar=$(calc %d "$r_tar >= 0.9")
    ok_peers=$(calc %d "$r_gen > 1 && $r_xor > 1")
    echo "  $c image build: zamo/tar throughput ${r_tar}x (aim >= 0.9): $(verdict "$ok_tar");" \
      "genisoimage time / zamo ${r_gen}x, xorriso ${r_xor}x (aim > 1): $(verdict "$ok_peers")"
  done
  if [[ " $CORPORA " == *" tiny "* ]]; then
    z=${WALL[tiny,size,zamo-cli]}
    r_gen=$(calc %.2f "${WALL[tiny,size,genisoimage]} / $z")
    r_xor=$(calc %.2f "${WALL[tiny,size,xorriso]} / $z")
    echo "  tiny --print-size ($((FILES[tiny] + DIRS[tiny])) entries): genisoimage time / zamo ${r_gen}x," \
      "xorriso ${r_xor}x (aim > 1): $(verdict "$(calc %d "$r_gen > 1 && $r_xor > 1")")"
  fi
  if [[ " $CORPORA " == *" big "* && " $CORPORA " == *" small "* ]]; then
    rb=${RSS[big,save,zamo-cli]} rs=${RSS[small,save,zamo-cli]}
    echo "  memory while saving: big $(calc %.1f "$rb / 1024") MB for $(calc %.0f "${BYTES[big]} / 1e6") MB of data," \
      "small $(calc %.1f "$rs / 1024") MB for $(calc %.0f "${BYTES[small]} / 1e6") MB; data x$(calc %.1f "${BYTES[big]} / ${BYTES[small]}")," \
      "RSS x$(calc %.2f "$rb / $rs") (aim: no growth with the data): $(verdict "$(calc %d "$rb <= 1.1 * $rs")")"
  fi
  for c in $CORPORA; do
    [ "${FILES[$c]}" -ge 10000 ] &&
      echo "    zamo RSS while saving $c: $(calc %.2f "${RSS[$c,save,zamo-cli]} / (${FILES[$c]} + ${DIRS[$c]})") KB per file or folder"
  done
  echo
  awk -F'\t' 'NR > 1 { b += $10 } END {
    printf "Read from disk during the timed runs: %.1f MB (0: every run found the corpus in the page cache)\n\n", b * 512 / 1e6
  }' "$RESULTS"
  echo "Sanity (untimed)"
  for line in "${SANITY[@]}"; do echo "  $line"; done
  echo
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
