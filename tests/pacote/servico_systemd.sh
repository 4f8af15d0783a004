#!/bin/bash
# The real service under a running systemd: an instance corvane@NAME with a
# clip as its camera is started, records a few seconds and is stopped; the
# stop must be clean (result success) and leave one finished video.
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_root "iniciar servicos do systemd"
precisa_pacote_instalado
precisa_comando ffmpeg ffprobe systemctl
[ -d /run/systemd/system ] ||
    pular "systemd nao esta rodando aqui (PID 1 e $(ps -p 1 -o comm= 2>/dev/null || echo '?')): o servico nao foi iniciado"

instancia=testepacote$$
unidade="corvane@$instancia.service"
conf=/etc/corvane/$instancia.conf
clipe=/var/lib/corvane/$instancia-clipe.mp4
dados=/var/lib/corvane/$instancia
limpar() {
    systemctl stop "$unidade" >/dev/null 2>&1 || true
    systemctl reset-failed "$unidade" >/dev/null 2>&1 || true
    rm -rf "$conf" "$clipe" "$dados"
}
trap limpar EXIT

# The service sees neither /tmp nor /home: the clip lives beside its data.
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 30 -c:v libx264 \
    -pix_fmt yuv420p -y "$clipe"
chown corvane:corvane "$clipe"
cat >"$conf" <<FIM
LEGENDA=servico
LARGURA=320
ALTURA=240
TAXA=300000
EXTENSAO=mp4
FONTE=$clipe
FIM

systemctl start "$unidade"
esperar_video "$dados" 30 mp4 || falhar "a gravacao nao comecou em 30 s"
systemctl is-active --quiet "$unidade" ||
    falhar "$unidade nao esta ativo: $(systemctl status --no-pager "$unidade" 2>&1 | tail -n 20)"
[ "$(systemctl show -p User --value "$unidade")" = corvane ] || falhar "o servico nao roda como corvane"
inicio=$(date +%s%N)
systemctl stop "$unidade"
parada=$((($(date +%s%N) - inicio) / 1000000))
resultado=$(systemctl show -p Result --value "$unidade")
[ "$resultado" = success ] || falhar "parada com resultado $resultado"
ok "$unidade parado em $parada ms, resultado $resultado"

mapfile -t videos < <(find "$dados/output/video/Cam0" -name '*.mp4' 2>/dev/null)
[ "${#videos[@]}" -ge 1 ] || falhar "nenhum video em $dados"
for video in "${videos[@]}"; do
    [ "$(stat -c %U "$video")" = corvane ] || falhar "$video nao pertence a corvane"
    ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
        -of csv=p=0 "$video" >/dev/null || falhar "$video ilegivel (sem o final do arquivo?)"
done
ok "${#videos[@]} video(s) legivel(is) em $dados"
