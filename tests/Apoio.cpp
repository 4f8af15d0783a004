#include "Apoio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace apoio {

PastaTemporaria::PastaTemporaria()
{
    std::string modelo = (fs::temp_directory_path() / "corvane-XXXXXX").string();
    if (!mkdtemp(modelo.data())) throw std::runtime_error("mkdtemp");
    caminho_ = modelo;
}

PastaTemporaria::~PastaTemporaria()
{
    std::error_code erro;
    fs::remove_all(caminho_, erro);
}

DentroDaPasta::DentroDaPasta(const fs::path& pasta) : anterior_(fs::current_path())
{
    fs::current_path(pasta);
}

DentroDaPasta::~DentroDaPasta()
{
    std::error_code erro;
    fs::current_path(anterior_, erro);
}

Processo::Processo(const std::vector<std::string>& argumentos, const fs::path& pasta,
                   const std::vector<std::string>& ambiente)
    : inicio_(std::chrono::steady_clock::now())
{
    int saida[2], erro[2];
    if (pipe2(saida, O_CLOEXEC) != 0 || pipe2(erro, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_addopen(&acoes, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&acoes, saida[1], 1);
    posix_spawn_file_actions_adddup2(&acoes, erro[1], 2);
    if (!pasta.empty()) posix_spawn_file_actions_addchdir_np(&acoes, pasta.c_str());

    // The child sees this process's environment, with ambiente's NAME=VALUE
    // entries added or replacing; "NAME=" alone removes NAME.
    std::map<std::string, std::string> variaveis;
    for (char** e = environ; *e; ++e) {
        const std::string par = *e;
        const auto igual = par.find('=');
        variaveis[par.substr(0, igual)] = par;
    }
    for (const auto& par : ambiente) {
        const auto igual = par.find('=');
        if (igual + 1 == par.size())
            variaveis.erase(par.substr(0, igual));
        else
            variaveis[par.substr(0, igual)] = par;
    }
    std::vector<std::string> textos;
    for (auto& [nome, par] : variaveis) textos.push_back(par);
    std::vector<char*> env, argv;
    for (auto& t : textos) env.push_back(t.data());
    env.push_back(nullptr);
    std::vector<std::string> copia = argumentos;
    for (auto& a : copia) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int r = posix_spawnp(&pid_, argv[0], &acoes, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&acoes);
    close(saida[1]);
    close(erro[1]);
    saida_ = saida[0];
    erro_ = erro[0];
    if (r != 0) {
        pid_ = -1;
        throw std::runtime_error("nao foi possivel iniciar " + argumentos[0]);
    }
}

Processo::~Processo()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (saida_ >= 0) close(saida_);
    if (erro_ >= 0) close(erro_);
}

void Processo::Sinal(int sinal) const
{
    if (pid_ > 0) kill(pid_, sinal);
}

std::string Processo::LerLinha(std::chrono::milliseconds limite)
{
    const auto prazo = std::chrono::steady_clock::now() + limite;
    char bloco[256];
    for (;;) {
        const auto fim = lido_.find('\n');
        if (fim != std::string::npos) {
            std::string linha = lido_.substr(0, fim);
            lido_.erase(0, fim + 1);
            return linha;
        }
        const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(
            prazo - std::chrono::steady_clock::now());
        if (resta.count() <= 0) return {};
        pollfd fd{saida_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(resta.count())) <= 0) continue;
        const ssize_t n = read(saida_, bloco, sizeof bloco);
        if (n <= 0) return {};
        lido_.append(bloco, static_cast<size_t>(n));
    }
}

Resultado Processo::Esperar(std::chrono::milliseconds limite)
{
    Resultado r;
    r.saida = std::move(lido_);
    const auto prazo = inicio_ + limite;
    char bloco[4096];
    bool abertos[2] = {true, true};
    int status = 0;
    bool terminou = false;
    while (true) {
        if (!terminou && waitpid(pid_, &status, WNOHANG) == pid_) terminou = true;
        const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(
            prazo - std::chrono::steady_clock::now());
        if (!terminou && resta.count() <= 0) {
            r.expirou = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            terminou = true;
        }
        if (terminou && !abertos[0] && !abertos[1]) break;
        pollfd fds[2] = {{saida_, POLLIN, 0}, {erro_, POLLIN, 0}};
        for (int i = 0; i < 2; ++i)
            if (!abertos[i]) fds[i].fd = -1;
        poll(fds, 2, terminou ? 200 : 20);
        for (int i = 0; i < 2; ++i) {
            if (!abertos[i] || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(fds[i].fd, bloco, sizeof bloco);
            if (n <= 0)
                abertos[i] = false;
            else
                (i == 0 ? r.saida : r.erro).append(bloco, static_cast<size_t>(n));
        }
        // A grandchild that keeps the pipes open must not hold us forever.
        if (terminou && std::chrono::steady_clock::now() > prazo + std::chrono::seconds(2)) break;
    }
    pid_ = -1;
    r.segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio_).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

Resultado Rodar(const std::vector<std::string>& argumentos, const fs::path& pasta,
                std::chrono::milliseconds limite, const std::vector<std::string>& ambiente)
{
    Processo p(argumentos, pasta, ambiente);
    return p.Esperar(limite);
}

std::string Programa()
{
    return CORVANE_PROGRAMA;
}

fs::path GerarClipe(const fs::path& pasta, const std::string& nome, int largura, int altura,
                    int quadros, int fps)
{
    const fs::path arquivo = pasta / nome;
    const auto r = Rodar({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                          "testsrc2=size=" + std::to_string(largura) + "x" + std::to_string(altura) +
                              ":rate=" + std::to_string(fps),
                          "-frames:v", std::to_string(quadros), "-c:v", "libx264", "-preset",
                          "ultrafast", "-g", std::to_string(fps), "-pix_fmt", "yuv420p", arquivo.string()},
                         {}, std::chrono::seconds(120));
    if (r.status != 0) throw std::runtime_error("ffmpeg falhou: " + r.erro);
    return arquivo;
}

fs::path ClipeCompartilhado(const std::string& nome, int largura, int altura, int quadros, int fps)
{
    static PastaTemporaria pasta;
    const fs::path arquivo = pasta.Caminho() / nome;
    if (!fs::exists(arquivo)) GerarClipe(pasta.Caminho(), nome, largura, altura, quadros, fps);
    return arquivo;
}

int PortaLivre()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in endereco{};
    endereco.sin_family = AF_INET;
    endereco.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&endereco), sizeof endereco);
    socklen_t tamanho = sizeof endereco;
    getsockname(s, reinterpret_cast<sockaddr*>(&endereco), &tamanho);
    close(s);
    return ntohs(endereco.sin_port);
}

namespace {

bool Escutando(int porta)
{
    std::ifstream tcp("/proc/net/tcp");
    std::string linha;
    char procura[32];
    std::snprintf(procura, sizeof procura, ":%04X 00000000:0000 0A", porta);
    while (std::getline(tcp, linha))
        if (linha.find(procura) != std::string::npos) return true;
    return false;
}

}  // namespace

Transmissao::Transmissao(const fs::path& clipe, int segundos, int porta)
    : porta_(porta ? porta : PortaLivre()),
      endereco_("http://127.0.0.1:" + std::to_string(porta_) + "/cam.ts"),
      processo_({"ffmpeg", "-v", "quiet", "-re", "-stream_loop", "-1", "-i", clipe.string(), "-t",
                 std::to_string(segundos), "-c", "copy", "-f", "mpegts", "-listen", "1", endereco_})
{
    for (int i = 0; i < 100 && !Escutando(porta_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Transmissao::~Transmissao() = default;

InfoVideo Sondar(const fs::path& arquivo)
{
    InfoVideo info;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, arquivo.c_str(), nullptr, nullptr) < 0) return info;
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> fecharCtx(&ctx, avformat_close_input);
    if (avformat_find_stream_info(ctx, nullptr) < 0) return info;
    info.aberto = true;
    info.formato = ctx->iformat->name;
    info.fluxos = static_cast<int>(ctx->nb_streams);
    if (ctx->nb_streams < 1) return info;
    AVStream* fluxo = ctx->streams[0];
    const AVCodecParameters* par = fluxo->codecpar;
    info.codec = avcodec_get_name(par->codec_id);
    info.largura = par->width;
    info.altura = par->height;
    info.mediaNum = fluxo->avg_frame_rate.num;
    info.mediaDen = fluxo->avg_frame_rate.den;
    info.realNum = fluxo->r_frame_rate.num;
    info.realDen = fluxo->r_frame_rate.den;
    info.extradata = par->extradata_size > 0;
    if (ctx->duration > 0) info.duracao = static_cast<double>(ctx->duration) / AV_TIME_BASE;

    const AVCodec* decodificador = avcodec_find_decoder(par->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(decodificador);
    std::unique_ptr<AVCodecContext*, void (*)(AVCodecContext**)> fecharDec(&dec, avcodec_free_context);
    avcodec_parameters_to_context(dec, par);
    dec->thread_count = 1;
    if (avcodec_open2(dec, decodificador, nullptr) < 0) return info;
    AVPacket* pacote = av_packet_alloc();
    AVFrame* quadro = av_frame_alloc();
    const AVRational vinte{1, 20};
    auto receber = [&] {
        int r;
        while ((r = avcodec_receive_frame(dec, quadro)) >= 0) {
            ++info.quadrosDecodificados;
            info.ptsQuadros.push_back(av_rescale_q(quadro->best_effort_timestamp, fluxo->time_base, vinte));
            if (quadro->decode_error_flags || (quadro->flags & AV_FRAME_FLAG_CORRUPT))
                ++info.errosDeDecodificacao;
            av_frame_unref(quadro);
        }
    };
    while (av_read_frame(ctx, pacote) >= 0) {
        if (pacote->stream_index == 0) {
            if (info.pacotes == 0) {
                // Annex B start code followed by NAL type 7, anywhere in the
                // packet; length-prefixed NAL units are walked one by one.
                const uint8_t* d = pacote->data;
                const int n = pacote->size;
                for (int i = 0; i + 3 < n; ++i)
                    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && (d[i + 3] & 0x1f) == 7)
                        info.spsNoPrimeiroPacote = true;
                if (info.extradata && par->extradata[0] == 1) {
                    info.spsNoPrimeiroPacote = false;
                    for (int i = 0; i + 4 < n;) {
                        const int tamanho = (d[i] << 24) | (d[i + 1] << 16) | (d[i + 2] << 8) | d[i + 3];
                        if ((d[i + 4] & 0x1f) == 7) info.spsNoPrimeiroPacote = true;
                        i += 4 + tamanho;
                    }
                }
            }
            ++info.pacotes;
            info.pts.push_back(av_rescale_q(pacote->pts, fluxo->time_base, vinte));
            info.duracoes.push_back(av_rescale_q(pacote->duration, fluxo->time_base, vinte));
            if (avcodec_send_packet(dec, pacote) < 0) ++info.errosDeDecodificacao;
            receber();
        }
        av_packet_unref(pacote);
    }
    avcodec_send_packet(dec, nullptr);
    receber();
    av_frame_free(&quadro);
    av_packet_free(&pacote);
    return info;
}

std::vector<fs::path> Arquivos(const fs::path& pasta)
{
    std::vector<fs::path> lista;
    if (!fs::exists(pasta)) return lista;
    for (const auto& e : fs::recursive_directory_iterator(pasta))
        if (!e.is_directory()) lista.push_back(e.path());
    std::sort(lista.begin(), lista.end());
    return lista;
}

}  // namespace apoio
