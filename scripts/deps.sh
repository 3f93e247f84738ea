#!/usr/bin/env bash
# Installs the Debian packages a task needs, skipping what is installed
# already. One argument names the profile:
#   full     (default) everything CI builds and runs: both compilers, the
#            linters, GoogleTest, Google Benchmark, the preview's libraries,
#            and mingw-w64, Wine and Xvfb for the Windows build and its tests
#   preview  only what scripts/preview.sh builds and runs: CMake, Ninja, g++
#            and the preview's image and font libraries
# KESTRA_WITH_OPENCV=1 adds OpenCV (the benchmarks' comparison cases).
set -euo pipefail
profile="${1:-full}"
preview_packages=(cmake ninja-build g++ libstb-dev libfreetype-dev fonts-dejavu-core)
case "$profile" in
  preview)
    packages=("${preview_packages[@]}")
    ;;
  full)
    packages=("${preview_packages[@]}" clang clang-format clang-tidy libomp-14-dev libclang-rt-14-dev
              libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
              g++-mingw-w64-x86-64-posix wine64 xvfb)
    if [ "${KESTRA_WITH_OPENCV:-0}" = 1 ]; then packages+=(libopencv-dev); fi
    ;;
  *)
    echo "deps.sh: unknown profile '$profile' (full or preview)" >&2
    exit 2
    ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The full profile brings recommended packages too: Wine's X11 driver needs
# the X libraries (XRender, XRandR, XInput ...) that wine only recommends.
# The preview needs nothing that is only recommended.
recommends=()
[ "$profile" = full ] || recommends=(--no-install-recommends)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ($profile): ${missing[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
fi
