#!/usr/bin/env bash
# The demo: builds the plug-in, the test host and the client, starts the test
# host with the plug-in on the sample track in a temporary game folder, and
# shows the live timing tower with `pitwall watch`: a five-lap race at ten
# times real speed, from the grid to the final classification.
# Usage: ./demo.sh [SECONDS]   (default 80, the whole race; Ctrl-C ends it sooner)
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-80}
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

# A five-lap race at ten times real speed.
"$root/build/tools/test_host/pitwall-host" --game-dir "$game" --sessions race --race-laps 5 \
  --speed 10 >"$game/host.out" 2>&1 &
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
# One line after the tower, so its last frame stays whole on an 80x24 screen.
"$root/build/tools/client/pitwall" track --svg "$root/build/track.svg" "127.0.0.1:$port" >/dev/null
cp "$log" "$root/build/demo-plugin.log"
echo "demo: picture build/track.svg, plug-in log build/demo-plugin.log"
