#!/usr/bin/env bash
# Builds the release preset and runs every benchmark program, writing Google
# Benchmark JSON into out/bench/ (one file per program), then prints the
# summary: each image kernel beside its OpenCV peer from the same run, the
# ratio, and its bandwidth beside memcpy of the same bytes (also written to
# out/bench/summary.json). OpenCV (libopencv-dev) is only the benchmarks'
# peer; it is installed here when missing. Safe to run again.
#
# TV_BUILD_JOBS limits the build on shared machines; TV_BENCH_REPETITIONS
# (default 5) sets the repetitions whose median the summary takes;
# TV_BENCH_ARGS are passed to every program.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libjpeg-dev libopencv-dev \
  python3

cmake --preset release >/dev/null
programs=()
for src in bench/*.cpp; do
  programs+=("$(basename "${src%.cpp}")")
done
cmake --build build/release --target "${programs[@]}" ${TV_BUILD_JOBS:+-j "$TV_BUILD_JOBS"}

mkdir -p out/bench
rm -f out/bench/*.json
for p in "${programs[@]}"; do
  echo "== $p"
  "build/release/bench/$p" --benchmark_out="out/bench/$p.json" --benchmark_out_format=json \
    --benchmark_repetitions="${TV_BENCH_REPETITIONS:-5}" --benchmark_report_aggregates_only=true \
    ${TV_BENCH_ARGS:-}
done
echo
python3 bench/summary.py out/bench
