#include "Sinais.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>

namespace {

// Instant of the first stop signal, in ms on the monotonic clock; 0: none yet.
std::atomic<long long> primeiro{0};
static_assert(std::atomic<long long>::is_always_lock_free, "the handler needs a lock-free atomic");

// The same stop often arrives twice at once: `timeout` and some supervisors
// signal the process and then its process group. Within this window a
// repeat is that same stop, not a second one.
constexpr long long kMesmaParada = 1000;  // ms

long long AgoraMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    // Never 0, which means "no signal yet".
    return std::max<long long>(1, static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}

extern "C" void Tratar(int sinal)
{
    // Only async-signal-safe work here: a lock-free atomic, clock_gettime,
    // signal and raise. The first signal claims the instant in one step, so a
    // repeat handled at the same moment on another thread always sees it.
    const long long agora = AgoraMs();
    long long anterior = 0;
    if (primeiro.compare_exchange_strong(anterior, agora)) return;
    if (agora - anterior < kMesmaParada) return;
    std::signal(sinal, SIG_DFL);
    std::raise(sinal);
}

}  // namespace

void InstalarTratadorDeSinais()
{
    struct sigaction acao {};
    acao.sa_handler = Tratar;
    sigemptyset(&acao.sa_mask);
    acao.sa_flags = SA_RESTART;
    sigaction(SIGINT, &acao, nullptr);
    sigaction(SIGTERM, &acao, nullptr);
}

bool SinalRecebido()
{
    return primeiro.load(std::memory_order_relaxed) != 0;
}
