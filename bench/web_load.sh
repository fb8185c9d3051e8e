#!/usr/bin/env bash
# The web view under load: the test host feeds the plug-in at full pace (a
# live answer every 100 ms is what the plug-in gives a client) with 20 and
# with 255 cars; `pitwall web` bridges it; pitwall_web_load opens the
# event-stream viewers and measures (see bench/web_load.cc for each column).
# One markdown table per mode:
#   builtin  the bridge's own server, whole states (1, 100, 500 viewers)
#   changes  the bridge's own server, ?changes=1 (500, 2,000, 5,000)
#   fanout   pitwall web --publish to nginx (scripts/fanout.sh, one node);
#            the viewers on nginx (500, 2,000, 5,000)
#   redis    two nginx nodes sharing the race through Redis (fanout.sh
#            --redis --nodes 2), the bridge publishing to the first, the
#            viewers split between the two
#   all      each of them in turn (the default)
# After each run it checks that the plug-in saw one connection whatever the
# viewers. VIEWERS="..." overrides the viewer counts of every mode.
# Usage: bench/web_load.sh [SECONDS a run, default 10] [MODE]
#   (after building pitwall, pitwall-host, PitwallFeedPlugin and
#   pitwall_web_load in build-bench, or in build; BUILD=DIR picks another)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
mode=${2:-all}
case "$mode" in
  builtin | changes | fanout | redis) modes=("$mode") ;;
  all) modes=(builtin changes fanout redis) ;;
  *) echo "usage: bench/web_load.sh [SECONDS] [builtin|changes|fanout|redis|all]" >&2; exit 2 ;;
esac
if [ -z "${BUILD:-}" ]; then
  BUILD=$PWD/build
  [ -x "$PWD/build-bench/bench/pitwall_web_load" ] && BUILD=$PWD/build-bench
fi
build=$BUILD
for binary in tools/client/pitwall tools/test_host/pitwall-host bench/pitwall_web_load; do
  [ -x "$build/$binary" ] || { echo "web_load.sh: $build/$binary is not built" >&2; exit 1; }
done

# 5,000 viewers: as many sockets here, as many in nginx or the bridge.
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" -ge 12000 ] || echo "(ulimit -n is $(ulimit -n): 5,000 viewers need more)"

work=$(mktemp -d /tmp/pitwall-load.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# Established TCP connections whose local port is $1.
connections() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p=":$hex" '$2 ~ p"$" && $4 == "01"' /proc/net/tcp | wc -l
}
# Stops the process ids given (and forgets them).
stop() {
  local pid
  for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
  local keep=() p
  for p in "${pids[@]}"; do [[ " $* " == *" $p "* ]] || keep+=("$p"); done
  pids=("${keep[@]}")
}

# Starts fanout.sh with "$@" and the bridge's address; sets fanout_pid,
# nginx_pids (masters and workers), redis_pid, publish_url, view_at (HOST:PORT
# list), prefix. Retries with other ports when one is taken.
start_fanout() {
  local tries port out
  for ((tries = 0; tries < 5; tries++)); do
    port=$(free_port)
    out="$work/fanout.out"
    scripts/fanout.sh --connections 12000 --port "$port" --prefix /race1/ --bridge "127.0.0.1:$web_port" \
      --www "$PWD/tools/web/www" "$@" >"$out" 2>"$work/fanout.err" &
    fanout_pid=$!
    pids+=("$fanout_pid")
    for ((t = 0; t < 300; t++)); do
      grep -qx ready "$out" && break
      kill -0 "$fanout_pid" 2>/dev/null || break
      sleep 0.1
    done
    if grep -qx ready "$out"; then
      publish_url=$(awk '$1 == "publish:" { print $2; exit }' "$out")
      view_at=$(awk '$1 == "view:" { sub("^http://", "", $2); sub("/.*", "", $2); print $2 }' "$out" | paste -sd,)
      redis_pid=$(awk '$1 == "redis:" { print $4 }' "$out")
      nginx_pids=""
      local master
      for master in $(awk '$1 == "nginx:" { print $4 }' "$out"); do
        nginx_pids+="$master,$(ps -o pid= --ppid "$master" | tr -d ' ' | paste -sd,),"
      done
      nginx_pids=${nginx_pids%,}
      return 0
    fi
    stop "$fanout_pid"
  done
  echo "web_load.sh: fanout.sh did not come up: $(tail -n 3 "$work/fanout.err")" >&2
  exit 1
}

echo "Measured on: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)"
for mode in "${modes[@]}"; do
  case "$mode" in
    builtin) counts=(1 100 500); title="The bridge's own server, whole states (/api/events)" ;;
    changes) counts=(500 2000 5000); title="The bridge's own server, changes (/api/events?changes=1)" ;;
    fanout) counts=(500 2000 5000); title="Fanned out: pitwall web --publish to one nginx node" ;;
    redis) counts=(500 2000 5000); title="Fanned out: two nginx nodes on one Redis, the viewers split between them" ;;
  esac
  [ -n "${VIEWERS:-}" ] && read -r -a counts <<<"$VIEWERS"
  echo
  echo "$title:"
  echo
  header=--header
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
    publish=()
    started=("$host_pid")
    if [ "$mode" = fanout ] || [ "$mode" = redis ]; then
      if [ "$mode" = fanout ]; then start_fanout; else start_fanout --redis --nodes 2; fi
      publish=(--publish "$publish_url")
      started+=("$fanout_pid")
    fi
    "$build/tools/client/pitwall" web "127.0.0.1:$plugin_port" --listen "127.0.0.1:$web_port" \
      --max-viewers 5000 --max-per-address 20000 "${publish[@]}" >"$work/web.log" 2>&1 &
    web_pid=$!
    pids+=("$web_pid")
    started+=("$web_pid")
    sleep 3
    cpu=(--cpu "bridge=$web_pid")
    case "$mode" in
      builtin) path=/api/events; at=127.0.0.1:$web_port; sent=() ;;
      changes) path='/api/events?changes=1'; at=127.0.0.1:$web_port; sent=() ;;
      *)
        path=/race1/api/events
        at=$view_at
        # The bridge's own stream tells every update it published.
        sent=(--sent "127.0.0.1:$web_port" '/api/events?changes=1')
        cpu+=(--cpu "nginx=$nginx_pids")
        [ -n "$redis_pid" ] && cpu+=(--cpu "redis=$redis_pid")
        ;;
    esac
    for viewers in "${counts[@]}"; do
      "$build/bench/pitwall_web_load" --viewers "$viewers" --seconds "$seconds" --path "$path" \
        --at "$at" "${sent[@]}" "${cpu[@]}" $header || echo "(no update measured with $viewers viewers)"
      header=
      seen=$(connections "$plugin_port")
      [ "$seen" = 1 ] || echo "(the plug-in saw $seen connections)"
    done
    if grep -q "failed" "$work/web.log"; then
      echo "(the bridge said: $(grep -m1 failed "$work/web.log"))"
    fi
    stop "${started[@]}"
  done
done
