#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# with AddressSanitizer and UndefinedBehaviorSanitizer (preset debug), and
# optimised without sanitizers (preset release-test), where faults that only
# timing shows come out. Then cross-builds and checks the Windows driver.
# TV_TEST_PRESET=<preset> builds and runs that preset alone (for example
# tsan). Safe to run again.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libjpeg-dev \
  libxml2-utils libbson-dev libaravis-dev libusb-1.0-0-dev \
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
  libcpp-httplib-dev nlohmann-json3-dev libcli11-dev chromium nodejs
# Node.js packages built elsewhere bring npm along; Debian's needs its own.
command -v npm >/dev/null || ensure_packages npm

for preset in ${TV_TEST_PRESET:-debug release-test}; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  install_browser_test "build/$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$(nproc)"
done

# The cross build checks the driver against the stand-in of the debug build.
if [ -z "${TV_TEST_PRESET:-}" ]; then
  scripts/check_windows_build.sh
fi
