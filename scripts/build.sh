#!/usr/bin/env bash
# build.sh <folder> [cmake options...]: configures and builds one tree.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
cmake -S . -B "$dir" -G Ninja "$@" > /dev/null
cmake --build "$dir" -j "$(nproc)"
