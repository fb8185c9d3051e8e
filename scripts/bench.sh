#!/usr/bin/env bash
# Builds the benchmarks in a Release build and runs them. Extra arguments go
# to Google Benchmark (e.g. --benchmark_filter=Ingest).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPITWALL_BUILD_BENCHMARKS=ON \
  -DPITWALL_BUILD_TESTS=OFF -DPITWALL_BUILD_TOOLS=OFF >/dev/null
cmake --build build-bench -j2 --target pitwall_benchmarks
./build-bench/bench/pitwall_benchmarks "$@"
