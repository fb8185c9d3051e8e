#!/usr/bin/env bash
# cpp-httplib for the Windows builds of pitwall (the publisher's HTTP
# client): Debian's own source package (scripts/debian-source.sh). Its
# one-header form compiles into the mingw builds; the Linux builds link
# Debian's library.
# Writes .deps/cpp-httplib/httplib.h; does nothing when it is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/.deps/cpp-httplib"
[ -f "$out/httplib.h" ] && exit 0
work="$here/.deps/cpp-httplib-work"
. "$here/scripts/debian-source.sh"
echo "get-httplib-source: fetching Debian's cpp-httplib source package for the Windows builds"
# Unpacked with Debian's patches applied (its security fixes among them).
debian_source cpp-httplib "$work"
header=$(find "$work/src" -mindepth 2 -maxdepth 2 -name httplib.h | head -n 1)
[ -n "$header" ] || { echo "get-httplib-source: no httplib.h in Debian's cpp-httplib source" >&2; exit 1; }
mkdir -p "$out"
cp "$header" "$out/"
cp "$(dirname "$header")/LICENSE" "$out/" 2>/dev/null || true
rm -rf "$work"
echo "get-httplib-source: $out/httplib.h"
