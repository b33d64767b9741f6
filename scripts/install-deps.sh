#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, skipping what is there.
#   scripts/install-deps.sh game    building and playing the game
#   scripts/install-deps.sh web     the browser game and the server that serves it: Emscripten
#                                   (with Debian's clang, lld, binaryen and node), the server's
#                                   libraries
#   scripts/install-deps.sh windows the Windows build and its Wine tests: the mingw-w64 cross
#                                   compiler, GoogleTest's sources, Wine with the X libraries its
#                                   display driver loads, Xvfb, xdotool, ImageMagick, the IPA fonts
#                                   that stand in for the Japanese ones (none needed on Linux)
#   scripts/install-deps.sh all     everything: the game, the server, every test, CI, the Windows
#                                   build and the browser game with Chromium, its driver and
#                                   Selenium for its tests (the default; a release build then
#                                   tests both)
set -euo pipefail
purpose="${1:-all}"
game=(
  build-essential cmake pkg-config
  libsdl2-dev libepoxy-dev libfreetype-dev libfontconfig-dev fonts-ipafont-gothic libpng-dev
  libgl1-mesa-dri libegl1 libegl-mesa0 libgl1 libimgui-dev libcurl4-openssl-dev
)
web=(
  build-essential cmake pkg-config gzip emscripten
  libboost-dev libsqlite3-dev libpq-dev libicu-dev zlib1g-dev
)
rest=(
  git python3 libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth
  libboost-dev libsqlite3-dev libpq-dev postgresql libicu-dev zlib1g-dev iproute2
  clang libclang-rt-14-dev wrk nginx-light libnginx-mod-stream bc curl
  g++-mingw-w64-x86-64 chromium chromium-driver python3-selenium
)
windows=(
  cmake make g++-mingw-w64-x86-64 googletest
  wine wine64 fonts-wine fonts-ipafont-gothic
  libgl1 libgl1-mesa-dri libxcursor1 libxi6 libxrandr2 libxrender1 libxcomposite1
  libxinerama1 libxxf86vm1 libxfixes3
  xvfb xauth xdotool imagemagick
)
case "$purpose" in
  game) packages=("${game[@]}") ;;
  web) packages=("${web[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  all) packages=("${game[@]}" "${web[@]}" "${rest[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [game|web|windows|all]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  # Without recommends: Wine would also ask for its 32-bit half, sound, printing and more.
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
