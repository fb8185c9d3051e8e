#!/usr/bin/env bash
# The demo: builds the plug-in, the test host and the client, starts the test
# host with the plug-in on the sample track in a temporary game folder, and
# shows the live timing tower with `pitwall watch`.
# Usage: ./demo.sh [SECONDS]   (default 30; Ctrl-C ends it sooner)
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-30}
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPITWALL_BUILD_TOOLS=ON >/dev/null
cmake --build build -j2 --target PitwallFeedPlugin pitwall-host pitwall >/dev/null
root=$PWD
game=$(mktemp -d /tmp/pitwall-demo.XXXXXX)
cp -r examples/game/. "$game/"
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  rm -rf "$game"
}
trap cleanup EXIT

# A ten-lap race at four times real speed.
"$root/build/tools/test_host/pitwall-host" --game-dir "$game" --sessions race --race-laps 10 \
  --speed 4 >"$game/host.out" 2>&1 &
host_pid=$!

# The plug-in names its log after the port it bound.
port=""
for _ in $(seq 100); do
  log=$(ls "$game"/PitwallFeedPlugin_*.log 2>/dev/null | head -n 1 || true)
  if [ -n "$log" ]; then port=${log##*_}; port=${port%.log}; break; fi
  kill -0 "$host_pid" 2>/dev/null || { cat "$game/host.out"; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "demo: the plug-in bound no port"; cat "$game/host.out"; exit 1; }
echo "demo: plug-in serving on port $port; watching for $seconds s"

"$root/build/tools/client/pitwall" watch "127.0.0.1:$port" --seconds "$seconds"
"$root/build/tools/client/pitwall" track --svg "$root/build/track.svg" "127.0.0.1:$port" \
  && echo "demo: track picture with the cars written to build/track.svg"
echo "--- plug-in log ($(basename "$log")):"
cat "$log"
