#!/usr/bin/env python3
"""libTavorin called from Python through ctypes, the way a Python program uses it.

Settings, from the environment (tests/tavorin/CMakeLists.txt sets them):
  TAVORIN_BIBLIOTECA  the built library
  TAVORIN_AMOSTRAS    the folder written by amostras.sh
  TAVORIN_REFERENCIA  program printing 1 or 0: what cv::VideoCapture(name) says
  TAVORIN_CARGA       calls per file in the load test (default 100)

Run one group with e.g. `test_tavorin.py Carga`.
"""
import ctypes
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIBLIOTECA = os.environ.get("TAVORIN_BIBLIOTECA", "")
AMOSTRAS = os.path.realpath(os.environ.get("TAVORIN_AMOSTRAS", "."))
REFERENCIA = os.environ.get("TAVORIN_REFERENCIA", "")

# File in the samples folder -> what the video library answers for it.
TABELA = {
    "clip.mp4": True,         # H.264 in MP4
    "quadro1.hdr": True,      # a picture FFmpeg refuses and the image back end opens
    "truncado.mp4": False,    # the first 4000 bytes of clip.mp4
    "texto.mp4": False,       # text named like a video
    "vazio.mp4": False,       # empty file
    "pasta.mp4": False,       # a folder
    "nao-existe.mp4": False,  # missing
}

_biblioteca = None


def validar():
    global _biblioteca
    if _biblioteca is None:
        _biblioteca = ctypes.CDLL(BIBLIOTECA)
        _biblioteca.ValidarVideo.argtypes = [ctypes.c_char_p]
        _biblioteca.ValidarVideo.restype = ctypes.c_bool
    return _biblioteca.ValidarVideo


def caminho(arquivo):
    return os.path.join(AMOSTRAS, arquivo).encode()


def descritores():
    return len(os.listdir("/proc/self/fd"))


def residente_kb(pid="self"):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def filhos(pid=None):
    """Processes whose parent is pid (this one by default)."""
    pid = os.getpid() if pid is None else pid
    encontrados = []
    for entrada in os.listdir("/proc"):
        if not entrada.isdigit():
            continue
        try:
            with open(f"/proc/{entrada}/stat") as f:
                campos = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(campos[1]) == pid:
            encontrados.append(int(entrada))
    return encontrados


def estado_do_processo(pid):
    """The state letter of a process (R, S, Z, ...), None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def descritores_de(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


class Respostas(unittest.TestCase):
    def test_tabela(self):
        f = validar()
        for arquivo, esperado in TABELA.items():
            for vez in (1, 2):
                with self.subTest(arquivo=arquivo, vez=vez):
                    self.assertIs(f(caminho(arquivo)), esperado)

    def test_none(self):
        self.assertIs(validar()(None), False)

    def test_igual_a_videocapture(self):
        """Each answer is what cv::VideoCapture(name).isOpened() gives in a process of its own."""
        f = validar()
        nomes = [caminho(arquivo) for arquivo in TABELA]
        nomes += [b"file:" + caminho("clip.mp4"),              # FFmpeg's file protocol
                  b"file:" + caminho("truncado.mp4"),
                  b"videotestsrc num-buffers=2 ! appsink"]   # a GStreamer pipeline (with its plugins)
        for nome in nomes:
            with self.subTest(nome=nome):
                r = subprocess.run([REFERENCIA, nome], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, timeout=120, check=True)
                self.assertIs(f(nome), r.stdout.strip() == b"1")

    def test_enderecos_de_protocolo(self):
        f = validar()
        self.assertIs(f(b"file:" + caminho("clip.mp4")), True)
        self.assertIs(f(b"file:" + caminho("texto.mp4")), False)
        self.assertIs(f(b"pipe:3"), False)

    def test_nomes_relativos_a_pasta_atual(self):
        f = validar()
        antes = os.getcwd()
        try:
            os.chdir(AMOSTRAS)
            self.assertIs(f(b"clip.mp4"), True)
            self.assertIs(f(b"./truncado.mp4"), False)
            os.chdir("/")
            self.assertIs(f(b"clip.mp4"), False)
        finally:
            os.chdir(antes)

    def test_nomes_de_descritores_do_chamador(self):
        f = validar()
        with open(caminho("clip.mp4"), "rb") as clip, open(caminho("texto.mp4"), "rb") as texto:
            self.assertIs(f(f"/proc/self/fd/{clip.fileno()}".encode()), True)
            self.assertIs(f(f"/dev/fd/{clip.fileno()}".encode()), True)
            self.assertIs(f(f"/proc/self/fd/{texto.fileno()}".encode()), False)
            fechado = clip.fileno()
        self.assertIs(f(f"/proc/self/fd/{fechado}".encode()), False)

    def test_nada_impresso(self):
        """Standard output and error stay empty while names are checked."""
        f = validar()
        sys.stdout.flush()
        sys.stderr.flush()
        guardados = os.dup(1), os.dup(2)
        with tempfile.TemporaryFile() as saida, tempfile.TemporaryFile() as erro:
            os.dup2(saida.fileno(), 1)
            os.dup2(erro.fileno(), 2)
            try:
                for arquivo in TABELA:
                    f(caminho(arquivo))
            finally:
                os.dup2(guardados[0], 1)
                os.dup2(guardados[1], 2)
                os.close(guardados[0])
                os.close(guardados[1])
            saida.seek(0)
            erro.seek(0)
            self.assertEqual(saida.read(), b"")
            self.assertEqual(erro.read(), b"")


class Recursos(unittest.TestCase):
    def test_descritores_estaveis_em_200_chamadas(self):
        f = validar()
        nomes = list(TABELA.items())
        f(caminho("clip.mp4"))
        antes = descritores()
        for i in range(200):
            arquivo, esperado = nomes[i % len(nomes)]
            self.assertIs(f(caminho(arquivo)), esperado, arquivo)
        self.assertEqual(descritores(), antes)

    def test_8_linhas_ao_mesmo_tempo(self):
        f = validar()
        nomes = list(TABELA.items())
        largada = threading.Barrier(8)
        erros = []

        def linha(deslocamento):
            largada.wait()
            for i in range(len(nomes)):
                arquivo, esperado = nomes[(i + deslocamento) % len(nomes)]
                if f(caminho(arquivo)) is not esperado:
                    erros.append(arquivo)

        linhas = [threading.Thread(target=linha, args=(k,)) for k in range(8)]
        for t in linhas:
            t.start()
        for t in linhas:
            t.join()
        self.assertEqual(erros, [])

    def test_nada_fica_depois_do_chamador(self):
        """Processes the library starts end with the program that loaded it."""
        # Other processes come and go while /proc is listed: one that is gone
        # before its stat is read is not ours.
        programa = (
            "import ctypes, os, sys\n"
            "def pai(p):\n"
            "    try:\n"
            "        return open('/proc/%s/stat' % p).read().rsplit(')', 1)[1].split()[1]\n"
            "    except OSError:\n"
            "        return None\n"
            "b = ctypes.CDLL(sys.argv[1]); b.ValidarVideo.argtypes = [ctypes.c_char_p]\n"
            "b.ValidarVideo(sys.argv[2].encode())\n"
            "print(' '.join(p for p in os.listdir('/proc') if p.isdigit() and pai(p) == str(os.getpid())))\n"
        )
        r = subprocess.run([sys.executable, "-c", programa, BIBLIOTECA, caminho("truncado.mp4").decode()],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, check=True)
        self.assertEqual(r.stderr, b"")
        iniciados = [int(p) for p in r.stdout.split()]
        limite = time.monotonic() + 30
        vivos = iniciados
        while vivos and time.monotonic() < limite:
            time.sleep(0.05)
            vivos = [p for p in iniciados if estado_do_processo(p) not in (None, "Z")]
        self.assertEqual(vivos, [])

    def test_processo_filho_do_chamador(self):
        """After a fork, parent and child both get right answers."""
        f = validar()
        self.assertIs(f(caminho("clip.mp4")), True)
        pid = os.fork()
        if pid == 0:
            ok = f(caminho("clip.mp4")) is True and f(caminho("truncado.mp4")) is False
            os._exit(0 if ok else 1)
        self.assertIs(f(caminho("clip.mp4")), True)
        self.assertIs(f(caminho("texto.mp4")), False)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertIs(f(caminho("quadro1.hdr")), True)

    def test_ajudante_morto_e_substituido(self):
        f = validar()
        self.assertIs(f(caminho("clip.mp4")), True)
        for p in filhos():
            os.kill(p, signal.SIGKILL)
        self.assertIs(f(caminho("clip.mp4")), True)
        self.assertIs(f(caminho("truncado.mp4")), False)


class Simbolos(unittest.TestCase):
    def test_so_validarvideo_exportado(self):
        saida = subprocess.run(["nm", "-D", "--defined-only", BIBLIOTECA], stdout=subprocess.PIPE,
                               check=True, text=True).stdout
        simbolos = [linha.split()[-2:] for linha in saida.splitlines() if linha.strip()]
        self.assertEqual(simbolos, [["T", "ValidarVideo"]])

    def test_soname(self):
        saida = subprocess.run(["readelf", "-d", BIBLIOTECA], stdout=subprocess.PIPE,
                               check=True, text=True).stdout
        self.assertRegex(saida, r"\(SONAME\)\s+Library soname: \[libTavorin\.so\.\d+\]")


class Carga(unittest.TestCase):
    """Many calls on files the video library refuses leave nothing behind."""

    def test_truncado_e_texto(self):
        f = validar()
        vezes = int(os.environ.get("TAVORIN_CARGA", "100"))
        for arquivo in ("truncado.mp4", "texto.mp4", "clip.mp4"):
            f(caminho(arquivo))
        fd_antes, rss_antes = descritores(), residente_kb()
        ajudantes_antes = {p: (descritores_de(p), residente_kb(p)) for p in filhos()}
        inicio = time.monotonic()
        for i in range(vezes):
            self.assertIs(f(caminho("truncado.mp4")), False)
            self.assertIs(f(caminho("texto.mp4")), False)
        duracao = time.monotonic() - inicio
        fd_depois, rss_depois = descritores(), residente_kb()
        ajudantes_depois = {p: (descritores_de(p), residente_kb(p)) for p in filhos()}
        print(f"\n{2 * vezes} chamadas em {duracao:.1f} s ({1000 * duracao / (2 * vezes):.0f} ms cada); "
              f"descritores {fd_antes} -> {fd_depois}; residente {rss_antes} -> {rss_depois} KB; "
              f"processos filhos (descritores, KB) {ajudantes_antes} -> {ajudantes_depois}", flush=True)
        self.assertEqual(fd_depois, fd_antes)
        self.assertLess(rss_depois - rss_antes, 8 * 1024)
        self.assertLessEqual(sum(d for d, _ in ajudantes_depois.values()),
                             sum(d for d, _ in ajudantes_antes.values()))
        self.assertLess(sum(r for _, r in ajudantes_depois.values()) - sum(r for _, r in ajudantes_antes.values()),
                        8 * 1024)


if __name__ == "__main__":
    if not os.path.exists(BIBLIOTECA):
        sys.exit(f"TAVORIN_BIBLIOTECA: {BIBLIOTECA!r} não existe")
    unittest.main(verbosity=2)
