#!/usr/bin/env bash
# Fails unless the Windows module exports exactly the four host entry points
# under their plain names (no leading underscore, no @N) and imports nothing
# but system DLLs (no MinGW runtime a user's machine lacks).
# Usage: check_dll.sh OBJDUMP PitwallFeedPlugin.dll
set -euo pipefail
objdump=$1
dll=$2
headers=$("$objdump" -p "$dll")

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' \
          <<<"$headers" | sort)
expected=$(printf '%s\n' GetPluginName GetPluginObjectCount GetPluginObjectInfo GetPluginVersion)
if [ "$exports" != "$expected" ]; then
  echo "exports differ from the four entry points:"
  diff <(echo "$expected") <(echo "$exports") || true
  exit 1
fi

imports=$(awk '/DLL Name:/{print toupper($3)}' <<<"$headers" | sort -u)
allowed='^(KERNEL32|MSVCRT|WS2_32|USER32|ADVAPI32|NTDLL)\.DLL$|^API-MS-WIN-'
bad=$(grep -v -E "$allowed" <<<"$imports" || true)
if [ -n "$bad" ]; then
  echo "imports DLLs that are not part of Windows:"
  echo "$bad"
  exit 1
fi
echo "exports: the four entry points only; imports: $(echo $imports)"
