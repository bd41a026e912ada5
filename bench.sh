#!/usr/bin/env bash
# Builds the release preset and runs every benchmark program, writing Google
# Benchmark JSON into out/bench/ (one file per program). The debayer
# benchmark compares against OpenCV's Bayer conversion when libopencv-dev is
# installed; it is installed here when missing. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libjpeg-dev libopencv-dev

cmake --preset release >/dev/null
programs=()
for src in bench/*.cpp; do
  programs+=("$(basename "${src%.cpp}")")
done
# TV_BUILD_JOBS limits the build on shared machines.
cmake --build build/release --target "${programs[@]}" ${TV_BUILD_JOBS:+-j "$TV_BUILD_JOBS"}

mkdir -p out/bench
for p in "${programs[@]}"; do
  echo "== $p"
  "build/release/bench/$p" --benchmark_out="out/bench/$p.json" --benchmark_out_format=json \
    ${TV_BENCH_ARGS:-}
done
