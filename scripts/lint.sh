#!/usr/bin/env bash
# Checks formatting (clang-format) and the repo's clang-tidy checks on the
# project's own sources. Needs a configured linux build for compile_commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
[ -f "$build/compile_commands.json" ] || cmake --preset linux >/dev/null

mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'apps/*.cpp' 'apps/*.h' 'client/*.cpp' 'client/*.h' 'tests/*.cpp' 'tests/*.h' 'tests/*.c' 'bench/*.cpp' 'bench/*.h')
echo "clang-format: ${#files[@]} files"
clang-format --dry-run --Werror "${files[@]}"

# clang-tidy on the Linux translation units of the product, the client and
# the tools (kestra-demo's main is Windows only).
mapfile -t units < <(git ls-files 'src/*.cpp' 'apps/*.cpp' 'client/*.cpp' | grep -v -e '^src/platform/windows/' -e '^apps/demo/main.cpp$')
echo "clang-tidy: ${#units[@]} translation units"
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet 2>/dev/null
echo "lint: clean"
