#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its Wine tests need (skips what is there):
# the mingw-w64 cross compiler, GoogleTest's sources, Wine with the X libraries its display
# driver loads, Xvfb, xdotool and ImageMagick for driving and capturing windows, and the IPA
# fonts that stand in for the Japanese fonts. Kept apart from install-deps.sh: none of it is
# needed to build, test or play the Linux game.
set -euo pipefail
packages=(
  cmake make g++-mingw-w64-x86-64 googletest
  wine wine64 fonts-wine fonts-ipafont-gothic
  libgl1 libgl1-mesa-dri libxcursor1 libxi6 libxrandr2 libxrender1 libxcomposite1
  libxinerama1 libxxf86vm1 libxfixes3
  xvfb xauth xdotool imagemagick
)
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
