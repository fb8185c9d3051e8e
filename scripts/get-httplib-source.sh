#!/usr/bin/env bash
# cpp-httplib for the Windows builds of pitwall (the publisher's HTTP
# client): Debian's own source package, fetched through apt from the
# machine's own Debian mirrors (their deb lines read as deb-src, in a
# private list: apt's sources are left as they are). Its one-header form
# compiles into the mingw builds; the Linux builds link Debian's library.
# Writes .deps/cpp-httplib/httplib.h; does nothing when it is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/.deps/cpp-httplib"
[ -f "$out/httplib.h" ] && exit 0
work="$here/.deps/cpp-httplib-work"
rm -rf "$work"
mkdir -p "$work/parts" "$work/lists/partial" "$work/src"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$work/parts/from-sources.list"
fi
apt_options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/parts"
             -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
echo "get-httplib-source: fetching Debian's cpp-httplib source package for the Windows builds"
apt-get "${apt_options[@]}" -qq update
# Unpacked with Debian's patches applied (its security fixes among them).
(cd "$work/src" && apt-get "${apt_options[@]}" -qq source cpp-httplib >/dev/null 2>"$work/source.log") ||
  { cat "$work/source.log" >&2; exit 1; }
header=$(find "$work/src" -mindepth 2 -maxdepth 2 -name httplib.h | head -n 1)
[ -n "$header" ] || { echo "get-httplib-source: no httplib.h in Debian's cpp-httplib source" >&2; exit 1; }
mkdir -p "$out"
cp "$header" "$out/"
cp "$(dirname "$header")/LICENSE" "$out/" 2>/dev/null || true
rm -rf "$work"
echo "get-httplib-source: $out/httplib.h"
