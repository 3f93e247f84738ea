#!/usr/bin/env bash
# Builds every preset and runs every test: the Linux build, the sanitizer
# build, and the Windows executable and its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

for preset in linux linux-asan windows; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

for preset in linux linux-asan; do
  echo "=== test: $preset"
  ctest --preset "$preset" -j "$jobs"
done

if [ -x scripts/wine-tests.sh ]; then
  echo "=== test: windows (Wine)"
  bash scripts/wine-tests.sh
fi
