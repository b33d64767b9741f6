#!/usr/bin/env bash
# Ranking-server benchmark: req/s and latency percentiles with wrk at 100 and 1,000
# connections, cycling through valid requests of 1,000 players whose replies are the full
# 256 lines; then nginx serving a static file of the same size on loopback (the ceiling for
# sending those bytes here). Memory per registered player is measured first.
# Usage: bench/server/run.sh [build dir, default build-server] [seconds per run, default 10]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build-server}" && pwd)"
secs="${2:-10}"
threads="${THREADS:-2}"
server="$build/server/orlith-server"
gen="$build/server/orlith-bench-requests"
work="$(mktemp -d /tmp/orlith-bench-XXXXXX)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

port_of() { grep -o 'listening on [0-9.]*:[0-9]*' "$1" | grep -o '[0-9]*$'; }
start_server() {  # $1 db file; sets spid and sport
  "$server" --host 127.0.0.1 --port 0 --threads "$threads" --db "$1" --max-registrations 1000000 \
    >"$work/server.out" 2>"$work/server.err" &
  spid=$!; pids+=("$spid")
  for _ in $(seq 50); do sport="$(port_of "$work/server.out" || true)"; [[ -n "$sport" ]] && return; sleep 0.1; done
  echo "server did not start" >&2; cat "$work/server.err" >&2; exit 1
}
register() {  # $1 requests file: one pass over every request, on one kept-alive connection
  sed "s|^|url = http://127.0.0.1:$sport|" "$1" > "$work/curl.cfg"
  curl -s -K "$work/curl.cfg" > /dev/null
}
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

chmod 755 "$work"
"$gen" 1000 > "$work/requests.txt"
"$gen" 20000 1000 > "$work/more.txt"
start_server "/dev/shm/orlith-bench-$$.db"
# Memory per registered player: RSS growth over 21,000 registrations into a fresh server.
before="$(rss_kib "$spid")"
register "$work/requests.txt"
register "$work/more.txt"
sleep 1.5  # one flush and one view rebuild
after="$(rss_kib "$spid")"
memline="memory per registered player: $(( (after - before) * 1024 / 21000 )) bytes (RSS $before -> $after KiB over 21,000 players)"
# The load runs below use the first 1,000 players only.

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

bytes="$(curl -s "http://127.0.0.1:$sport$(head -1 "$work/requests.txt")" | wc -c)"
lines="$(curl -s "http://127.0.0.1:$sport$(head -1 "$work/requests.txt")" | grep -c $'\r$' || true)"
echo "reply: $lines lines, $bytes bytes"
printf '%*s' "$bytes" '' | tr ' ' 'x' > "$work/static.txt"
chmod 644 "$work/static.txt"

summarise() {  # $1 label, $2 wrk output
  local rps p50 p99 errs
  rps="$(awk '/Requests\/sec/ {print $2}' "$2")"
  p50="$(awk '$1=="50%" {print $2}' "$2")"
  p99="$(awk '$1=="99%" {print $2}' "$2")"
  errs="$(awk '/Non-2xx/ {print $5}' "$2")"
  printf '%-28s %10s req/s  p50 %8s  p99 %8s  non-2xx %s\n' "$1" "$rps" "$p50" "$p99" "${errs:-0}"
}

ulimit -n 65536 2>/dev/null || true
for c in 100 1000; do
  wrk -t2 -c"$c" -d"${secs}s" --latency -s "$work/requests.lua" "http://127.0.0.1:$sport" > "$work/wrk-$c.txt"
  summarise "orlith-server c=$c" "$work/wrk-$c.txt"
done

# nginx, unprivileged: every path in the temp dir, a high port, two workers like our threads.
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
  server {
    listen 127.0.0.1:$nport;
    location / { root $work; default_type text/plain; }
  }
}
NGINX
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -g 'daemon off;' 2>"$work/nginx/stderr" &
pids+=($!)
sleep 0.5
for c in 100 1000; do
  wrk -t2 -c"$c" -d"${secs}s" --latency "http://127.0.0.1:$nport/static.txt" > "$work/nginx-$c.txt"
  summarise "nginx static c=$c" "$work/nginx-$c.txt"
done

echo "$memline"
kill -TERM "$spid"; wait "$spid" || true
rm -f "/dev/shm/orlith-bench-$$.db"*
