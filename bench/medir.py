#!/usr/bin/python3
"""Performance figures of the CorvaneV3 recorder, against ffmpeg doing the same work.

Measures, with the built program:
  cpu         CPU seconds (user + system) per recorded frame: the recorder on one
              1280x720 clip against one ffmpeg process with the same band, texts,
              scaling and encoder settings; the two run in turn, several times.
  ciclo       seconds from start to exit for one file source and one live camera.
  capacidade  the largest number of live 25 fps 1280x720 streams that one recorder
              run records with >= 99% of the delivered frames in every file,
              against the largest number of ffmpeg processes that manage the same.
  memoria     peak resident memory per camera (from the runs above).
  perfil      where the recorder's CPU goes (perf, plus a preloaded sws_scale
              timer that tells the two colour conversions apart).
  conversao   micro-benchmark of the per-frame colour conversion alternatives.

Prints a table and writes docs/performance.md and docs/performance.png.

Run as root on Debian 12 (missing packages are installed with apt-get):
    /usr/bin/python3 bench/medir.py                     # everything, ~15-20 min
    /usr/bin/python3 bench/medir.py --parts cpu perfil  # some parts; the others are
                                                        # taken from bench/resultados.json
    /usr/bin/python3 bench/medir.py --cameras 4 5 --repeticoes 5
    /usr/bin/python3 bench/medir.py --parts capacidade --cameras 5 6 --ensaios 3
                                                        # each count 3 times, majority decides
    /usr/bin/python3 bench/medir.py --doc-only          # rewrite the document only
"""

import argparse
import atexit
import datetime
import json
import os
import platform
import re
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

RAIZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(RAIZ, "bench")
RESULTADOS = os.path.join(BENCH, "resultados.json")
DOC = os.path.join(RAIZ, "docs", "performance.md")
GRAFICO = os.path.join(RAIZ, "docs", "performance.png")
FONTE_TTF = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

LEGENDA = "Bench"
LARGURA, ALTURA, TAXA, EXTENSAO = 640, 480, 1000000, "mp4"
CLIPE_FPS = 25
CLIPE_SEGUNDOS = 24          # 600 frames
CICLO = 60.0                 # the recorder's cycle length, fixed in the program
LIMIAR = 0.99                # share of the delivered frames a file must hold

PACOTES = {                  # Debian package -> file it provides
    "ffmpeg": "/usr/bin/ffmpeg",
    "fonts-dejavu-core": FONTE_TTF,
    "gnuplot-nox": "/usr/bin/gnuplot",
    "linux-perf": "/usr/bin/perf",
    "gcc": "/usr/bin/gcc",
    "g++": "/usr/bin/g++",
    "pkg-config": "/usr/bin/pkg-config",
}

PARTES = ["cpu", "ciclo", "capacidade", "perfil", "conversao"]


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Child processes: every one started here is registered, and killed by its
# pid on any exit path (normal end, exception, SIGINT, SIGTERM).

_filhos = []          # Processo objects
_trava_filhos = threading.Lock()


def _limpar():
    with _trava_filhos:
        vivos = [p for p in _filhos if not p.terminado]
    for p in vivos:
        p.matar()


def _ao_sinal(sinal, _quadro):
    raise KeyboardInterrupt(f"sinal {sinal}")


atexit.register(_limpar)
signal.signal(signal.SIGTERM, _ao_sinal)
signal.signal(signal.SIGHUP, _ao_sinal)


class Processo:
    """A child whose resource usage is collected with wait4 when it ends."""

    def __init__(self, cmd, cwd=None, env=None, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, texto=False):
        self.cmd = cmd
        self.inicio = time.monotonic()
        self.popen = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                      stdout=stdout, stderr=stderr, text=texto)
        self.pid = self.popen.pid
        self.terminado = False
        self.fim = None
        self.status = None
        self.uso = None
        self.criado = None     # when the child's output file appeared, if watched
        with _trava_filhos:
            _filhos.append(self)

    def verificar(self):
        """True once the child has ended (reaping it and keeping its rusage)."""
        if self.terminado:
            return True
        pid, status, uso = os.wait4(self.pid, os.WNOHANG)
        if pid == 0:
            return False
        self._fim(status, uso)
        return True

    def _fim(self, status, uso):
        self.terminado = True
        self.fim = time.monotonic()
        self.status = os.waitstatus_to_exitcode(status)
        self.uso = uso
        self.popen.returncode = self.status

    def esperar(self, limite=None):
        prazo = None if limite is None else time.monotonic() + limite
        while not self.verificar():
            if prazo is not None and time.monotonic() > prazo:
                raise TimeoutError(f"{self.cmd[0]} nao terminou em {limite} s")
            time.sleep(0.05)
        return self

    def sinal(self, s=signal.SIGTERM):
        if not self.terminado:
            try:
                os.kill(self.pid, s)
            except ProcessLookupError:
                pass

    def _sinalizar(self, s):
        """s to the child's own children (perf's workload) first, then to it."""
        for filho in filhos_de(self.pid):
            try:
                os.kill(filho, s)
            except ProcessLookupError:
                pass
        self.sinal(s)

    def matar(self):
        """SIGTERM, then SIGKILL after 5 s; for perf, its workload first."""
        if self.terminado:
            return
        for s in (signal.SIGTERM, signal.SIGKILL):
            self._sinalizar(s)
            try:
                self.esperar(5)
                return
            except TimeoutError:
                pass

    @property
    def parede(self):
        return self.fim - self.inicio

    @property
    def cpu(self):
        return self.uso.ru_utime + self.uso.ru_stime

    @property
    def rss_mib(self):
        return self.uso.ru_maxrss / 1024.0   # ru_maxrss is in KiB on Linux


def filhos_de(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def cpu_ticks(pid):
    """utime + stime of a running process, in clock ticks (all its threads)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            campos = f.read().rsplit(")", 1)[1].split()
        return int(campos[11]) + int(campos[12])
    except (OSError, IndexError, ValueError):
        return None


TICK = os.sysconf("SC_CLK_TCK")


def rodar(cmd, **kw):
    return subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, **kw)


# --------------------------------------------------------------------------
# Set-up: packages, build, clip.

def garantir_pacotes():
    faltam = [p for p, arq in PACOTES.items() if not os.path.exists(arq)]
    if not faltam:
        return
    if os.geteuid() != 0:
        sys.exit(f"faltam pacotes: {' '.join(faltam)} (rode como root ou instale-os)")
    log(f"instalando: {' '.join(faltam)}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    rodar(["apt-get", "update", "-qq"], env=env)
    rodar(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *faltam], env=env,
          stdout=subprocess.DEVNULL)


def garantir_binario(args):
    if args.binario:
        return os.path.abspath(args.binario)
    build = os.path.join(RAIZ, "build-bench")
    binario = os.path.join(build, "CorvaneV3")
    log("compilando (Release) em build-bench/")
    rodar(["cmake", "-S", RAIZ, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
           "-DBUILD_TESTING=OFF"], stdout=subprocess.DEVNULL)
    rodar(["ninja", "-C", build, "CorvaneV3"], stdout=subprocess.DEVNULL)
    return binario


def garantir_clipe(trabalho):
    clipe = os.path.join(trabalho, "clip.mp4")
    if os.path.exists(clipe) and contar_quadros(clipe) == CLIPE_FPS * CLIPE_SEGUNDOS:
        return clipe
    log(f"gerando o clipe 1280x720 {CLIPE_FPS} fps {CLIPE_SEGUNDOS} s")
    rodar(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi",
           "-i", f"testsrc2=size=1280x720:rate={CLIPE_FPS}", "-t", str(CLIPE_SEGUNDOS),
           "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", str(2 * CLIPE_FPS), clipe])
    return clipe


_cpu_auxiliar = [0.0]   # CPU of the ffprobe runs, kept out of "other work"


def contar_quadros(arquivo):
    """Frames in the first video stream, decoded (ffprobe -count_frames)."""
    p = Processo(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames",
                  "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", arquivo],
                 stdout=subprocess.PIPE, texto=True)
    saida = p.popen.stdout.read()
    p.esperar(300)
    p.popen.stdout.close()
    _cpu_auxiliar[0] += p.cpu
    try:
        return int(saida.strip().split(",")[0])
    except ValueError:
        return 0


def limpar_dir(d):
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    return d


# --------------------------------------------------------------------------
# The two programs.

def cmd_gravador(ctx, fontes):
    return [ctx.binario, LEGENDA, "0", str(LARGURA), str(ALTURA), str(TAXA), EXTENSAO, *fontes]


def filtro_ffmpeg():
    """Band over the bottom 9%, two text lines (label; dd/mm/yyyy - hh:mm:ss),
    bicubic scaling to 640x480, one frame per 1/20 s in input order."""
    data_hora = r"%{localtime\:%d/%m/%Y - %H\\\:%M\\\:%S}"
    texto = f"fontfile={FONTE_TTF}:fontcolor=white:fontsize=h*22/1000:x=10"
    return ",".join([
        "drawbox=x=0:y=ih-ih*9/100:w=iw:h=ih*9/100:color=black:t=fill",
        f"drawtext={texto}:text='{LEGENDA}':y=h*94/100-th",
        f"drawtext={texto}:text='{data_hora}':y=h*94/100+h*45/1000-th",
        f"scale={LARGURA}:{ALTURA}:flags=bicubic",
        "setpts=N/(20*TB)",
    ])


def cmd_ffmpeg(entrada, saida):
    # -fps_mode passthrough: every decoded frame is encoded, none dropped or
    # duplicated to reach -r 20, as the recorder does (pts = frame counter).
    return ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-i", entrada,
            "-vf", filtro_ffmpeg(), "-an", "-fps_mode", "passthrough", "-r", "20",
            "-c:v", "libx264", "-threads", "1", "-b:v", str(TAXA), saida]


def arquivos_gravados(pasta, camera):
    base = os.path.join(pasta, "output", "video", f"Cam{camera}")
    achados = []
    for d, _, arqs in os.walk(base):
        achados += [os.path.join(d, a) for a in arqs if a.endswith("." + EXTENSAO)]
    return sorted(achados)


def tamanho(arq):
    try:
        return os.path.getsize(arq)
    except OSError:
        return -1


# --------------------------------------------------------------------------
# Live stream servers: ffmpeg -re, one per camera, reporting their progress.

_portas_usadas = set()


def porta_livre():
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            porta = s.getsockname()[1]
        if porta not in _portas_usadas:
            _portas_usadas.add(porta)
            return porta


def escutando(porta):
    for tabela in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(tabela) as f:
                linhas = f.readlines()[1:]
        except OSError:
            continue
        for linha in linhas:
            campos = linha.split()
            if int(campos[1].split(":")[1], 16) == porta and campos[3] == "0A":
                return True
    return False


class Servidor:
    """Serves the clip, looped, in real time, to one client. The progress
    reports (every 0.5 s: frames sent) give the moment the client connected."""

    def __init__(self, ctx, log_dir, i):
        self.porta = porta_livre()
        self.url = f"http://127.0.0.1:{self.porta}/cam.ts"
        self.relatos = []            # (monotonic time, frames sent)
        self.erro = open(os.path.join(log_dir, f"servidor{i}.log"), "w")
        self.proc = Processo(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re",
             "-stream_loop", "-1", "-i", ctx.clipe, "-c", "copy", "-f", "mpegts",
             "-progress", "pipe:1", "-stats_period", "0.5", "-listen", "1", self.url],
            stdout=subprocess.PIPE, stderr=self.erro, texto=True)
        self.leitor = threading.Thread(target=self._ler, daemon=True)
        self.leitor.start()

    def _ler(self):
        for linha in self.proc.popen.stdout:
            if linha.startswith("frame="):
                try:
                    self.relatos.append((time.monotonic(), int(linha.split("=", 1)[1])))
                except ValueError:
                    pass

    def esperar_escuta(self, limite=15):
        prazo = time.monotonic() + limite
        while not escutando(self.porta):
            if self.proc.verificar() or time.monotonic() > prazo:
                raise RuntimeError(f"servidor na porta {self.porta} nao escuta")
            time.sleep(0.05)

    def conexao(self):
        """Monotonic time at which sending started: the earliest of (report time
        - frames sent / 25) over the reports of the first ~3 s. A client that
        does not read holds the sender back, which only makes later estimates
        later; the earliest one is the safe (stricter) choice."""
        estimativas = [t - q / CLIPE_FPS for t, q in self.relatos[:7] if q > 0]
        return min(estimativas) if estimativas else None

    def parar(self):
        self.proc.matar()
        self.erro.close()


def iniciar_servidores(ctx, n, log_dir):
    servidores = [Servidor(ctx, log_dir, i) for i in range(n)]
    for s in servidores:
        s.esperar_escuta()
    return servidores


# --------------------------------------------------------------------------
# Part: CPU per frame (also gives the file-source cycle time and memory).

def ocioso(amostras):
    """All frames read: the file holds more than its header, has not grown for
    2 s, and the process used under 5% of a CPU over the last second."""
    t, ticks, tam = amostras[-1]
    if tam < 4096 or ticks is None:
        return False
    ultimo = max((a[0] for a in amostras if a[2] != tam), default=0.0)
    antes = [a for a in amostras if a[0] <= t - 1.0 and a[1] is not None]
    if t - ultimo <= 2.0 or not antes:
        return False
    return (ticks - antes[-1][1]) / TICK / (t - antes[-1][0]) < 0.05


def fim_da_leitura(amostras):
    """Time of the last growth of the file before its first 2 s without growth."""
    mudou = None
    for a, b in zip(amostras, amostras[1:]):
        if b[2] != a[2] and b[2] > 0:
            mudou = b[0]
        elif mudou is not None and b[0] - mudou >= 2.0:
            return mudou
    return None


def gravar_arquivo(ctx, pasta, parar_ocioso, prefixo=None, env=None, alvo=None, ao_iniciar=None):
    """Runs the recorder on the clip in `pasta`. With parar_ocioso it sends
    SIGTERM once it idles (all frames read, see ocioso; the recorder then
    drains the encoder and exits); otherwise it lets the 60 s cycle run.
    Returns the process, the samples (t, cpu ticks, file size) and the file."""
    cmd = (prefixo or []) + cmd_gravador(ctx, [ctx.clipe])
    p = Processo(cmd, cwd=pasta, env=env)
    if ao_iniciar:
        ao_iniciar(p)
    amostras = []
    arq = None
    enviado = False
    while not p.verificar():
        time.sleep(0.25)
        if arq is None:
            achados = arquivos_gravados(pasta, 0)
            arq = achados[0] if achados else None
            if arq:
                p.criado = time.monotonic()
        pid = alvo(p) if alvo else p.pid
        t = time.monotonic() - p.inicio
        amostras.append((t, cpu_ticks(pid) if pid else None, tamanho(arq) if arq else -1))
        if parar_ocioso and not enviado and arq and pid and ocioso(amostras):
            os.kill(pid, signal.SIGTERM)
            enviado = True
        if t > CICLO + 60:
            raise RuntimeError("o gravador nao terminou o ciclo")
    if arq is None:
        achados = arquivos_gravados(pasta, 0)
        arq = achados[0] if achados else None
    return p, amostras, arq


def parte_cpu(ctx, res):
    base = limpar_dir(os.path.join(ctx.trabalho, "cpu"))
    execucoes = []
    for r in range(ctx.args.repeticoes):
        pasta = limpar_dir(os.path.join(base, f"gravador{r}"))
        log(f"cpu: gravador, rodada {r + 1}/{ctx.args.repeticoes} (ciclo de {CICLO:.0f} s)")
        p, amostras, arq = gravar_arquivo(ctx, pasta, parar_ocioso=ctx.args.parar_ocioso)
        quadros = contar_quadros(arq) if arq else 0
        # Idle: from 2 s after the file first stopped growing (all frames read;
        # it grows once more when the encoder drains at the end of the cycle)
        # to 1.5 s before the cycle's end.
        fim_trabalho = fim_da_leitura(amostras)
        ocioso = None
        if fim_trabalho and not ctx.args.parar_ocioso:
            janela = [a for a in amostras if fim_trabalho + 2 <= a[0] <= CICLO - 1.5 and a[1] is not None]
            if len(janela) >= 2 and janela[-1][0] - janela[0][0] > 10:
                taxa = (janela[-1][1] - janela[0][1]) / TICK / (janela[-1][0] - janela[0][0])
                ocioso = {"cpu_por_s": taxa, "segundos": CICLO - fim_trabalho,
                          "cpu": taxa * (CICLO - fim_trabalho)}
        g = {"cpu": p.cpu, "user": p.uso.ru_utime, "sys": p.uso.ru_stime, "quadros": quadros,
             "parede": p.parede, "rss_mib": p.rss_mib, "fim_trabalho": fim_trabalho,
             "abertura": (p.criado - p.inicio) if p.criado else None,
             "fim_apos_ciclo": (p.fim - p.criado - CICLO) if p.criado else None,
             "ocioso": ocioso}

        log(f"cpu: ffmpeg, rodada {r + 1}/{ctx.args.repeticoes}")
        saida = os.path.join(limpar_dir(os.path.join(base, f"ffmpeg{r}")), "out.mp4")
        f = Processo(cmd_ffmpeg(ctx.clipe, saida)).esperar(600)
        fq = contar_quadros(saida)
        ff = {"cpu": f.cpu, "user": f.uso.ru_utime, "sys": f.uso.ru_stime, "quadros": fq,
              "parede": f.parede, "rss_mib": f.rss_mib}
        # The same with x264's own thread count (-threads left out), which is
        # what the recorder's encoder runs with (FFmpeg's libx264 default).
        saida_auto = os.path.join(limpar_dir(os.path.join(base, f"ffmpeg_auto{r}")), "out.mp4")
        cmd_auto = cmd_ffmpeg(ctx.clipe, saida_auto)
        i = cmd_auto.index("-threads")
        del cmd_auto[i:i + 2]
        fa = Processo(cmd_auto).esperar(600)
        ff["auto"] = {"cpu": fa.cpu, "quadros": contar_quadros(saida_auto), "rss_mib": fa.rss_mib,
                      "parede": fa.parede}
        e = {"gravador": g, "ffmpeg": ff}
        if quadros and fq:
            e["razao"] = (g["cpu"] / quadros) / (ff["cpu"] / fq)
        execucoes.append(e)
        log(f"      gravador {g['cpu']:.2f} s / {quadros} q; ffmpeg {ff['cpu']:.2f} s / {fq} q;"
            f" razao {e.get('razao', float('nan')):.3f}")

    # Start-up alone: the recorder with no argument returns at once after the
    # loader has mapped its libraries; ffmpeg -version likewise.
    log("cpu: custo de partida (5 + 5 execucoes curtas)")
    partida = {
        "gravador": statistics.median(Processo([ctx.binario]).esperar(60).cpu for _ in range(5)),
        "ffmpeg": statistics.median(Processo(["ffmpeg", "-hide_banner", "-version"]).esperar(60).cpu
                                    for _ in range(5)),
    }

    razoes = [e["razao"] for e in execucoes if "razao" in e]
    res["cpu"] = {
        "partida": partida,
        "modo": "sigterm" if ctx.args.parar_ocioso else "ciclo",
        "execucoes": execucoes,
        "clipe_quadros": CLIPE_FPS * CLIPE_SEGUNDOS,
        "ms_gravador": statistics.median(1000 * e["gravador"]["cpu"] / e["gravador"]["quadros"]
                                         for e in execucoes if e["gravador"]["quadros"]),
        "ms_ffmpeg": statistics.median(1000 * e["ffmpeg"]["cpu"] / e["ffmpeg"]["quadros"]
                                       for e in execucoes if e["ffmpeg"]["quadros"]),
        "razao": statistics.median(razoes) if razoes else None,
        "ms_ffmpeg_auto": statistics.median(1000 * e["ffmpeg"]["auto"]["cpu"] / e["ffmpeg"]["auto"]["quadros"]
                                            for e in execucoes if e["ffmpeg"]["auto"]["quadros"]),
    }


# --------------------------------------------------------------------------
# Live trials: one recorder run with N cameras, or N ffmpeg processes.

def _ensaio_gravador(ctx, n, pasta, servidores):
    p = Processo(cmd_gravador(ctx, [s.url for s in servidores]), cwd=pasta,
                 stdout=open(os.path.join(pasta, "gravador.out"), "w"))
    try:
        criado = [None] * n
        while not p.verificar():
            agora = time.monotonic()
            for i in range(n):
                if criado[i] is None and arquivos_gravados(pasta, i):
                    criado[i] = agora
            if agora - p.inicio > CICLO + 90:
                raise RuntimeError("o gravador nao terminou o ciclo")
            time.sleep(0.05)
        cams = []
        for i, s in enumerate(servidores):
            arqs = arquivos_gravados(pasta, i)
            quadros = contar_quadros(arqs[0]) if arqs else 0
            conexao = s.conexao()
            entregues = (CLIPE_FPS * (criado[i] + CICLO - conexao)
                         if criado[i] is not None and conexao is not None else None)
            cams.append({"quadros": quadros, "entregues": entregues,
                         "razao": quadros / entregues if entregues else 0.0,
                         "abertura": (criado[i] - p.inicio) if criado[i] else None,
                         "atraso_conexao": (criado[i] - conexao) if criado[i] and conexao else None})
        return {"cameras": cams, "cpu": p.cpu, "rss_mib": p.rss_mib, "parede": p.parede,
                "fim_apos_ciclo": (p.fim - max(c for c in criado if c) - CICLO)
                if any(criado) else None,
                "abertura": (min(c for c in criado if c) - p.inicio) if any(criado) else None}
    finally:
        p.matar()


def _ensaio_ffmpeg(ctx, n, pasta, servidores):
    clientes = []
    try:
        saidas = [os.path.join(pasta, f"cam{i}.mp4") for i in range(n)]
        clientes = [Processo(cmd_ffmpeg(s.url, saidas[i]),
                             stderr=open(os.path.join(pasta, f"ffmpeg{i}.log"), "w"))
                    for i, s in enumerate(servidores)]
        criado = [None] * n
        parada = [None] * n
        inicio = time.monotonic()
        while not all(c.verificar() for c in clientes):
            agora = time.monotonic()
            for i, c in enumerate(clientes):
                if criado[i] is None and os.path.exists(saidas[i]):
                    criado[i] = agora
                if criado[i] is not None and parada[i] is None and agora >= criado[i] + CICLO:
                    c.sinal(signal.SIGTERM)      # ffmpeg finishes the file and exits
                    parada[i] = agora
            if agora - inicio > CICLO + 90:
                raise RuntimeError("ffmpeg nao terminou")
            time.sleep(0.05)
        cams = []
        for i, s in enumerate(servidores):
            quadros = contar_quadros(saidas[i]) if os.path.exists(saidas[i]) else 0
            conexao = s.conexao()
            entregues = (CLIPE_FPS * (parada[i] - conexao)
                         if parada[i] is not None and conexao is not None else None)
            cams.append({"quadros": quadros, "entregues": entregues,
                         "razao": quadros / entregues if entregues else 0.0,
                         "cpu": clientes[i].cpu, "rss_mib": clientes[i].rss_mib})
        return {"cameras": cams, "cpu": sum(c.cpu for c in clientes),
                "rss_mib": max(c.rss_mib for c in clientes)}
    finally:
        for c in clientes:
            c.matar()


def esperar_calma(ctx):
    """With --calma C: wait (up to 15 min) until the machine's other work uses
    under C cores, sampled over 3 s, before a timed trial."""
    limite = ctx.args.calma
    if not limite:
        return
    prazo = time.monotonic() + 900
    while True:
        a = ocupacao()
        time.sleep(3)
        b = ocupacao()
        nucleos = (b[0] - a[0]) / TICK / 3
        if nucleos < limite or time.monotonic() > prazo:
            if nucleos >= limite:
                log(f"maquina ainda ocupada ({nucleos:.2f} nucleos); seguindo assim mesmo")
            return
        log(f"esperando a maquina acalmar ({nucleos:.2f} nucleos ocupados)")
        time.sleep(10)


def ensaio(fn, ctx, n, pasta):
    """Runs one live trial with n servers. Adds the CPU the servers used and the
    CPU that other work on the machine used meanwhile, in cores (machine-wide
    busy time minus this trial's processes, over the trial's wall time)."""
    esperar_calma(ctx)
    antes, t0 = ocupacao(), time.monotonic()
    aux0, eu0 = _cpu_auxiliar[0], sum(os.times()[:2])
    servidores = iniciar_servidores(ctx, n, pasta)
    try:
        r = fn(ctx, n, pasta, servidores)
    finally:
        for s in servidores:
            s.parar()
    depois, t1 = ocupacao(), time.monotonic()
    r["cpu_servidores"] = sum(s.proc.cpu for s in servidores if s.proc.uso)
    ocupado = (depois[0] - antes[0]) / TICK
    nosso = (r["cpu"] + r["cpu_servidores"] + _cpu_auxiliar[0] - aux0
             + sum(os.times()[:2]) - eu0)
    r["outros_nucleos"] = max(0.0, (ocupado - nosso) / (t1 - t0))
    return r


def ensaio_gravador(ctx, n, pasta):
    return ensaio(_ensaio_gravador, ctx, n, pasta)


def ensaio_ffmpeg(ctx, n, pasta):
    return ensaio(_ensaio_ffmpeg, ctx, n, pasta)


def parte_ciclo(ctx, res):
    """One live camera: cycle time, frames and memory of a one-camera run."""
    pasta = limpar_dir(os.path.join(ctx.trabalho, "ciclo_vivo"))
    log("ciclo: gravador com 1 camera ao vivo (~65 s)")
    r = ensaio_gravador(ctx, 1, pasta)
    res["ciclo"] = {"vivo": r}


def parte_capacidade(ctx, res):
    """Trials at the given stream counts, upwards; a side that fails is not run
    at larger counts, and the part stops when both have failed. A side that
    fails at the smallest count is then tried at smaller ones, down to 1, until
    it passes, so that its capacity is a number rather than "below N".
    With --ensaios K each count is tried K times per side, the two sides
    taking turns, and a side holds the count when most of its trials pass;
    the trial with the median worst file stands for the count in the tables."""
    base = limpar_dir(os.path.join(ctx.trabalho, "capacidade"))
    vezes = max(1, ctx.args.ensaios)
    ensaios = {}
    falhou = {"gravador": False, "ffmpeg": False}
    passou_algum = {"gravador": False, "ffmpeg": False}

    def um_ensaio(n, lado, k):
        fn = ensaio_gravador if lado == "gravador" else ensaio_ffmpeg
        log(f"capacidade: {lado} com {n} fluxos, ensaio {k + 1}/{vezes} (~65 s)")
        r = fn(ctx, n, limpar_dir(os.path.join(base, f"{lado}{n}")))
        r["minimo"] = min(c["razao"] for c in r["cameras"])
        r["passou"] = r["minimo"] >= LIMIAR
        log(f"      {lado} {n}: " + " ".join(f"{100 * c['razao']:.1f}%" for c in r["cameras"])
            + (" ok" if r["passou"] else " FALHOU"))
        return r

    def resumir(n, lado, feitos):
        feitos = sorted(feitos, key=lambda r: r["minimo"])
        r = dict(feitos[len(feitos) // 2])
        r["passaram"] = sum(x["passou"] for x in feitos)
        r["vezes"] = len(feitos)
        r["minimos"] = [x["minimo"] for x in feitos]
        r["passou"] = 2 * r["passaram"] > r["vezes"]
        ensaios.setdefault(n, {"n": n})[lado] = r
        return r["passou"]

    def rodar(n, lados):
        feitos = {lado: [] for lado in lados}
        for k in range(vezes):
            for lado in lados:
                feitos[lado].append(um_ensaio(n, lado, k))
        return {lado: resumir(n, lado, feitos[lado]) for lado in lados}

    for n in sorted(ctx.args.cameras):
        lados = [lado for lado in ("gravador", "ffmpeg") if not falhou[lado]]
        for lado, ok in rodar(n, lados).items():
            falhou[lado] = not ok
            passou_algum[lado] |= ok
        if all(falhou.values()):
            break
    for lado in ("gravador", "ffmpeg"):
        n = min(ctx.args.cameras) - 1
        while not passou_algum[lado] and n >= 1:
            passou_algum[lado] = rodar(n, [lado])[lado]
            n -= 1
    res["capacidade"] = {"ensaios": [ensaios[n] for n in sorted(ensaios)], "limiar": LIMIAR,
                         "vezes": vezes}


# --------------------------------------------------------------------------
# Part: profile.

def compilar_cronometro(ctx):
    so = os.path.join(ctx.trabalho, "cronometro_sws.so")
    rodar(["gcc", "-O2", "-shared", "-fPIC", "-o", so,
           os.path.join(BENCH, "cronometro_sws.c"), "-ldl"])
    return so


def ler_perf(dados, categorizar):
    """perf script -> total samples, {category: samples}, leaf (dso, symbol)
    counts, and per thread {category: samples} (threads in order of samples)."""
    r = subprocess.run(["perf", "script", "-i", dados, "-F", "comm,pid,tid,period,event,ip,sym,dso"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                       stdin=subprocess.DEVNULL)
    amostras, atual, fio = [], None, None
    for linha in r.stdout.splitlines():
        if not linha.strip():
            if atual is not None:
                amostras.append((fio, atual))
            atual = None
            continue
        if not linha[0].isspace():
            m = re.search(r"\s(\d+)/(\d+)\s", linha)
            fio = ("principal" if m and m.group(1) == m.group(2) else m.group(2)) if m else "?"
            atual = []
            continue
        m = re.match(r"\s*[0-9a-f]+\s+(.*?)\s+\((.*)\)\s*$", linha)
        if m and atual is not None:
            atual.append((m.group(1), m.group(2)))
    if atual:
        amostras.append((fio, atual))
    categorias, folhas, fios = {}, {}, {}
    total = 0
    for fio, pilha in amostras:
        if not pilha:
            continue
        total += 1
        c = categorizar(pilha)
        categorias[c] = categorias.get(c, 0) + 1
        f = fios.setdefault(fio, {})
        f[c] = f.get(c, 0) + 1
        sym, dso = pilha[0]
        chave = f"{os.path.basename(dso)} {sym if sym != '[unknown]' else ''}".strip()
        folhas[chave] = folhas.get(chave, 0) + 1
    lista_fios = [{"principal": nome == "principal", "categorias": f}
                  for nome, f in sorted(fios.items(), key=lambda x: -sum(x[1].values()))]
    return total, categorias, folhas, lista_fios


def categorizador(binario, mapa):
    binario = os.path.realpath(binario)

    def categorizar(pilha):
        carregando = False
        for sym, dso in pilha:
            nome = os.path.basename(dso)
            if "cronometro_sws" in nome:       # the measuring shim itself
                return "outros"
            if "ld-linux" in nome or sym.startswith("_dl_") or sym in ("dlopen", "dlopen@GLIBC_2.2.5"):
                carregando = True
                continue
            if dso == binario or nome == os.path.basename(binario):
                return "proprio"
            for chave, cat in mapa:
                if chave in nome:
                    return cat
        return "carga" if carregando else "outros"
    return categorizar


MAPA_GRAVADOR = [("libx264", "codificador"), ("libswscale", "escalador"),
                 ("libavcodec", "decodificador"), ("libopencv", "opencv"),
                 ("libavformat", "conteiner")]
MAPA_FFMPEG = [("libx264", "codificador"), ("libswscale", "escalador"),
               ("libavcodec", "decodificador"), ("libavfilter", "filtros"),
               ("libfreetype", "filtros"), ("libavformat", "conteiner"),
               ("ffmpeg", "proprio")]


def parte_perfil(ctx, res):
    pasta = limpar_dir(os.path.join(ctx.trabalho, "perfil"))
    so = compilar_cronometro(ctx)
    cron = os.path.join(pasta, "cronometro.txt")
    dados = os.path.join(pasta, "gravador.perf")
    perf = ["perf", "record", "-q", "-e", "cpu-clock", "-F", str(ctx.args.frequencia),
            "--call-graph", "dwarf,8192", "-o", dados, "--"]
    env = dict(os.environ, LD_PRELOAD=so, CRONOMETRO_SAIDA=cron)
    log("perfil: gravador no clipe sob perf (~15 s)")

    def alvo(p):
        filhos = filhos_de(p.pid)
        return filhos[0] if filhos else None

    threads = []

    def contar_threads(p):
        while not p.terminado:
            a = alvo(p)
            if a:
                try:
                    threads.append(len(os.listdir(f"/proc/{a}/task")))
                except OSError:
                    pass
            time.sleep(1)

    p, _, arq = gravar_arquivo(
        ctx, pasta, parar_ocioso=True, prefixo=perf, env=env, alvo=alvo,
        ao_iniciar=lambda p: threading.Thread(target=contar_threads, args=(p,), daemon=True).start())
    quadros = contar_quadros(arq) if arq else 0
    total, cats, folhas, fios = ler_perf(dados, categorizador(ctx.binario, MAPA_GRAVADOR))

    chamadores = {}
    if os.path.exists(cron):
        for linha in open(cron):
            nome, chamadas, ns = linha.split()
            lado = "captura" if "videoio" in nome else (
                "gravador" if nome == os.path.basename(ctx.binario) else nome)
            chamadores[lado] = {"chamadas": int(chamadas), "ns": int(ns)}

    log("perfil: ffmpeg no clipe sob perf (~10 s)")
    dados_ff = os.path.join(pasta, "ffmpeg.perf")
    perf_ff = perf[:perf.index("-o") + 1] + [dados_ff, "--"]
    Processo(perf_ff + cmd_ffmpeg(ctx.clipe, os.path.join(pasta, "ffmpeg.mp4"))).esperar(600)
    total_ff, cats_ff, folhas_ff, fios_ff = ler_perf(dados_ff, categorizador("/usr/bin/ffmpeg", MAPA_FFMPEG))

    def top(f, t, n=12):
        return [(k, 100.0 * v / t) for k, v in sorted(f.items(), key=lambda x: -x[1])[:n]]

    res["perfil"] = {
        "amostras": total, "categorias": cats, "quadros": quadros,
        "sws": chamadores, "threads": max(threads) if threads else None,
        "folhas": top(folhas, total), "fios": fios,
        "ffmpeg": {"amostras": total_ff, "categorias": cats_ff, "folhas": top(folhas_ff, total_ff),
                   "fios": fios_ff},
    }


# --------------------------------------------------------------------------
# Part: colour conversion micro-benchmark.

def parte_conversao(ctx, res):
    fonte = os.path.join(BENCH, "conversao.cpp")
    exe = os.path.join(ctx.trabalho, "conversao")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "opencv4", "libswscale",
                            "libavutil"], stdout=subprocess.PIPE, text=True, check=True).stdout.split()
    log("conversao: compilando e medindo")
    rodar(["g++", "-O2", "-std=c++17", "-o", exe, fonte, *flags])
    r = subprocess.run([exe], stdout=subprocess.PIPE, text=True, check=True)
    res["conversao"] = json.loads(r.stdout)


# --------------------------------------------------------------------------
# Machine and load.

def maquina():
    modelo = "?"
    with open("/proc/cpuinfo") as f:
        for linha in f:
            if linha.startswith("model name"):
                modelo = linha.split(":", 1)[1].strip()
                break
    mem = "?"
    with open("/proc/meminfo") as f:
        for linha in f:
            if linha.startswith("MemTotal"):
                mem = f"{int(linha.split()[1]) / 1024 / 1024:.1f} GiB"
    versoes = {}
    for pac in ("ffmpeg", "libx264-164", "libopencv-videoio406", "libswscale6", "linux-perf"):
        r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pac], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
        versoes[pac] = r.stdout.strip() or "?"
    debian = "?"
    if os.path.exists("/etc/debian_version"):
        debian = open("/etc/debian_version").read().strip()
    return {"nproc": os.cpu_count(), "modelo": modelo, "memoria": mem,
            "kernel": platform.release(), "debian": debian, "versoes": versoes}


def ocupacao():
    """(busy jiffies, total jiffies) of the whole machine."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    ocioso = v[3] + v[4]
    return sum(v) - ocioso, sum(v)


class Carga:
    """Machine-wide CPU use and load average over one part."""

    def __init__(self):
        self.a = ocupacao()
        self.la = os.getloadavg()
        self.t = time.time()

    def fim(self):
        b = ocupacao()
        ocupado = (b[0] - self.a[0]) / max(1, b[1] - self.a[1])
        return {"ocupacao": ocupado, "load_inicio": self.la[0], "load_fim": os.getloadavg()[0],
                "segundos": time.time() - self.t,
                "quando": datetime.datetime.fromtimestamp(self.t).strftime("%Y-%m-%d %H:%M")}


# --------------------------------------------------------------------------
# Report: table, chart, document.

def categorias_percentuais(perfil):
    """Recorder profile as percentages, the scaler split by caller."""
    total = perfil["amostras"] or 1
    c = {k: 100.0 * v / total for k, v in perfil["categorias"].items()}
    sws = perfil.get("sws") or {}
    cap = sws.get("captura", {}).get("ns", 0)
    gra = sws.get("gravador", {}).get("ns", 0)
    parte_cap = cap / (cap + gra) if cap + gra else None
    return c, parte_cap


NOMES = {"codificador": "encoder (libx264)", "escalador": "scaler (libswscale)",
         "decodificador": "decoder (libavcodec, H.264 decoding)",
         "opencv": "OpenCV (videoio, core copies, imgproc/putText)",
         "proprio": "recorder's own code (incl. libc calls it makes)",
         "conteiner": "demuxing/muxing (libavformat)",
         "carga": "start-up (loading shared libraries)",
         "outros": "other (kernel, libc, thread start, unresolved)",
         "filtros": "filters (drawbox, drawtext + FreeType)"}


def capacidade_maxima(cap, lado):
    melhor = 0
    for e in cap["ensaios"]:
        r = e.get(lado)
        if r and r["passou"]:
            melhor = max(melhor, e["n"])
    testados = [e["n"] for e in cap["ensaios"] if lado in e]
    return melhor, testados


def memoria(res):
    """Recorder: base + per camera from the 1-camera live run and the largest
    live trial with 4 cameras (or the largest that ran)."""
    out = {}
    um = res.get("ciclo", {}).get("vivo")
    cap = res.get("capacidade", {}).get("ensaios", [])
    varios = [e for e in cap if "gravador" in e and e["n"] > 1]
    if um and varios:
        escolhido = next((e for e in varios if e["n"] == 4), varios[-1])
        n = escolhido["n"]
        por = (escolhido["gravador"]["rss_mib"] - um["rss_mib"]) / (n - 1)
        out["gravador"] = {"um": um["rss_mib"], "n": n, "varios": escolhido["gravador"]["rss_mib"],
                           "por_camera": por, "base": um["rss_mib"] - por}
    ff = [c["rss_mib"] for e in cap if "ffmpeg" in e for c in e["ffmpeg"]["cameras"]]
    if ff:
        out["ffmpeg"] = {"mediana": statistics.median(ff), "max": max(ff)}
    if "cpu" in res:
        out["arquivo"] = {
            "gravador": statistics.median(e["gravador"]["rss_mib"] for e in res["cpu"]["execucoes"]),
            "ffmpeg": statistics.median(e["ffmpeg"]["rss_mib"] for e in res["cpu"]["execucoes"])}
    return out


def tabela_resumo(res):
    linhas = []
    cpu = res.get("cpu")
    if cpu:
        linhas.append(("CPU per recorded frame (ms, user+sys, median)",
                       f"{cpu['ms_gravador']:.2f}", f"{cpu['ms_ffmpeg']:.2f}",
                       "ratio <= 1.05",
                       f"ratio {cpu['razao']:.3f}" + (" (met)" if cpu["razao"] <= 1.05 else " (not met)")))
    cap = res.get("capacidade")
    if cap:
        g, tg = capacidade_maxima(cap, "gravador")
        f, tf = capacidade_maxima(cap, "ffmpeg")
        outros = [e[l].get("outros_nucleos", 0.0) for e in cap["ensaios"]
                  for l in ("gravador", "ffmpeg") if l in e]
        nota = (f"; other work used up to {max(outros):.1f} cores meanwhile"
                if outros and max(outros) > 0.3 else "")
        def cap_texto(melhor, testados):
            if not testados:
                return "not run"
            valor = str(melhor) if melhor else f"< {min(testados)}"
            return f"{valor} (tested {' '.join(map(str, testados))})"
        linhas.append(("Live 25 fps 1280x720 streams kept at >= 99%",
                       cap_texto(g, tg), cap_texto(f, tf),
                       "above ffmpeg's", ("met" if g > f else "not met") + nota))
    ciclo = res.get("ciclo", {}).get("vivo")
    if cpu and ciclo:
        arq = statistics.median(e["gravador"]["parede"] for e in cpu["execucoes"])
        atrasos = [e["gravador"].get("fim_apos_ciclo") for e in cpu["execucoes"]]
        atrasos = [x for x in atrasos if x is not None]
        if cpu.get("modo") != "ciclo":       # stopped early: no whole file-source cycle
            arq, atrasos = float("nan"), []
        fim_arq = statistics.median(atrasos) if atrasos else None
        fim = ciclo.get("fim_apos_ciclo")
        ok = fim is not None and fim <= 1.5 and (fim_arq is None or fim_arq <= 1.5)
        linhas.append(("Cycle, start to exit (s): file source / one live camera",
                       ("n/a" if arq != arq else f"{arq:.2f}") + f" / {ciclo['parede']:.2f}", "-",
                       "exit <= 1.5 s after the 60 s cycle",
                       "exit " + (f"{fim_arq:.2f}" if fim_arq is not None else "?")
                       + f" / {fim:.2f} s after it" + (" (met)" if ok else " (not met)")))
    mem = memoria(res)
    if "gravador" in mem and "ffmpeg" in mem:
        m = mem["gravador"]
        linhas.append(("Peak resident memory per camera (MiB)",
                       f"{m['por_camera']:.0f} (+{m['base']:.0f} once)",
                       f"{mem['ffmpeg']['mediana']:.0f} per process", "-", ""))
    perfil = res.get("perfil")
    if perfil:
        c, _ = categorias_percentuais(perfil)
        proprio = c.get("proprio", 0.0)
        linhas.append(("Recorder's own code, share of its CPU", f"{proprio:.1f}%", "-", "<= 5%",
                       "met" if proprio <= 5 else "not met"))
    return linhas


def imprimir(res):
    linhas = tabela_resumo(res)
    larg = [max(len(str(l[i])) for l in linhas + [("Figure", "CorvaneV3", "ffmpeg", "Target", "Status")])
            for i in range(5)]
    cab = ("Figure", "CorvaneV3", "ffmpeg", "Target", "Status")
    print("  ".join(str(x).ljust(w) for x, w in zip(cab, larg)))
    print("  ".join("-" * w for w in larg))
    for l in linhas:
        print("  ".join(str(x).ljust(w) for x, w in zip(l, larg)))
    perfil = res.get("perfil")
    if perfil:
        c, parte_cap = categorias_percentuais(perfil)
        print("\nWhere the recorder's CPU goes (perf, share of samples):")
        for k, v in sorted(c.items(), key=lambda x: -x[1]):
            extra = ""
            if k == "escalador" and parte_cap is not None:
                extra = (f"  (capture YUV->BGR {v * parte_cap:.1f}%, "
                         f"writer BGR->YUV 640x480 {v * (1 - parte_cap):.1f}%)")
            print(f"  {NOMES.get(k, k):52s} {v:5.1f}%{extra}")


def grafico(res, trabalho):
    """docs/performance.png: CPU per frame, capacity curve, profile split."""
    d = os.path.join(trabalho, "grafico")
    os.makedirs(d, exist_ok=True)
    paineis = []
    cpu = res.get("cpu")
    if cpu:
        with open(os.path.join(d, "cpu.dat"), "w") as f:
            f.write(f'"CorvaneV3" {cpu["ms_gravador"]:.3f}\n"ffmpeg" {cpu["ms_ffmpeg"]:.3f}\n')
        paineis.append(
            'set title "CPU per recorded frame (user+sys, median)"\n'
            'set ylabel "ms per frame"\nset yrange [0:*]\nset style fill solid 0.7\n'
            'set boxwidth 0.5\nunset key\nset xtics nomirror\n'
            f'plot "{d}/cpu.dat" using 0:2:xtic(1) with boxes lc rgb "#3b6ea8", '
            f'"" using 0:2:(sprintf("%.2f",$2)) with labels offset 0,1\n')
    cap = res.get("capacidade")
    if cap:
        for lado in ("gravador", "ffmpeg"):
            with open(os.path.join(d, f"cap_{lado}.dat"), "w") as f:
                for e in cap["ensaios"]:
                    if lado in e:
                        f.write(f'{e["n"]} {100 * e[lado]["minimo"]:.2f}\n')
        ns = [e["n"] for e in cap["ensaios"]]
        paineis.append(
            'set title "Live 25 fps 1280x720 streams: worst file"\n'
            'set ylabel "% of delivered frames recorded"\nset xlabel "streams"\n'
            f'set xrange [{min(ns) - 0.5}:{max(ns) + 0.5}]\nset yrange [*:101]\nset xtics 1\n'
            'set key bottom left\n'
            f'plot "{d}/cap_gravador.dat" with linespoints lw 2 pt 7 lc rgb "#3b6ea8" title "CorvaneV3 (one run)", '
            f'"{d}/cap_ffmpeg.dat" with linespoints lw 2 pt 5 lc rgb "#c0504d" title "ffmpeg (one per stream)", '
            '99 with lines dt 2 lc rgb "black" title "99%"\n'
            'unset xlabel\nset xrange [*:*]\n')
    perfil = res.get("perfil")
    if perfil:
        c, parte_cap = categorias_percentuais(perfil)
        itens = []
        for k, v in sorted(c.items(), key=lambda x: -x[1]):
            if k == "escalador" and parte_cap is not None:
                itens.append(("scaler: writer BGR->YUV", v * (1 - parte_cap)))
                itens.append(("scaler: capture YUV->BGR", v * parte_cap))
            else:
                itens.append((NOMES.get(k, k).split(" (")[0], v))
        with open(os.path.join(d, "perfil.dat"), "w") as f:
            for nome, v in itens:
                f.write(f'"{nome}" {v:.2f}\n')
        paineis.append(
            'set title "Where the recorder\'s CPU goes (perf samples)"\n'
            'set ylabel "% of CPU"\nset yrange [0:*]\nset style fill solid 0.7\n'
            'set boxwidth 0.6\nunset key\nset xtics rotate by -30 nomirror font ",8"\n'
            f'plot "{d}/perfil.dat" using 0:2:xtic(1) with boxes lc rgb "#6a9f58", '
            f'"" using 0:2:(sprintf("%.1f",$2)) with labels offset 0,1 font ",8"\n')
    if not paineis:
        return False
    script = os.path.join(d, "grafico.gp")
    with open(script, "w") as f:
        f.write(f'set terminal pngcairo size {460 * len(paineis)},420 font "DejaVu Sans,9"\n')
        f.write(f'set output "{GRAFICO}"\n')
        f.write(f"set multiplot layout 1,{len(paineis)}\nset grid ytics\n")
        for p in paineis:
            f.write("reset\nset grid ytics\n" + p)
        f.write("unset multiplot\n")
    rodar(["gnuplot", script])
    return True


def nome_do_fio(f, n):
    c = f["categorias"]
    if f["principal"]:
        return "main"
    for cat, nome in (("codificador", "encoder worker"), ("decodificador", "decoder worker"),
                      ("filtros", "filter worker")):
        if c.get(cat, 0) >= 0.9 * n:
            return nome
    if c.get("proprio", 0) + c.get("opencv", 0) + c.get("escalador", 0) > 0:
        return "recording / processing thread"
    return "other"


def escrever_doc(res, tem_grafico):
    L = []
    m = res.get("maquina", {})
    L.append("# CorvaneV3 performance\n")
    L.append("Figures measured by `bench/medir.py` with the Release build of the recorder, "
             "against `ffmpeg` doing the same work on the same machine. "
             f"Last run: {res.get('quando', '?')}.\n")
    L.append("## Summary\n")
    L.append("| Figure | CorvaneV3 | ffmpeg | Target | Status |")
    L.append("|---|---|---|---|---|")
    for l in tabela_resumo(res):
        L.append("| " + " | ".join(str(x) for x in l) + " |")
    L.append("")
    if tem_grafico:
        L.append("![CPU per frame, capacity and profile](performance.png)\n")

    cpu = res.get("cpu")
    if cpu:
        L.append("## 1. CPU per recorded frame\n")
        L.append(f"One 1280×720 clip, {cpu['clipe_quadros']} frames at 25 fps (testsrc2, libx264), "
                 "recorded to 640×480 at 1 Mbit/s in MP4. The recorder and `ffmpeg` run in turn; "
                 "each figure is the user + system CPU time of the whole process "
                 "(`wait4` rusage) divided by the frames in its output (`ffprobe -count_frames`). "
                 "The ratio is taken per pair of runs and its median reported.\n")
        if cpu["modo"] == "ciclo":
            L.append("The recorder always runs its 60-second cycle: it reads the clip as fast as it "
                     "can (about 10 s), then idles until the cycle ends, polling the finished file "
                     "(every 5 ms at first, backing off to every 40 ms), and drains the encoder. That idle time is **included** in its "
                     "figure; the column *idle CPU* shows what it cost (measured from `/proc` "
                     "between 2 s after the file stopped growing and 1.5 s before the end).\n")
        else:
            L.append("The recorder was stopped with SIGTERM once it idled (its file unchanged "
                     "for 2 s and under 5% of a CPU used; it then drains the encoder and exits), "
                     "so the idle part of the cycle is not counted.\n")
        L.append("| Run | CorvaneV3 CPU s | frames | ms/frame | idle CPU s | ffmpeg CPU s | frames | ms/frame | ratio | ratio without the idle CPU |")
        L.append("|---|---|---|---|---|---|---|---|---|---|")
        for i, e in enumerate(cpu["execucoes"]):
            g, f = e["gravador"], e["ffmpeg"]
            oc = g.get("ocioso")
            L.append(f"| {i + 1} | {g['cpu']:.2f} | {g['quadros']} | "
                     f"{1000 * g['cpu'] / max(1, g['quadros']):.2f} | "
                     + (f"{oc['cpu']:.3f}" if oc else "-")
                     + f" | {f['cpu']:.2f} | {f['quadros']} | {1000 * f['cpu'] / max(1, f['quadros']):.2f} | "
                     f"{e.get('razao', float('nan')):.3f} | "
                     + (f"{e['razao'] * (g['cpu'] - oc['cpu']) / g['cpu']:.3f} |" if oc and "razao" in e else "- |"))
        L.append(f"\nMedian: CorvaneV3 {cpu['ms_gravador']:.2f} ms/frame, ffmpeg "
                 f"{cpu['ms_ffmpeg']:.2f} ms/frame, ratio **{cpu['razao']:.3f}**.\n")
        if "ms_ffmpeg_auto" in cpu:
            L.append("The recorder leaves the encoder's thread count at FFmpeg's libx264 default "
                     "(x264 chooses it: 3 frame threads plus lookahead on 2 CPUs, see part 5), "
                     "while the reference ffmpeg runs `-threads 1`. The same ffmpeg command "
                     f"without `-threads 1` costs {cpu['ms_ffmpeg_auto']:.2f} ms/frame (median), "
                     "so the thread count changes the CPU per frame little; it changes memory "
                     "and latency.\n")
        if "partida" in cpu:
            pa = cpu["partida"]
            L.append(f"Start-up alone (the program with no argument, which returns at once): "
                     f"CorvaneV3 {pa['gravador']:.2f} CPU s, `ffmpeg -version` {pa['ffmpeg']:.2f} "
                     "CPU s (median of 5): the recorder maps many more shared libraries (OpenCV's "
                     "dependencies). Over the clip's frames that is "
                     f"{1000 * pa['gravador'] / cpu['clipe_quadros']:.2f} ms/frame, over a 60 s "
                     f"cycle at 25 fps {1000 * pa['gravador'] / 1500:.2f} ms/frame.\n")
        L.append("Both outputs hold every frame of the clip: `ffmpeg` runs with "
                 "`-fps_mode passthrough` and `setpts=N/(20*TB)` (so `-r 20` neither drops nor "
                 "duplicates frames), as the recorder numbers its frames with a counter. "
                 "The ffmpeg command:\n")
        L.append("```sh\n" + shlex.join(cmd_ffmpeg("clip.mp4", "out.mp4")) + "\n```\n")

    cap = res.get("capacidade")
    if cap:
        L.append("## 2. Real-time capacity\n")
        L.append("Each live camera is one `ffmpeg -re -stream_loop -1 -i clip.mp4 -c copy -f mpegts "
                 "-listen 1 http://127.0.0.1:PORT/cam.ts` server (the 1280×720 25 fps clip, looped, "
                 "in real time). One recorder run records all N streams (640×480, 1 Mbit/s, mp4); "
                 "on the ffmpeg side, N `ffmpeg` processes, one per stream, with the filters and "
                 "encoder settings of part 1, each stopped with SIGTERM 60 s after it created its "
                 "file.\n")
        L.append("**Delivered frames** of a camera = 25 × (end of its recording window − the "
                 "moment its server started sending). The start is read from the server's "
                 "`-progress` reports (report time − frames sent / 25, the earliest over the "
                 "reports of the first 3 s: a reader that does not keep up holds the server "
                 "back, which only makes later estimates later). The end is the "
                 "file's creation + 60 s for the recorder (its cycle starts when it opens the "
                 "file), and the SIGTERM for ffmpeg. Frames sent while the other cameras were "
                 "still being opened are buffered and read late, so they count on both sides of "
                 "the ratio. A camera passes when its file holds ≥ 99% of its delivered frames; "
                 "N passes when every camera does. Over TCP a reader that cannot keep up loses "
                 "no frame but falls behind, which shows as a lower count. *Other work* is the "
                 "CPU that processes outside the trial used meanwhile (machine-wide busy time "
                 "minus the trial's own processes, in cores out of "
                 f"{m.get('nproc', '?')}): above a few tenths the trial measured a shared "
                 "machine, not the programs.\n")
        L.append("| N | CorvaneV3: % per file | CPU s | other work (cores) | pass | ffmpeg: % per file | CPU s (sum) | other work (cores) | pass |")
        L.append("|---|---|---|---|---|---|---|---|---|")
        for e in cap["ensaios"]:
            cel = []
            for lado in ("gravador", "ffmpeg"):
                r = e.get(lado)
                if r:
                    cel += [" ".join(f"{100 * c['razao']:.1f}" for c in r["cameras"]),
                            f"{r['cpu']:.1f}",
                            f"{r['outros_nucleos']:.2f}" if "outros_nucleos" in r else "?",
                            ("yes" if r["passou"] else "**no**")
                            + (f" ({r['passaram']} of {r['vezes']})" if r.get("vezes", 1) > 1 else "")]
                else:
                    cel += ["not run", "", "", ""]
            L.append(f"| {e['n']} | " + " | ".join(cel) + " |")
        if cap.get("vezes", 1) > 1:
            L.append(f"\nEach N was tried {cap['vezes']} times per side, the two sides taking "
                     "turns; a side holds N when most of its trials pass, and the table shows its "
                     "trial with the median worst file. Worst file of every trial:\n")
            for e in cap["ensaios"]:
                for lado, nome in (("gravador", "CorvaneV3"), ("ffmpeg", "ffmpeg")):
                    r = e.get(lado)
                    if r and "minimos" in r:
                        L.append(f"- N = {e['n']}, {nome}: "
                                 + ", ".join(f"{100 * x:.1f}%" for x in r["minimos"]))
        g, _ = capacidade_maxima(cap, "gravador")
        f, _ = capacidade_maxima(cap, "ffmpeg")
        L.append(f"\nLargest N at ≥ 99%: CorvaneV3 **{g or 'none tested'}**, ffmpeg **{f or 'none tested'}**. "
                 "A side that failed at some N is not run at larger N; one that failed at the "
                 "smallest N is tried at smaller ones. Reference measured "
                 "earlier on a quiet 2-core machine: ffmpeg keeps 99% for 4 such cameras and "
                 "84–91% for 5.\n")
        abertas = [(e["n"], e["gravador"]) for e in cap["ensaios"]
                   if "gravador" in e and e["gravador"].get("abertura") is not None]
        if abertas:
            L.append("Sources opened (recorder start → its files created; the video library opens "
                     "one source at a time): " + ", ".join(
                         f"N={n}: {g['abertura']:.2f} s" for n, g in abertas)
                     + ". Last camera joined its stream this long after the first: " + ", ".join(
                         f"N={n}: {max(c['atraso_conexao'] for c in g['cameras']) - min(c['atraso_conexao'] for c in g['cameras']):.2f} s"
                         for n, g in abertas
                         if all(c.get("atraso_conexao") is not None for c in g["cameras"])) + ".\n")
        ex = [(e["n"], c) for e in cap["ensaios"] if "gravador" in e
              for c in e["gravador"]["cameras"][:1]]
        if ex:
            n, c = ex[-1]
            L.append(f"Example (N = {n}, camera 0): {c['quadros']} frames recorded of "
                     f"{c['entregues']:.0f} delivered; its file was created "
                     f"{c['abertura']:.2f} s after the recorder started.\n")

    ciclo = res.get("ciclo", {}).get("vivo")
    if ciclo or cpu:
        L.append("## 3. Cycle timing\n")
        L.append("| Source | start → exit (s) | start → file created (s) | exit after 60 s of cycle (s) |")
        L.append("|---|---|---|---|")
        if cpu and cpu.get("modo") == "ciclo":
            for i, e in enumerate(cpu["execucoes"]):
                g = e["gravador"]
                L.append(f"| file (CPU run {i + 1}) | {g['parede']:.2f} | "
                         + (f"{g['abertura']:.2f} | {g['fim_apos_ciclo']:.2f} |"
                            if g.get("abertura") is not None else " | |"))
        if ciclo:
            L.append(f"| one live camera | {ciclo['parede']:.2f} | {ciclo['abertura']:.2f} | "
                     f"{ciclo['fim_apos_ciclo']:.2f} |")
            if "outros_nucleos" in ciclo:
                L.append(f"\nOther work used {ciclo['outros_nucleos']:.2f} cores during the live run.")
            c0 = ciclo["cameras"][0]
            L.append(f"\nThe live camera's file holds {c0['quadros']} frames of "
                     f"{c0['entregues']:.0f} delivered ({100 * c0['razao']:.1f}%).\n")
        if cap:
            L.append("Exit after 60 s of cycle in the capacity runs (the slowest camera drains "
                     "last): " + ", ".join(
                         f"N={e['n']}: {e['gravador']['fim_apos_ciclo']:.2f} s"
                         for e in cap["ensaios"] if "gravador" in e) + ".\n")

    mem = memoria(res)
    if mem:
        L.append("## 4. Peak resident memory\n")
        L.append("Peak resident set (`ru_maxrss` of the process from `wait4`).\n")
        L.append("| Run | CorvaneV3 (MiB) | ffmpeg (MiB) |")
        L.append("|---|---|---|")
        if "arquivo" in mem:
            L.append(f"| file source, one camera / one process | {mem['arquivo']['gravador']:.0f} | "
                     f"{mem['arquivo']['ffmpeg']:.0f} |")
        if "gravador" in mem:
            mg = mem["gravador"]
            L.append(f"| live, 1 camera | {mg['um']:.0f} | |")
            L.append(f"| live, {mg['n']} cameras | {mg['varios']:.0f} | |")
            L.append(f"| live, per camera (difference / {mg['n'] - 1}) | **{mg['por_camera']:.0f}** "
                     f"(+ {mg['base']:.0f} shared) | |")
        if "ffmpeg" in mem:
            L.append(f"| live, per process (median of all capacity runs) | | **{mem['ffmpeg']['mediana']:.0f}** "
                     f"(max {mem['ffmpeg']['max']:.0f}) |")
        L.append("")

    perfil = res.get("perfil")
    if perfil:
        c, parte_cap = categorias_percentuais(perfil)
        total = perfil["amostras"] or 1
        L.append("## 5. Where the recorder's CPU goes\n")
        L.append(f"`perf record -e cpu-clock -F {res.get('frequencia', '?')} --call-graph dwarf` "
                 "over the recorder on the clip (stopped with SIGTERM once it idled: file unchanged "
                 f"for 2 s, under 5% of a CPU; {perfil['quadros']} frames, {perfil['amostras']} samples, all threads; "
                 f"up to {perfil['threads']} threads seen). The hardware "
                 "`instructions` counter is not available in this virtual machine, so the "
                 "software clock samples CPU time. Each sample is charged to the first library "
                 "of interest found walking its call stack from the leaf (so `memcpy` or a page "
                 "fault called from OpenCV counts as OpenCV, from the recorder as the "
                 "recorder).\n")
        L.append("The two `sws_scale` users are told apart by a small preloaded timer "
                 "(`bench/cronometro_sws.c`) that adds up the thread CPU time of each call by "
                 "caller, because the scaler's SIMD loops have no unwind information.\n")
        L.append("| Part | share of CPU |")
        L.append("|---|---|")
        for k, v in sorted(c.items(), key=lambda x: -x[1]):
            L.append(f"| {NOMES.get(k, k)} | {v:.1f}% |")
            if k == "escalador" and parte_cap is not None:
                sws = perfil["sws"]
                for lado, nome, parte in (("captura", "in OpenCV's capture: decoded YUV 4:2:0 → BGR 1280×720", parte_cap),
                                          ("gravador", "in the writer: BGR 1280×720 → YUV 4:2:0 640×480 bicubic", 1 - parte_cap)):
                    s = sws.get(lado)
                    if s:
                        L.append(f"| &nbsp;&nbsp;{nome} ({s['ns'] / max(1, s['chamadas']) / 1e6:.2f} ms per call) | "
                                 f"{v * parte:.1f}% |")
        L.append("\nHottest leaf functions (share of samples; the FFmpeg libraries are stripped, "
                 "so most of their functions show only the library name):\n")
        L.append("| Leaf | % |")
        L.append("|---|---|")
        for nome, v in perfil["folhas"][:10]:
            L.append(f"| `{nome}` | {v:.1f} |")
        fios = perfil.get("fios")
        if fios:
            L.append("\nBy thread (share of all samples, and what each thread ran):\n")
            L.append("| Thread | share | runs |")
            L.append("|---|---|---|")
            for i, f in enumerate(fios):
                n = sum(f["categorias"].values())
                if 100.0 * n / total < 0.5:
                    continue
                partes = sorted(f["categorias"].items(), key=lambda x: -x[1])
                feito = ", ".join(f"{NOMES.get(k, k).split(' (')[0]} {100.0 * v / n:.0f}%"
                                  for k, v in partes[:3] if 100.0 * v / n >= 3)
                L.append(f"| {nome_do_fio(f, n)} | {100.0 * n / total:.1f}% | {feito} |")
        ff = perfil.get("ffmpeg")
        if ff:
            tot = ff["amostras"] or 1
            freq = res.get("frequencia") or 1
            quadros = perfil["quadros"] or 1
            ms = lambda amostras: 1000.0 * amostras / freq / quadros
            L.append("\nThe same split for `ffmpeg` on the same clip, side by side in CPU "
                     "milliseconds per frame (samples / sampling rate / frames). ffmpeg's "
                     "filters work on the decoded YUV 4:2:0 directly; the recorder gets BGR "
                     "frames from its capture and its writer converts them back to YUV "
                     "while scaling, so the scaler line carries the difference:\n")
            L.append("| Part | CorvaneV3 share | CorvaneV3 ms/frame | ffmpeg share | ffmpeg ms/frame | difference ms/frame |")
            L.append("|---|---|---|---|---|---|")
            nosso = perfil["categorias"]
            for k in sorted(set(nosso) | set(ff["categorias"]),
                            key=lambda k: -(nosso.get(k, 0) + ff["categorias"].get(k, 0))):
                a, b = nosso.get(k, 0), ff["categorias"].get(k, 0)
                nome = NOMES.get(k, k)
                if k == "proprio":
                    nome = "the program's own code"
                L.append(f"| {nome} | {100.0 * a / total:.1f}% | {ms(a):.2f} | "
                         f"{100.0 * b / tot:.1f}% | {ms(b):.2f} | {ms(a) - ms(b):+.2f} |")
            L.append(f"| **all** | 100% | {ms(total):.2f} | 100% | {ms(tot):.2f} | "
                     f"{ms(total) - ms(tot):+.2f} |")
            esc = ms(nosso.get("escalador", 0)) - ms(ff["categorias"].get("escalador", 0))
            L.append(f"\nThe scaler's {esc:+.2f} ms/frame is the round trip through BGR: OpenCV's "
                     "capture converts each decoded frame to BGR, and the writer converts it back "
                     "to YUV 4:2:0 while scaling it (one bicubic BGR24 scaler, as the recorder's "
                     "output is defined). Without it the recorder would cost "
                     f"{ms(total) - esc:.2f} ms/frame here, {(ms(total) - esc) / ms(tot):.2f} times "
                     "ffmpeg's. Faster conversions exist (see the micro-benchmark below) but all of "
                     "them change the pixels written.\n")
        L.append("")

    conv = res.get("conversao")
    if conv:
        L.append("## Colour conversion alternatives (micro-benchmark)\n")
        L.append("`bench/conversao.cpp`: one 1280×720 BGR frame to the encoder's 640×480 YUV 4:2:0 "
                 "picture, median of repeated runs on one thread. The first line is what the recorder "
                 "does today.\n")
        L.append("| Method | CPU ms per frame | difference from current (Y, U, V levels) |")
        L.append("|---|---|---|")
        for item in conv["metodos"]:
            L.append(f"| {item['nome']} | {item['ms']:.3f} | {item.get('diferenca', '-')} |")
        L.append("")

    L.append("## Machine and conditions\n")
    L.append(f"- {m.get('nproc', '?')} CPUs, `{m.get('modelo', '?')}`, {m.get('memoria', '?')} RAM; "
             f"kernel {m.get('kernel', '?')}, Debian {m.get('debian', '?')}.")
    v = m.get("versoes", {})
    L.append("- Packages: " + ", ".join(f"{k} {x}" for k, x in v.items()) + ".")
    cargas = res.get("carga", {})
    if cargas:
        L.append("- Machine-wide CPU use and load average during each part, the measured "
                 "programs included (one recorder or ffmpeg at a time uses well under the "
                 "whole machine; more than that in the cpu, perfil or conversao parts means "
                 "other work ran beside them, and the capacity table's *other work* column "
                 "says how much ran beside each live trial):")
        for parte, cg in sorted(cargas.items(), key=lambda x: x[1]["quando"]):
            L.append(f"  - {parte} ({cg['quando']}, {cg['segundos']:.0f} s): "
                     f"{100 * cg['ocupacao']:.0f}% of all CPUs busy, load {cg['load_inicio']:.1f} → "
                     f"{cg['load_fim']:.1f}")
    L.append("")
    L.append("## How to rerun\n")
    L.append("As root on Debian 12, from the repository (a quiet machine gives the fairest "
             "capacity figures):\n")
    L.append("```sh\n/usr/bin/python3 bench/medir.py                     # all parts, ~15-20 min\n"
             "/usr/bin/python3 bench/medir.py --parts cpu perfil   # some parts; others kept from bench/resultados.json\n"
             "/usr/bin/python3 bench/medir.py --cameras 4 5 6 --repeticoes 5\n"
             "/usr/bin/python3 bench/medir.py --parts capacidade --cameras 5 6 --ensaios 3   # borderline counts, majority of 3\n"
             "/usr/bin/python3 bench/medir.py --calma 0.3          # wait for a quiet machine before each live trial\n"
             "/usr/bin/python3 bench/medir.py --doc-only           # rewrite this page from bench/resultados.json\n```\n")
    L.append("It builds the recorder in `build-bench/` (Release), installs what is missing "
             "(`ffmpeg`, `fonts-dejavu-core`, `gnuplot-nox`, `linux-perf`, `gcc`, `g++`, "
             "`pkg-config`, plus the build packages of `scripts/setup.sh`), generates the clip in "
             "the work folder (`--trabalho`, default `/tmp/corvane-bench`), prints the table, "
             "and writes `bench/resultados.json`, this page and `docs/performance.png`. "
             "Every server, recorder and ffmpeg it starts is stopped on exit, also on errors "
             "and Ctrl-C.\n")
    with open(DOC, "w") as f:
        f.write("\n".join(L))


# --------------------------------------------------------------------------

class Contexto:
    pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--parts", nargs="+", choices=PARTES, default=PARTES,
                    help="parts to run (default: all)")
    ap.add_argument("--repeticoes", type=int, default=3, help="CPU runs of each program (3)")
    ap.add_argument("--cameras", type=int, nargs="+", default=[3, 4, 5, 6],
                    help="stream counts for the capacity trials (3 4 5 6)")
    ap.add_argument("--ensaios", type=int, default=1, metavar="K",
                    help="live trials per stream count and side; the majority decides (1)")
    ap.add_argument("--parar-ocioso", action="store_true",
                    help="CPU part: SIGTERM the recorder once its file stops growing "
                         "(default: let the 60 s cycle run and count the idle time)")
    ap.add_argument("--calma", type=float, default=0.0, metavar="NUCLEOS",
                    help="before each live trial, wait (up to 15 min) until other work uses "
                         "under NUCLEOS cores (default 0: do not wait)")
    ap.add_argument("--frequencia", type=int, default=249, help="perf sampling rate (249 Hz)")
    ap.add_argument("--trabalho", default="/tmp/corvane-bench", help="work folder")
    ap.add_argument("--binario", help="recorder to measure (default: build build-bench/)")
    ap.add_argument("--doc-only", action="store_true", help="only rewrite the document")
    args = ap.parse_args()

    res = {}
    if os.path.exists(RESULTADOS):
        with open(RESULTADOS) as f:
            res = json.load(f)
    if not args.doc_only:
        garantir_pacotes()
        ctx = Contexto()
        ctx.args = args
        os.makedirs(args.trabalho, exist_ok=True)
        ctx.trabalho = os.path.abspath(args.trabalho)
        ctx.binario = garantir_binario(args)
        ctx.clipe = garantir_clipe(ctx.trabalho)
        res["maquina"] = maquina()
        res["quando"] = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
        res["frequencia"] = args.frequencia
        res.setdefault("carga", {})
        funcoes = {"cpu": parte_cpu, "ciclo": parte_ciclo, "capacidade": parte_capacidade,
                   "perfil": parte_perfil, "conversao": parte_conversao}
        for parte in PARTES:
            if parte in args.parts:
                carga = Carga()
                funcoes[parte](ctx, res)
                res["carga"][parte] = carga.fim()
                with open(RESULTADOS, "w") as f:
                    json.dump(res, f, indent=1)
    imprimir(res)
    tem = False
    try:
        tem = grafico(res, args.trabalho)
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        log(f"grafico nao gerado: {e}")
    escrever_doc(res, tem)
    log(f"escrito: {DOC}" + (f", {GRAFICO}" if tem else ""))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        _limpar()
        sys.exit(130)
