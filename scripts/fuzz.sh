#!/usr/bin/env bash
# fuzz.sh [-t seconds] [target...]: builds the libFuzzer targets with clang
# (build/fuzz, as scripts/test.sh does) and fuzzes each named target (all by
# default) side by side for the given time. Each corpus stays in
# build/fuzz/corpus/<target> between runs: before a run it is merged with the
# target's seeds and cut down to the inputs that add coverage. Fails when a
# target finds something; the input is kept in build/fuzz/artifacts. Needs
# the packages scripts/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh [-t seconds (default 300)] [target...]" >&2
  exit 2
}

seconds=300
while getopts "t:h" option; do
  case $option in
    t) seconds=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage

CC=clang CXX=clang++ scripts/build.sh build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANTIX_FUZZ=ON -DCORVANTIX_TESTS=OFF

all=()
for program in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$program" ] && all+=("$(basename "$program")")
done
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
for target in "${targets[@]}"; do
  if [ ! -x "build/fuzz/tests/fuzz/$target" ]; then
    echo "fuzz: no target $target (targets: ${all[*]})" >&2
    usage
  fi
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p build/fuzz/artifacts build/fuzz/logs

# The kept corpus and the seeds, merged into a fresh folder that then takes
# the corpus's place.
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  rm -rf "$corpus.new"
  mkdir "$corpus.new"
  "build/fuzz/tests/fuzz/$target" -merge=1 "$corpus.new" "$corpus" "tests/fuzz/seeds/$target" \
    > "build/fuzz/logs/$target.merge.log" 2>&1
  rm -rf "$corpus"
  mv "$corpus.new" "$corpus"
done

echo "fuzz: ${targets[*]} for $seconds s each"
pids=()
for target in "${targets[@]}"; do
  "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "build/fuzz/corpus/$target" \
    > "build/fuzz/logs/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  log=build/fuzz/logs/$target.log
  if wait "${pids[$i]}"; then
    echo "== $target: no finding; $(grep -E '^#[0-9]+' "$log" | tail -n 1 | tr -s '\t ' ' ')"
  else
    echo "== $target: FAILED (log: $log)"
    tail -n 60 "$log"
    status=1
  fi
done
exit $status
