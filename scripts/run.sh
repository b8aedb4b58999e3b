#!/usr/bin/env bash
# Sets up the machine, builds the system and runs the service in the
# foreground until it is told to end (Ctrl-C, or a Suicide instruction).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIX_TESTS=OFF

# Unless told otherwise, everything the system writes stays in ./run.
export CORVANTIX_ROOT="${CORVANTIX_ROOT:-$PWD/run}"
mkdir -p "$CORVANTIX_ROOT"
echo "run: data folder $CORVANTIX_ROOT/ProgramData/VondelCorvantix"
echo "run: listening on https://127.0.0.1 and https://[::1], ports 56417 56517 56617"
echo "run: pages trust it through certs/root-ecdsa.pem (certs/root-rsa.pem on old systems)"
exec build/run/service/VondelCorvantix 0
