#!/usr/bin/env bash
# Builds the libFuzzer targets (request parser and handling, the game's reply parser, the save
# file reader) with clang and ASan/UBSan in build-fuzz/, then runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 30]. Exits non-zero on any crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
build=build-fuzz
san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san" \
  -DORLITH_BUILD_GAME=OFF -DORLITH_BUILD_BENCH=OFF -DORLITH_BUILD_SERVER=ON >/dev/null
cmake --build "$build" -j2 --target orlith_core orlith_server
libs=("$build/server/liborlith_server.a" "$build/liborlith_core.a" -lsqlite3 -lpq -licui18n -licuuc -lz -lpthread)
inc=(-Isrc -Iserver -I"$(pg_config --includedir)")
mkdir -p "$build/fuzz"
status=0
for target in request_fuzz reply_fuzz save_fuzz; do
  clang++ -std=c++20 -O1 -g -fsanitize=fuzzer $san "${inc[@]}" "fuzz/$target.cpp" "${libs[@]}" -o "$build/fuzz/$target"
  corpus="$build/fuzz/corpus-$target"
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s"
  if ! (cd "$build/fuzz" && "./$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -print_final_stats=1 "corpus-$target" 2>"$target.log"); then
    echo "$target FAILED; see $build/fuzz/$target.log and the crash-* file there" >&2
    tail -40 "$build/fuzz/$target.log" >&2
    status=1
  else
    grep -E "^Done [0-9]+ runs" "$build/fuzz/$target.log" || true
  fi
done
exit "$status"
