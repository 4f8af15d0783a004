#!/bin/bash
# Continuous recording: corvane-gravar runs the recorder on a live stream,
# one real cycle of 60 s, then starts it again at once; a SIGTERM a few
# seconds into the second run ends it cleanly. Expected: two finished videos of
# Cam0 in consecutive minutes, and a short gap between them.
#
# Measuring the gap. The live source is a UDP stream whose frames carry their
# own number in binary (16 black or white stripes across the top half), sent
# at 25 frames per second. Decoding the last frame of the first video and the
# first frame of the second gives the source time between them,
# (n2 - n1) / 25 s, whatever the machine's clocks or load. The wrapper's own
# log gives the wall-clock times at which each run ended and began.
#
#   continuo.sh CorvaneV3 corvane-gravar PASTA_DE_TRABALHO
# Environment: CORVANE_INTERVALO_MAXIMO (seconds, default 2.5) fails the test
# above that gap; the target for a source with a key frame every second is 1.5.
# CORVANE_GOP_FONTE (frames between key frames, default 25): with 1 the gap
# is the restart alone, without the wait for the next key frame.
set -euo pipefail
source "$(dirname "$0")/comum.sh"

programa=$1
wrapper=$2
pasta=$3
limite=${CORVANE_INTERVALO_MAXIMO:-2.5}
meta=1.5
fps=25
gop=${CORVANE_GOP_FONTE:-$fps}

precisa_comando ffmpeg ffprobe python3 setsid
((BASH_VERSINFO[0] >= 5)) || pular "o wrapper precisa de bash 5 (EPOCHREALTIME)"
[ -x "$programa" ] || falhar "programa ausente: $programa"

rm -rf "$pasta"
mkdir -p "$pasta"
cd "$pasta"
legenda="continuo-$$"

fonte=
wrapper_pid=
limpar() {
    if [ -n "$wrapper_pid" ] && kill -0 "$wrapper_pid" 2>/dev/null; then
        kill -TERM "$wrapper_pid" 2>/dev/null || true
        sleep 4
        kill -KILL "$wrapper_pid" 2>/dev/null || true
    fi
    if [ -n "$fonte" ]; then kill "$fonte" 2>/dev/null || true; wait "$fonte" 2>/dev/null || true; fi
}
trap limpar EXIT

# A free UDP port on 127.0.0.1.
porta=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# The source: frame number n drawn as 16 stripes (bit 15 on the left) in the
# top half, grey below; H.264 with a key frame every $gop frames, MPEG-TS on UDP.
# Generated at 16x2 and scaled, so it costs almost nothing.
filtro="color=c=gray:s=16x2:r=$fps,format=gray,geq=lum='if(lt(Y\,1)\,255*mod(floor(N/pow(2\,15-X))\,2)\,128)',scale=320:240:flags=neighbor,format=yuv420p"
ffmpeg -nostdin -hide_banner -v error -re -f lavfi -i "$filtro" -t 150 -c:v libx264 -preset ultrafast \
    -tune zerolatency -g "$gop" -f mpegts "udp://127.0.0.1:$porta?pkt_size=1316" 2>"$pasta/fonte.log" &
fonte=$!

cat >"$pasta/continuo.conf" <<FIM
LEGENDA=$legenda
LARGURA=320
ALTURA=240
TAXA=400000
EXTENSAO=mp4
FONTE=udp://127.0.0.1:$porta
PROGRAMA=$programa
REGISTRO=1
FIM

"$wrapper" "$pasta/continuo.conf" >"$pasta/saida.txt" 2>"$pasta/registro.txt" &
wrapper_pid=$!
echo "wrapper $wrapper_pid, fonte udp://127.0.0.1:$porta; um ciclo real de 60 s..."

# Wait for the second run (at most 100 s), let it record a few seconds, stop.
for _ in $(seq 1000); do
    grep -q 'ciclo 2 iniciado' "$pasta/registro.txt" && break
    kill -0 "$wrapper_pid" 2>/dev/null || falhar "o wrapper terminou: $(cat "$pasta/registro.txt")"
    sleep 0.1
done
grep -q 'ciclo 2 iniciado' "$pasta/registro.txt" || falhar "a segunda execucao nao comecou em 100 s"
sleep 6
kill -TERM "$wrapper_pid"
for _ in $(seq 100); do kill -0 "$wrapper_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$wrapper_pid" 2>/dev/null && falhar "o wrapper nao terminou 10 s apos SIGTERM"
wait "$wrapper_pid" && estado=0 || estado=$?
wrapper_pid=
[ "$estado" -eq 0 ] || falhar "estado do wrapper apos SIGTERM: $estado"
pgrep -f -- "$legenda" >/dev/null && falhar "um gravador ficou rodando"
grep -q 'ciclo 3' "$pasta/registro.txt" && falhar "o wrapper comecou outra execucao depois do SIGTERM"
[ ! -s "$pasta/saida.txt" ] || falhar "o gravador informou erro: $(cat "$pasta/saida.txt")"
cat "$pasta/registro.txt"

mapfile -t videos < <(find "$pasta/output/video/Cam0" -name '*.mp4' | sort)
[ "${#videos[@]}" -eq 2 ] || falhar "esperados 2 videos de Cam0, achados ${#videos[@]}: ${videos[*]}"

# Everything else is measured in Python: names, frames, gap.
python3 - "$pasta" "$fps" "$limite" "$meta" "${videos[@]}" <<'FIM'
import datetime
import re
import subprocess
import sys

pasta, fps, limite, meta = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
videos = sys.argv[5:]

def falhar(texto):
    print("FALHA: " + texto, file=sys.stderr)
    sys.exit(1)

# Run start and end times from the wrapper's log.
registro = open(pasta + "/registro.txt").read()
inicios = {int(c): float(t.replace(",", ".")) for c, t in re.findall(r"ciclo (\d+) iniciado em ([\d.,]+)", registro)}
fins = {int(c): float(t.replace(",", ".")) for c, t in re.findall(r"ciclo (\d+) terminado em ([\d.,]+)", registro)}
if not (1 in inicios and 2 in inicios and 1 in fins and 2 in fins):
    falhar("registro do wrapper incompleto:\n" + registro)

def minuto_do_nome(caminho):
    m = re.search(r"Cam0/(\d+)/(\d+)/(\d+)/(\d+)/(\d\d)\.mp4$", caminho)
    if not m:
        falhar("nome fora do padrao: " + caminho)
    return datetime.datetime(*map(int, m.groups()))

def numeros(caminho):
    # The top half is cut to a band of 16 x 1 pixels, one per stripe.
    bruto = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", caminho, "-vf",
         "crop=iw:ih/4:0:ih/8,scale=16:1:flags=area,format=gray", "-f", "rawvideo", "-"],
        check=True, capture_output=True).stdout
    return [int("".join("1" if b > 127 else "0" for b in bruto[i:i + 16]), 2)
            for i in range(0, len(bruto), 16)]

nomes = [minuto_do_nome(v) for v in videos]
quadros = [numeros(v) for v in videos]
for v, q in zip(videos, quadros):
    if len(q) < 2:
        falhar(f"{v}: {len(q)} quadros")
    # Frame numbers only grow inside a file; a few may be skipped by a slow
    # read, none repeated.
    if any(b <= a for a, b in zip(q, q[1:])):
        falhar(f"{v}: numeros de quadro fora de ordem")
print(f"{videos[0][len(pasta) + 1:]}: {len(quadros[0])} quadros, fonte {quadros[0][0]}..{quadros[0][-1]}")
print(f"{videos[1][len(pasta) + 1:]}: {len(quadros[1])} quadros, fonte {quadros[1][0]}..{quadros[1][-1]}")

# A full cycle of a 25 fps source holds about 1500 frames.
if not 0.8 * 60 * fps <= len(quadros[0]) <= 1.1 * 62 * fps:
    falhar(f"o primeiro video tem {len(quadros[0])} quadros, nao um ciclo de 60 s")

# Consecutive minutes: the second run began about 60 s after the first, so its
# file is named one minute later (two, when the first began in the last
# seconds of its minute and the restart crossed one more minute boundary).
passo = (nomes[1] - nomes[0]).total_seconds()
segundo_inicial = datetime.datetime.fromtimestamp(inicios[1]).second
if passo != 60 and not (passo == 120 and segundo_inicial >= 57):
    falhar(f"nomes nao consecutivos: {nomes[0]:%H:%M} e {nomes[1]:%H:%M}")
print(f"minutos consecutivos: {nomes[0]:%H:%M} e {nomes[1]:%H:%M}")

perdidos = quadros[1][0] - quadros[0][-1] - 1
intervalo = (quadros[1][0] - quadros[0][-1]) / fps
reinicio = inicios[2] - fins[1]
ciclo1 = fins[1] - inicios[1]
print(f"duracao da primeira execucao: {ciclo1:.3f} s")
print(f"wrapper: fim da execucao 1 -> inicio da execucao 2: {reinicio * 1000:.1f} ms")
print(f"INTERVALO entre o ultimo quadro de {nomes[0]:%M}.mp4 e o primeiro de {nomes[1]:%M}.mp4: "
      f"{intervalo:.2f} s ({perdidos} quadros da fonte nao gravados; meta {meta} s)")
if intervalo <= 0:
    falhar("o segundo video comeca antes do fim do primeiro?")
if intervalo > limite:
    falhar(f"intervalo de {intervalo:.2f} s acima do limite de {limite} s")
if intervalo > meta:
    print(f"aviso: intervalo acima da meta de {meta} s")
FIM
ok "gravacao continua: dois videos em minutos consecutivos"
