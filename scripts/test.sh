#!/usr/bin/env bash
# Builds every preset and runs every test: the Linux build, the sanitizer
# build, and the Windows executable and its tests under Wine. Ends with one
# line that sums up every test run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh full
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# linux-nosimd builds only the suites whose code has vector kernels (the
# blur, the pixel passes and the engine that runs both), with the portable
# scalar kernels alone; its test preset runs just those suites.
for preset in linux linux-asan linux-nosimd windows; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

echo "=== lint"
bash scripts/lint.sh build/linux

status=0
for preset in linux linux-asan linux-nosimd; do
  echo "=== test: $preset"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee -a "$log" || status=1
done

echo "=== test: windows (Wine)"
bash scripts/wine-tests.sh 2>&1 | tee -a "$log" || status=1

# ctest: "N% tests passed, F tests failed out of T"; GoogleTest under Wine:
# "[  PASSED  ] N tests." and "[  FAILED  ] N tests, listed below:".
total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log" | awk '{s+=$1} END {print s+0}')
failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of .*/\1/p' "$log" | awk '{s+=$1} END {print s+0}')
wine_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | awk '{s+=$1} END {print s+0}')
wine_failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log" | awk '{s+=$1} END {print s+0}')
passed=$(( ${total:-0} - ${failed:-0} + ${wine_passed:-0} ))
failed=$(( ${failed:-0} + ${wine_failed:-0} ))
[ "$status" = 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "all: $passed passed, $failed failed"
exit "$status"
