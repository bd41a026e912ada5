#!/usr/bin/env bash
# Builds what is needed and runs the main demonstration: 30 frames from the
# default simulated camera, through the driver, as PNG files in out/.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libpng-dev

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV_BUILD_TESTS=OFF >/dev/null
cmake --build build/run --target tvcam
mkdir -p out
rm -f out/frame_*.png out/frame_*.jpg out/frame_*.raw  # frames of an earlier run
build/run/tools/tvcam formats | tee out/formats.txt
build/run/tools/tvcam capture --format YUY2 --frames 30 --out out | tee out/capture.txt
echo "frames written to $(pwd)/out/ (frame_00000.png .. frame_00029.png)"
