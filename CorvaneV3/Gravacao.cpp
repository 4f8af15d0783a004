// The recording threads: one cycle per camera, and the Escape photos.
#include "CorvaneV3.h"
#include "EscritorVideo.h"
#include "Previa.h"
#include "Sinais.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <thread>

namespace {

constexpr auto kEsperaTecla = std::chrono::milliseconds(33);
// Pause after a read that yields no frame (a file at its end, a stalled
// stream), so that such a camera does not spin: 5 ms, doubling while the
// reads stay empty, up to 40 ms (a file that ended idles cheaply until the
// cycle's end, which moves by at most one pause).
constexpr auto kPausaSemQuadro = std::chrono::milliseconds(5);
constexpr auto kPausaMaxima = std::chrono::milliseconds(40);
constexpr int kEscape = 27;
// A network source that has delivered nothing for this long is opened again,
// and each attempt takes at most this long.
constexpr auto kReconexao = std::chrono::milliseconds(3000);

// Frames reach the overlay and the encoder as 8-bit BGR.
void ParaBGR(cv::Mat& quadro)
{
    if (quadro.type() == CV_8UC3) return;
    cv::Mat bgr;
    if (quadro.type() == CV_8UC1)
        cv::cvtColor(quadro, bgr, cv::COLOR_GRAY2BGR);
    else if (quadro.type() == CV_8UC4)
        cv::cvtColor(quadro, bgr, cv::COLOR_BGRA2BGR);
    else
        throw std::runtime_error("quadro de tipo nao suportado: " + cv::typeToString(quadro.type()));
    quadro = bgr;
}

std::string Motivo(const std::exception& e)
{
    if (auto* erro = dynamic_cast<const cv::Exception*>(&e)) return erro->msg;
    return e.what();
}

}  // namespace

bool CorvaneV3::ParadaPedida() const
{
    return parar.load(std::memory_order_relaxed) || SinalRecebido();
}

void CorvaneV3::IniciarGravacoes()
{
    // A stop requested while the sources were opening: nothing to record.
    if (fontes.empty() || ParadaPedida()) return;

    Previa previa(mostrarPrevia, static_cast<int>(fontes.size()));
    previa_ = &previa;
    std::atomic<size_t> terminadas{0};
    std::vector<std::thread> threads;
    try {
        for (size_t i = 0; i < fontes.size(); ++i)
            threads.emplace_back([this, i, &terminadas] {
                GravarCamera(static_cast<int>(i));
                terminadas.fetch_add(1);
            });
    } catch (...) {
        parar = true;
        for (auto& t : threads) t.join();
        previa_ = nullptr;
        throw;
    }
    previa.Atender([&] { return terminadas.load() == threads.size(); });
    for (auto& t : threads) t.join();
    previa_ = nullptr;
}

int CorvaneV3::EsperarTecla(int indice, const cv::Mat& quadro)
{
    return previa_ ? previa_->MostrarEEsperar(indice, quadro, kEsperaTecla) : -1;
}

void CorvaneV3::GravarCamera(int indice)
{
    // A failing camera stops alone: its writer closes what it opened, one
    // line says why, and the other cameras go on.
    try {
        CicloDeGravacao(indice);
    } catch (const std::exception& e) {
        EscreverErro(indice + 1, "erro ao gravar a camera " + std::to_string(indice) + ": " + Motivo(e));
    } catch (...) {
        EscreverErro(indice + 1, "erro ao gravar a camera " + std::to_string(indice) + ": erro desconhecido");
    }
}

void CorvaneV3::CicloDeGravacao(int indice)
{
    const std::string arquivo = MontarCaminho(indice, true) + "." + extensao;
    cv::VideoCapture& camera = capturas[static_cast<size_t>(indice)];
    EscritorVideo escritor(*this, arquivo, camera);

    bool parada = false;
    bool pacote = false;
    const auto inicio = std::chrono::steady_clock::now();
    const auto tempoEsgotado = [&] {
        return std::chrono::steady_clock::now() - inicio > duracaoCiclo || ParadaPedida();
    };
    const bool deRede = FonteDeRede(fontes[static_cast<size_t>(indice)]);
    auto ultimoQuadro = inicio;
    auto ultimaTentativa = inicio;
    auto pausa = kPausaSemQuadro;

    cv::Mat quadro;
    for (;;) {
        if (!parada) {
            camera >> quadro;
            if (!quadro.data || quadro.total() == 0) {
                // No frame: nothing is drawn, shown or encoded. The cycle still
                // ends on time, frames or not.
                if (tempoEsgotado()) {
                    parada = true;
                } else {
                    const auto agora = std::chrono::steady_clock::now();
                    if (deRede && agora - ultimoQuadro >= kReconexao && agora - ultimaTentativa >= kReconexao) {
                        // A stream that dropped is opened again for what is left
                        // of the cycle.
                        const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(
                            inicio + duracaoCiclo - agora);
                        Reconectar(indice, std::min<std::chrono::milliseconds>(resta, kReconexao));
                        ultimaTentativa = std::chrono::steady_clock::now();
                    }
                    std::this_thread::sleep_for(pausa);
                    pausa = std::min(pausa * 2, kPausaMaxima);
                    continue;
                }
            } else {
                ultimoQuadro = std::chrono::steady_clock::now();
                pausa = kPausaSemQuadro;
                ParaBGR(quadro);
                DesenharFaixa(quadro);
                EscreverTexto(quadro);
                if (EsperarTecla(indice, quadro) == kEscape) {
                    std::thread foto(&CorvaneV3::SalvarFoto, this, indice, quadro);
                    foto.join();
                }
                parada = tempoEsgotado();
                escritor.AdicionarQuadro(quadro);
            }
        }
        pacote = escritor.PassoCodificacao(parada);
        if (parada && !pacote) break;
    }
    escritor.Fechar();
}

void CorvaneV3::SalvarFoto(int indice, cv::Mat quadro)
{
    // A photo that cannot be written costs only the photo.
    try {
        const std::string arquivo = MontarCaminho(indice, false) + ".jpg";
        if (!cv::imwrite(arquivo, quadro))
            throw std::runtime_error("nao foi possivel escrever " + arquivo);
    } catch (const std::exception& e) {
        EscreverErro(indice + 1, "erro ao salvar a foto da camera " + std::to_string(indice) + ": " +
                                     Motivo(e));
    }
}
