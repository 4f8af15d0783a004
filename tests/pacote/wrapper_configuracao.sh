#!/bin/bash
# corvane-gravar's configuration file and its failure paths, with the
# recorder of the build tree: errors exit 78 with one clear line; a camera
# that does not open is retried after a pause, and a SIGTERM in the pause
# ends the wrapper at once.
#   wrapper_configuracao.sh CorvaneV3 corvane-gravar
set -uo pipefail
source "$(dirname "$0")/comum.sh"

programa=$1
wrapper=$2
((BASH_VERSINFO[0] >= 5)) || pular "o wrapper precisa de bash 5 (EPOCHREALTIME)"
precisa_comando setsid python3

pasta=$(mktemp -d)
pid=
limpar() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$pasta"
}
trap limpar EXIT
cd "$pasta"

# Runs the wrapper on the file text $2 and expects exit status $1 and a
# message matching $3 on standard error.
espera_falha() {
    local esperado=$1 texto=$2 padrao=$3 estado
    printf '%s\n' "$texto" >"$pasta/c.conf"
    timeout 20 "$wrapper" "$pasta/c.conf" >"$pasta/saida.txt" 2>"$pasta/erro.txt"
    estado=$?
    [ "$estado" -eq "$esperado" ] || falhar "estado $estado (esperado $esperado) para:
$texto
$(cat "$pasta/erro.txt")"
    grep -q -- "$padrao" "$pasta/erro.txt" || falhar "mensagem sem '$padrao': $(cat "$pasta/erro.txt")"
    ok "$(head -n 1 "$pasta/erro.txt")"
}

base="PROGRAMA=$programa"
espera_falha 78 "$base" "nenhuma camera"
espera_falha 78 "$base
FONTE=x.mp4
LARGURAA=640" "chave desconhecida: LARGURAA"
espera_falha 78 "$base
FONTE=x.mp4
ALTURA=48O" "ALTURA deve ser um inteiro"
espera_falha 78 "$base
FONTE=x.mp4
sem igual" "falta '='"
espera_falha 78 "PROGRAMA=$pasta/nao-existe
FONTE=x.mp4" "programa CorvaneV3 nao encontrado"
timeout 20 "$wrapper" "$pasta/nao-existe.conf" 2>"$pasta/erro.txt"
[ $? -eq 78 ] && grep -q 'nao foi possivel ler' "$pasta/erro.txt" || falhar "arquivo ausente: $(cat "$pasta/erro.txt")"
ok "$(cat "$pasta/erro.txt")"

# Quotes, blanks around '=', comments, CRLF line ends and a source with
# spaces reach the recorder unchanged: its error line names the source.
printf '%s\r\n' "# comentario" "$base" "  LEGENDA = \"com espacos\"  " "EXTENSAO='mkv'" \
    "FONTE = $pasta/nao existe:1.mp4" "ESPERA_APOS_FALHA=30" >"$pasta/c.conf"
"$wrapper" "$pasta/c.conf" >"$pasta/saida.txt" 2>"$pasta/erro.txt" &
pid=$!
for _ in $(seq 100); do grep -q 'nova tentativa em 30 s' "$pasta/erro.txt" && break; sleep 0.1; done
grep -q 'nova tentativa em 30 s' "$pasta/erro.txt" || falhar "sem pausa apos a falha: $(cat "$pasta/erro.txt")"
esperado="{\"status\" : \"erro\",\"thread\" : \"0\",\"descricao\" : \"erro ao abrir a camera: $pasta/nao existe:1.mp4\"}"
[ "$(cat "$pasta/saida.txt")" = "$esperado" ] || falhar "linha do gravador: $(cat "$pasta/saida.txt")"
ok "fonte com espacos e dois-pontos entregue inteira; pausa de 30 s apos a falha"
inicio=$(date +%s%N)
kill -TERM "$pid"
wait "$pid"
estado=$?
pid=
decorrido=$((($(date +%s%N) - inicio) / 1000000))
[ "$estado" -eq 0 ] || falhar "SIGTERM na pausa: estado $estado"
[ "$decorrido" -lt 2000 ] || falhar "SIGTERM na pausa: terminou apos $decorrido ms"
[ -z "$(find "$pasta" -name output)" ] || falhar "criou uma pasta output sem camera aberta"
ok "SIGTERM durante a pausa: estado 0 em $decorrido ms"

# Ctrl-C in a terminal reaches the whole foreground group; the recorder is
# in a session of its own, so it gets the signal once, from the wrapper.
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 30 -c:v libx264 \
    -pix_fmt yuv420p "$pasta/clipe.mp4" 2>/dev/null || pular "ffmpeg ausente"
printf '%s\n' "$base" "LARGURA=320" "ALTURA=240" "FONTE=$pasta/clipe.mp4" >"$pasta/c.conf"
# A background job of this script starts with SIGINT ignored; a terminal's
# foreground job does not: restore it, in a new process group like a job's.
python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setpgid(0, 0)
os.execv(sys.argv[1], sys.argv[1:])' "$wrapper" "$pasta/c.conf" >"$pasta/saida.txt" 2>"$pasta/erro.txt" &
pid=$!
esperar_video "$pasta/output" 30 mp4 || falhar "Ctrl-C: a gravacao nao comecou em 30 s: $(cat "$pasta/erro.txt")"
kill -INT -- "-$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && falhar "Ctrl-C: o wrapper nao terminou"
wait "$pid"
estado=$?
pid=
[ "$estado" -eq 0 ] || falhar "Ctrl-C: estado $estado"
video=$(find "$pasta/output" -name '*.mp4' | head -n 1)
[ -n "$video" ] || falhar "Ctrl-C: nenhum video"
if command -v ffprobe >/dev/null; then
    ffprobe -v error -show_entries format=duration -of csv=p=0 "$video" >/dev/null ||
        falhar "Ctrl-C: video sem final (o gravador recebeu dois sinais?)"
fi
ok "Ctrl-C no grupo do terminal: estado 0, video terminado"
