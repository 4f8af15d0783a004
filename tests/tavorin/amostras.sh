#!/bin/sh
# Writes the sample files the Tavorin tests check into the folder given.
set -eu
pasta=$1
rm -rf "$pasta"
mkdir -p "$pasta/pasta.mp4"
cd "$pasta"
# A short H.264 clip, as uploaded.
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 25 \
  -c:v libx264 -pix_fmt yuv420p clip.mp4
# Its first part only: the index (moov) is written at the end, so it is missing.
head -c 4000 clip.mp4 > truncado.mp4
# Text under a video's name, and an empty file.
echo "isto nao e um video" > texto.mp4
: > vazio.mp4
# A 2x2 Radiance picture: FFmpeg refuses it, the image-sequence back end opens it.
printf '#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n\200\200\200\201\200\200\200\201\200\200\200\201\200\200\200\201' > quadro1.hdr
