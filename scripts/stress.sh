#!/usr/bin/env bash
# For developers, not CI: runs the test suites again and again while both cores are kept busy
# (stress-ng), to show tests that depend on how fast the machine is. Every failure is printed with
# its CTest entry and the GoogleTest cases that failed in it; the logs stay in build/stress/.
#   scripts/stress.sh [RUNS] [PRESET ...]     default: 10 runs of the release preset
#   scripts/stress.sh 5 sanitize tsan         five runs of each of these presets
# Each preset is built first (as scripts/test.sh builds it). Exit status 1 when any run failed.
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
shift || true
presets=("$@")
((${#presets[@]})) || presets=(release)
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [RUNS] [PRESET ...]" >&2; exit 2; }

if ! command -v stress-ng >/dev/null; then
  [[ $(id -u) -eq 0 ]] || { echo "stress-ng is missing (apt-get install stress-ng)" >&2; exit 2; }
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq stress-ng >/dev/null || exit 2
fi
for preset in "${presets[@]}"; do
  { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; } >/dev/null || {
    echo "stress: the $preset build failed" >&2; exit 2; }
done

logs=build/stress
mkdir -p "$logs"
stress-ng --cpu 2 --timeout 0 --quiet &
load=$!
trap 'kill "$load" 2>/dev/null; wait "$load" 2>/dev/null' EXIT

failures=0
for preset in "${presets[@]}"; do
  for ((run = 1; run <= runs; run++)); do
    log="$logs/$preset-$run.log"
    start=$SECONDS
    if ctest --preset "$preset" --output-on-failure >"$log" 2>&1; then
      echo "$preset run $run: passed ($((SECONDS - start)) s, load $(cut -d' ' -f1 /proc/loadavg))"
      continue
    fi
    failures=$((failures + 1))
    echo "$preset run $run: FAILED ($((SECONDS - start)) s, load $(cut -d' ' -f1 /proc/loadavg)), log $log"
    # The CTest entries that failed, then the GoogleTest cases inside them.
    sed -n 's/^\s*[0-9]* - \(.*\) (\(Failed\|Timeout\|.*\))$/  entry: \1 (\2)/p' "$log"
    grep -E '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_/]+' "$log" | grep -v ' listed below' | sort -u | sed 's/^/  /'
  done
done
echo "stress: $failures failing run(s) of $((runs * ${#presets[@]}))"
((failures == 0))
