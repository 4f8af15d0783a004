#include "Tavorin.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// How a name is checked
// ---------------------
// The answer is what cv::VideoCapture(name).isOpened() says: the video
// library tries its back ends in priority order (FFmpeg first, then
// GStreamer, V4L2, image sequences, MJPEG, gPhoto2, ...) and the name is
// good when one of them opens it.
//
// Several of those fallbacks cannot run safely inside a long-lived caller:
// - GStreamer (when its plugins are installed), given a file it recognises
//   but cannot play (a truncated MP4), drops its pipeline without stopping
//   it: the file's descriptor, the bus's socket pair and two or three
//   streaming threads stay behind on every call, the leftover threads touch
//   the freed pipeline (heap corruption, "double free or corruption" under
//   concurrent calls), it prints GStreamer-CRITICAL lines, and a few calls
//   later the next open hangs for good;
// - gPhoto2 looks for cameras on every open, and its USB port driver never
//   frees the device lists: about 150 KB of heap per name that nothing else
//   opened, plus 100 to 250 ms of plugin loading;
// - FFmpeg prints its complaints about bad files on standard error, and the
//   video library sets FFmpeg's log level on each open, so they cannot be
//   silenced from outside for this call alone.
//
// So the check runs in a helper process: this same library, started through
// the dynamic loader (it has an entry point, _start below). The helper asks
// FFmpeg itself (that back end leaks nothing and is the one that answers for
// ordinary videos), and when FFmpeg says no, it forks a child that tries the
// remaining back ends in the same order and exits: whatever those back ends
// leave behind goes away with the child. The helper's standard output and
// error are /dev/null. It is started on the first call, serves the calls one
// at a time over a socket and ends when the caller closes the socket (the
// caller's exit, a fork, or this library being unloaded).
//
// A name is looked up as the caller would: the child works in the caller's
// current directory (passed as a descriptor with each call), and a name
// designating one of the caller's descriptors (/proc/self/fd/N, /dev/fd/N,
// /dev/stdin, ...) gets that descriptor at the same number.
//
// If the helper cannot be started (no dynamic loader to start it with,
// process limits, an architecture without an entry point here), the check
// runs in the caller's process as before, one at a time.

namespace {

// Calls take turns: one helper serves them one at a time, and without it
// the attempts in this process must not overlap (see AbrirAqui).
pthread_mutex_t vez = PTHREAD_MUTEX_INITIALIZER;

class Vez {
public:
    Vez() { pthread_mutex_lock(&vez); }
    ~Vez() { pthread_mutex_unlock(&vez); }
    Vez(const Vez&) = delete;
    Vez& operator=(const Vez&) = delete;
};

// ---------------------------------------------------------------------------
// The check itself.

bool Abrir(const std::string& caminho, int apiPreferida)
{
    bool aberto = false;
    {
        cv::VideoCapture captura(caminho, apiPreferida);
        aberto = captura.isOpened();
        captura.release();
    }
    return aberto;
}

// ---------------------------------------------------------------------------
// Between the caller and the helper.

// The helper needs Linux, glibc 2.34 or later (closefrom in posix_spawn)
// and an architecture whose process entry is handled below.
#ifndef TAVORIN_COM_SONDA
#if defined(__linux__) && defined(__GLIBC__) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
#if __GLIBC_PREREQ(2, 34)
#define TAVORIN_COM_SONDA 1
#endif
#endif
#endif
#ifndef TAVORIN_COM_SONDA
#define TAVORIN_COM_SONDA 0
#endif

#if TAVORIN_COM_SONDA

// The helper's end of the socket, in the helper.
constexpr int kCanalNaSonda = 3;

// First thing the helper writes: who it is and which exchange it speaks.
constexpr char kSaudacao[8] = {'T', 'a', 'v', 'o', 'r', 'i', 'n', 1};

// One call: this header, then the name's bytes. Descriptors travel with the
// header: the caller's current directory, then (with kComDescritor) the
// descriptor the name designates, to be placed at number `descritor`.
struct Pedido {
    uint32_t tamanho;
    uint32_t marcas;
    int32_t descritor;
};
constexpr uint32_t kComPasta = 1;
constexpr uint32_t kComDescritor = 2;

// The helper's reply, one byte.
enum Resposta : unsigned char {
    kFechado = 0,   // no back end opened the name
    kAberto = 1,    // a back end opened it
    kCaiu = 2,      // the child trying the fallbacks died (a back end crashed)
    kEsgotado = 3,  // the fallbacks took longer than kPrazoMs; the child was killed
};
// Added to the reply when the helper ends right after it.
constexpr unsigned char kAposentando = 0x80;

// Time allowed to one name. Files take well under a second; the slowest
// legitimate case is a network address that FFmpeg (30 s timeout) and then
// GStreamer both try to reach.
constexpr int kPrazoMs = 120000;
// What the caller allows the helper on top of that before giving it up.
constexpr int kFolgaMs = 30000;
// Time allowed to a new helper to load its libraries and greet.
constexpr int kPrazoPartidaMs = 60000;
// Growth of the helper's resident memory past which it hands over.
constexpr long kFolgaResidente = 64L << 20;

// Exit statuses of the child trying the fallbacks.
constexpr int kSaidaAberto = 0x5a;
constexpr int kSaidaFechado = 0x5b;

bool EscreverTudo(int fd, const void* dados, size_t tamanho)
{
    const char* p = static_cast<const char*>(dados);
    while (tamanho > 0) {
        const ssize_t n = send(fd, p, tamanho, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        tamanho -= static_cast<size_t>(n);
    }
    return true;
}

bool LerTudo(int fd, void* dados, size_t tamanho)
{
    char* p = static_cast<char*>(dados);
    while (tamanho > 0) {
        const ssize_t n = read(fd, p, tamanho);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        tamanho -= static_cast<size_t>(n);
    }
    return true;
}

// Waits until fd is readable (or closed). False on timeout.
bool Aguardar(int fd, int prazoMs)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, prazoMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

void FecharTodos(const std::vector<int>& fds)
{
    for (int fd : fds)
        if (fd >= 0) close(fd);
}

// The descriptor a name designates (/proc/self/fd/N, /dev/fd/N, /dev/stdin,
// ...), or -1. `fim` receives where the part after the number begins.
int DescritorDoNome(const char* nome, size_t* fim = nullptr)
{
    static const char* const prefixos[] = {"/proc/self/fd/", "/proc/thread-self/fd/", "/dev/fd/"};
    for (const char* prefixo : prefixos) {
        const size_t n = std::strlen(prefixo);
        if (std::strncmp(nome, prefixo, n) != 0) continue;
        const char* p = nome + n;
        if (*p < '0' || *p > '9') return -1;
        long numero = 0;
        while (*p >= '0' && *p <= '9' && numero < 1L << 30) numero = numero * 10 + (*p++ - '0');
        if ((*p != '\0' && *p != '/') || numero >= 1L << 30) return -1;
        if (fim) *fim = static_cast<size_t>(p - nome);
        return static_cast<int>(numero);
    }
    static const char* const padroes[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    for (int i = 0; i < 3; ++i)
        if (std::strcmp(nome, padroes[i]) == 0) {
            if (fim) *fim = std::strlen(nome);
            return i;
        }
    return -1;
}

// Whether FFmpeg would take the name for a protocol address (http:, rtsp:,
// pipe:, concat:, subfile,...) rather than a file: letters, digits, '+', '-'
// or '.' up to a ':' or ','.
bool TemEsquema(const std::string& nome)
{
    const size_t n = nome.find_first_not_of(
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    return n != std::string::npos && n > 0 && (nome[n] == ':' || nome[n] == ',');
}

// ---------------------------------------------------------------------------
// The helper.

int Contar(const char* pasta)
{
    DIR* d = opendir(pasta);
    if (!d) return -1;
    int n = 0;
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

long Residente()
{
    long paginas = 0, residentes = 0;
    if (FILE* f = fopen("/proc/self/statm", "re")) {
        if (fscanf(f, "%ld %ld", &paginas, &residentes) != 2) residentes = 0;
        fclose(f);
    }
    return residentes * sysconf(_SC_PAGESIZE);
}

// gPhoto2 loads and unloads every camera driver on each open; loading them
// once here, before any child is forked, makes those loads free in the
// children. It changes nothing else: the same files are found and run.
int GuardarPastas(dl_phdr_info* info, size_t, void* dados)
{
    auto* pastas = static_cast<std::vector<std::string>*>(dados);
    const std::string nome = info->dlpi_name ? info->dlpi_name : "";
    for (const char* biblioteca : {"/libgphoto2.so", "/libgphoto2_port.so"}) {
        const auto pos = nome.find(biblioteca);
        if (pos == std::string::npos) continue;
        const std::string base = nome.substr(0, pos);
        const std::string sub = std::string(biblioteca).substr(1, std::strlen(biblioteca) - 4);
        pastas->push_back(base + "/" + sub + "/*/*.so");
    }
    return 0;
}

void CarregarModulosDeCameras()
{
    std::vector<std::string> padroes;
    if (const char* c = getenv("CAMLIBS")) padroes.push_back(std::string(c) + "/*.so");
    if (const char* i = getenv("IOLIBS")) padroes.push_back(std::string(i) + "/*.so");
    if (padroes.empty()) dl_iterate_phdr(GuardarPastas, &padroes);
    for (const auto& padrao : padroes) {
        glob_t g{};
        if (glob(padrao.c_str(), 0, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; ++i) dlopen(g.gl_pathv[i], RTLD_LAZY | RTLD_LOCAL);
        globfree(&g);
    }
}

// Receives one call. False when the caller has closed its end.
bool ReceberPedido(Pedido& pedido, std::vector<int>& fds, std::string& nome)
{
    fds.clear();
    alignas(cmsghdr) char controle[CMSG_SPACE(2 * sizeof(int))];
    iovec iov{&pedido, sizeof pedido};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = controle;
    msg.msg_controllen = sizeof controle;
    ssize_t n;
    do n = recvmsg(kCanalNaSonda, &msg, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t quantos = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < quantos; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    if (static_cast<size_t>(n) < sizeof pedido &&
        !LerTudo(kCanalNaSonda, reinterpret_cast<char*>(&pedido) + n, sizeof pedido - n)) {
        FecharTodos(fds);
        return false;
    }
    nome.assign(pedido.tamanho, '\0');
    if (!LerTudo(kCanalNaSonda, nome.data(), nome.size())) {
        FecharTodos(fds);
        return false;
    }
    return true;
}

// Puts the call's working directory in place and its designated descriptor
// at the caller's number, and returns the name to try. The descriptor can
// take its number only in the child (which may lose whatever sat there), and
// never standard output or error, which stay /dev/null: otherwise the name
// is pointed at the received copy.
std::string Ambientar(const Pedido& pedido, const std::vector<int>& fds, const std::string& nome, bool noFilho)
{
    size_t i = 0;
    if (pedido.marcas & kComPasta) {
        if (i < fds.size() && fchdir(fds[i]) != 0) {}
        ++i;
    }
    if (!(pedido.marcas & kComDescritor) || i >= fds.size()) return nome;
    const int recebido = fds[i];
    const int alvo = pedido.descritor;
    if (noFilho && alvo != 1 && alvo != 2) {
        if (recebido != alvo) dup2(recebido, alvo);
        else fcntl(alvo, F_SETFD, 0);
        return nome;
    }
    size_t fim = nome.size();
    if (DescritorDoNome(nome.c_str(), &fim) < 0) return nome;
    return "/proc/self/fd/" + std::to_string(recebido) + nome.substr(fim);
}

// Waits for the child trying the fallbacks, within kPrazoMs, and gives up
// on it (and on everything) if the caller goes away meanwhile.
Resposta EsperarFilho(pid_t filho)
{
    int status = 0;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, filho, 0));
    if (pidfd >= 0) {
        pollfd p[2] = {{pidfd, POLLIN, 0}, {kCanalNaSonda, POLLIN, 0}};
        int restante = kPrazoMs;
        for (;;) {
            const int n = poll(p, 2, restante);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {  // out of time
                kill(filho, SIGKILL);
                waitpid(filho, &status, 0);
                close(pidfd);
                return kEsgotado;
            }
            if (p[1].revents) {
                char c;
                if (recv(kCanalNaSonda, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0 || (p[1].revents & (POLLHUP | POLLERR))) {
                    // The caller is gone: nobody to answer.
                    kill(filho, SIGKILL);
                    waitpid(filho, &status, 0);
                    _exit(0);
                }
                p[1].fd = -1;  // bytes the caller should not have sent yet: read with the next call
            }
            if (p[0].revents) break;
        }
        close(pidfd);
    }
    while (waitpid(filho, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSaidaAberto) return kAberto;
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSaidaFechado) return kFechado;
    return kCaiu;
}

// The back ends not tried yet, in order: all of them (the video library's
// own search) or, after FFmpeg, the ones behind it.
bool Restantes(const std::string& nome, const std::vector<cv::VideoCaptureAPIs>& ordem, bool depoisDoFfmpeg)
{
    try {
        if (!depoisDoFfmpeg) return Abrir(nome, cv::CAP_ANY);
        for (size_t i = 1; i < ordem.size(); ++i)
            if (Abrir(nome, ordem[i])) return true;
    } catch (...) {
    }
    return false;
}

[[noreturn]] void Servir()
{
    struct stat st;
    if (fstat(kCanalNaSonda, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        static const char aviso[] = "libTavorin: biblioteca, não programa\n";
        if (write(2, aviso, sizeof aviso - 1) < 0) {}
        _exit(1);
    }
    prctl(PR_SET_NAME, "tavorin-sonda", 0, 0, 0);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // A back end crashing on a bad file ends a child, not the caller; it
    // leaves no core file behind in the caller's folder either.
    const rlimit semNucleo{0, 0};
    setrlimit(RLIMIT_CORE, &semNucleo);

    // Back ends in the order the video library tries them. When FFmpeg
    // comes first, it is asked here and the child tries the rest in order;
    // otherwise the child does the whole search itself.
    const std::vector<cv::VideoCaptureAPIs> ordem = cv::videoio_registry::getStreamBackends();
    const bool ffmpegPrimeiro = !ordem.empty() && ordem.front() == cv::CAP_FFMPEG;
    CarregarModulosDeCameras();
    // Every back end sets itself up on its first use (GStreamer's plugin
    // registry, the plugin searches, ...): once here rather than in every
    // child, with a name under /proc that cannot exist and no back end opens
    // (gPhoto2 keeps its usual 150 KB from it, once).
    try {
        Abrir("/proc/self/tavorin/0", cv::CAP_ANY);
    } catch (...) {
    }

    // Threads this process has of its own (one; a sanitizer's run-time
    // adds its own): a child can be forked safely while there are no others.
    const int linhasProprias = Contar("/proc/self/task");

    if (chdir("/") != 0) {}
    if (!EscreverTudo(kCanalNaSonda, kSaudacao, sizeof kSaudacao)) _exit(0);

    Pedido pedido{};
    std::vector<int> fds;
    std::string nome;
    int descritoresBase = -1;
    long residenteBase = -1;
    while (ReceberPedido(pedido, fds, nome)) {
        Resposta resposta = kFechado;
        bool aposentar = false;

        // FFmpeg is asked here for plain file names only. A name designating
        // a descriptor needs it at its number, which only the child can
        // spare; a protocol address may stall on the network, or name this
        // process's own descriptors (pipe:3): the child does the whole search
        // for those, where a stall can be cut short.
        const bool aqui = ffmpegPrimeiro && !(pedido.marcas & kComDescritor) && !TemEsquema(nome);
        if (aqui) {
            if ((pedido.marcas & kComPasta) && !fds.empty() && fchdir(fds[0]) != 0) {}
            try {
                resposta = Abrir(nome, cv::CAP_FFMPEG) ? kAberto : kFechado;
            } catch (...) {
                resposta = kFechado;
            }
        }

        if (resposta != kAberto) {
            // Forking needs this process to have no thread but its own.
            if (Contar("/proc/self/task") == linhasProprias) {
                const pid_t filho = fork();
                if (filho == 0) {
                    close(kCanalNaSonda);
                    const std::string proprio = Ambientar(pedido, fds, nome, true);
                    _exit(Restantes(proprio, ordem, aqui) ? kSaidaAberto : kSaidaFechado);
                }
                resposta = filho > 0 ? EsperarFilho(filho) : kCaiu;
            } else {
                // Try here, then make room for a fresh helper.
                aposentar = true;
                const std::string proprio = Ambientar(pedido, fds, nome, false);
                resposta = Restantes(proprio, ordem, aqui) ? kAberto : kFechado;
            }
        }
        FecharTodos(fds);
        if (chdir("/") != 0) {}

        // Anything this process kept from its own attempts would pile up
        // over the calls: past the first call's level, a new helper takes over.
        const int descritores = Contar("/proc/self/fd");
        const long residente = Residente();
        if (descritoresBase < 0) {
            descritoresBase = descritores;
            residenteBase = residente;
        }
        if (descritores > descritoresBase || residente > residenteBase + kFolgaResidente ||
            Contar("/proc/self/task") != linhasProprias)
            aposentar = true;

        const unsigned char byte = resposta | (aposentar ? kAposentando : 0);
        if (!EscreverTudo(kCanalNaSonda, &byte, 1) || aposentar) _exit(0);
    }
    _exit(0);
}

// ---------------------------------------------------------------------------
// The caller's side.

struct Sonda {
    pid_t pid;
    int canal;       // caller's end of the socket, -1 when there is no helper
    pid_t dono;      // the process that started it
    uid_t uid, euid;
    gid_t gid, egid;
    bool indisponivel;  // a helper started but would not greet: do without
};

// Plain data, so that it stays usable while the process exits.
Sonda sonda{-1, -1, -1, 0, 0, 0, 0, false};
pthread_once_t registro = PTHREAD_ONCE_INIT;

// A forked child keeps a copy of the parent's socket to the parent's
// helper: it must not talk over it. And if another thread held the lock at
// the fork, the child's copy of the lock would stay taken forever.
void AposFork()
{
    pthread_mutex_init(&vez, nullptr);
    if (sonda.canal >= 0) close(sonda.canal);
    sonda.canal = -1;
    sonda.pid = -1;
}

void Registrar()
{
    pthread_atfork(nullptr, nullptr, AposFork);
}

void Descartar(Sonda& s)
{
    if (s.canal >= 0) close(s.canal);
    if (s.pid > 0 && s.dono == getpid()) {
        kill(s.pid, SIGKILL);
        while (waitpid(s.pid, nullptr, 0) < 0 && errno == EINTR) {}
    }
    s.canal = -1;
    s.pid = -1;
}

// Unloading the library, or the process ending: the helper goes too.
__attribute__((destructor)) void Encerrar()
{
    if (pthread_mutex_trylock(&vez) != 0) return;
    if (sonda.canal >= 0 && sonda.dono == getpid()) Descartar(sonda);
    pthread_mutex_unlock(&vez);
}

// The dynamic loader named by the running program.
int AcharCarregador(dl_phdr_info* info, size_t, void* dados)
{
    auto* carregador = static_cast<std::string*>(dados);
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_INTERP)
            *carregador = reinterpret_cast<const char*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    return 1;  // the first object is the program
}

// The file this library was loaded from, as the kernel names it.
std::string EstaBiblioteca()
{
    const auto aqui = reinterpret_cast<uintptr_t>(&Abrir);
    std::string caminho;
    if (FILE* f = fopen("/proc/self/maps", "re")) {
        char linha[4096 + 256];
        while (fgets(linha, sizeof linha, f)) {
            unsigned long inicio = 0, fim = 0;
            int pos = 0;
            if (sscanf(linha, "%lx-%lx %*s %*s %*s %*s %n", &inicio, &fim, &pos) < 2) continue;
            if (aqui < inicio || aqui >= fim || pos <= 0) continue;
            caminho = linha + pos;
            while (!caminho.empty() && (caminho.back() == '\n')) caminho.pop_back();
            const std::string apagado = " (deleted)";
            if (caminho.size() > apagado.size() &&
                caminho.compare(caminho.size() - apagado.size(), apagado.size(), apagado) == 0)
                caminho.erase(caminho.size() - apagado.size());
            break;
        }
        fclose(f);
    }
    return caminho.empty() || caminho[0] != '/' ? std::string{} : caminho;
}

bool MesmasCredenciais(const Sonda& s)
{
    return s.uid == getuid() && s.euid == geteuid() && s.gid == getgid() && s.egid == getegid();
}

bool Iniciar(Sonda& s)
{
    static std::string carregador, biblioteca;
    static bool procurados = false;
    if (!procurados) {
        procurados = true;
        dl_iterate_phdr(AcharCarregador, &carregador);
        biblioteca = EstaBiblioteca();
    }
    if (carregador.empty() || biblioteca.empty()) return false;

    int par[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, par) != 0) return false;

    posix_spawn_file_actions_t acoes;
    posix_spawnattr_t atributos;
    posix_spawn_file_actions_init(&acoes);
    posix_spawnattr_init(&atributos);
    // The socket goes to number 3 first (it may sit on 0, 1 or 2 when the
    // caller closed those), then /dev/null on 0, 1 and 2, and nothing else
    // of the caller's stays open in the helper.
    posix_spawn_file_actions_adddup2(&acoes, par[1], kCanalNaSonda);
    posix_spawn_file_actions_addopen(&acoes, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&acoes, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&acoes, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&acoes, kCanalNaSonda + 1);
    // Default signal handling and no blocked signal, whatever the caller set
    // (an ignored SIGCHLD would keep the helper from waiting for its
    // children); a session of its own, away from the caller's terminal.
    sigset_t todos, nenhum;
    sigfillset(&todos);
    sigemptyset(&nenhum);
    posix_spawnattr_setsigdefault(&atributos, &todos);
    posix_spawnattr_setsigmask(&atributos, &nenhum);
    posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);

    std::string arg0 = carregador, arg1 = biblioteca;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = -1;
    const int erro = posix_spawn(&pid, carregador.c_str(), &acoes, &atributos, argv, environ);
    posix_spawn_file_actions_destroy(&acoes);
    posix_spawnattr_destroy(&atributos);
    close(par[1]);
    if (erro != 0) {
        close(par[0]);
        return false;
    }

    s.pid = pid;
    s.canal = par[0];
    s.dono = getpid();
    s.uid = getuid();
    s.euid = geteuid();
    s.gid = getgid();
    s.egid = getegid();
    char saudacao[sizeof kSaudacao];
    if (!Aguardar(s.canal, kPrazoPartidaMs) || !LerTudo(s.canal, saudacao, sizeof saudacao) ||
        std::memcmp(saudacao, kSaudacao, sizeof saudacao) != 0) {
        // It runs but does not work here (an incompatible build at that path,
        // a loader that refuses it): no helper for this process.
        Descartar(s);
        s.indisponivel = true;
        return false;
    }
    return true;
}

// One call through the helper: its reply, or -1 when the helper failed
// (it is discarded then), or -2 when it ran out of time.
int Consultar(Sonda& s, const char* caminho)
{
    const size_t tamanho = std::strlen(caminho);
    if (tamanho > UINT32_MAX) return kFechado;

    Pedido pedido{static_cast<uint32_t>(tamanho), 0, -1};
    std::vector<int> envio;
    const int pasta = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (pasta >= 0) {
        pedido.marcas |= kComPasta;
        envio.push_back(pasta);
    }
    const int designado = DescritorDoNome(caminho);
    if (designado >= 0 && fcntl(designado, F_GETFD) != -1) {
        pedido.marcas |= kComDescritor;
        pedido.descritor = designado;
        envio.push_back(designado);
    }

    alignas(cmsghdr) char controle[CMSG_SPACE(2 * sizeof(int))] = {};
    iovec iov[2] = {{&pedido, sizeof pedido}, {const_cast<char*>(caminho), tamanho}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    if (!envio.empty()) {
        msg.msg_control = controle;
        msg.msg_controllen = CMSG_SPACE(envio.size() * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(envio.size() * sizeof(int));
        std::memcpy(CMSG_DATA(c), envio.data(), envio.size() * sizeof(int));
    }
    ssize_t enviado;
    do enviado = sendmsg(s.canal, &msg, MSG_NOSIGNAL);
    while (enviado < 0 && errno == EINTR);
    if (pasta >= 0) close(pasta);
    bool entregue = enviado >= 0;
    // A long name may not fit in one go: the rest of the header, then of the name.
    size_t feito = entregue ? static_cast<size_t>(enviado) : 0;
    if (entregue && feito < sizeof pedido) {
        entregue = EscreverTudo(s.canal, reinterpret_cast<char*>(&pedido) + feito, sizeof pedido - feito);
        feito = sizeof pedido;
    }
    if (entregue && feito < sizeof pedido + tamanho)
        entregue = EscreverTudo(s.canal, caminho + (feito - sizeof pedido), sizeof pedido + tamanho - feito);
    if (!entregue) {
        Descartar(s);
        return -1;
    }

    unsigned char resposta = 0;
    if (!Aguardar(s.canal, kPrazoMs + kFolgaMs)) {
        Descartar(s);
        return -2;
    }
    if (!LerTudo(s.canal, &resposta, 1)) {
        Descartar(s);
        return -1;
    }
    if (resposta & kAposentando) Descartar(s);
    return resposta & ~kAposentando;
}

#endif  // TAVORIN_COM_SONDA

// In the caller's own process, when there is no helper.
bool AbrirAqui(const char* caminho)
{
    // Capture objects opened from several threads at once were seen to
    // corrupt the heap inside the GStreamer fallback, so attempts take turns
    // (the caller holds the lock). The back ends' warnings are not ours to
    // print; the caller's log level comes back afterwards.
    const auto nivel = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    bool aberto = false;
    try {
        aberto = Abrir(std::string{caminho}, cv::CAP_ANY);
    } catch (...) {
        aberto = false;
    }
    cv::utils::logging::setLogLevel(nivel);
    return aberto;
}

}  // namespace

#if TAVORIN_COM_SONDA
// Entry point when the dynamic loader runs this file as a program: the
// helper. It is reached with the process stack as the loader left it (not
// through a call), hence the realignment; it never returns. The library's
// own constructors have not run here, and nothing below needs them.
extern "C" [[noreturn]] __attribute__((used, visibility("hidden")
#if defined(__x86_64__) || defined(__i386__)
                                       , force_align_arg_pointer
#endif
                                       )) void _start()
{
    try {
        Servir();
    } catch (...) {
    }
    _exit(1);
}
#endif

extern "C" bool ValidarVideo(char* caminho) noexcept
{
    if (!caminho) return false;
    try {
#if TAVORIN_COM_SONDA
        pthread_once(&registro, Registrar);
        Vez minhaVez;
        if (sonda.canal >= 0 && (sonda.dono != getpid() || !MesmasCredenciais(sonda))) Descartar(sonda);

        const int designado = DescritorDoNome(caminho);
        if (designado >= 0 && fcntl(designado, F_GETFD) == -1) return false;  // nothing there to open

        // When the helper fails to answer, it may have been gone before the
        // call (killed from outside, or retired): one more try with a new
        // one. When the new one fails as well, the name itself brings it
        // down (the same would have happened in this process), and it
        // counts as not opened.
        bool caiu = false;
        for (int tentativa = 0; tentativa < 2; ++tentativa) {
            if (sonda.canal < 0 && (sonda.indisponivel || !Iniciar(sonda))) break;
            const int resposta = Consultar(sonda, caminho);
            if (resposta == -1) {
                caiu = true;
                continue;
            }
            return resposta == kAberto;
        }
        if (caiu) return false;
        return AbrirAqui(caminho);
#else
        Vez minhaVez;
        return AbrirAqui(caminho);
#endif
    } catch (...) {
        return false;
    }
}
