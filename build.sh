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

# Each build is a workflow preset (CMakePresets.json): its configure
# settings, its environment (TSan's options, Wine's prefix), its build and
# its tests (2 jobs, 300 s for a test that sets no time of its own).
run() {
  echo "=== $1"
  cmake --workflow --preset "$1"
}

run linux
if [ "${1:-}" != "--quick" ]; then
  run asan
  run tsan
  # SQLite and cpp-httplib for pitwall.exe, from Debian's source packages.
  ./scripts/get-sqlite-source.sh
  ./scripts/get-httplib-source.sh
  run win64
  run win32
  run linux-i386
fi
echo "=== all tests passed"
