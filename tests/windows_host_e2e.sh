#!/usr/bin/env bash
# The Windows programs end to end under Wine: pitwall-host.exe loads
# PitwallFeedPlugin.dll in a copy of the sample game folder (the DLL finds
# the track through the host's backslash paths itself), and pitwall.exe,
# then the Linux pitwall when given, read every kind of answer from it over
# loopback; then pitwall.exe web serves the page and the API from it.
# Usage: windows_host_e2e.sh WINE pitwall-host.exe EXAMPLES_DIR pitwall.exe WWW_DIR [LINUX_PITWALL]
set -euo pipefail
wine=$1 host=$2 examples=$3 windows_cli=$4 www=$5 linux_cli=${6:-}
work=$(mktemp -d)
host_pid=""
web_pid=""
cleanup() {
  [ -n "$web_pid" ] && kill "$web_pid" 2>/dev/null || true
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

"$wine" "$host" --game-dir "$game_dir" --cars 6 --speed 4 --duration 20 >"$work/host.out" 2>&1 &
host_pid=$!

# The host is up once its plug-in has bound the port and logged it.
log="$work/game/PitwallFeedPlugin_$port.log"
for _ in $(seq 1 100); do
  grep -q "Waiting for connections" "$log" 2>/dev/null && break
  sleep 0.2
done
grep -q "Bound to port $port." "$log" 2>/dev/null || fail "the plug-in did not bind port $port"
grep -q $'\r$' "$log" || fail "the log is not a Windows text file (CRLF line ends)"

# read_all LABEL COMMAND...: every kind of answer, through one client.
read_all() {
  local label=$1; shift
  local dump svg
  dump=$(timeout 60 "$@" dump --count 4 "127.0.0.1:$port" 2>&1 | tr -d '\r') || fail "$label dump: $dump"
  grep -q '^handshake .*status=0' <<<"$dump" || fail "$label: no handshake in: $dump"
  grep -q '^session .*track="Pitwall Ring"' <<<"$dump" || fail "$label: no session in: $dump"
  grep -q '^drivers .*count=6 \[0 "' <<<"$dump" || fail "$label: no drivers in: $dump"
  grep -q '^live .*cars=6' <<<"$dump" || fail "$label: no live state in: $dump"
  rm -f track.svg
  svg=$(timeout 60 "$@" track --svg track.svg "127.0.0.1:$port" --timeout 10 2>&1 | tr -d '\r') ||
    fail "$label track: $svg"
  grep -q '2 strip(s), 1496 point(s), 6 car(s)' <<<"$svg" || fail "$label: no track outline: $svg"
  grep -q '<svg' track.svg || fail "$label: no picture written"
  rm -f track.svg
  echo "$label: handshake, session, drivers, live data and track outline read"
}
cd "$work"
read_all pitwall.exe "$wine" "$windows_cli"
[ -n "$linux_cli" ] && read_all "Linux pitwall" "$linux_cli"

# The web view: one connection to the DLL, the page and the API over HTTP.
web_port=$(( 38000 + RANDOM % 2000 ))
# With the league file, read through a Windows path.
"$wine" "$windows_cli" web "127.0.0.1:$port" --listen "127.0.0.1:$web_port" \
  --www "$("$wine" winepath -w "$www" 2>/dev/null | tr -d '\r')" \
  --league "$("$wine" winepath -w "$examples/league.csv" 2>/dev/null | tr -d '\r')" >"$work/web.out" 2>&1 &
web_pid=$!
state=""
for _ in $(seq 1 100); do
  state=$(curl -sf "http://127.0.0.1:$web_port/api/state" 2>/dev/null) && break
  sleep 0.2
done
grep -q '"format":"pitwall-timing"' <<<"$state" || fail "pitwall.exe web: no state: $state $(cat "$work/web.out")"
[ "$(grep -o '"heading_rad"' <<<"$state" | wc -l)" = 6 ] || fail "pitwall.exe web: not 6 cars: $state"
[ "$(grep -o '"class":"GT3"' <<<"$state" | wc -l)" = 6 ] || fail "pitwall.exe web: not 6 GT3 cars: $state"
grep -q '"number":7,"short_name":"BRE","team":"Brennan, Okafor & Co","nation":"IE"' <<<"$state" ||
  fail "pitwall.exe web: no car #7 BRE of the league file: $state"
curl -sf "http://127.0.0.1:$web_port/" | grep -q '<title>PitwallFeed live</title>' ||
  fail "pitwall.exe web: no page"
curl -sf "http://127.0.0.1:$web_port/api/track" | grep -q '"strips":\[{"kind":1' ||
  fail "pitwall.exe web: no track"
# It records the session into pitwall.db here, and serves it.
sessions=""
for _ in $(seq 1 50); do
  sessions=$(curl -sf "http://127.0.0.1:$web_port/api/sessions" 2>/dev/null) &&
    grep -q '"cars":6' <<<"$sessions" && break
  sleep 0.2
done
grep -q '"cars":6' <<<"$sessions" || fail "pitwall.exe web: no session recorded: $sessions $(cat "$work/web.out")"
kill "$web_pid"
wait "$web_pid" 2>/dev/null || true
web_pid=""
echo "pitwall.exe web: the page, the timing state, the track outline and the race history served"
# The file is the same on both systems.
"$wine" "$windows_cli" sessions --db pitwall.db | grep -q " 6 " || fail "pitwall.exe sessions: nothing read"
if [ -n "$linux_cli" ]; then
  "$linux_cli" sessions --db "$work/pitwall.db" | grep -q " 6 " ||
    fail "the Linux pitwall cannot read the history pitwall.exe wrote"
fi
echo "pitwall.exe recorded the session; pitwall.exe and the Linux pitwall read it back"

wait "$host_pid" || fail "pitwall-host.exe exited with $?"
host_pid=""
grep -q "pitwall-host: done after" "$work/host.out" || fail "the host did not finish"
grep -q "Server shutdown." "$log" || fail "no shutdown in the log"
echo "pitwall-host.exe ran the DLL to its end and shut it down"
