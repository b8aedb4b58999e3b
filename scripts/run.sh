#!/usr/bin/env bash
# Sets up the machine, builds the system and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIX_TESTS=OFF

# Unless told otherwise, everything the system writes stays in ./run.
export CORVANTIX_ROOT="${CORVANTIX_ROOT:-$PWD/run}"
mkdir -p "$CORVANTIX_ROOT"
exec build/run/tools/CorvantixProbe "$@"
