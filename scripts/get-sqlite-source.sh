#!/usr/bin/env bash
# SQLite for the Windows builds of pitwall: Debian's own source package of
# SQLite (scripts/debian-source.sh), turned into the one-file amalgamation
# that the mingw builds compile in. Writes .deps/sqlite/sqlite3.c and
# sqlite3.h; does nothing when they are there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/.deps/sqlite"
[ -f "$out/sqlite3.c" ] && [ -f "$out/sqlite3.h" ] && exit 0
work="$here/.deps/sqlite-work"
. "$here/scripts/debian-source.sh"
echo "get-sqlite-source: fetching Debian's SQLite source package for the Windows builds"
debian_source sqlite3 "$work" --download-only
tarball=$(ls "$work"/src/sqlite3_*.orig.tar.* | grep -v -- '-www' | head -n 1)
tar -xf "$tarball" -C "$work/src"
tree=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
echo "get-sqlite-source: making the amalgamation from $(basename "$tree")"
(cd "$tree" && ./configure --disable-tcl >"$work/configure.log" 2>&1 &&
  make sqlite3.c >"$work/make.log" 2>&1) || { tail -n 20 "$work"/*.log; exit 1; }
mkdir -p "$out"
cp "$tree/sqlite3.c" "$tree/sqlite3.h" "$out/"
cp "$tree/LICENSE.md" "$out/" 2>/dev/null || true
rm -rf "$work"
echo "get-sqlite-source: $out/sqlite3.c"
