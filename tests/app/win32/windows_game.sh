#!/usr/bin/env bash
# The Windows game end to end under Wine, in an X server of its own, against the Linux build's
# outputs (made by linux_side.sh in LINUX_SIDE):
#   windows_game.sh picture ORLITH.EXE DEMO LINUX_SIDE WORK_DIR WINE_PREFIX
#     the demo's end state (level, steps, position, to the last digit) is the Linux build's, and
#     its last picture agrees with the Linux build's
#   windows_game.sh dialog ...
#     the registration dialog appears, Return (typed through the X server, as a player would)
#     starts the game offline, and the demo's F4 writes the Linux build's save.dat, time aside
#   windows_game.sh online ... LINUX_GAME LINUX_SERVER
#     online against the real server with a nickname wider than its HUD slot, after the Linux
#     build as the same player: ranked, the same end state and picture, the HUD texts wrapped
#     into as many lines; and a port above 65535 refused the same way by both
#   windows_game.sh pictures ORLITH.EXE PICTURES LINUX_SIDE WORK_DIR WINE_PREFIX LINUX_GAME LINUX_SERVER
#     each demo of the Linux test's pictures (tests/app/pictures) played as that test plays it,
#     its last picture at half size against the golden beside the demo where the builds agree
# Where they must agree, two pictures agree: away from the HUD's two panel columns no more than
# 200 pixels (edges rasterised a little apart; a quarter of that at half size) differ by more
# than 2 %; the panels' veil (their left margins, where no text is drawn: the fonts differ) is
# the same colour; and each column holds as many lines of text (rows of ink, not their pixels).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
part=$1 game=$2 demo=$3 linux=$4 dir=$5 prefix=$6 linux_game=${7:-} linux_server=${8:-}
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
. "$here/../../../scripts/wine-env.sh"
orlith_wine_prefix "$prefix" || exit 1
orlith_xvfb_start || exit 1
trap orlith_xvfb_stop EXIT
run() { timeout --foreground -k 5 400 wine "$game" --play "$demo" --no-pacing --screen 1920x1080 "$@" > game.log 2>&1; }
fail() { echo "$*"; cat game.log; exit 1; }

# Differing pixels of two pictures at 1/$3 of the game's size beyond a fuzz, with the HUD
# panels blacked out in both.
outside_panels() {
  local s=$3 masks=(-fill black)
  for x in 30 794; do masks+=(-draw "rectangle $((x / s)),$((30 / s)) $(((x + 200) / s - 1)),$((576 / s - 1))"); done
  convert "$1" "${masks[@]}" a.png && convert "$2" "${masks[@]}" b.png || return 1
  compare -metric AE -fuzz 2% a.png b.png null: 2>&1  # exits 1 when they differ: the count tells
}
# Lines of dark text in a rectangle: runs of pixel rows holding ink, separated by empty rows.
ink_lines() {
  convert "$1" -crop "$2" +repage -colorspace gray -threshold 25% -negate -scale "1x$(cut -dx -f2 <<<"${2%%+*}")!" \
    -depth 8 txt:- | awk -F'[(),]' 'NR > 1 { ink = $3 > 0; if (ink && !inside) lines++; inside = ink } END { print lines + 0 }'
}
# Mean red, green and blue (0-255) of a rectangle.
mean() { convert "$1" -crop "$2" +repage -resize 1x1\! -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]\n' info:; }
# Whether the Windows picture $1 agrees with the other $2, both at 1/$3 of the game's size (above).
agree() {
  local s=${3:-1} differing x box w o d
  differing=$(outside_panels "$1" "$2" "$s")
  echo "pixels differing outside the HUD panels: $differing"
  [[ $differing =~ ^[0-9]+$ ]] && ((differing <= 200 / (s * s))) || return 1
  for x in 30 794; do
    box=$((8 / s))x$((190 / s))+$(((x + 1) / s))+$((31 / s))
    read -ra w < <(mean "$1" "$box") && read -ra o < <(mean "$2" "$box") || return 1
    echo "panel at $x: veil ${w[*]} (Windows), ${o[*]}"
    for d in $((w[0] - o[0])) $((w[1] - o[1])) $((w[2] - o[2])); do ((d >= -2 && d <= 2)) || return 1; done
    box=$((180 / s))x$((546 / s))+$(((x + 10) / s))+$((30 / s))
    w=$(ink_lines "$1" "$box") && o=$(ink_lines "$2" "$box") || return 1
    echo "panel at $x: $w lines of text (Windows), $o"
    [[ $w == "$o" ]] || return 1
  done
}

case $part in
  picture)
    run --offline --start --screenshot windows.png --report report.txt || fail "the game ended with $?"
    cp "$linux/reference/linux.png" linux.png
    # The same snapshots through both platforms' loops: the same end state (the frame rate aside).
    diff <(grep -v '^fps' "$linux/reference/report.txt") <(grep -v '^fps' report.txt) || exit 1
    agree windows.png linux.png || exit 1
    ;;
  dialog)
    timeout --foreground -k 5 400 wine "$game" --offline --play "$demo" --no-pacing --screen 1920x1080 > game.log 2>&1 &
    pid=$!
    title='Orlith ニックネーム登録'
    # xdotool's search ends with an X error when a window goes while it looks (Wine makes and
    # drops windows as it starts): such a search is made again.
    visible() {
      local out
      for _ in 1 2 3 4 5; do
        out=$(xdotool search --onlyvisible --name "$1" 2>&1) && { grep -m 1 -x '[0-9][0-9]*' <<<"$out"; return 0; }
        [[ $out == *"X Error"* ]] || return 1
      done
      return 1
    }
    window=
    for _ in $(seq 900); do  # 90 s at most, for a loaded machine
      window=$(visible "$title") && break
      sleep 0.1
    done
    [[ -n $window ]] || { orlith_wine_stop; fail "the registration dialog did not appear"; }
    # Without a window manager nothing has the focus until it is given; a window just mapped may
    # refuse it for a moment, so try again until the dialog has gone.
    for _ in $(seq 240); do
      xdotool windowfocus --sync "$window" key Return 2>/dev/null
      sleep 0.5
      visible "$title" > /dev/null || break
    done
    wait "$pid" || fail "the game ended with $?"
    [[ -s save.dat ]] || fail "F4 wrote no save.dat"
    # Not exec: the exit trap must still stop this test's X server.
    "$here/linux_side.sh" compare-save "$linux/reference/save.dat" save.dat
    ;;
  online)
    # Both builds online with a ten-character full-width nickname (wider than its HUD slot):
    # Linux registers it, then Windows comes back as the same player to the same place. The end
    # states match, the pictures match away from the panels, and the panels' texts wrap into as
    # many lines on both (the fonts differ, so their rows of ink are compared, not their pixels).
    # A server of its own: the ranking both pictures show holds this player alone.
    trap '"$here/linux_side.sh" server-stop "$dir/server"; orlith_xvfb_stop' EXIT
    "$here/linux_side.sh" server-start "$linux_server" "$dir/server" || exit 1
    port=$(cat "$dir/server/port") || exit 1
    name='ＷＩＤＥＮＡＭＥ１２' online=(--pin 80668 --server 127.0.0.1 --start --frames 40 --screen 1920x1080)
    SDL_VIDEODRIVER=offscreen LIBGL_ALWAYS_SOFTWARE=1 "$linux_game" --nickname "$name" --port "$port" "${online[@]}" \
      --screenshot linux.png --report linux.txt > linux.log 2>&1 || { cat linux.log; exit 1; }
    timeout --foreground -k 5 400 wine "$game" --nickname "$name" --port "$port" "${online[@]}" --screenshot windows.png \
      --report report.txt > game.log 2>&1 || fail "the game ended with $?"
    cat report.txt
    grep -Eq '^ranking [1-9]' report.txt && grep -Fq " $name" report.txt || fail "the server did not rank $name"
    diff <(grep -v '^fps' linux.txt) <(grep -v '^fps' report.txt) || exit 1
    agree windows.png linux.png || exit 1
    # A port the connection cannot carry is refused the same way by both.
    for side in linux windows; do
      if [[ $side == linux ]]; then
        SDL_VIDEODRIVER=offscreen "$linux_game" --nickname x --pin 1 --server 127.0.0.1 --port 99999 --start --frames 1 \
          > port.log 2>&1
      else
        timeout --foreground -k 5 400 wine "$game" --nickname x --pin 1 --server 127.0.0.1 --port 99999 --start --frames 1 > port.log 2>&1
      fi
      status=$?
      ((status == 1)) && grep -q 'a port from 1 to 65535' port.log || { echo "$side: port 99999 gave $status"; cat port.log; exit 1; }
    done
    ;;
  pictures)
    # Each in a folder of its own, since the option keys write setting.ini; an online one against
    # a server of its own that has first answered the demo's "# server:" requests.
    trap '"$here/linux_side.sh" server-stop "$dir/server"; orlith_xvfb_stop' EXIT
    for case in "$demo"/*.demo; do
      name=$(basename "$case" .demo) online=$(sed -n 's/^# online: //p' "$case") args=(--offline)
      echo "== $name"
      if [[ -n $online ]]; then
        "$here/linux_side.sh" server-start "$linux_server" "$dir/server" || exit 1
        while read -r target; do
          "$here/linux_side.sh" server-send "$dir/server" "$target" || exit 1
        done < <(sed -n 's/^# server: //p' "$case")
        read -ra args <<<"$online --server 127.0.0.1 --port $(cat "$dir/server/port")"
      fi
      mkdir "$dir/$name" && cd "$dir/$name" || exit 1
      timeout --foreground -k 5 400 wine "$game" "${args[@]}" --start --play "$case" --no-pacing --screen 1920x1080 \
        --screenshot windows.png > game.log 2>&1 || fail "the game ended with $?"
      "$here/linux_side.sh" server-stop "$dir/server"
      convert windows.png -scale 50% half.png && agree half.png "${case%.demo}.png" 2 || exit 1
    done
    ;;
  *) echo "usage: $0 picture|dialog|online|pictures ORLITH.EXE DEMO LINUX_SIDE WORK_DIR WINE_PREFIX ..." >&2; exit 2 ;;
esac
