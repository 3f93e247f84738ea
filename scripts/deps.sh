#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the preview need,
# skipping what is installed already.
set -euo pipefail
packages=(cmake ninja-build g++ clang clang-format clang-tidy libomp-14-dev libclang-rt-14-dev
          libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libstb-dev libfreetype-dev fonts-dejavu-core
          g++-mingw-w64-x86-64-posix wine64 xvfb)
if [ "${KESTRA_WITH_OPENCV:-0}" = 1 ]; then packages+=(libopencv-dev); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Recommended packages come too: Wine's X11 driver needs the X libraries
# (XRender, XRandR, XInput ...) that wine only recommends.
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
