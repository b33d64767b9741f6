#!/usr/bin/env bash
# What the Windows game's tests need from the Linux build, run natively beside Wine:
#   linux_side.sh reference GAME DEMO DIR   the Linux game plays DEMO offline: DIR/linux.png (last
#                                           frame), DIR/report.txt (end state), DIR/save.dat (its F4)
#   linux_side.sh server-start SERVER DIR   orlith-server on a free loopback port: DIR/port, DIR/pid
#   linux_side.sh server-send DIR TARGET    one GET of TARGET from that server, answered with 200
#   linux_side.sh server-stop DIR           ends that server
#   linux_side.sh compare-save A B          the two save files agree except the time stamp
#                                           (and so the checksum)
set -uo pipefail
case "${1:-}" in
  reference)
    game=$2 demo=$3 dir=$4
    rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
    SDL_VIDEODRIVER=offscreen LIBGL_ALWAYS_SOFTWARE=1 "$game" --offline --start --play "$demo" --no-pacing \
      --screen 1920x1080 --screenshot linux.png --report report.txt > game.log 2>&1 || { cat game.log; exit 1; }
    [[ -s linux.png && -s save.dat && -s report.txt ]] || { echo "no picture, report or save.dat from the Linux game"; exit 1; }
    ;;
  server-start)
    server=$2 dir=$3
    rm -rf "$dir" && mkdir -p "$dir" || exit 1
    "$server" --host 127.0.0.1 --port 0 --admin-port 0 --threads 2 --db "$dir/ranking.db" > "$dir/server.log" 2>&1 &
    echo $! > "$dir/pid"
    for _ in $(seq 600); do  # a minute at most, for a loaded machine
      port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$dir/server.log" | head -n 1)
      if [[ -n $port ]]; then echo "$port" > "$dir/port"; exit 0; fi
      kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
      sleep 0.1
    done
    cat "$dir/server.log"
    exit 1
    ;;
  server-send)
    dir=$2 target=$3
    exec 3<>"/dev/tcp/127.0.0.1/$(cat "$dir/port")" || exit 1
    printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' "$target" >&3
    status=$(timeout 60 head -n 1 <&3)
    [[ $status == *" 200 "* ]] && exit 0
    echo "GET $target: $status"
    exit 1
    ;;
  server-stop)
    dir=$2
    [[ -f $dir/pid ]] && kill "$(cat "$dir/pid")" 2>/dev/null
    rm -f "$dir/pid" "$dir/port"
    exit 0
    ;;
  compare-save)
    # One UTF-16LE line "state=" + 104 characters + "&sum=" + digits; characters 6-13 are the time.
    masked() { iconv -f UTF-16LE -t UTF-8 "$1" | sed -e 's/^\(state=\)......../\1TTTTTTTT/' -e 's/&sum=[0-9]*$/\&sum=/'; }
    a=$(masked "$2") && b=$(masked "$3") || exit 1
    [[ ${#a} -eq 115 && $a == "$b" ]] && exit 0
    echo "save files differ:"; echo "$a"; echo "$b"
    exit 1
    ;;
  *)
    echo "usage: $0 reference|server-start|server-stop|compare-save ..." >&2
    exit 2
    ;;
esac
