# bench/lib.sh: what the bench scripts share, sourced by them (never run):
# their messages, the corpora, the first files of the big corpus,
# the build of a desktop driver, and interleaved timed runs with their
# medians. A script sets nothing before sourcing it; it defines ROOT, BENCH
# and CORPUS_DIR (from the environment when set) and exports LC_ALL.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH=$ROOT/bench
CORPUS_DIR=${CORPUS_DIR:-$BENCH/corpus}
BENCH_SCRIPT=$(basename "$0")
export LC_ALL=C.UTF-8

say() { printf '%s\n' "$*" >&2; }
die() { say "$BENCH_SCRIPT: $*"; exit 1; }

# corpus NAME [ARGS...]: the folder of that corpus, generated first when
# missing (gen_corpus.py NAME FOLDER ARGS...).
corpus() {
  local name=$1 folder=$CORPUS_DIR/$1
  shift
  if [ ! -d "$folder" ]; then
    say "Generating the $name corpus in $folder"
    mkdir -p "$CORPUS_DIR"
    python3 "$BENCH/gen_corpus.py" "${name%%-*}" "$folder" "$@" || die "cannot generate $folder"
  fi
  printf '%s\n' "$folder"
}

# select_mib N: FILES := the first files of the big corpus in name order,
# up to N MiB (600 for the burns and jobs measured); BYTES := their size.
select_mib() {
  local big f all
  big=$(corpus big)
  mapfile -d '' all < <(find "$big" -type f -print0 | sort -z)
  FILES=()
  BYTES=0
  for f in "${all[@]}"; do
    [ "$BYTES" -ge $(($1 * 1048576)) ] && break
    FILES+=("$f")
    BYTES=$((BYTES + $(stat -c %s "$f")))
  done
}

# build_driver BUILD_DIR TARGET [TARGET...]: configures bench/ (the project
# and the desktop program's drivers, Release, no tests) in BUILD_DIR and
# builds the targets and zamo-cli; DRIVER := the first target's program,
# CLI := zamo-cli's.
build_driver() {
  local build=$1 target=$2
  shift
  say "Building $* and zamo-cli in $build (Release)"
  mkdir -p "$build"
  # A folder configured from another source (a driver's own folder, once)
  # is configured afresh.
  if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$BENCH" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
  fi
  if ! { cmake -S "$BENCH" -B "$build" -DCMAKE_BUILD_TYPE=Release &&
         cmake --build "$build" -j"$(nproc)" --target "$@" zamo-cli; } >"$build/build.log" 2>&1; then
    tail -30 "$build/build.log" >&2
    die "the build failed (log: $build/build.log)"
  fi
  DRIVER=$build/$target
  CLI=$build/zamo/cli/zamo-cli
}

# interleave REPEAT WAY...: calls `run_way WAY RUN` (the script's) for every
# way, REPEAT rounds, each round beginning one way further along, so that no
# way always runs first or right after the same other.
interleave() {
  local repeat=$1 run i n
  shift
  local ways=("$@")
  n=${#ways[@]}
  for run in $(seq 1 "$repeat"); do
    say "run $run/$repeat"
    for i in $(seq 0 $((n - 1))); do
      run_way "${ways[$(( (i + run - 1) % n ))]}" "$run"
    done
  done
}

# timed RESULTS WAY RUN COMMAND...: runs COMMAND (its output to /dev/null)
# and appends "WAY RUN WALL_S" (tab-separated) to RESULTS; COMMAND's status.
timed() {
  local results=$1 way=$2 run=$3 t0 t1 rc=0
  shift 3
  t0=$(date +%s%N)
  "$@" >/dev/null || rc=$?
  t1=$(date +%s%N)
  printf '%s\t%s\t%s\n' "$way" "$run" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')" >>"$results"
  return $rc
}

# stat_of RESULTS WAY median|min|max: of the third column of WAY's rows.
stat_of() {
  awk -F'\t' -v w="$2" 'NR > 1 && $1 == w { print $3 }' "$1" | sort -g |
    awk -v how="$3" '{ a[NR] = $1 } END {
      if (NR == 0) print "nan"; else if (how == "min") print a[1]; else if (how == "max") print a[NR]
      else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# machine_line: cores, kernel and load, for a report's header.
machine_line() { echo "machine: $(nproc) cores, kernel $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"; }
