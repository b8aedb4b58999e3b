#!/usr/bin/env bash
# Sets up the machine, builds twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check-format.sh

scripts/build.sh build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIX_TESTS=ON
scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DCORVANTIX_SANITIZE=ON -DCORVANTIX_TESTS=ON

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for tree in build/plain build/asan; do
  echo "== tests of $tree"
  ctest --test-dir "$tree" -j "$(nproc)" --output-on-failure --timeout 300 || status=1
done
if [ $status -ne 0 ]; then
  echo "test: FAILED" >&2
fi
exit $status
