#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, skipping what is there.
#   scripts/install-deps.sh game    building and playing the game
#   scripts/install-deps.sh all     everything: the game, the server, every test, CI (default),
#                                   and the Windows build with Wine (install-windows-deps.sh)
set -euo pipefail
purpose="${1:-all}"
game=(
  build-essential cmake pkg-config
  libsdl2-dev libepoxy-dev libfreetype-dev libfontconfig-dev fonts-ipafont-gothic libpng-dev
  libgl1-mesa-dri libegl1 libegl-mesa0 libgl1 libimgui-dev libcurl4-openssl-dev
)
rest=(
  git python3 libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth
  libboost-dev libsqlite3-dev libpq-dev postgresql libicu-dev zlib1g-dev iproute2
  clang libclang-rt-14-dev wrk nginx-light bc curl
  g++-mingw-w64-x86-64
)
case "$purpose" in
  game) packages=("${game[@]}") ;;
  all) packages=("${game[@]}" "${rest[@]}") ;;
  *) echo "usage: $0 [game|all]" >&2; exit 2 ;;
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
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
# The release build cross-builds the Windows game and tests it under Wine when these are there.
if [[ $purpose == all ]]; then
  "$(dirname "$0")/install-windows-deps.sh"
fi
