#!/usr/bin/env bash
# The Windows programs end to end under Wine: pitwall-host.exe loads
# PitwallFeedPlugin.dll in a copy of the sample game folder (the DLL finds
# the track through the host's backslash paths itself), and pitwall.exe
# reads every kind of answer from it over loopback.
# Usage: windows_host_e2e.sh WINE pitwall-host.exe pitwall.exe EXAMPLES_DIR
set -euo pipefail
wine=$1 host=$2 cli=$3 examples=$4
work=$(mktemp -d)
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- host output:"; cat "$work/host.out" 2>/dev/null || true; exit 1; }

mkdir "$work/game"
cp -r "$examples/game/." "$work/game/"
port=$(( 36000 + RANDOM % 2000 ))
printf '[GENERAL]\nPort=%d\n' "$port" >"$work/game/PitwallFeedPlugin.ini"
game_dir=$("$wine" winepath -w "$work/game" 2>/dev/null | tr -d '\r')

"$wine" "$host" --game-dir "$game_dir" --cars 6 --speed 4 --duration 15 >"$work/host.out" 2>&1 &
host_pid=$!

# The host is up once its plug-in has bound the port and logged it.
log="$work/game/PitwallFeedPlugin_$port.log"
for _ in $(seq 1 100); do
  grep -q "Waiting for connections" "$log" 2>/dev/null && break
  sleep 0.2
done
grep -q "Bound to port $port." "$log" 2>/dev/null || fail "the plug-in did not bind port $port"
grep -q $'\r$' "$log" || fail "the log is not a Windows text file (CRLF line ends)"

dump=$(timeout 60 "$wine" "$cli" dump --count 4 "127.0.0.1:$port" 2>&1 | tr -d '\r') || fail "pitwall.exe dump: $dump"
grep -q '^handshake .*status=0' <<<"$dump" || fail "no handshake in: $dump"
grep -q '^session .*track="Pitwall Ring"' <<<"$dump" || fail "no session in: $dump"
grep -q '^drivers .*count=6 \[0 "' <<<"$dump" || fail "no drivers in: $dump"
grep -q '^live .*cars=6' <<<"$dump" || fail "no live state in: $dump"

svg=$(timeout 60 "$wine" "$cli" track --svg 'track.svg' "127.0.0.1:$port" --timeout 10 2>&1 | tr -d '\r') ||
  fail "pitwall.exe track: $svg"
grep -q '2 strip(s), 1496 point(s), 6 car(s)' <<<"$svg" || fail "no track outline: $svg"
grep -q '<svg' track.svg || fail "no picture written"
rm -f track.svg

wait "$host_pid" || fail "pitwall-host.exe exited with $?"
host_pid=""
grep -q "pitwall-host: done after" "$work/host.out" || fail "the host did not finish"
grep -q "Server shutdown." "$log" || fail "no shutdown in the log"
echo "pitwall-host.exe + PitwallFeedPlugin.dll + pitwall.exe under Wine: all answers read"
