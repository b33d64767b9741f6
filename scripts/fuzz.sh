#!/usr/bin/env bash
# Builds the libFuzzer targets (request handling, request heads, the game's reply parser,
# the save-file reader) with clang, ASan and UBSan, then runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 30]. Exits non-zero on any crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target reply_fuzz save_fuzz request_fuzz head_fuzz
out=build/fuzz/fuzz
status=0
for target in request_fuzz head_fuzz reply_fuzz save_fuzz; do
  corpus="$out/corpus-$target"
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s"
  if ! (cd "$out" && "./$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -print_final_stats=1 "corpus-$target" 2>"$target.log"); then
    echo "$target FAILED; see $out/$target.log and the crash-* file there" >&2
    tail -40 "$out/$target.log" >&2
    status=1
  else
    grep -E "^Done [0-9]+ runs" "$out/$target.log" || true
  fi
done
exit "$status"
