#!/bin/bash
# The installed recorder, as a user runs it from the shell: no argument, too
# few arguments, a source that does not exist; and its manual page.
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_pacote_instalado
programa=/usr/bin/CorvaneV3
[ "$(command -v CorvaneV3)" = "$programa" ] || falhar "CorvaneV3 nao esta no PATH como $programa"

pasta=$(mktemp -d)
trap 'rm -rf "$pasta"' EXIT
cd "$pasta"

# No argument: exit 0, nothing printed, nothing created.
set +e
saida=$("$programa" 2>"$pasta/erro.txt")
estado=$?
set -e
[ "$estado" -eq 0 ] || falhar "sem argumentos: estado $estado"
[ -z "$saida" ] && [ ! -s "$pasta/erro.txt" ] || falhar "sem argumentos: imprimiu algo"
[ -z "$(ls -A "$pasta" | grep -v erro.txt)" ] || falhar "sem argumentos: criou $(ls -A "$pasta")"
ok "sem argumentos: estado 0, nada impresso"

# Too few arguments: the error line and the usage.
set +e
saida=$("$programa" so-a-legenda 2>"$pasta/erro.txt")
estado=$?
set -e
[ "$estado" -eq 0 ] || falhar "argumentos insuficientes: estado $estado"
[[ $saida == '{"status" : "erro","thread" : "0","descricao" : "argumentos insuficientes: '*'"}' ]] ||
    falhar "argumentos insuficientes: linha inesperada: $saida"
grep -q 'uso: CorvaneV3' "$pasta/erro.txt" || falhar "argumentos insuficientes: sem o uso na saida de erro"
ok "argumentos insuficientes: $saida"

# A source that does not exist: one error line, exit 0, no video.
set +e
saida=$("$programa" "Teste" 0 640 480 1000000 mp4 "$pasta/nao existe.mp4" 2>/dev/null)
estado=$?
set -e
esperado="{\"status\" : \"erro\",\"thread\" : \"0\",\"descricao\" : \"erro ao abrir a camera: $pasta/nao existe.mp4\"}"
[ "$estado" -eq 0 ] || falhar "fonte ausente: estado $estado"
[ "$saida" = "$esperado" ] || falhar "fonte ausente: esperado $esperado, veio $saida"
[ -z "$(find "$pasta" -name '*.mp4')" ] || falhar "fonte ausente: um video foi criado"
ok "fonte ausente: $saida"

# The manual page, installed compressed, found by man and rendered.
if command -v man >/dev/null 2>&1; then
    texto=$(MANWIDTH=80 man -l /usr/share/man/man1/CorvaneV3.1.gz 2>"$pasta/avisos.txt")
    [ ! -s "$pasta/avisos.txt" ] || falhar "man -l: $(cat "$pasta/avisos.txt")"
    for secao in NAME SYNOPSIS DIAGNOSTICS "EXIT STATUS" SIGNALS EXAMPLES; do
        grep -q "^$secao" <<<"$texto" || falhar "pagina de manual sem a secao $secao"
    done
    [ "$(man -w CorvaneV3 2>/dev/null)" = /usr/share/man/man1/CorvaneV3.1.gz ] ||
        falhar "man -w CorvaneV3 nao acha a pagina instalada"
    ok "pagina de manual instalada e legivel"
else
    echo "man ausente: pagina de manual nao conferida"
fi
