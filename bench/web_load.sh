#!/usr/bin/env bash
# The web view under load: the test host feeds the plug-in at full pace (a
# live answer every 100 ms is what the plug-in gives a client) with 20 and
# with 255 cars; `pitwall web` bridges it; pitwall_web_load opens 1, 100 and
# 500 event-stream viewers and measures. Prints the README's table, and
# checks that the plug-in sees one connection whatever the viewers.
# Usage: bench/web_load.sh [SECONDS a run, default 10]   (after ./build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=$PWD/build
work=$(mktemp -d /tmp/pitwall-load.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# Established TCP connections whose local port is $1.
connections() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p=":$hex" '$2 ~ p"$" && $4 == "01"' /proc/net/tcp | wc -l
}

echo "Measured on: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)"
echo
echo "| viewers | cars | delay p50 (ms) | delay p99 (ms) | CPU per update (ms) | memory (MiB) | events received |"
echo "|---|---|---|---|---|---|---|"
for cars in 20 255; do
  rm -rf "$work/game" && cp -r examples/game "$work/game"
  plugin_port=$(free_port)
  web_port=$(free_port)
  printf '[GENERAL]\nPort=%s\n' "$plugin_port" >"$work/game/PitwallFeedPlugin.ini"
  "$build/tools/test_host/pitwall-host" --game-dir "$work/game" --cars "$cars" --rate 10 \
    --sessions race --race-laps 100 >"$work/host.log" 2>&1 &
  host_pid=$!
  pids+=("$host_pid")
  sleep 1
  "$build/tools/client/pitwall" web "127.0.0.1:$plugin_port" --listen "127.0.0.1:$web_port" \
    --max-viewers 600 --max-per-address 1000 >"$work/web.log" 2>&1 &
  web_pid=$!
  pids+=("$web_pid")
  sleep 2
  for viewers in 1 100 500; do
    "$build/bench/pitwall_web_load" "127.0.0.1:$web_port" "$viewers" "$seconds" "$web_pid"
    seen=$(connections "$plugin_port")
    [ "$seen" = 1 ] || echo "(the plug-in saw $seen connections)"
  done
  kill "$web_pid" "$host_pid"
  wait "$web_pid" "$host_pid" 2>/dev/null || true
done
