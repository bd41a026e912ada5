#!/usr/bin/env bash
# Installs what is missing, builds the debug (sanitizer) preset and runs the
# whole test suite with CTest. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libjpeg-dev \
  libxml2-utils libbson-dev libaravis-dev libusb-1.0-0-dev \
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev

preset="${TV_TEST_PRESET:-debug}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"

# Further checks registered by the cross build (if present).
if [ -x scripts/check_windows_build.sh ] && [ "$preset" = debug ]; then
  scripts/check_windows_build.sh
fi
