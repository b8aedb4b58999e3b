#!/usr/bin/env bash
# Fails when a C or C++ source is not formatted by the root .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.c')
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
[ ${#existing[@]} -eq 0 ] && exit 0
if ! clang-format --dry-run --Werror "${existing[@]}"; then
  echo "check-format: run clang-format -i on the files above" >&2
  exit 1
fi
