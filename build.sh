#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the same
# tests under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer (clang, which also checks the thread-safety annotations).
# Usage: ./build.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=2
run() {
  local dir=$1; shift
  echo "=== $dir: configure"
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  echo "=== $dir: build"
  cmake --build "$dir" -j"$jobs"
  echo "=== $dir: test"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
}

run build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPITWALL_BUILD_BENCHMARKS=ON
if [ "${1:-}" != "--quick" ]; then
  run build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DPITWALL_SANITIZE=address
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DPITWALL_SANITIZE=thread
fi
echo "=== all tests passed"
