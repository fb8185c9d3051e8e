#!/usr/bin/env bash
# Starts nginx with its pub/sub module (nchan) on loopback, as the current
# user, from docs/nginx-fanout.conf: the fan-out of one race to many viewers.
# With --redis, a local redis-server (no persistence) and N nginx nodes on
# ports P, P+1, ... that share the race through it: publish to the first,
# watch on any.
#
#   scripts/fanout.sh [--nodes N] [--redis] [--prefix /race1/] [--port P]
#                     [--bridge HOST:PORT] [--www DIR] [--token T]
#                     [--workers N] [--connections N]
#
# --workers: nginx worker processes a node (default 1); --connections: the
# connections each worker takes, viewers and a few more (default 1024; the
# open-file limit is raised to match where the system lets it).
#
# Everything lives in a temporary folder that is removed at the end. Once up
# it prints, one per line (tests read them):
#   dir: DIR
#   redis: 127.0.0.1:PORT pid PID       (with --redis)
#   nginx: NODE pid PID                 (each node)
#   publish: http://127.0.0.1:P/race1/pub   (each node; give the first to pitwall web --publish)
#   view: http://127.0.0.1:P/race1/         (each node)
#   ready
# and then runs until Ctrl-C or SIGTERM, when it stops what it started (by the
# process ids it recorded) and removes the folder. Exit status 1 when nginx,
# the module or redis-server is missing, a port is taken or a server does not
# come up; 2 on bad use.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
template="$here/docs/nginx-fanout.conf"
module=/usr/lib/nginx/modules/ngx_nchan_module.so

nodes=1
redis=0
prefix=/
port=8090
bridge=127.0.0.1:8047
www="$here/tools/web/www"
token=""
workers=1
connections=1024

usage() {
  sed -n '8,10p' "$0" | sed 's/^# *//' >&2
  exit 2
}
bad() {
  echo "fanout.sh: $*" >&2
  exit 2
}
fail() {
  echo "fanout.sh: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case "$1" in
    --nodes) [ $# -ge 2 ] || usage; nodes=$2; shift 2 ;;
    --redis) redis=1; shift ;;
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --port) [ $# -ge 2 ] || usage; port=$2; shift 2 ;;
    --bridge) [ $# -ge 2 ] || usage; bridge=$2; shift 2 ;;
    --www) [ $# -ge 2 ] || usage; www=$2; shift 2 ;;
    --token) [ $# -ge 2 ] || usage; token=$2; shift 2 ;;
    --workers) [ $# -ge 2 ] || usage; workers=$2; shift 2 ;;
    --connections) [ $# -ge 2 ] || usage; connections=$2; shift 2 ;;
    -h|--help) sed -n '2,/^[^#]/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) bad "unknown option $1 (see --help)" ;;
  esac
done

[[ "$nodes" =~ ^[1-9][0-9]?$ ]] || bad "--nodes must be 1 to 99, not '$nodes'"
[[ "$workers" =~ ^[1-9][0-9]?$ ]] || bad "--workers must be 1 to 99, not '$workers'"
[[ "$connections" =~ ^[0-9]+$ ]] && [ "$connections" -ge 64 ] && [ "$connections" -le 1000000 ] ||
  bad "--connections must be 64 to 1000000, not '$connections'"
[ "$nodes" -eq 1 ] || [ "$redis" -eq 1 ] || bad "--nodes $nodes needs --redis: the nodes share the race through it"
[[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ $((port + nodes - 1)) -le 65535 ] ||
  bad "--port must be 1 to 65535 (and leave room for $nodes node(s)), not '$port'"
# The prefix becomes part of nginx locations and channel names.
[[ "$prefix" =~ ^/([A-Za-z0-9._-]+/)*$ ]] || bad "--prefix must be / or like /race1/ (letters, digits, . _ -, each part ending in /), not '$prefix'"
[[ "$bridge" =~ ^[A-Za-z0-9.-]+:[0-9]+$ ]] || bad "--bridge must be HOST:PORT (the address pitwall web --listen serves on), not '$bridge'"
[[ -z "$token" || "$token" =~ ^[A-Za-z0-9._~+=-]+$ ]] || bad "--token may hold letters, digits and . _ ~ + = - only"
plain_path='^[A-Za-z0-9._/+@%=,:~-]+$'
[[ "$www" =~ $plain_path ]] || bad "--www '$www': the folder's path may hold letters, digits and . _ / + @ % = , : ~ - only"
www=$(cd "$www" 2>/dev/null && pwd) || fail "--www: no such folder"
[ -f "$www/index.html" ] || fail "--www: $www has no index.html (the page's files are in tools/web/www)"
[ -f "$template" ] || fail "the configuration $template is missing"

nginx_bin=$(command -v nginx || true)
[ -z "$nginx_bin" ] && [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx
[ -n "$nginx_bin" ] || fail "nginx is not installed (Debian: apt-get install nginx libnginx-mod-nchan; scripts/install-deps.sh does it)"
[ -f "$module" ] || fail "nginx's pub/sub module $module is missing (Debian: apt-get install libnginx-mod-nchan)"
redis_bin=""
if [ "$redis" -eq 1 ]; then
  redis_bin=$(command -v redis-server || true)
  [ -z "$redis_bin" ] && [ -x /usr/bin/redis-server ] && redis_bin=/usr/bin/redis-server
  [ -n "$redis_bin" ] || fail "redis-server is not installed (Debian: apt-get install redis-server)"
fi
command -v curl >/dev/null || fail "curl is missing (it tells when nginx is up)"

# Whether something answers on 127.0.0.1:$1.
listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
for ((i = 0; i < nodes; i++)); do
  listening $((port + i)) && fail "port $((port + i)) on 127.0.0.1 is taken: give another with --port"
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/pitwall-fanout.XXXXXX")
pids=()
cleanup() {
  trap - INT TERM HUP EXIT
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # Each gets 5 s to end in order, then it is killed.
  for pid in "${pids[@]}"; do
    for ((t = 0; t < 50; t++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap 'cleanup; exit 0' INT TERM HUP
trap cleanup EXIT
echo "dir: $dir"

redis_port=6379
if [ "$redis" -eq 1 ]; then
  for ((tries = 0; ; tries++)); do
    redis_port=$((20000 + RANDOM % 40000))
    listening "$redis_port" || break
    [ "$tries" -lt 50 ] || fail "no free port found for redis-server"
  done
  mkdir -p "$dir/redis"
  "$redis_bin" --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$dir/redis" \
               --logfile "$dir/redis/redis.log" --daemonize no &
  pids+=($!)
  for ((t = 0; ; t++)); do
    listening "$redis_port" && break
    kill -0 "${pids[-1]}" 2>/dev/null || fail "redis-server did not start: $(tail -n 3 "$dir/redis/redis.log" 2>/dev/null)"
    [ "$t" -lt 100 ] || fail "redis-server did not answer on port $redis_port within 10 s"
    sleep 0.1
  done
  echo "redis: 127.0.0.1:$redis_port pid ${pids[-1]}"
fi

# The channel names' prefix: the path's parts joined by "-".
channels=$(echo "$prefix" | sed 's|^/||; s|/$||; s|/|-|g')
[ -n "$channels" ] || channels=pitwall

# docs/nginx-fanout.conf with this run's values: ports, bridge, files,
# prefix, one worker each, and the marked lines for Redis and the token.
make_config() {
  local node_port=$1 out=$2
  local script=(-e "s|127\\.0\\.0\\.1:8090|127.0.0.1:$node_port|g"
                -e "s|127\\.0\\.0\\.1:8047|$bridge|g"
                -e "s|/srv/pitwall/www/|$www/|g"
                -e "s|/race1/|$prefix|g"
                -e "s|race1\\.|$channels.|g"
                -e "s|^worker_processes auto;|worker_processes $workers;|"
                -e "s|^\\(  *worker_connections\\) 4096;|\\1 $connections;|"
                -e "s|redis://127\\.0\\.0\\.1:6379|redis://127.0.0.1:$redis_port|")
  # Started by root, nginx would run its workers as nobody, who may not
  # read the page's files (a checkout in a private folder): they run as
  # the user that started it, as the master does.
  [ "$(id -u)" -eq 0 ] && script+=(-e "/^worker_processes/i user $(id -un) $(id -gn);")
  [ "$prefix" = / ] && script+=(-e '/# bare prefix$/d')
  [ "$redis" -eq 1 ] && script+=(-e 's|^#redis ||')
  [ -n "$token" ] && script+=(-e 's|^#token ||' -e "s|CHANGE-ME|$token|g")
  sed "${script[@]}" "$template" >"$out"
}

auth=()
[ -n "$token" ] && auth=(-H "Authorization: Bearer $token")
# A file handle for each connection, twice for one passed on to the bridge.
want_files=$((connections * 2 + 64))
[ "$(ulimit -n)" -ge "$want_files" ] || ulimit -n "$want_files" 2>/dev/null ||
  echo "fanout.sh: the open-file limit stays $(ulimit -n), below the $want_files that --connections $connections may take" >&2
for ((i = 1; i <= nodes; i++)); do
  node_port=$((port + i - 1))
  node_dir="$dir/node$i"
  mkdir -p "$node_dir/tmp"
  make_config "$node_port" "$node_dir/nginx.conf"
  if ! "$nginx_bin" -t -q -p "$node_dir/" -e "$node_dir/error.log" -c "$node_dir/nginx.conf" 2>"$node_dir/test.log"; then
    fail "nginx does not take the configuration: $(grep -v '^\s*$' "$node_dir/test.log" | tail -n 3)"
  fi
  "$nginx_bin" -p "$node_dir/" -e "$node_dir/error.log" -c "$node_dir/nginx.conf" -g 'daemon off;' \
               2>>"$node_dir/error.log" &
  pids+=($!)
  url="http://127.0.0.1:$node_port${prefix}pub"
  # Up when the publisher location answers: 404 (no channel yet) or 200;
  # with Redis it says 503 until the module is connected.
  for ((t = 0; ; t++)); do
    code=$(curl -s -o /dev/null --max-time 1 -w '%{http_code}' "${auth[@]}" "$url/track" || true)
    [ "$code" = 404 ] || [ "$code" = 200 ] && break
    if ! kill -0 "${pids[-1]}" 2>/dev/null; then
      if grep -q 'Address already in use' "$node_dir/error.log"; then
        fail "port $node_port on 127.0.0.1 is taken: give another with --port"
      fi
      fail "nginx (node $i) did not start: $(grep -E 'emerg|alert|crit' "$node_dir/error.log" | tail -n 3)"
    fi
    [ "$t" -lt 100 ] || fail "nginx (node $i) did not answer on port $node_port within 10 s (last answer: $code)"
    sleep 0.1
  done
  echo "nginx: $i pid ${pids[-1]}"
  echo "publish: $url"
  echo "view: http://127.0.0.1:$node_port$prefix"
done
echo ready

# Until stopped. A server that ends by itself (or is stopped by someone)
# leaves the others running; when none is left there is nothing to serve.
while :; do
  alive=0
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
  [ "$alive" -eq 1 ] || fail "every server it started has ended"
  wait -n "${pids[@]}" 2>/dev/null || true
  sleep 0.2
done
