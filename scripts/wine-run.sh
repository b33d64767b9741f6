#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, and exits with the program's exit status.
# The Wine prefix is made on first use (or anew with --fresh) with the settings of wine-env.sh;
# the program runs in an Xvfb of its own unless --no-x. Also the CTest emulator of the mingw
# build (see cmake/mingw-w64-x86_64.cmake).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

usage() {
  cat >&2 <<'EOF'
usage: wine-run.sh [--prefix DIR] [--fresh] [--timeout SECONDS] [--no-x] [--screen WxHxD]
                   [--] PROGRAM.exe [ARGS...]
  --prefix DIR   Wine prefix (default: $WINEPREFIX, else ./wine-prefix); made if missing
  --fresh        delete the prefix and make it anew first
  --timeout S    end the program and everything in the prefix after S seconds (exit 124);
                 default 600
  --no-x         no X server (console programs); DISPLAY is cleared
  --screen G     Xvfb screen, default 1920x1080x24
With no PROGRAM, only makes the prefix.
EOF
  exit 2
}

prefix=${WINEPREFIX:-$PWD/wine-prefix}
fresh=
limit=600
use_x=1
screen=
while (($#)); do
  case $1 in
    --prefix) prefix=${2:?}; shift 2 ;;
    --fresh) fresh=--fresh; shift ;;
    --timeout) limit=${2:?}; shift 2 ;;
    --no-x) use_x=; shift ;;
    --screen) screen=${2:?}; shift 2 ;;
    --) shift; break ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) break ;;
  esac
done

. "$here/wine-env.sh"
orlith_wine_prefix "$prefix" $fresh || exit 125
(($#)) || exit 0

if [[ -n $use_x ]]; then
  orlith_xvfb_start $screen || exit 125
  trap orlith_xvfb_stop EXIT
else
  unset DISPLAY
fi

started=$SECONDS
# In the foreground: not a process group leader, so a group kill aimed at a reused number cannot end it.
timeout --foreground -k 10 "$limit" wine "$@"
status=$?
if ((status == 137 && SECONDS - started < limit)); then
  echo "wine-run: $1 was killed after $((SECONDS - started)) s, not by this script's time-out" >&2
elif ((status == 124 || status == 137)); then
  echo "wine-run: $1 did not end within $limit s" >&2
  # What the program started (a message box, a dialog) would otherwise keep the prefix busy.
  orlith_wine_stop
  status=124
fi
exit "$status"
