#!/bin/bash
# fuzz-import.sh: fuzzes the reading of a session's file system (Joliet and
# ISO 9660 directory trees, as imported from a disc) with libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer, and prints what it did.
#
# Usage: bench/fuzz-import.sh [SECONDS]      (default 300: five minutes)
# Environment: BUILD (default build-fuzz), JOBS (default 2).
#
# It installs clang when it is missing, builds bench/fuzz's target with it,
# makes seed discs (images of small trees by zamo-cli, and by genisoimage and
# xorriso when they are there, cut to their descriptors and directories),
# then runs the fuzzer for the given time on one core. The corpus it grows is
# kept in BUILD/fuzz-corpus for the next run; crashes, leaks, time-outs and
# sanitizer findings go to BUILD/fuzz-findings/. Exit status: 0 no finding,
# 1 findings (listed), 2 usage or build failure.
set -u

seconds=${1:-300}
case $seconds in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/${BUILD:-build-fuzz}
jobs=${JOBS:-2}

if ! command -v clang++ >/dev/null; then
  echo "fuzz-import: installing clang" >&2
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null || {
    echo "fuzz-import: clang could not be installed" >&2
    exit 2
  }
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZAMO_FUZZ=ON -DZAMO_SANITIZE=ON -DZAMO_BUILD_TESTS=OFF >/dev/null || exit 2
cmake --build "$build" -j"$jobs" --target zamo_fuzz_import zamo-cli >/dev/null || {
  echo "fuzz-import: the build failed (run: cmake --build $build --target zamo_fuzz_import)" >&2
  exit 2
}

# Seed discs: sectors 16 to 47 of small images (the fuzzer's input starts at
# sector 16, where the descriptor set is).
seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
findings=$build/fuzz-findings
mkdir -p "$seeds" "$corpus" "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/Dossier d'été/sous dossier" "$work/tree/vide" "$work/deep/a/b/c/d/e"
printf 'bonjour\n' > "$work/tree/Lisez-moi.txt"
printf 'x' > "$work/tree/Dossier d'été/un nom de fichier assez long pour Joliet.txt"
: > "$work/tree/Dossier d'été/sous dossier/vide.bin"
printf 'readme' > "$work/tree/readme"
printf 'deep' > "$work/deep/a/b/c/d/e/f.txt"
for i in $(seq 1 60); do printf '%s' "$i" > "$work/tree/vide/fichier numéro $i.txt"; done
make_seed() {  # NAME COMMAND...
  local name=$1
  shift
  # The tools are built with the sanitizers too: only their image matters here.
  if ASAN_OPTIONS=detect_leaks=0 "$@" >/dev/null 2>&1 && [ -s "$work/seed.iso" ]; then
    dd if="$work/seed.iso" of="$seeds/$name" bs=2048 skip=16 count=32 status=none
  fi
  rm -f "$work/seed.iso"
}
cli=$build/cli/zamo-cli
for src in tree deep; do
  make_seed "zamo-$src" "$cli" mkiso -o "$work/seed.iso" "$work/$src/"
  make_seed "zamo-iso-$src" "$cli" mkiso --no-joliet -o "$work/seed.iso" "$work/$src/"
  if command -v genisoimage >/dev/null; then
    make_seed "genisoimage-$src" genisoimage -quiet -J -r -input-charset utf-8 -o "$work/seed.iso" "$work/$src"
  fi
  if command -v xorriso >/dev/null; then
    make_seed "xorriso-$src" xorriso -as mkisofs -J -quiet -o "$work/seed.iso" "$work/$src"
  fi
done
echo "fuzz-import: $(ls "$seeds" | wc -l) seed discs, $(ls "$corpus" | wc -l) inputs kept from earlier runs" >&2

before=$(ls "$findings" | wc -l)
log=$build/fuzz-import.log
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/bench/fuzz/zamo_fuzz_import" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds" > "$log" 2>&1
status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
after=$(ls "$findings" | wc -l)
echo "fuzz-import: ${seconds} s, ${executions:-?} executions (${rate:-?}/s), $(ls "$corpus" | wc -l) inputs in the corpus"
echo "fuzz-import: last status line: ${last:-none}"
if [ "$after" -gt "$before" ] || [ $status -ne 0 ]; then
  echo "fuzz-import: FINDINGS (fuzzer status $status) in $findings:"
  ls -l "$findings"
  grep -E 'ERROR: |SUMMARY: |runtime error' "$log" | head -n 20
  exit 1
fi
echo "fuzz-import: no findings (log: $log)"
exit 0
