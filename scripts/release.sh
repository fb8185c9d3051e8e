#!/usr/bin/env bash
# Builds the Windows release archive: dist/PitwallFeed-<version>-windows.zip
# with the plug-in for 32-bit and 64-bit hosts, the 64-bit client and test
# host, the sample game folder and installation notes.
# Usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

version=$(sed -n 's/^project(PitwallFeed VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt"; exit 1; }
name="PitwallFeed-$version-windows"

# SQLite and cpp-httplib, compiled into pitwall.exe, from Debian's sources.
./scripts/get-sqlite-source.sh
./scripts/get-httplib-source.sh
for preset in win64 win32; do
  cmake --preset "$preset" >"build-$preset.configure.log" 2>&1 || { cat "build-$preset.configure.log"; exit 1; }
done
cmake --build build-win64 -j2 --target PitwallFeedPlugin pitwall pitwall-host
cmake --build build-win32 -j2 --target PitwallFeedPlugin
tests/check_dll.sh x86_64-w64-mingw32-objdump build-win64/src/plugin/PitwallFeedPlugin.dll
tests/check_dll.sh i686-w64-mingw32-objdump build-win32/src/plugin/PitwallFeedPlugin.dll
tests/check_vtables.sh i686-w64-mingw32-nm i686-w64-mingw32-objdump build-win32/src/plugin/PitwallFeedPlugin.dll

stage="dist/$name"
rm -rf "$stage" "dist/$name.zip"
mkdir -p "$stage/win32" "$stage/win64" "$stage/tools"
# Stripped copies: the build keeps its symbols for the checks above.
i686-w64-mingw32-strip -o "$stage/win32/PitwallFeedPlugin.dll" build-win32/src/plugin/PitwallFeedPlugin.dll
x86_64-w64-mingw32-strip -o "$stage/win64/PitwallFeedPlugin.dll" build-win64/src/plugin/PitwallFeedPlugin.dll
x86_64-w64-mingw32-strip -o "$stage/tools/pitwall.exe" build-win64/tools/client/pitwall.exe
x86_64-w64-mingw32-strip -o "$stage/tools/pitwall-host.exe" build-win64/tools/test_host/pitwall-host.exe
# pitwall-host.exe loads the plug-in and the sample game folder beside it.
cp "$stage/win64/PitwallFeedPlugin.dll" "$stage/tools/"
mkdir -p "$stage/tools/examples"
cp -r examples/game "$stage/tools/examples/"
cp -r tools/web/www "$stage/tools/"  # the web view's page, found beside pitwall.exe
# The web view's HTTP server is built on Boost (Asio, Beast): its licence.
boost_copyright=$(ls /usr/share/doc/libboost*-dev/copyright 2>/dev/null | head -n 1)
[ -n "$boost_copyright" ] || { echo "release: Boost's copyright file is missing"; exit 1; }
cp "$boost_copyright" "$stage/tools/boost-LICENSE.txt"
# SQLite, compiled into pitwall.exe, is in the public domain; its notice goes along.
[ -f .deps/sqlite/LICENSE.md ] && cp .deps/sqlite/LICENSE.md "$stage/tools/sqlite-LICENSE.md"
# cpp-httplib (the publisher's HTTP client) is under the MIT licence, whose notice goes along.
[ -f .deps/cpp-httplib/LICENSE ] || { echo "release: cpp-httplib's licence is missing"; exit 1; }
cp .deps/cpp-httplib/LICENSE "$stage/tools/cpp-httplib-LICENSE.txt"
sed "s/@VERSION@/$version/" docs/INSTALL-windows.txt | sed 's/$/\r/' >"$stage/INSTALL.txt"
(cd dist && zip -q -r -X "$name.zip" "$name")
echo "release: dist/$name.zip"
unzip -l "dist/$name.zip" | awk 'NR > 3 && $4 != "" && $4 !~ /\/$/ {print "  " $4}' | grep -v "/examples/" || true
