/* Preloaded into the recorder by bench/medir.py while it is profiled.
 *
 * Wraps sws_scale and adds up the thread CPU time of every call, split by the
 * library that made the call: OpenCV's capture (its YUV to BGR conversion of
 * each decoded frame) or the recorder itself (the BGR to YUV 4:2:0 scaling
 * before the encoder). The profiler cannot tell these two apart, because the
 * scaler's hand-written SIMD loops carry no unwinding information.
 *
 * At exit it writes one line per caller to the file named by CRONOMETRO_SAIDA:
 *   <caller library> <calls> <thread CPU nanoseconds>
 *
 * Build: gcc -O2 -shared -fPIC -o cronometro_sws.so cronometro_sws.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct SwsContext;
typedef int (*EscalarFn)(struct SwsContext*, const uint8_t* const[], const int[], int, int,
                         uint8_t* const[], const int[]);

#define MAX_CHAMADORES 8
static struct {
    char nome[256];
    unsigned long long chamadas;
    unsigned long long nanossegundos;
} chamadores[MAX_CHAMADORES];
static int usados;
static pthread_mutex_t trava = PTHREAD_MUTEX_INITIALIZER;

static unsigned long long AgoraThread(void)
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (unsigned long long)t.tv_sec * 1000000000ull + (unsigned long long)t.tv_nsec;
}

int sws_scale(struct SwsContext* c, const uint8_t* const origem[], const int passoOrigem[],
              int linha, int linhas, uint8_t* const destino[], const int passoDestino[])
{
    static EscalarFn original;
    if (!original) original = (EscalarFn)dlsym(RTLD_NEXT, "sws_scale");

    const void* retorno = __builtin_return_address(0);
    const unsigned long long inicio = AgoraThread();
    const int resultado = original(c, origem, passoOrigem, linha, linhas, destino, passoDestino);
    const unsigned long long gasto = AgoraThread() - inicio;

    Dl_info info;
    const char* nome = "?";
    if (dladdr(retorno, &info) && info.dli_fname) {
        const char* barra = strrchr(info.dli_fname, '/');
        nome = barra ? barra + 1 : info.dli_fname;
    }
    pthread_mutex_lock(&trava);
    int i = 0;
    while (i < usados && strcmp(chamadores[i].nome, nome) != 0) ++i;
    if (i == usados && usados < MAX_CHAMADORES) {
        snprintf(chamadores[i].nome, sizeof chamadores[i].nome, "%s", nome);
        ++usados;
    }
    if (i < usados) {
        chamadores[i].chamadas += 1;
        chamadores[i].nanossegundos += gasto;
    }
    pthread_mutex_unlock(&trava);
    return resultado;
}

__attribute__((destructor)) static void Relatar(void)
{
    /* Other processes that inherit the preload (perf itself) made no call and
       must not overwrite the recorder's figures. */
    const char* caminho = getenv("CRONOMETRO_SAIDA");
    if (!caminho || usados == 0) return;
    FILE* f = fopen(caminho, "w");
    if (!f) return;
    pthread_mutex_lock(&trava);
    for (int i = 0; i < usados; ++i)
        fprintf(f, "%s %llu %llu\n", chamadores[i].nome, chamadores[i].chamadas,
                chamadores[i].nanossegundos);
    pthread_mutex_unlock(&trava);
    fclose(f);
}
