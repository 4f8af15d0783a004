#!/bin/bash
# The installed libTavorin, as its users call it: from C, compiled against the
# installed header and linked by name, and from Python through ctypes.
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_pacote_instalado
precisa_comando ffmpeg

pasta=$(mktemp -d)
trap 'rm -rf "$pasta"' EXIT
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v libx264 \
    -pix_fmt yuv420p "$pasta/clipe.mp4"
printf 'isto nao e video\n' >"$pasta/texto.mp4"

verificados=0
if command -v cc >/dev/null 2>&1; then
    cat >"$pasta/validar.c" <<'FIM'
#include <Tavorin.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) printf("%s %d\n", argv[i], ValidarVideo(argv[i]) ? 1 : 0);
    return 0;
}
FIM
    cc -std=c11 -Wall -Werror -o "$pasta/validar" "$pasta/validar.c" -lTavorin ||
        falhar "nao compila contra /usr/include/Tavorin.h e -lTavorin"
    readelf -d "$pasta/validar" | grep -q 'NEEDED.*\[libTavorin.so.1\]' ||
        falhar "o programa nao depende de libTavorin.so.1 (SONAME)"
    saida=$("$pasta/validar" "$pasta/clipe.mp4" "$pasta/nao-existe.mp4" "$pasta/texto.mp4")
    esperado="$pasta/clipe.mp4 1
$pasta/nao-existe.mp4 0
$pasta/texto.mp4 0"
    [ "$saida" = "$esperado" ] || falhar "C: esperado
$esperado
veio
$saida"
    ok "C: ValidarVideo pelo cabecalho e -lTavorin instalados"
    verificados=$((verificados + 1))
else
    echo "cc ausente: uso em C nao conferido"
fi

if command -v python3 >/dev/null 2>&1; then
    # The system's python, as a user of the package would have it.
    python=/usr/bin/python3
    [ -x "$python" ] || python=$(command -v python3)
    "$python" - "$pasta/clipe.mp4" "$pasta/nao-existe.mp4" "$pasta/texto.mp4" <<'FIM' ||
import ctypes
import ctypes.util
import sys

nome = ctypes.util.find_library("Tavorin")
assert nome == "libTavorin.so.1", f"find_library: {nome}"
tavorin = ctypes.CDLL(nome)
tavorin.ValidarVideo.argtypes = [ctypes.c_char_p]
tavorin.ValidarVideo.restype = ctypes.c_bool

clipe, ausente, texto = (c.encode() for c in sys.argv[1:4])
assert tavorin.ValidarVideo(clipe) is True
assert tavorin.ValidarVideo(clipe) is True  # twice: no state kept
assert tavorin.ValidarVideo(ausente) is False
assert tavorin.ValidarVideo(texto) is False
print("ok: Python: ctypes.CDLL(%r).ValidarVideo" % nome)
FIM
        falhar "Python/ctypes"
    verificados=$((verificados + 1))
else
    echo "python3 ausente: uso em Python nao conferido"
fi

((verificados)) || pular "sem cc nem python3 para chamar a biblioteca"
