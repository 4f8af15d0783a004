#!/bin/bash
# What corvane.service runs, run the way the unit runs it but without systemd:
# the installed wrapper as the user corvane, in a folder of /var/lib/corvane,
# with a camera from a configuration file. A SIGTERM a few seconds in must
# leave one finished video and no process behind.
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_root "rodar o servico como o usuario corvane"
precisa_pacote_instalado
precisa_comando ffmpeg ffprobe setpriv

dados=/var/lib/corvane/teste-pacote
legenda="sem-systemd-$$"
pasta=$(mktemp -d)
limpar() {
    if [ -n "${wrapper:-}" ] && kill -0 "$wrapper" 2>/dev/null; then kill -KILL "$wrapper" 2>/dev/null || true; fi
    rm -rf "$pasta" "$dados"
}
trap limpar EXIT
chmod 755 "$pasta"

# A clip long enough for the whole test.
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 20 -c:v libx264 \
    -pix_fmt yuv420p "$pasta/clipe.mp4"
cat >"$pasta/teste.conf" <<FIM
LEGENDA=$legenda
LARGURA=320
ALTURA=240
TAXA=300000
EXTENSAO=mkv
FONTE=$pasta/clipe.mp4
REGISTRO=1
FIM

install -d -o corvane -g corvane -m 0750 "$dados"
cd "$dados"
# setpriv changes user and execs, as systemd's User= does: no process stands
# between this script and the wrapper.
setpriv --reuid=corvane --regid=corvane --init-groups --reset-env \
    /usr/lib/corvane/corvane-gravar "$pasta/teste.conf" \
    >"$pasta/saida.txt" 2>"$pasta/erro.txt" &
wrapper=$!
esperar_video "$dados" 30 mkv || falhar "a gravacao nao comecou em 30 s: $(cat "$pasta/erro.txt")"
kill -0 "$wrapper" 2>/dev/null || falhar "o wrapper terminou sozinho: $(cat "$pasta/erro.txt")"
# SIGTERM to the wrapper alone, as systemd's KillMode=mixed sends it.
inicio=$(date +%s%N)
kill -TERM "$wrapper"
for _ in $(seq 100); do kill -0 "$wrapper" 2>/dev/null || break; sleep 0.1; done
kill -0 "$wrapper" 2>/dev/null && falhar "o wrapper nao terminou 10 s apos SIGTERM"
wait "$wrapper" && estado=0 || estado=$?
parada=$((($(date +%s%N) - inicio) / 1000000))
[ "$estado" -eq 0 ] || falhar "estado do wrapper apos SIGTERM: $estado ($(cat "$pasta/erro.txt"))"
pgrep -f -- "$legenda" >/dev/null && falhar "um gravador ficou rodando apos a parada"
[ ! -s "$pasta/saida.txt" ] || falhar "linha de erro do gravador: $(cat "$pasta/saida.txt")"
ok "parada em $parada ms, estado 0, nenhum processo restante"

mapfile -t videos < <(find "$dados/output/video/Cam0" -name '*.mkv')
[ "${#videos[@]}" -eq 1 ] || falhar "esperado 1 video, achados ${#videos[@]}"
[ "$(stat -c %U "${videos[0]}")" = corvane ] || falhar "o video nao pertence a corvane"
quadros=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames,codec_name \
    -of csv=p=0 "${videos[0]}")
[[ $quadros == h264,* ]] || falhar "video ilegivel ou nao H.264: $quadros"
[ "${quadros#h264,}" -gt 10 ] || falhar "video com poucos quadros: $quadros"
ok "${videos[0]#$dados/}: ${quadros#h264,} quadros H.264, arquivo terminado"
