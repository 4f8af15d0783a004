#!/usr/bin/env bash
# Sets up, builds, and records one cycle from a built-in source that needs no
# camera: a test pattern served as a live stream on 127.0.0.1, plus a clip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

pasta=${DEMO_DIR:-demo}
mkdir -p "$pasta"
pasta=$(cd "$pasta" && pwd)
programa=$(pwd)/build/CorvaneV3
porta=18554

ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 10 -c:v libx264 -pix_fmt yuv420p "$pasta/clipe.mp4"
ffmpeg -v error -re -f lavfi -i testsrc2=size=1280x720:rate=25 -t 75 -c:v libx264 -preset ultrafast \
  -pix_fmt yuv420p -f mpegts -listen 1 "http://127.0.0.1:$porta/cam.ts" 2>/dev/null &
servidor=$!
trap 'kill $servidor 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  grep -q ":$(printf '%04X' $porta) 00000000:0000 0A" /proc/net/tcp && break
  sleep 0.1
done

echo "gravando um ciclo (pouco mais de 60 s) em $pasta/output ..."
(cd "$pasta" && "$programa" "Demo CorvaneV3" 0 640 480 1000000 mp4 "http://127.0.0.1:$porta/cam.ts" clipe.mp4)
echo "arquivos gravados:"
find "$pasta/output" -type f | sort
