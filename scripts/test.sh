#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds everything with warnings as errors and
# runs every test through CTest; exits non-zero when anything fails.
#   scripts/test.sh             the release build and all its tests
#   scripts/test.sh sanitize    the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh tsan        the tests that run threads, under ThreadSanitizer
#   scripts/test.sh mingw       the portable core cross-compiled for Windows (build only)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
./scripts/install-deps.sh all
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
case "$preset" in
  mingw) ;;
  *) ctest --preset "$preset" ;;
esac
