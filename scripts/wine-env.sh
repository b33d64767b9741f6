# Sourced (". scripts/wine-env.sh"): helpers to run Windows builds under Wine, headless.
#   orlith_wine_prefix DIR [--fresh]  use DIR as the Wine prefix, making it on first use
#   orlith_xvfb_start [WxHxD]         start an Xvfb of our own and point DISPLAY at it
#   orlith_xvfb_stop                  let the prefix's programs end, then stop that Xvfb
#   orlith_wine_stop                  end every program of the prefix and its wineserver
# Every step is bounded in time, so a stuck Wine or X server cannot hang a CI run.

# Default screen: 1920 x 1080 gives the game a 1024 x 576 client area.
ORLITH_XVFB_SCREEN=${ORLITH_XVFB_SCREEN:-1920x1080x24}

# Mono and Gecko installers would be offered at prefix creation (and need the network); the
# menu builder writes desktop files nobody uses. Quiet unless the caller asks for traces.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64

# Registry settings every prefix gets, as a .reg file (written UTF-16LE, so the Japanese value
# names do not depend on the caller's locale):
# - DirectWrite and GDI find no "ＭＳ ゴシック" under Wine and would draw no text at all; map
#   the Japanese fonts to the IPA fonts (fonts-ipafont-gothic). "MS UI Gothic" is where Wine
#   links Tahoma for Japanese: without it captions and list views show boxes.
# - Without a window manager a managed, decorated window stalls about 2 s on every close.
# - A crashing program would open the debugger's crash dialog and wait for a click; print the
#   backtrace and end instead.
# Beside them the prefix gets Wine's Marlett (fonts-wine), which Debian's Wine does not find by
# itself: without it the caption buttons show the letters that stand for their symbols.
_orlith_wine_settings() {
  cat <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"MS Gothic"="IPAGothic"
"MS PGothic"="IPAPGothic"
"ＭＳ ゴシック"="IPAGothic"
"ＭＳ Ｐゴシック"="IPAPGothic"
"MS UI Gothic"="IPAPGothic"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
EOF
}

_orlith_wine_make() {
  local prefix=$1 log=$1.log start=$SECONDS
  # Only ever delete a Wine prefix (or an empty folder), never a folder given by mistake.
  if [[ -d $prefix && ! -e $prefix/system.reg && -n $(ls -A "$prefix") ]]; then
    echo "wine-env: $prefix is not a Wine prefix; not touching it" >&2
    return 1
  fi
  rm -rf "$prefix"
  # wineboot returns before the prefix is complete; "wineserver -w" waits until every program
  # of the prefix has ended and the registry is on disk.
  if ! { timeout -k 10 300 wineboot --init && timeout -k 10 300 wineserver -w; } >"$log" 2>&1; then
    echo "wine-env: wineboot --init failed in $prefix (log: $log)" >&2
    timeout 10 wineserver -k 2>/dev/null
    return 1
  fi
  _orlith_wine_import "$prefix" || return 1
  echo "wine-env: made Wine prefix $prefix in $((SECONDS - start)) s" >&2
}

# Imports the settings; the marker file keeps their checksum, so a prefix made before the
# settings changed gets the new ones on its next use.
_orlith_wine_import() {
  local prefix=$1 log=$1.log
  { printf '\xff\xfe'; _orlith_wine_settings | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } \
    >"$prefix/drive_c/orlith-settings.reg"
  # Tried three times: on a loaded machine a prefix just made has once answered "Application
  # could not be started" for reg.exe, and the same import a moment later went through.
  local attempt
  for attempt in 1 2 3; do
    if { timeout -k 10 120 wine reg import 'C:\orlith-settings.reg' &&
         timeout -k 10 60 wine reg query 'HKCU\Software\Wine\X11 Driver' /v Decorated &&
         timeout -k 10 120 wineserver -w; } >>"$log" 2>&1; then
      _orlith_wine_settings | cksum >"$prefix/.orlith-ready"
      return 0
    fi
    echo "wine-env: registry import, attempt $attempt of 3, failed" >>"$log"
    timeout -k 10 120 wineserver -w >>"$log" 2>&1
  done
  echo "wine-env: could not import the registry settings into $prefix (log: $log)" >&2
  timeout 10 wineserver -k 2>/dev/null
  return 1
}

_orlith_wine_fonts() {
  local fonts=$1/drive_c/windows/Fonts
  [[ -e $fonts/marlett.ttf || ! -e /usr/share/wine/fonts/marlett.ttf ]] || cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
}

orlith_wine_prefix() {
  local prefix=${1:?usage: orlith_wine_prefix DIR [--fresh]} fresh=${2:-}
  mkdir -p "$(dirname "$prefix")" || return 1
  prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
  export WINEPREFIX=$prefix
  # Tests run in parallel share one prefix: only the first makes it, the others wait.
  (
    flock -w 600 9 || { echo "wine-env: $prefix.lock held too long" >&2; exit 1; }
    # The prefix is made without X: wineboot needs none, and so it never waits for one.
    unset DISPLAY
    if [[ $fresh == --fresh || ! -e $prefix/.orlith-ready ]]; then
      _orlith_wine_make "$prefix" || exit 1
    elif [[ $(_orlith_wine_settings | cksum) != "$(cat "$prefix/.orlith-ready")" ]]; then
      _orlith_wine_import "$prefix" || exit 1
    fi
    _orlith_wine_fonts "$prefix"
  ) 9>"$prefix.lock"
}

orlith_xvfb_start() {
  local screen=${1:-$ORLITH_XVFB_SCREEN} fifo display
  fifo=$(mktemp -u "${TMPDIR:-/tmp}/orlith-xvfb.XXXXXX")
  mkfifo "$fifo" || return 1
  # -displayfd: Xvfb picks a free display and writes its number once it accepts clients.
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
  ORLITH_XVFB_PID=$!
  if ! read -r -t 20 display <"$fifo" || [[ -z $display ]]; then
    rm -f "$fifo"
    echo "wine-env: Xvfb did not start" >&2
    kill "$ORLITH_XVFB_PID" 2>/dev/null
    ORLITH_XVFB_PID=
    return 1
  fi
  rm -f "$fifo"
  export DISPLAY=:$display
}

orlith_xvfb_stop() {
  [[ -n ${ORLITH_XVFB_PID:-} ]] || return 0
  # Programs that lose their X server die with errors; let the prefix wind down first.
  if [[ -n ${WINEPREFIX:-} ]] && ! timeout 30 wineserver -w 2>/dev/null; then
    orlith_wine_stop
  fi
  kill "$ORLITH_XVFB_PID" 2>/dev/null
  wait "$ORLITH_XVFB_PID" 2>/dev/null
  ORLITH_XVFB_PID=
  unset DISPLAY
}

orlith_wine_stop() {
  [[ -n ${WINEPREFIX:-} ]] || return 0
  timeout 30 wineserver -k 2>/dev/null
  timeout 30 wineserver -w 2>/dev/null
  return 0
}
