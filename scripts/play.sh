#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root) with what the game needs, builds it and starts it
# in the current directory (where setting.ini and save.dat live). Extra arguments go to the
# game (try --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" game
# Presets are read from the source folder; the game runs where this was started.
(cd "$root" && cmake --preset game >/dev/null && cmake --build --preset game)
exec "$root/build/game/src/app/sdl/orlith" "$@"
