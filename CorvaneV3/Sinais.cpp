#include "Sinais.h"

#include <atomic>
#include <csignal>
#include <ctime>

namespace {

std::atomic<int> sinais{0};
std::atomic<long long> primeiro{0};  // ms on the monotonic clock
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free,
              "the handler needs lock-free atomics");

// The same stop often arrives twice at once: `timeout` and some supervisors
// signal the process and then its process group. Within this window a
// repeat is that same stop, not a second one.
constexpr long long kMesmaParada = 1000;  // ms

long long AgoraMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

extern "C" void Tratar(int sinal)
{
    // Only async-signal-safe work here: lock-free atomics, clock_gettime,
    // signal and raise.
    const long long agora = AgoraMs();
    if (sinais.fetch_add(1) == 0) {
        primeiro.store(agora);
        return;
    }
    if (agora - primeiro.load() < kMesmaParada) return;
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
    return sinais.load(std::memory_order_relaxed) > 0;
}
