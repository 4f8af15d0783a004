#include "Sinais.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> sinais{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free counter");

extern "C" void Tratar(int sinal)
{
    // Only async-signal-safe work here: a lock-free counter, signal and raise.
    if (sinais.fetch_add(1) >= 1) {
        std::signal(sinal, SIG_DFL);
        std::raise(sinal);
    }
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
