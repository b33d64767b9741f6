#!/usr/bin/env bash
# Sets up a Debian 12 machine (as root) with the Windows build's packages, cross-builds the
# Windows game (orlith.exe, preset windows-game) and runs it under Wine in the current directory
# (where setting.ini and save.dat live). On the X display in DISPLAY when there is one, otherwise
# in an Xvfb of its own (then give --start and --frames or --play, and --screenshot to see it).
# The Wine prefix lives in build/wine-prefix (made on first use, 10-25 s). Extra arguments go
# to the game (try --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-windows-deps.sh"
# Presets are read from the source folder; the game runs where this was started.
(cd "$root" && cmake --preset windows-game >/dev/null && cmake --build --preset windows-game)
game="$root/build/windows-game/src/app/win32/orlith.exe"
if [[ -n ${DISPLAY:-} ]]; then
  . "$root/scripts/wine-env.sh"
  orlith_wine_prefix "$root/build/wine-prefix"
  exec wine "$game" "$@"
fi
exec "$root/scripts/wine-run.sh" --prefix "$root/build/wine-prefix" -- "$game" "$@"
