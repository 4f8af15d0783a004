#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and is
# missing, then builds into build/. Runs as root, or through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

pacotes=(
  g++ cmake ninja-build pkg-config binutils
  libopencv-dev libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  libgtest-dev ffmpeg xvfb xdotool x11-utils python3 procps
  dpkg-dev file man-db adduser
)

faltam=()
for p in "${pacotes[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || faltam+=("$p")
done
if ((${#faltam[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "instalando: ${faltam[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${faltam[@]}" >/dev/null
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
