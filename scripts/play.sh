#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds the game and starts it. Extra arguments
# go to the game (try --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"$(nproc)" --target orlith
exec "$root/build/src/app/orlith" "$@"
