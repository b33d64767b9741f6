#!/usr/bin/env bash
# Sets up a Debian 12 machine (as root) with what the browser game needs, builds it (preset web)
# and the ranking server (preset server), then starts orlith-server serving the game with the
# ranking in ranking.db of the current directory, and says where to open it. Browser players and
# desktop players pointed at this server share one ranking. Stop it with Ctrl+C. Extra arguments
# go to the server (try --help), e.g. --port 8000.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" web
# Presets are read from the source folder; the server runs where this was started.
(cd "$root" && cmake --preset web >/dev/null && cmake --build --preset web &&
  cmake --preset server >/dev/null && cmake --build --preset server)
exec "$root/build/server/server/orlith-server" --web-root "$root/build/web/site" "$@"
