#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing. Safe to run again: it does nothing when all are present.
set -euo pipefail
packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev binutils locales
          # Windows builds and their tests: mingw-w64 (posix threads), Wine,
          # GoogleTest sources for cross builds, 32-bit g++ and qemu-i386.
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 wine wine64 googletest g++-multilib qemu-user
          # Argument parsing and JSON in the tools; the web view's HTTP server on
          # Boost.Asio and Boost.Beast (all header-only, so every build, the
          # Windows ones included, compiles the same headers).
          libcli11-dev nlohmann-json3-dev libboost-dev
          # The race history; tcl to make SQLite's one-file source for the
          # Windows builds from Debian's source package.
          libsqlite3-dev tcl
          # curl for a web test.
          curl
          # Validating the JSON output against its schema in the tests.
          python3 python3-jsonschema
          # The web view's browser test: Debian's Chromium, driven by playwright-core.
          chromium
          # The fan-out for many viewers and its tests: nginx with its pub/sub
          # module, and Redis for several nginx nodes sharing the channels.
          nginx libnginx-mod-nchan redis-server
          # The publisher's HTTP client (Debian's library for the Linux builds;
          # dpkg-dev unpacks its source package, patches applied, for the
          # Windows builds' one-header form).
          libcpp-httplib-dev pkg-config dpkg-dev
          # The release archive.
          zip unzip)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${#missing[@]} Debian package(s), a few minutes the first time: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# A locale that writes decimals with a comma, so the number parsers are
# tested against one.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: no de_DE.UTF-8 locale; one test will be skipped"
fi
# Node.js and npm for the browser test (the machine's own when it has them).
if ! command -v npm >/dev/null 2>&1; then
  $sudo apt-get install -y -qq --no-install-recommends nodejs npm
fi
# playwright-core, at the version pinned in tests/web/package-lock.json.
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$here/tests/web/node_modules/playwright-core/package.json" ]; then
  (cd "$here/tests/web" && npm ci --no-audit --no-fund --loglevel=error)
fi
