#!/usr/bin/env bash
# Ranking-server benchmark, in three parts (PARTS="wrk million cost" by default):
#  wrk:     req/s and latency with wrk at 100 and 1,000 connections over 1,000 players whose
#           replies are the full 256 lines, plain and gzip, and server CPU per request; nginx
#           serving the same bytes (a plain file, and the same gzip'd file by gzip_static).
#  million: start-up time and memory with 1,000 and 1,000,000 stored players, then 1,000
#           moving players (orlith-bench-players, closed loop like the game) on each.
#  cost:    bytes per player per second and players per core with 300 players at the game's
#           60 requests/s, with --min-interval-ms 0 and 50, with and without gzip.
#  climb:   (only when asked for) the climbing script: how far a nickname asking for the next
#           level as fast as it is answered gets in the given seconds.
# Usage: bench/server/run.sh [build dir, default build] [seconds per run, default 10]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
secs="${2:-10}"
parts="${PARTS:-wrk million cost}"
threads="${THREADS:-2}"
server="$build/server/orlith-server"
work="$(mktemp -d /tmp/orlith-bench-XXXXXX)"
shm="/dev/shm/orlith-bench-$$"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work" "$shm"*; }
trap cleanup EXIT
chmod 755 "$work"
ulimit -n 65536 2>/dev/null || true
tick="$(getconf CLK_TCK)"

port_of() { grep -o 'listening on [0-9.]*:[0-9]*' "$1" | grep -o '[0-9]*$'; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
start_server() {  # $1 db file, then extra flags; sets spid, sport, started (s to listening)
  local db="$1"; shift
  local t0; t0=$(date +%s.%N)
  "$server" --host 127.0.0.1 --port 0 --admin-port 0 --threads "$threads" --db "$db" \
    --max-registrations 1000000 --max-registrations-per-address 1000000 --max-registrations-per-group 1000000 \
    --max-connections-per-address 100000 --max-partial-per-address 100000 --max-partial-per-group 100000 \
    "$@" >"$work/server.out" 2>"$work/server.err" &
  spid=$!; pids+=("$spid")
  for _ in $(seq 600); do
    sport="$(port_of "$work/server.out" || true)"
    if [[ -n "$sport" ]]; then started=$(echo "$(date +%s.%N) - $t0" | bc); return; fi
    sleep 0.05
  done
  echo "server did not start" >&2; cat "$work/server.err" >&2; exit 1
}
stop_server() { kill -TERM "$spid"; wait "$spid" || true; }

summarise() {  # $1 label, $2 wrk output, $3 cpu seconds (optional)
  local rps p50 p99 errs
  rps="$(awk '/Requests\/sec/ {print $2}' "$2")"
  p50="$(awk '$1=="50%" {print $2}' "$2")"
  p99="$(awk '$1=="99%" {print $2}' "$2")"
  errs="$(awk '/Non-2xx/ {print $5}' "$2")"
  printf '%-34s %9s req/s  p50 %8s  p99 %8s  non-2xx %-6s' "$1" "$rps" "$p50" "$p99" "${errs:-0}"
  if [[ -n "${3:-}" ]]; then printf '  %6.0f req per CPU-second' "$(echo "$rps * $secs / $3" | bc -l)"; fi
  echo
}
wrk_run() {  # $1 label, $2 pid to measure, then wrk arguments
  local label="$1" pid="$2"; shift 2
  local before after
  before=$(cpu_ticks "$pid")
  wrk -t2 -d"${secs}s" --latency "$@" > "$work/wrk.txt"
  after=$(cpu_ticks "$pid")
  summarise "$label" "$work/wrk.txt" "$(echo "($after - $before) / $tick" | bc -l)"
}

if [[ " $parts " == *" wrk "* ]]; then
  "$build/server/orlith-bench-requests" 1000 > "$work/requests.txt"
  start_server "$shm-wrk.db" --min-interval-ms 0
  sed "s|^|url = http://127.0.0.1:$sport|; s|\$|\noutput = /dev/null|" "$work/requests.txt" > "$work/curl.cfg"
  curl -s -K "$work/curl.cfg"   # registers the 1,000 players
  # The wrk script: every connection walks the 1,000 requests from its own offset.
  {
    echo "local paths = {"
    sed 's/.*/  "&",/' "$work/requests.txt"
    echo "}"
    cat <<'LUA'
local counter = 0
local offset = 0
setup = function(thread) thread:set("offset", math.random(0, #paths - 1)) end
request = function()
  counter = counter + 1
  return wrk.format("GET", paths[((offset + counter) % #paths) + 1])
end
LUA
  } > "$work/requests.lua"
  first="http://127.0.0.1:$sport$(head -1 "$work/requests.txt")"
  curl -s "$first" > "$work/static.txt"
  curl -s -H 'Accept-Encoding: gzip' "$first" > "$work/static.txt.gz"
  chmod 644 "$work"/static.txt*
  echo "reply: $(grep -c $'\r$' "$work/static.txt") lines, $(wc -c < "$work/static.txt") bytes, gzip $(wc -c < "$work/static.txt.gz") bytes"
  for c in 100 1000; do
    wrk_run "orlith-server c=$c" "$spid" -c"$c" -s "$work/requests.lua" "http://127.0.0.1:$sport"
    wrk_run "orlith-server gzip c=$c" "$spid" -c"$c" -H 'Accept-Encoding: gzip' -s "$work/requests.lua" "http://127.0.0.1:$sport"
  done
  stop_server
  # nginx, unprivileged: every path in the temp dir, a high port, as many workers as our threads.
  nport=$((20000 + RANDOM % 20000))
  mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
  cat > "$work/nginx/nginx.conf" <<NGINX
worker_processes $threads;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  keepalive_requests 1000000;
  gzip_static on;
  server {
    listen 127.0.0.1:$nport;
    location / { root $work; default_type text/plain; }
  }
}
NGINX
  nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -g 'daemon off;' 2>"$work/nginx/stderr" &
  npid=$!; pids+=("$npid")
  # Its workers answer once forked; on a loaded machine that can take longer than any guess, and
  # without them the CPU count below would be zero.
  for _ in $(seq 600); do
    [[ "$(pgrep -c -P "$npid")" == "$threads" ]] && curl -s -o /dev/null "http://127.0.0.1:$nport/static.txt" && break
    kill -0 "$npid" 2>/dev/null || { echo "nginx did not start" >&2; cat "$work/nginx/stderr" >&2; exit 1; }
    sleep 0.05
  done
  nworkers="$(pgrep -P "$npid" | tr '\n' ' ')"
  ncpu() { local t=0; for w in $nworkers; do t=$((t + $(cpu_ticks "$w"))); done; echo "$t"; }
  for c in 100 1000; do
    for enc in plain gzip; do
      before=$(ncpu)
      if [[ $enc == gzip ]]; then
        wrk -t2 -c"$c" -d"${secs}s" --latency -H 'Accept-Encoding: gzip' "http://127.0.0.1:$nport/static.txt" > "$work/wrk.txt"
      else
        wrk -t2 -c"$c" -d"${secs}s" --latency "http://127.0.0.1:$nport/static.txt" > "$work/wrk.txt"
      fi
      after=$(ncpu)
      summarise "nginx static $enc c=$c" "$work/wrk.txt" "$(echo "($after - $before) / $tick" | bc -l)"
    done
  done
  kill "$npid"; wait "$npid" 2>/dev/null || true
fi

if [[ " $parts " == *" million "* ]]; then
  for n in 1000 1000000; do
    "$build/server/orlith-bench-db" "$n" "$shm-$n.db"
    start_server "$shm-$n.db" --min-interval-ms 0
    rss_start=$(rss_kib "$spid")
    for _ in $(seq 600); do grep -q 'look-alike index' "$work/server.err" && break; [[ $n -lt 100000 ]] && break; sleep 0.1; done
    sleep 1
    rss=$(rss_kib "$spid")
    echo "$n stored players: listening after ${started} s, RSS $((rss_start / 1024)) MiB then $((rss / 1024)) MiB"
    grep -o 'database opened.*\|look-alike index.*' "$work/server.err" | sed 's/^/  /' || true
    [[ $n == 1000 ]] && rss_small=$rss
    [[ $n == 1000000 ]] && echo "memory per stored player: $(( (rss - rss_small) * 1024 / (n - 1000) )) bytes"
    "$build/server/orlith-bench-players" "$sport" 1000 "$secs"
    stop_server
    rm -f "$shm-$n.db"*
  done
fi

if [[ " $parts " == *" cost "* ]]; then
  players=300
  for interval in 0 50; do
    for enc in plain gzip; do
      rm -f "$shm-cost.db"*
      "$build/server/orlith-bench-db" 1000 "$shm-cost.db"  # afresh: the players start from no steps
      start_server "$shm-cost.db" --min-interval-ms "$interval"
      before=$(cpu_ticks "$spid")
      "$build/server/orlith-bench-players" "$sport" "$players" "$secs" "$enc" > "$work/players.txt"
      after=$(cpu_ticks "$spid")
      stop_server
      # Players per core: requests per CPU-second over what one player asks for a second.
      awk -v cpu="$(echo "($after - $before) / $tick" | bc -l)" -v secs="$secs" -v n="$players" \
          -v interval="$interval" -v enc="$enc" '{
        for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2]; }
        rate = v["req/s"]; per = v["per-player"]; bytes = v["bytes/player/s"];
        target = interval > 0 ? 1000 / interval : 60;
        if (target > 60) target = 60;
        printf "interval %2d ms %-5s %6.1f replies/player/s  %8.0f bytes/player/s  %6.0f bytes/reply  %5.0f players per core  (p99 %s ms, %s)\n",
          interval, enc, per, bytes, bytes / per, rate * secs / cpu / target, v["p99-ms"], v["failures"] == 0 ? "no failures" : "FAILURES"
      }' "$work/players.txt"
    done
  done
fi

if [[ " $parts " == *" climb "* ]]; then
  rm -f "$shm-climb.db"*
  start_server "$shm-climb.db"
  "$build/server/orlith-bench-climb" "$sport" "$secs" | grep -E "^after (10|$secs) s|^requests"
  stop_server
fi
