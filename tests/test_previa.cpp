// The preview window under a real X server, and a real key press.
#include "Apoio.h"
#include "CorvaneV3.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace apoio;
using namespace std::chrono_literals;

namespace {

// An Xvfb server of this test's own, on a display number it picks itself.
class ServidorX {
public:
    ServidorX() : processo_({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"})
    {
        const std::string numero = processo_.LerLinha(30s);
        if (numero.empty()) throw std::runtime_error("Xvfb did not start");
        tela_ = ":" + numero;
    }
    ~ServidorX()
    {
        // SIGTERM lets it remove its lock file and socket.
        processo_.Sinal(SIGTERM);
        processo_.Esperar(processo_.Decorrido() + 10s);
    }
    const std::string& Tela() const { return tela_; }

private:
    Processo processo_;
    std::string tela_;
};

// The window tools print the UTF-8 title only in a UTF-8 locale.
std::vector<std::string> AmbienteX(const std::string& tela)
{
    return {"DISPLAY=" + tela, "LC_ALL=C.UTF-8"};
}

std::vector<std::string> Janelas(const std::string& tela)
{
    const Resultado arvore = Rodar({"xwininfo", "-root", "-tree"}, {}, 10s, AmbienteX(tela));
    std::vector<std::string> ids;
    std::istringstream linhas(arvore.saida);
    std::string linha;
    while (std::getline(linhas, linha)) {
        std::istringstream campos(linha);
        std::string id;
        campos >> id;
        if (id.rfind("0x", 0) == 0 && linha.find("via\"") != std::string::npos) ids.push_back(id);
    }
    return ids;
}

bool Visivel(const std::string& tela, const std::string& id)
{
    const Resultado info = Rodar({"xwininfo", "-id", id}, {}, 10s, AmbienteX(tela));
    return info.saida.find("IsViewable") != std::string::npos;
}

class JanelaDePrevia : public testing::Test {
protected:
    static fs::path Clipe(const std::string& nome, int largura, int altura)
    {
        static PastaTemporaria clipes;
        const fs::path arquivo = clipes.Caminho() / nome;
        if (!fs::exists(arquivo)) GerarClipe(clipes.Caminho(), nome, largura, altura, 400);
        return arquivo;
    }

    void Preparar(std::chrono::milliseconds ciclo)
    {
        g.legenda = "Previa";
        g.mostrarPrevia = true;
        g.largura = 320;
        g.altura = 240;
        g.taxaDeBits = 500000;
        g.extensao = "mkv";
        g.fontes = {Clipe("a.mp4", 320, 240).string(), Clipe("b.mp4", 352, 288).string()};
        g.duracaoCiclo = ciclo;
    }

    PastaTemporaria pasta;
    DentroDaPasta dentro{pasta.Caminho()};
    CorvaneV3 g;
};

TEST_F(JanelaDePrevia, EscapeNaJanelaTiraAFotoDaCamera)
{
    ServidorX x;
    setenv("DISPLAY", x.Tela().c_str(), 1);
    Preparar(60000ms);
    // Live sources keep frames, and so key waits, coming however long the
    // window takes to appear.
    Transmissao a(Clipe("a.mp4", 320, 240), 90);
    Transmissao b(Clipe("b.mp4", 352, 288), 90);
    g.fontes = {a.Endereco(), b.Endereco()};

    std::string janela;
    std::vector<std::string> todas;
    std::string titulo;
    std::chrono::steady_clock::time_point parada;
    std::jthread teclado([&] {
        for (int i = 0; i < 300 && janela.empty(); ++i) {
            std::this_thread::sleep_for(100ms);
            todas = Janelas(x.Tela());
            for (const auto& id : todas)
                if (Visivel(x.Tela(), id)) janela = id;
        }
        if (!janela.empty()) {
            std::this_thread::sleep_for(500ms);
            todas = Janelas(x.Tela());
            titulo = Rodar({"xprop", "-id", janela, "_NET_WM_NAME"}, {}, 10s, AmbienteX(x.Tela())).saida;
            Rodar({"xdotool", "windowfocus", janela, "key", "Escape"}, {}, 10s, AmbienteX(x.Tela()));
            // The photo is written before that camera reads its next frame.
            for (int i = 0; i < 300 && Arquivos("output/foto").empty(); ++i) std::this_thread::sleep_for(100ms);
        }
        // Then a stop ends both cycles.
        parada = std::chrono::steady_clock::now();
        g.parar = true;
    });
    g.Executar();
    const double segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - parada).count();
    teclado.join();

    ASSERT_FALSE(janela.empty()) << "no window appeared";
    EXPECT_EQ(todas.size(), 1u) << "one window for all cameras";
    EXPECT_NE(titulo.find("\"Pr\xc3\xa9via\""), std::string::npos) << titulo;
    EXPECT_LT(segundos, 3.0);

    // One photo, of the camera whose frame the window showed, at that
    // camera's own size, with the band on it.
    const auto fotos0 = Arquivos("output/foto/Cam0");
    const auto fotos1 = Arquivos("output/foto/Cam1");
    ASSERT_EQ(fotos0.size() + fotos1.size(), 1u);
    const bool primeira = !fotos0.empty();
    const fs::path foto = primeira ? fotos0[0] : fotos1[0];
    EXPECT_EQ(foto.extension(), ".jpg");
    EXPECT_EQ(foto.parent_path().parent_path().parent_path().parent_path().parent_path().filename(),
              primeira ? "Cam0" : "Cam1");
    const cv::Mat imagem = cv::imread(foto.string());
    EXPECT_EQ(imagem.size(), primeira ? cv::Size(320, 240) : cv::Size(352, 288));
    // The band's left end, below the text, is black.
    EXPECT_LT(cv::mean(imagem(cv::Rect(0, imagem.rows - 3, 8, 3)))[0], 10);
    // Both cameras still recorded their whole cycle.
    for (int camera : {0, 1}) {
        const auto videos = Arquivos("output/video/Cam" + std::to_string(camera));
        ASSERT_EQ(videos.size(), 1u);
        EXPECT_GT(Sondar(videos[0]).quadrosDecodificados, 20);
    }
}

TEST_F(JanelaDePrevia, SemTelaGravaSemJanelaEAvisaUmaVez)
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    Preparar(2000ms);
    testing::internal::CaptureStderr();
    g.Executar();
    const std::string erro = testing::internal::GetCapturedStderr();
    size_t avisos = 0;
    for (size_t p = erro.find("previa desligada"); p != std::string::npos; p = erro.find("previa desligada", p + 1))
        ++avisos;
    EXPECT_EQ(avisos, 1u) << erro;
    for (int camera : {0, 1}) {
        const auto videos = Arquivos("output/video/Cam" + std::to_string(camera));
        ASSERT_EQ(videos.size(), 1u);
        const InfoVideo info = Sondar(videos[0]);
        EXPECT_GT(info.quadrosDecodificados, 0);
        EXPECT_EQ(info.errosDeDecodificacao, 0);
    }
}

}  // namespace
