/* A program outside the project calling libTavorin the usual way: it loads
 * the library with dlopen and looks ValidarVideo up by name.
 *
 *   chamador LIBRARY SAMPLES [--sem-programas]
 *
 * SAMPLES is the folder written by amostras.sh. With --sem-programas the
 * process first forbids itself to run programs (as some sandboxes do), so
 * the library has to check the names in this process.
 *
 * Reports on standard output; exit status 0 when every check passes. While
 * the checks run, standard output and error point at scratch files: the
 * library must leave both empty. */
#define _GNU_SOURCE
#include "Tavorin.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The header's declaration gives the type of what dlsym finds. */
typedef __typeof__(ValidarVideo) Funcao;
static Funcao* validar;

static FILE* relatorio; /* the original standard output */
static int falhas;

static void Falha(const char* formato, ...)
{
    va_list args;
    va_start(args, formato);
    fputs("FALHA: ", relatorio);
    vfprintf(relatorio, formato, args);
    fputc('\n', relatorio);
    fflush(relatorio);
    va_end(args);
    __atomic_add_fetch(&falhas, 1, __ATOMIC_SEQ_CST);
}

struct Caso {
    const char* arquivo;
    bool esperado;
    /* Left out when the names are checked in this process: FFmpeg refuses
     * these, and with GStreamer's plugins installed the GStreamer fallback
     * leaks descriptors and threads on them (or hangs). */
    bool soComAjudante;
    char caminho[PATH_MAX + 64];
};

static struct Caso casos[] = {
    {"clip.mp4", true, false, ""},
    {"quadro1.hdr", true, true, ""},
    {"truncado.mp4", false, true, ""},
    {"texto.mp4", false, true, ""},
    {"vazio.mp4", false, true, ""},
    {"pasta.mp4", false, true, ""},
    {"nao-existe.mp4", false, false, ""},
};
enum { kCasos = sizeof casos / sizeof casos[0] };
static bool semProgramas;

static bool Incluido(const struct Caso* c)
{
    return !(semProgramas && c->soComAjudante);
}

static int DescritoresAbertos(void)
{
    DIR* d = opendir("/proc/self/fd");
    int n = 0;
    if (!d) return -1;
    for (struct dirent* e; (e = readdir(d));)
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

static bool Validar(const char* caminho)
{
    char copia[PATH_MAX + 128];
    snprintf(copia, sizeof copia, "%s", caminho);
    return validar(copia);
}

static void ConferirTabela(void)
{
    for (int i = 0; i < kCasos; ++i) {
        if (!Incluido(&casos[i])) continue;
        for (int vez = 0; vez < 2; ++vez) {
            const bool r = Validar(casos[i].caminho);
            if (r != casos[i].esperado)
                Falha("%s: %d, esperado %d (vez %d)", casos[i].arquivo, r, casos[i].esperado, vez + 1);
        }
    }
    if (validar(NULL)) Falha("NULL deu verdadeiro");
}

static void ConferirDescritores(void)
{
    const int antes = DescritoresAbertos();
    for (int i = 0; i < 200; ++i) {
        const struct Caso* c = &casos[i % kCasos];
        if (Incluido(c) && Validar(c->caminho) != c->esperado) Falha("%s mudou de resposta na chamada %d", c->arquivo, i);
    }
    const int depois = DescritoresAbertos();
    if (antes != depois) Falha("descritores abertos: %d antes de 200 chamadas, %d depois", antes, depois);
}

enum { kLinhas = 8, kRodadas = 1 };
static pthread_barrier_t largada;

static void* Linha(void* arg)
{
    (void)arg;
    pthread_barrier_wait(&largada);
    for (int rodada = 0; rodada < kRodadas; ++rodada)
        for (int i = 0; i < kCasos; ++i) {
            const struct Caso* c = &casos[(i + rodada) % kCasos];
            if (Incluido(c) && Validar(c->caminho) != c->esperado)
                Falha("%s: resposta diferente com %d linhas ao mesmo tempo", c->arquivo, kLinhas);
        }
    return NULL;
}

static void ConferirLinhas(void)
{
    pthread_t linhas[kLinhas];
    pthread_barrier_init(&largada, NULL, kLinhas);
    for (int i = 0; i < kLinhas; ++i)
        if (pthread_create(&linhas[i], NULL, Linha, NULL) != 0) Falha("pthread_create");
    for (int i = 0; i < kLinhas; ++i) pthread_join(linhas[i], NULL);
    pthread_barrier_destroy(&largada);
}

/* Names are looked up where the caller is, and may designate its descriptors. */
static void ConferirNomesDoChamador(const char* amostras)
{
    char atual[PATH_MAX];
    if (!getcwd(atual, sizeof atual)) Falha("getcwd");
    if (chdir(amostras) != 0) Falha("chdir %s", amostras);
    if (!Validar("clip.mp4")) Falha("clip.mp4 relativo à pasta das amostras deu falso");
    if (!semProgramas && Validar("texto.mp4")) Falha("texto.mp4 relativo deu verdadeiro");
    if (chdir("/") != 0) Falha("chdir /");
    if (Validar("clip.mp4")) Falha("clip.mp4 relativo à raiz deu verdadeiro");
    if (chdir(atual) != 0) Falha("chdir de volta");

    const int fd = open(casos[0].caminho, O_RDONLY);
    char nome[64];
    snprintf(nome, sizeof nome, "/proc/self/fd/%d", fd);
    if (!Validar(nome)) Falha("%s (o clip) deu falso", nome);
    snprintf(nome, sizeof nome, "/dev/fd/%d", fd);
    if (!Validar(nome)) Falha("%s (o clip) deu falso", nome);
    close(fd);
    snprintf(nome, sizeof nome, "/proc/self/fd/%d", fd);
    if (Validar(nome)) Falha("%s (fechado) deu verdadeiro", nome);
}

/* Forbids execve in this process and its children from now on. */
static int ProibirProgramas(void)
{
    struct sock_filter filtro[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    struct sock_fprog programa = {sizeof filtro / sizeof filtro[0], filtro};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &programa);
}

/* Points fd at a new scratch file; returns that file's descriptor. */
static int Desviar(int fd)
{
    FILE* rascunho = tmpfile();
    if (!rascunho) return -1;
    const int r = dup(fileno(rascunho));
    fflush(fd == 1 ? stdout : stderr);
    dup2(r, fd);
    fclose(rascunho);
    return r;
}

static long Tamanho(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? (long)st.st_size : -1;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "uso: %s BIBLIOTECA AMOSTRAS [--sem-programas]\n", argv[0]);
        return 2;
    }
    semProgramas = argc > 3 && strcmp(argv[3], "--sem-programas") == 0;
    relatorio = fdopen(dup(1), "w");
    char amostras[PATH_MAX];
    if (!realpath(argv[2], amostras)) {
        fprintf(stderr, "amostras: %s: %s\n", argv[2], strerror(errno));
        return 2;
    }
    for (int i = 0; i < kCasos; ++i)
        snprintf(casos[i].caminho, sizeof casos[i].caminho, "%s/%s", amostras, casos[i].arquivo);

    if (semProgramas && ProibirProgramas() != 0) {
        fprintf(stderr, "seccomp: %s\n", strerror(errno));
        return 2;
    }

    const int saidaOriginal = dup(1);
    const int erroOriginal = dup(2);
    const int saida = Desviar(1);
    const int erro = Desviar(2);

    void* biblioteca = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!biblioteca) {
        fprintf(relatorio, "dlopen: %s\n", dlerror());
        return 1;
    }
    validar = (Funcao*)dlsym(biblioteca, "ValidarVideo");
    if (!validar) {
        fprintf(relatorio, "dlsym: %s\n", dlerror());
        return 1;
    }

    ConferirTabela();
    ConferirDescritores();
    ConferirLinhas();
    ConferirNomesDoChamador(amostras);

    fflush(stdout);
    fflush(stderr);
    /* Checked in this process, FFmpeg's complaints reach standard error:
     * that is the known cost of having no helper. */
    if (!semProgramas) {
        if (Tamanho(saida) != 0) Falha("a biblioteca escreveu %ld bytes na saída padrão", Tamanho(saida));
        if (Tamanho(erro) != 0) Falha("a biblioteca escreveu %ld bytes na saída de erro", Tamanho(erro));
    }

    dlclose(biblioteca);
    dup2(saidaOriginal, 1);
    dup2(erroOriginal, 2);
    fprintf(relatorio, "%s: %d falha(s)\n", semProgramas ? "sem programas" : "com ajudante", falhas);
    fclose(relatorio);
    return falhas == 0 ? 0 : 1;
}
