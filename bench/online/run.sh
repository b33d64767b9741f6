#!/usr/bin/env bash
# The online frame's speed, headless under llvmpipe at level 1 (the in-game meter over the last
# 60 frames of the run): offline; online against a server that takes 500 ms per answer; online
# against the real orlith-server on loopback, with the requests it answered per frame.
# Usage: bench/online/run.sh [BUILD_DIR] [FRAMES]    (defaults build/release, 1200)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}
frames=${2:-1200}
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
game() {
  (cd "$work" && SDL_VIDEODRIVER=offscreen LIBGL_ALWAYS_SOFTWARE=1 "$OLDPWD/$build/src/app/sdl/orlith" \
     --screen 1920x1080 --frames "$frames" --start "$@" 2>> game.log)
}
fps() { awk '/^fps/ {print $2}' "$work/$1"; }

game --offline --report offline.txt
echo "offline: $(fps offline.txt) FPS"

python3 bench/online/slow_server.py 500 > "$work/slow.out" &
pids+=($!)
sleep 1
game --nickname slow --pin 1 --server 127.0.0.1 --port "$(head -1 "$work/slow.out")" --report slow.txt
kill "${pids[-1]}"; wait "${pids[-1]}" || true
echo "500 ms per answer: $(fps slow.txt) FPS, $(sed -n 2p "$work/slow.out") requests in $frames frames"

# No pacing of replies on the server's side, so the game alone decides how often it asks.
"$build/server/orlith-server" --host 127.0.0.1 --port 0 --admin-port 0 --min-interval-ms 0 \
  --db "$work/ranking.db" > "$work/server.out" 2>&1 &
pids+=($!)
sleep 1
port=$(grep -o 'listening on [0-9.]*:[0-9]*' "$work/server.out" | sed 's/.*://')
admin=$(grep -o 'admin on [0-9.]*:[0-9]*' "$work/server.out" | sed 's/.*://')
answered() { curl -s "http://127.0.0.1:$admin/metrics" | awk '/^orlith_requests_total\{status="200"\}/ {print $2}'; }
before=$(answered)
game --nickname fast --pin 1 --server 127.0.0.1 --port "$port" --report fast.txt
after=$(answered)
# Less the check request at start-up and the first read of the metrics (the admin listener counts it).
echo "orlith-server: $(fps fast.txt) FPS, $((after - before - 2)) ranking requests in $frames frames (at most one a frame)"
