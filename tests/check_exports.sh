#!/usr/bin/env bash
# Fails unless the module's dynamic symbol table defines exactly the four
# host entry points (plus the linker's own version-less markers).
set -euo pipefail
lib="$1"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort)
expected=$(printf '%s\n' GetPluginName GetPluginObjectCount GetPluginObjectInfo GetPluginVersion)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the four entry points:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: the four entry points only"
