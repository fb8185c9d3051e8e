#!/usr/bin/env bash
# The demo: builds the plug-in, the test host and the client, starts the test
# host with the plug-in on the sample track in a temporary game folder, and
# shows the live timing tower with `pitwall watch`: a fourteen-lap race of
# two classes at 28 times real speed, GT3 lapping most of GT4, from the grid
# to the final classification, recorded into build/demo.db, whose results it
# prints at the end. Every client reads the league file examples/league.csv
# (numbers, short names, teams, classes and their colours).
# Usage: ./demo.sh [SECONDS] [--web]   (default 80 s, the whole race; Ctrl-C ends
# it sooner; --web also serves the live web page, on http://127.0.0.1:8047/)
set -euo pipefail
cd "$(dirname "$0")"
seconds=80
web=""
for arg in "$@"; do
  case "$arg" in
    --web) web=1 ;;
    *[!0-9]* | "") echo "usage: ./demo.sh [SECONDS] [--web]" >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done
./scripts/install-deps.sh
if [ ! -x build/tools/client/pitwall ]; then
  echo "demo: building the plug-in, the test host and the client (the first time only: about 4 minutes on 2 cores)"
fi
cmake --preset linux >/dev/null
# Ninja's "[step/steps]" as it goes: on one line on a terminal, a line every
# 25 steps elsewhere; the whole output if the build fails.
show_progress() {
  local line n=0
  while IFS= read -r line; do
    case "$line" in
      "["[0-9]*/*"]"*)
        n=$((n + 1))
        if [ -t 1 ]; then printf '\rdemo: building %s ' "${line%%]*}]"
        elif [ $((n % 25)) -eq 0 ]; then echo "demo: building ${line%%]*}]"; fi ;;
    esac
  done
  if [ -t 1 ]; then printf '\r\033[K'; fi
}
build_log=$(mktemp /tmp/pitwall-demo-build.XXXXXX)
if ! cmake --build build -j2 --target PitwallFeedPlugin pitwall-host pitwall 2>&1 |
  tee "$build_log" | show_progress; then
  cat "$build_log"
  echo "demo: the build failed (above)"
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"
root=$PWD
game=$(mktemp -d /tmp/pitwall-demo.XXXXXX)
cp -r examples/game/. "$game/"
# Two clients within the plug-in's limit: the tower, and the recorder (the
# web view, which records too, with --web).
printf '[GENERAL]\nPort=34647\nMaxConnections=2\n' >"$game/PitwallFeedPlugin.ini"
host_pid=""
web_pid=""
db="$root/build/demo.db"
rm -f "$db" "$db-wal" "$db-shm" "$db.lock"
cleanup() {
  [ -n "$web_pid" ] && kill "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null || true
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  rm -rf "$game"
}
trap cleanup EXIT

# A fourteen-lap race at 28 times real speed, ten updates a second: twelve
# GT3 cars and eight GT4 cars 7 % slower a lap, of which the GT3 leader laps
# seven. The final classification stands 300 s (11 s real) so that the
# tower's last frame shows it, not the next race's grid.
league="$root/examples/league.csv"
"$root/build/tools/test_host/pitwall-host" --game-dir "$game" --sessions race --race-laps 14 \
  --classes 12:8 --speed 28 --rate 10 --hold 300 >"$game/host.out" 2>&1 &
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
if [ -n "$web" ]; then
  "$root/build/tools/client/pitwall" web "127.0.0.1:$port" --listen 127.0.0.1:8047 --db "$db" \
    --league "$league" >"$game/web.out" 2>&1 &
  echo "demo: the live page is on http://127.0.0.1:8047/ (overlays: /overlay?view=tower, results: /results)"
else
  "$root/build/tools/client/pitwall" record "127.0.0.1:$port" --db "$db" --league "$league" \
    >"$game/record.out" 2>&1 &
fi
web_pid=$!
sleep 1

"$root/build/tools/client/pitwall" watch "127.0.0.1:$port" --seconds "$seconds" --league "$league"
# One line after the tower, so its last frame stays whole on an 80x24 screen.
"$root/build/tools/client/pitwall" track --svg "$root/build/track.svg" "127.0.0.1:$port" \
  --league "$league" >/dev/null
cp "$log" "$root/build/demo-plugin.log"
kill "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null || true
web_pid=""
# The classification (each car with its class and place in it) and the
# fastest lap fill an 80x24 screen; each class's own table, the pit stops,
# laps and events are a command away.
"$root/build/tools/client/pitwall" results --db "$db" --league "$league" | sed '/^$/,$d' || true
echo "demo: results from build/demo.db; also build/track.svg, build/demo-plugin.log"
