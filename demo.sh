#!/usr/bin/env bash
# The demo: builds the plug-in and the test host, then runs a simulated
# session with the plug-in loaded in a temporary game folder.
# Usage: ./demo.sh [SECONDS]   (default 10)
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target PitwallFeedPlugin pitwall-host
game=$(mktemp -d)
trap 'rm -rf "$game"' EXIT
[ -d examples/game ] && cp -r examples/game/. "$game/"
cd "$game"
"$OLDPWD/build/tools/test_host/pitwall-host" --plugin "$OLDPWD/build/src/plugin/PitwallFeedPlugin.so" \
  --duration "${1:-10}"
echo "--- plug-in log:"
cat PitwallFeedPlugin_*.log 2>/dev/null || echo "(no log: no port was bound)"
