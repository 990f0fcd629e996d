#!/usr/bin/env bash
# bench/mkiso.sh: times both saves of `zamo-cli mkiso` (the default threaded
# one, read-ahead cache + writer, and --quick, one pass on one thread) against
# tar, genisoimage and xorriso on the same corpora in one run, and prints
# times, throughput, peak memory, the ratios to the peers and the memory bound
# of the threaded save (cache + head window + tree + 64 MiB). See bench/README.md.
#
# Environment:
#   ZAMO_CLI   zamo-cli to measure (default: build/cli/zamo-cli, built if missing)
#   ZAMO_CLI_BEFORE  another zamo-cli (an earlier build) measured in the same run,
#              side by side, for a before/after comparison (default: none)
#   REPEAT     runs of each measurement; the median is reported (default 5)
#   (cat of every file of a corpus into one file is timed with them: the floor)
#   CORPORA    corpora to run, among "big small tiny tiny600" (default: the
#              first three; tiny600 is the tiny corpus' shape at 600,000 entries)
#   CACHE_SIZES read-ahead cache sizes (MiB) whose memory is measured (default "4 64")
#   CORPUS_DIR where the corpora are generated and kept (default: bench/corpus)
#   OUT_DIR    scratch space for the images and the results (default: bench/out)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH=$ROOT/bench
CORPUS_DIR=${CORPUS_DIR:-$BENCH/corpus}
OUT_DIR=${OUT_DIR:-$BENCH/out}
REPEAT=${REPEAT:-5}
CORPORA=${CORPORA:-big small tiny}
CACHE_SIZES=${CACHE_SIZES:-4 64}
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
ZAMO_CLI_BEFORE=${ZAMO_CLI_BEFORE:-}
if [ -n "$ZAMO_CLI_BEFORE" ]; then
  [ -x "$ZAMO_CLI_BEFORE" ] || die "ZAMO_CLI_BEFORE=$ZAMO_CLI_BEFORE is not an executable"
  ZAMO_CLI_BEFORE=$(cd "$(dirname "$ZAMO_CLI_BEFORE")" && pwd)/$(basename "$ZAMO_CLI_BEFORE")
fi

# --- corpora ------------------------------------------------------------------

mkdir -p "$CORPUS_DIR" "$OUT_DIR"
for c in $CORPORA; do
  case $c in big|small|tiny|tiny600) ;; *) die "unknown corpus '$c' (big, small, tiny or tiny600)";; esac
  if [ ! -d "$CORPUS_DIR/$c" ]; then
    avail_kb=$(df -Pk "$CORPUS_DIR" | awk 'NR == 2 { print $4 }')
    [ "$avail_kb" -gt $((6 * 1024 * 1024)) ] || die "less than 6 GB free under $CORPUS_DIR"
    say "Generating the $c corpus in $CORPUS_DIR/$c"
    python3 "$BENCH/gen_corpus.py" "$c" "$CORPUS_DIR/$c"
  fi
done
rm -f "$OUT_DIR"/*.iso "$OUT_DIR"/*.tar "$OUT_DIR"/*.cat

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

# set_save_cmd TOOL CORPUS_PATH OUTPUT: CMD becomes the command that writes one
# image. zamo-cli is the default (threaded) save, zamo-quick the one-pass save,
# cache-N the threaded save with a read-ahead cache of N MiB.
set_save_cmd() {
  case $1 in
    zamo-cli) CMD=("$ZAMO_CLI" mkiso -o "$3" "$2") ;;
    zamo-quick) CMD=("$ZAMO_CLI" mkiso --quick -o "$3" "$2") ;;
    before) CMD=("$ZAMO_CLI_BEFORE" mkiso -o "$3" "$2") ;;
    before-quick) CMD=("$ZAMO_CLI_BEFORE" mkiso --quick -o "$3" "$2") ;;
    cache-*) CMD=("$ZAMO_CLI" mkiso --cache-size "${1#cache-}" -o "$3" "$2") ;;
    tar) CMD=(tar cf "$3" -C "$2" .) ;;
    # The floor: the files' bytes one after the other, nothing else.
    cat) CMD=(sh -c 'find "$1" -type f -exec cat {} + >"$2"' sh "$2" "$3") ;;
    genisoimage) CMD=(genisoimage -quiet -J -r "${PEER_OPTS[@]}" "${GENISO_OPTS[@]}" -o "$3" "$2") ;;
    xorriso) CMD=(xorriso -as mkisofs -quiet -J -r "${PEER_OPTS[@]}" -o "$3" "$2") ;;
  esac
}

# set_size_cmd TOOL CORPUS_PATH: CMD becomes the command that prints the image size.
set_size_cmd() {
  case $1 in
    zamo-cli) CMD=("$ZAMO_CLI" mkiso --print-size "$2") ;;
    before) CMD=("$ZAMO_CLI_BEFORE" mkiso --print-size "$2") ;;
    genisoimage) CMD=(genisoimage -print-size -quiet -J -r "${PEER_OPTS[@]}" "${GENISO_OPTS[@]}" "$2") ;;
    xorriso) CMD=(xorriso -as mkisofs -print-size -quiet -J -r "${PEER_OPTS[@]}" "$2") ;;
  esac
}

SAVE_TOOLS=(zamo-cli zamo-quick tar cat genisoimage xorriso)
SIZE_TOOLS=(zamo-cli genisoimage xorriso)
if [ -n "$ZAMO_CLI_BEFORE" ]; then
  SAVE_TOOLS+=(before before-quick)
  SIZE_TOOLS+=(before)
fi
CACHE_TOOLS=()
for m in $CACHE_SIZES; do
  [[ $m =~ ^[0-9]+$ ]] && [ "$m" -ge 2 ] || die "CACHE_SIZES: '$m' is not a number of MiB >= 2"
  CACHE_TOOLS+=("cache-$m")
done
SANITY=()
declare -A BYTES FILES DIRS HEAD HEAD_FIRST
CMD=()

for c in $CORPORA; do
  src=$CORPUS_DIR/$c
  BYTES[$c]=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
  FILES[$c]=$(find "$src" -type f | wc -l)
  DIRS[$c]=$(find "$src" -mindepth 1 -type d | wc -l)
  say "== $c: ${FILES[$c]} files, ${DIRS[$c]} folders, ${BYTES[$c]} bytes"

  # Untimed: checks zamo's images, and takes the size of the image head (the
  # sectors before the file data) from the layout summary on stdout.
  img=$OUT_DIR/sanity-$c.iso
  rm -f "$img"
  "$ZAMO_CLI" mkiso --quick -o "$img" "$src" >"$OUT_DIR/sanity-$c.out" 2>"$OUT_DIR/sanity-$c.log" ||
    die "zamo-cli mkiso --quick failed on $c (see $OUT_DIR/sanity-$c.log)"
  printed=$("$ZAMO_CLI" mkiso --quick --print-size "$src")
  bytes=$(stat -c %s "$img")
  if [ "$printed" = "$((bytes / 2048))" ] && [ $((bytes % 2048)) -eq 0 ]; then
    SANITY+=("$c: --quick --print-size $printed = --quick image size / 2048: ok")
  else
    SANITY+=("$c: --quick --print-size $printed, --quick image of $bytes bytes: MISMATCH")
  fi
  rm -f "$img"
  "$ZAMO_CLI" mkiso -o "$img" "$src" >"$OUT_DIR/sanity-$c.out" 2>"$OUT_DIR/sanity-$c.log" ||
    die "zamo-cli mkiso failed on $c (see $OUT_DIR/sanity-$c.log)"
  # (the space before the colon may be a no-break space)
  first=$(sed -n 's/.*Données des fichiers[^:]*: à partir du secteur \([0-9][0-9]*\).*/\1/p' "$OUT_DIR/sanity-$c.out")
  [ -n "$first" ] || die "no 'Données des fichiers' line in zamo-cli's summary (see $OUT_DIR/sanity-$c.out)"
  HEAD[$c]=$((first * 2048))
  # The part of the head a save keeps whole: the sectors before the root
  # directory (system area, descriptors, path tables); the root's extent is
  # at byte 158 of the primary descriptor (sector 16), little-endian.
  root=$(od -An -t u4 -j $((16 * 2048 + 158)) -N 4 "$img" | tr -d ' ')
  HEAD_FIRST[$c]=$((root * 2048))
  rm -f "$OUT_DIR/sanity-$c.out" "$OUT_DIR/sanity-$c.log"
  printed=$("$ZAMO_CLI" mkiso --print-size "$src")
  bytes=$(stat -c %s "$img")
  if [ "$printed" = "$((bytes / 2048))" ] && [ $((bytes % 2048)) -eq 0 ]; then
    SANITY+=("$c: --print-size $printed = image size / 2048: ok")
  else
    SANITY+=("$c: --print-size $printed, image of $bytes bytes: MISMATCH")
  fi
  if [ -n "$ZAMO_CLI_BEFORE" ]; then
    # With the same clock, both builds must give the same bytes.
    for q in "" --quick; do
      SOURCE_DATE_EPOCH=1700000000 "$ZAMO_CLI" mkiso $q -o "$OUT_DIR/after.iso" "$src" >/dev/null 2>&1 || true
      SOURCE_DATE_EPOCH=1700000000 "$ZAMO_CLI_BEFORE" mkiso $q -o "$OUT_DIR/before.iso" "$src" >/dev/null 2>&1 || true
      if [ -s "$OUT_DIR/after.iso" ] && cmp -s "$OUT_DIR/after.iso" "$OUT_DIR/before.iso"; then
        SANITY+=("$c: mkiso ${q:-(threaded)} gives the same bytes as ZAMO_CLI_BEFORE's (SOURCE_DATE_EPOCH set): ok")
      else
        SANITY+=("$c: mkiso ${q:-(threaded)} and ZAMO_CLI_BEFORE's images DIFFER (SOURCE_DATE_EPOCH set)")
      fi
      rm -f "$OUT_DIR/after.iso" "$OUT_DIR/before.iso"
    done
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
    n=${#SAVE_TOOLS[@]}
    for k in $(seq 0 $((n - 1))); do
      tool=${SAVE_TOOLS[$(( (k + run - 1) % n ))]}
      out=$OUT_DIR/$c.iso
      [ "$tool" = tar ] && out=$OUT_DIR/$c.tar
      [ "$tool" = cat ] && out=$OUT_DIR/$c.cat
      set_save_cmd "$tool" "$src" "$out"
      measure "$c" save "$tool" "$run" "$out" "${CMD[@]}"
    done
    n=${#SIZE_TOOLS[@]}
    for k in $(seq 0 $((n - 1))); do
      tool=${SIZE_TOOLS[$(( (k + run - 1) % n ))]}
      set_size_cmd "$tool" "$src"
      measure "$c" size "$tool" "$run" "" "${CMD[@]}"
    done
    # Memory of the threaded save for each cache size.
    n=${#CACHE_TOOLS[@]}
    for k in $(seq 0 $((n - 1))); do
      tool=${CACHE_TOOLS[$(( (k + run - 1) % n ))]}
      set_save_cmd "$tool" "$src" "$OUT_DIR/$c.iso"
      measure "$c" cache "$tool" "$run" "$OUT_DIR/$c.iso" "${CMD[@]}"
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
# ratio A B: A / B with two decimals.
ratio() { calc %.2f "$1 / ($2 > 0 ? $2 : 1e-9)"; }
verdict() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
has_corpus() { [[ " $CORPORA " == *" $1 "* ]]; }
MIB=1048576
# The threaded save holds its cache, the head's first part (descriptors and
# path tables) with a window of the directory extents generated from the tree
# (256 KiB, plus the directory that crosses its end: 1 MiB is counted), the
# tree (what --print-size holds) and a fixed part; its memory may not pass
#   cache + head window + tree + 64 MiB
HEAD_WINDOW=$((1 * MIB))
head_window() { calc %.0f "${HEAD_FIRST[$1]} + $HEAD_WINDOW"; }
bound_kb() { calc %.0f "($1 * $MIB + $(head_window "$2") + 64 * $MIB) / 1024 + ${RSS[$2,size,zamo-cli]}"; }

declare -A WALL RSS
{
  echo "zamo-cli mkiso benchmark, $(date '+%Y-%m-%d %H:%M')"
  echo "machine : $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')), $(free -g | awk '/^Mem:/ { print $2 }') GB, kernel $(uname -r), $(df -PT "$OUT_DIR" | awk 'NR == 2 { print $2 }') for corpora and output"
  echo "zamo-cli: $ZAMO_CLI"
  [ -n "$ZAMO_CLI_BEFORE" ] && echo "before  : $ZAMO_CLI_BEFORE (before, before-quick: its threaded and quick saves)"
  echo "peers   : $(tar --version | head -n1), $(genisoimage --version 2>&1 | head -n1), $(xorriso -version 2>/dev/null | head -n1 | cut -d: -f1)"
  echo "runs    : $REPEAT of each measurement, tools in turn; times are medians (best and worst run shown), RSS the highest of the runs"
  echo "          before each run: corpus read into the page cache, then sync; output deleted after each run"
  echo "zamo-cli = zamo-cli mkiso (threaded: read-ahead cache of 4 MiB + writer); zamo-quick = zamo-cli mkiso --quick (one pass)"
  echo "/zamo, /quick: this row's time over zamo-cli's, over zamo-quick's (above 1: that zamo save is faster;"
  echo "          for tar, it is also that zamo save's throughput over tar's)"
  echo
  for c in $CORPORA; do
    printf '%s: %s files in %s folders, %s MB, image head %s sectors (%s MB)\n' "$c" "${FILES[$c]}" "${DIRS[$c]}" \
      "$(calc %.1f "${BYTES[$c]} / 1e6")" "$((HEAD[$c] / 2048))" "$(calc %.1f "${HEAD[$c]} / $MIB")"
    printf '  %-5s %-12s %8s %8s %8s %6s %6s %6s %8s %6s %6s\n' op tool "wall s" "best s" "worst s" "MB/s" user sys \
      "RSS MB" /zamo /quick
    for op in save size; do
      tools=("${SAVE_TOOLS[@]}")
      [ "$op" = size ] && tools=("${SIZE_TOOLS[@]}")
      zw=$(stat_of "$c" "$op" zamo-cli 5 median)
      qw=$(stat_of "$c" save zamo-quick 5 median)
      for t in "${tools[@]}"; do
        w=$(stat_of "$c" "$op" "$t" 5 median)
        best=$(stat_of "$c" "$op" "$t" 5 min)
        worst=$(stat_of "$c" "$op" "$t" 5 max)
        u=$(stat_of "$c" "$op" "$t" 6 median)
        s=$(stat_of "$c" "$op" "$t" 7 median)
        m=$(stat_of "$c" "$op" "$t" 8 max)
        WALL[$c,$op,$t]=$w
        RSS[$c,$op,$t]=$m
        mbs=-
        [ "$op" = save ] && mbs=$(calc %.0f "${BYTES[$c]} / 1e6 / ($w > 0 ? $w : 1e-9)")
        rz=""
        rq=""
        [ "$t" != zamo-cli ] && rz=$(ratio "$w" "$zw")
        [ "$op" = save ] && [ "$t" != zamo-quick ] && rq=$(ratio "$w" "$qw")
        fails=$(failures "$c" "$op" "$t")
        note=""
        [ "$fails" -gt 0 ] && note="  ($fails run(s) FAILED)"
        printf '  %-5s %-12s %8.3f %8.3f %8.3f %6s %6.2f %6.2f %8.1f %6s %6s%s\n' "$op" "$t" "$w" "$best" "$worst" \
          "$mbs" "$u" "$s" "$(calc %.1f "$m / 1024")" "$rz" "$rq" "$note"
      done
    done
    printf '  memory of the threaded save (bound: cache + head window + tree + 64 MiB)\n'
    printf '  %-16s %8s %8s %9s  %s\n' "" "wall s" "RSS MB" "bound MB" "RSS <= bound"
    for t in "${CACHE_TOOLS[@]}"; do
      mib=${t#cache-}
      w=$(stat_of "$c" cache "$t" 5 median)
      m=$(stat_of "$c" cache "$t" 8 max)
      RSS[$c,cache,$t]=$m
      b=$(bound_kb "$mib" "$c")
      fails=$(failures "$c" cache "$t")
      note=""
      [ "$fails" -gt 0 ] && note="  ($fails run(s) FAILED)"
      printf '  %-16s %8.3f %8.1f %9.1f  %s%s\n' "--cache-size $mib" "$w" "$(calc %.1f "$m / 1024")" \
        "$(calc %.1f "$b / 1024")" "$(verdict "$(calc %d "$m <= $b")")" "$note"
    done
    echo
  done

  if [ -n "$ZAMO_CLI_BEFORE" ]; then
    echo "Before and after (same run): time of ZAMO_CLI over ZAMO_CLI_BEFORE's, medians (below 1: faster now)"
    # after_before OP AFTER BEFORE: "ratio (after s / before s)" on corpus $c
    after_before() {
      local a=${WALL[$c,$1,$2]} b=${WALL[$c,$1,$3]}
      printf '%s (%.3f s / %.3f s)' "$(ratio "$a" "$b")" "$a" "$b"
    }
    for c in $CORPORA; do
      printf '  %-5s threaded save %s, quick save %s, --print-size %s\n' "$c" "$(after_before save zamo-cli before)" \
        "$(after_before save zamo-quick before-quick)" "$(after_before size zamo-cli before)"
    done
    echo
  fi
  echo "Targets"
  # meets CORPUS TOOL: 1 when that save has >= 0.9 times tar's throughput and
  # beats both ISO peers on the corpus.
  meets() {
    local z=${WALL[$1,save,$2]}
    calc %d "${WALL[$1,save,tar]} / $z >= 0.9 && ${WALL[$1,save,genisoimage]} > $z && ${WALL[$1,save,xorriso]} > $z"
  }
  # save_line CORPUS TOOL: the three ratios of one save.
  save_line() {
    local z=${WALL[$1,save,$2]}
    echo "throughput/tar $(ratio "${WALL[$1,save,tar]}" "$z")x, genisoimage $(ratio "${WALL[$1,save,genisoimage]}" "$z")x," \
      "xorriso $(ratio "${WALL[$1,save,xorriso]}" "$z")x: $(verdict "$(meets "$1" "$2")")"
  }
  if has_corpus big; then
    echo "  threaded save, big corpus (aim: throughput >= 0.9x tar's, faster than both peers):"
    echo "    zamo-cli   $(save_line big zamo-cli)"
    # The floor: cat of the same files into one file, medians of the same run.
    echo "  big corpus over the cat floor (aim: median time at most 1.3x cat's):"
    for t in zamo-cli zamo-quick; do
      r=$(ratio "${WALL[big,save,$t]}" "${WALL[big,save,cat]}")
      printf '    %-10s %sx (%.3f s / %.3f s): %s\n' "$t" "$r" "${WALL[big,save,$t]}" "${WALL[big,save,cat]}" \
        "$(verdict "$(calc %d "$r <= 1.3")")"
    done
  fi
  echo "  image build, every corpus (aim: throughput >= 0.9x tar's, faster than both peers; peer ratios are peer time / zamo time):"
  all_t=1 all_q=1
  for c in $CORPORA; do
    echo "    $c"
    echo "      zamo-cli   $(save_line "$c" zamo-cli)"
    echo "      zamo-quick $(save_line "$c" zamo-quick)"
    [ "$(meets "$c" zamo-cli)" = 1 ] || all_t=0
    [ "$(meets "$c" zamo-quick)" = 1 ] || all_q=0
  done
  case $all_t$all_q in
    11) who="both saves" ;;
    10) who="the threaded save (zamo-cli) only" ;;
    01) who="the quick save (zamo-quick) only" ;;
    *) who="neither save" ;;
  esac
  echo "    on every corpus: $(verdict "$(( all_t | all_q ))"), by $who"
  if has_corpus tiny; then
    z=${WALL[tiny,size,zamo-cli]}
    r_gen=$(ratio "${WALL[tiny,size,genisoimage]}" "$z")
    r_xor=$(ratio "${WALL[tiny,size,xorriso]}" "$z")
    echo "  tiny --print-size ($((FILES[tiny] + DIRS[tiny])) entries): genisoimage time / zamo ${r_gen}x," \
      "xorriso ${r_xor}x (aim > 1): $(verdict "$(calc %d "$r_gen > 1 && $r_xor > 1")")"
  fi
  echo "  both saves against tar, every corpus (aim: tar's time / the save's >= 1, of the medians and of the best runs):"
  for c in $CORPORA; do
    for t in zamo-cli zamo-quick; do
      med=$(ratio "${WALL[$c,save,tar]}" "${WALL[$c,save,$t]}")
      best=$(ratio "$(stat_of "$c" save tar 5 min)" "$(stat_of "$c" save "$t" 5 min)")
      printf '    %-8s %-10s median %sx, best %sx: %s\n' "$c" "$t" "$med" "$best" \
        "$(verdict "$(calc %d "$med >= 1 && $best >= 1")")"
    done
  done
  echo "  memory of the threaded save (aim: max RSS <= cache + head window + tree + 64 MiB, the tree being --print-size's RSS):"
  for c in $CORPORA; do
    for t in "${CACHE_TOOLS[@]}"; do
      mib=${t#cache-}
      m=${RSS[$c,cache,$t]}
      b=$(bound_kb "$mib" "$c")
      printf '    %-5s --cache-size %-4s RSS %7.1f MB, bound %7.1f MB (%s MiB + head window %s MB + tree %s MB + 64 MiB), RSS/bound %s: %s\n' \
        "$c" "$mib" "$(calc %.1f "$m / 1024")" "$(calc %.1f "$b / 1024")" "$mib" \
        "$(calc %.1f "$(head_window "$c") / $MIB")" "$(calc %.1f "${RSS[$c,size,zamo-cli]} / 1024")" \
        "$(ratio "$m" "$b")" "$(verdict "$(calc %d "$m <= $b")")"
    done
  done
  echo
  # --print-size builds the same tree and layout without saving: its RSS is
  # what the tree costs; the save adds its cache, the head window and the rest.
  echo "Memory and the number of files (the compilation tree lives in memory too; --print-size holds it without saving)"
  t=${CACHE_TOOLS[0]}
  mib=${t#cache-}
  for c in $CORPORA; do
    p=${RSS[$c,size,zamo-cli]} m=${RSS[$c,cache,$t]}
    rest=$(calc %.0f "$m - $p - ($mib * $MIB + $(head_window "$c")) / 1024")
    n=$((FILES[$c] + DIRS[$c]))
    echo "  $c: $n entries; --print-size $(calc %.1f "$p / 1024") MB;" \
      "threaded save (--cache-size $mib) $(calc %.1f "$m / 1024") MB = tree (print-size) + cache $mib MiB" \
      "+ head window $(calc %.1f "$(head_window "$c") / $MIB") MB (of the head's $(calc %.1f "${HEAD[$c]} / $MIB") MB)" \
      "+ other $(calc %+.1f "$rest / 1024") MB"
    # Per entry: the whole RSS over the entries (what the aim of 0.35 KB is
    # measured by), and the tree's share of the save's.
    # The aim is set for the tiny-file corpora, where the tree is most of the
    # memory; on the others (long names, large files) the figure is shown only.
    case $c in
      tiny | tiny600) aim="aim <= 0.35 KB: $(verdict "$(calc %d "$m / $n <= 0.35")")" ;;
      *) aim="the aim of 0.35 KB is for the tiny-file corpora" ;;
    esac
    echo "    per entry: threaded save $(calc %.3f "$m / $n") KB ($aim)," \
      "of it the tree (--print-size) $(calc %.3f "$p / $n") KB and the head window $(calc %.3f "$(head_window "$c") / 1024 / $n") KB"
    if [ -n "$ZAMO_CLI_BEFORE" ]; then
      echo "    ZAMO_CLI_BEFORE: threaded save $(calc %.3f "${RSS[$c,save,before]} / $n") KB," \
        "quick save $(calc %.3f "${RSS[$c,save,before-quick]} / $n") KB, --print-size $(calc %.3f "${RSS[$c,size,before]} / $n") KB an entry;" \
        "this build's quick save $(calc %.3f "${RSS[$c,save,zamo-quick]} / $n") KB"
    fi
  done
  if has_corpus big && has_corpus tiny && [ $((FILES[tiny] + DIRS[tiny])) -gt $((FILES[big] + DIRS[big])) ]; then
    eb=$((FILES[big] + DIRS[big])) et=$((FILES[tiny] + DIRS[tiny]))
    per() { calc %+.2f "($1 - $2) / ($et - $eb)"; }
    echo "  tiny over big: x$(calc %.0f "$et / $eb") the entries, x$(ratio "${BYTES[tiny]}" "${BYTES[big]}") the data;" \
      "RSS x$(ratio "${RSS[tiny,cache,$t]}" "${RSS[big,cache,$t]}") while saving." \
      "Per extra entry: --print-size $(per "${RSS[tiny,size,zamo-cli]}" "${RSS[big,size,zamo-cli]}") KB," \
      "save $(per "${RSS[tiny,cache,$t]}" "${RSS[big,cache,$t]}") KB (the head grows by $(calc %.2f "(${HEAD[tiny]} - ${HEAD[big]}) / 1024 / ($et - $eb)") KB an entry, generated, not held)"
  fi
  echo
  awk -F'\t' 'NR > 1 { b += $10 } END {
    printf "Read from disk during the timed runs: %.1f MB (0: every run found the corpus in the page cache)\n\n", b * 512 / 1e6
  }' "$RESULTS"
  echo "Sanity (untimed)"
  for line in "${SANITY[@]}"; do echo "  $line"; done
  echo
  echo "Raw runs: $RESULTS"
} | tee "$REPORT"
