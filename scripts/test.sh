#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds everything with warnings as errors and
# runs every test through CTest. ORLITH_SANITIZE=1 builds with ASan and UBSan instead.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
if [[ "${ORLITH_SANITIZE:-0}" == 1 ]]; then
  build=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DORLITH_SANITIZE=ON -DORLITH_BUILD_BENCH=OFF)
else
  build=build
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORLITH_SANITIZE=OFF -DORLITH_BUILD_BENCH=ON)
fi
# Every part is built and tested, whatever an earlier configure of the same folder chose.
flags+=(-DORLITH_BUILD_GAME=ON -DORLITH_BUILD_SERVER=ON)
cmake -S . -B "$build" -DORLITH_WERROR=ON "${flags[@]}"
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure --timeout 900 -j"$(nproc)"
