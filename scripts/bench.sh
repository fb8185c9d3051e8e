#!/usr/bin/env bash
# Builds the benchmarks in a Release build and runs them. Extra arguments go
# to Google Benchmark (e.g. --benchmark_filter=Ingest).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench --target pitwall_benchmarks
./build-bench/bench/pitwall_benchmarks "$@"
