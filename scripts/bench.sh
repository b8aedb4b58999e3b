#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints its ratio against a baseline
# measured in the same run. Reports only, never fails on a ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build/bench -DCMAKE_BUILD_TYPE=Release -DCORVANTIX_TESTS=ON -DCORVANTIX_BENCH=ON
for program in build/bench/bench/*_bench; do
  echo "== $(basename "$program")"
  "$program" || echo "$(basename "$program"): did not complete"
done
