#!/usr/bin/env bash
# Builds what is needed and runs the main demonstration into out/.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV_BUILD_TESTS=OFF >/dev/null
cmake --build build/run --target tvcam
mkdir -p out
build/run/tools/tvcam formats --size 640x480 | tee out/formats.txt
