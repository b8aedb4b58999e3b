#!/usr/bin/env bash
# Sets up the machine, builds twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of both builds; then builds
# the fuzz targets with clang and runs each for a bounded time. The ctest
# summaries come last.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check-format.sh

scripts/build.sh build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIX_TESTS=ON -DCORVANTIX_BENCH=ON
scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DCORVANTIX_SANITIZE=ON -DCORVANTIX_TESTS=ON
# The libFuzzer targets (clang, with ASan and UBSan); the whole tree builds
# with clang there as well.
CC=clang CXX=clang++ scripts/build.sh build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANTIX_FUZZ=ON -DCORVANTIX_TESTS=OFF

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
failures=()
# Each fuzz target for a bounded time from its seeds; a crash, leak,
# sanitizer report or slow input fails the run (the input is kept in
# build/fuzz/artifacts).
mkdir -p build/fuzz/artifacts
fuzz_targets=()
for program in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$program" ] && fuzz_targets+=("$(basename "$program")")
done
pids=()
for target in "${fuzz_targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  "build/fuzz/tests/fuzz/$target" -max_total_time=20 -timeout=10 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "$corpus" "tests/fuzz/seeds/$target" \
    > "build/fuzz/$target.log" 2>&1 &
  pids+=($!)
done
for i in "${!fuzz_targets[@]}"; do
  target=${fuzz_targets[$i]}
  if wait "${pids[$i]}"; then
    echo "== fuzzing $target: no finding"
  else
    echo "== fuzzing $target: FAILED"
    failures+=("fuzzing $target")
    tail -n 60 "build/fuzz/$target.log"
    status=1
  fi
done
for tree in build/plain build/asan; do
  echo "== tests of $tree"
  if ! ctest --test-dir "$tree" -j "$(nproc)" --output-on-failure --timeout 300; then
    status=1
    while IFS= read -r failed; do
      failures+=("$tree: $failed")
    done < <(cat "$tree/Testing/Temporary/LastTestsFailed.log" 2>/dev/null)
  fi
done
# Whatever failed, named again at the very end where a short tail shows it.
if [ $status -ne 0 ]; then
  for failure in "${failures[@]}"; do
    echo "failed: $failure" >&2
  done
  echo "test: FAILED" >&2
fi
exit $status
