#!/usr/bin/env bash
# Checks the formatting, then builds everything and runs every test: the
# normal Linux build, the same tests under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer
# (clang, which also checks the thread-safety annotations), then the
# Windows DLLs: 64-bit with its tests under Wine, 32-bit checked by
# its exports, imports and vtables, and the 32-bit object layout run under
# qemu-i386.
# Usage: ./build.sh [--quick]   (--quick: the normal Linux build only)
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
echo "=== format"
./scripts/check-format.sh

jobs=2
run() {
  local preset=$1 dir=$2; shift 2
  echo "=== $preset: configure"
  cmake --preset "$preset" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  echo "=== $preset: build"
  cmake --build "$dir" -j"$jobs"
  echo "=== $preset: test"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
}

run linux build
if [ "${1:-}" != "--quick" ]; then
  run asan build-asan
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run tsan build-tsan
  # SQLite and cpp-httplib for pitwall.exe, from Debian's source packages.
  ./scripts/get-sqlite-source.sh
  ./scripts/get-httplib-source.sh
  # Wine keeps its own prefix in the build tree; a fresh one takes ~10 s.
  WINEPREFIX="$PWD/build-win64/wineprefix" WINEDEBUG=-all \
  run win64 build-win64 -DPITWALL_LINUX_CLIENT="$PWD/build/tools/client/pitwall"
  run win32 build-win32
  run linux-i386 build-linux-i386
fi
echo "=== all tests passed"
