#!/bin/bash
# The manual page renders with man -l, without groff warnings, and documents
# every error message the recorder writes.
#   manual.sh docs/CorvaneV3.1
set -euo pipefail
source "$(dirname "$0")/comum.sh"

pagina=$1
precisa_comando man groff

avisos=$(groff -man -ww -z -Tutf8 "$pagina" 2>&1) || falhar "groff: $avisos"
[ -z "$avisos" ] || falhar "avisos do groff:
$avisos"
texto=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$pagina" 2>&1) || falhar "man -l: $texto"
# One line per paragraph, for searching across the line breaks.
corrido=$(tr '\n' ' ' <<<"$texto" | tr -s ' ')
for trecho in "erro ao abrir a camera: fonte" "argumentos insuficientes:" \
    "erro ao abrir o codificador: motivo" "formato de video desconhecido: extensao" \
    "erro ao gravar a camera i: motivo" "erro ao salvar a foto da camera i: motivo" \
    "EXIT STATUS" "SIGTERM" "STALLED SOURCES" "FULL DISKS" "/dev/video0" "rtsp://" \
    "output/video/Cam" "corvane-gravar"; do
    grep -qF -- "$trecho" <<<"$corrido" || falhar "a pagina nao menciona: $trecho"
done
ok "$(basename "$pagina"): $(wc -l <<<"$texto") linhas, sem avisos"
