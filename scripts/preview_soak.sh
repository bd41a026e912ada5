#!/usr/bin/env bash
# A long tvcam preview with a headless browser attached and the simulated
# camera's faults on; checks that process memory and the driver's pool stay
# flat and that the preview stops without a leak report. Not part of the
# test suite (it runs for minutes).
#   scripts/preview_soak.sh [BUILD_DIR] [SECONDS] [RSS_BOUND_MIB]
# BUILD_DIR defaults to build/debug (AddressSanitizer, so leaks at shutdown
# are reported); its quarantine is kept small so that memory growth shows.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
build="${1:-build/debug}"
install_browser_test "$build"
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=8}"
NODE_PATH="$build/browser/node_modules" exec node tests/browser/preview_soak.js "$build/tools/tvcam" \
  "$build/browser/soak" "${2:-600}" "${3:-48}"
