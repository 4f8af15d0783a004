// Recording threads, on real sources with a short cycle.
#include "Apoio.h"
#include "CorvaneV3.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <thread>

using namespace apoio;
using namespace std::chrono_literals;

namespace {

class Gravacao : public testing::Test {
protected:
    // Clips shared by the cases of one process.
    static const fs::path& Clipes()
    {
        static PastaTemporaria pasta;
        return pasta.Caminho();
    }
    static fs::path Clipe(const std::string& nome, int largura, int altura, int quadros, int fps = 25)
    {
        const fs::path arquivo = Clipes() / nome;
        if (!fs::exists(arquivo)) GerarClipe(Clipes(), nome, largura, altura, quadros, fps);
        return arquivo;
    }

    void Preparar(std::vector<std::string> fontes, std::chrono::milliseconds ciclo)
    {
        g.legenda = "Teste";
        g.mostrarPrevia = false;
        g.largura = 320;
        g.altura = 240;
        g.taxaDeBits = 500000;
        g.extensao = "mp4";
        g.fontes = std::move(fontes);
        g.duracaoCiclo = ciclo;
    }

    // Runs the recording and returns how long it took, in seconds.
    double Executar()
    {
        const auto inicio = std::chrono::steady_clock::now();
        g.Executar();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
    }

    std::vector<fs::path> Videos(int camera) { return Arquivos("output/video/Cam" + std::to_string(camera)); }

    // The hour folder of camera indice for the minute about to come, when the
    // test runs close to the end of a minute.
    static std::vector<std::string> PastasDaHora(int indice)
    {
        std::vector<std::string> pastas;
        for (std::time_t t : {std::time(nullptr), std::time(nullptr) + 30}) {
            std::tm h{};
            localtime_r(&t, &h);
            pastas.push_back("output/video/Cam" + std::to_string(indice) + "/" +
                             std::to_string(h.tm_year + 1900) + "/" + std::to_string(h.tm_mon + 1) +
                             "/" + std::to_string(h.tm_mday) + "/" + std::to_string(h.tm_hour));
        }
        return pastas;
    }

    PastaTemporaria pasta;
    DentroDaPasta dentro{pasta.Caminho()};
    CorvaneV3 g;
};

TEST_F(Gravacao, DuasFontesDuasArvores)
{
    Preparar({Clipe("a.mp4", 320, 240, 20).string(), Clipe("b.mkv", 640, 360, 15).string()}, 1500ms);
    testing::internal::CaptureStdout();
    Executar();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(Videos(0).size(), 1u);
    ASSERT_EQ(Videos(1).size(), 1u);
    EXPECT_EQ(Videos(0)[0].extension(), ".mp4");
    EXPECT_EQ(Sondar(Videos(0)[0]).quadrosDecodificados, 20);
    EXPECT_EQ(Sondar(Videos(1)[0]).quadrosDecodificados, 15);
    EXPECT_EQ(Sondar(Videos(1)[0]).largura, 320);
    // The capture objects stay open: the record owns them.
    EXPECT_TRUE(g.capturas[0].isOpened());
    EXPECT_TRUE(g.capturas[1].isOpened());
}

TEST_F(Gravacao, LeiturasVaziasSaoPuladasEOCicloTerminaNaHora)
{
    // The clip ends long before the cycle: every read after it is empty.
    Preparar({Clipe("curto.mp4", 320, 240, 10).string()}, 2000ms);
    const double segundos = Executar();
    EXPECT_GE(segundos, 2.0);
    EXPECT_LT(segundos, 3.5);
    ASSERT_EQ(Videos(0).size(), 1u);
    const InfoVideo info = Sondar(Videos(0)[0]);
    EXPECT_EQ(info.quadrosDecodificados, 10);
    EXPECT_EQ(info.errosDeDecodificacao, 0);
}

TEST_F(Gravacao, OUltimoQuadroLidoNaoEstaNoArquivo)
{
    // A long clip read at full speed: the cycle stops on a frame, not on an
    // empty read. That frame is numbered but never encoded.
    Preparar({Clipe("longo.mp4", 160, 120, 3000, 50).string()}, 1500ms);
    Executar();
    const int lidos = static_cast<int>(g.capturas[0].get(cv::CAP_PROP_POS_FRAMES));
    ASSERT_GT(lidos, 2);
    ASSERT_LT(lidos, 3000);
    ASSERT_EQ(Videos(0).size(), 1u);
    const InfoVideo info = Sondar(Videos(0)[0]);
    EXPECT_EQ(info.quadrosDecodificados, lidos - 1);
    std::vector<int64_t> pts = info.ptsQuadros;
    std::sort(pts.begin(), pts.end());
    EXPECT_EQ(pts.front(), 0);
    EXPECT_EQ(pts.back(), lidos - 2);
}

TEST_F(Gravacao, FonteAoVivoA10QuadrosPorSegundoTocaMetadeDoCiclo)
{
    Transmissao fonte(Clipe("dez.mp4", 320, 240, 50, 10), 30);
    Preparar({fonte.Endereco()}, 6000ms);
    Executar();
    ASSERT_EQ(Videos(0).size(), 1u);
    const InfoVideo info = Sondar(Videos(0)[0]);
    // About 10 frames per second of cycle, played at 20 per second; the
    // frames that arrive while the stream opens are read late, not lost.
    EXPECT_GE(info.quadrosDecodificados, 50);
    EXPECT_LE(info.quadrosDecodificados, 90);
    EXPECT_NEAR(info.duracao, info.quadrosDecodificados / 20.0, 0.2);
}

TEST_F(Gravacao, PararTerminaOCicloComOArquivoCompleto)
{
    Transmissao fonte(Clipe("vinte_e_cinco.mp4", 320, 240, 50), 30);
    Preparar({fonte.Endereco(), Clipe("a.mp4", 320, 240, 20).string()}, 60000ms);
    std::chrono::steady_clock::time_point pedido;
    std::jthread parada([&] {
        // Once both cameras are recording.
        for (int i = 0; i < 300 && Arquivos("output").size() < 2; ++i) std::this_thread::sleep_for(100ms);
        std::this_thread::sleep_for(1500ms);
        pedido = std::chrono::steady_clock::now();
        g.parar = true;
    });
    Executar();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - pedido).count(), 2.5);
    for (int camera : {0, 1}) {
        ASSERT_EQ(Videos(camera).size(), 1u);
        const InfoVideo info = Sondar(Videos(camera)[0]);
        EXPECT_GT(info.quadrosDecodificados, 0);
        EXPECT_EQ(info.errosDeDecodificacao, 0);
    }
}

TEST_F(Gravacao, FonteQueParaDeMandarNaoSeguraOCiclo)
{
    Transmissao fonte(Clipe("vinte_e_cinco.mp4", 320, 240, 50), 30);
    Preparar({fonte.Endereco(), Clipe("a.mp4", 320, 240, 20).string()}, 6000ms);
    std::jthread congelar([&fonte] {
        std::this_thread::sleep_for(2500ms);
        kill(fonte.Pid(), SIGSTOP);
    });
    const double segundos = Executar();
    kill(fonte.Pid(), SIGCONT);
    EXPECT_LT(segundos, 6.0 + 3.5);
    for (int camera : {0, 1}) {
        ASSERT_EQ(Videos(camera).size(), 1u);
        const InfoVideo info = Sondar(Videos(camera)[0]);
        EXPECT_GT(info.quadrosDecodificados, camera == 0 ? 20 : 19);
        EXPECT_EQ(info.errosDeDecodificacao, 0);
    }
}

TEST_F(Gravacao, TransmissaoQueCaiEVoltaEReconectada)
{
    const fs::path clipe = Clipe("vinte_e_cinco.mp4", 320, 240, 50);
    auto primeira = std::make_unique<Transmissao>(clipe, 30);
    const int porta = primeira->Porta();
    Preparar({primeira->Endereco()}, 12000ms);
    std::unique_ptr<Transmissao> segunda;
    std::jthread servidor([&] {
        // The server goes away two seconds into the cycle and comes back a
        // second later on the same address.
        std::this_thread::sleep_for(2s);
        primeira.reset();
        std::this_thread::sleep_for(1s);
        segunda = std::make_unique<Transmissao>(clipe, 30, porta);
    });
    Executar();
    servidor.join();
    ASSERT_EQ(Videos(0).size(), 1u);
    const InfoVideo info = Sondar(Videos(0)[0]);
    EXPECT_EQ(info.errosDeDecodificacao, 0);
    // The first server alone could have sent about 2 s of frames, plus what
    // was buffered while the stream opened.
    EXPECT_GT(info.quadrosDecodificados, 150);
}

struct Falha {
    const char* nome;
    void (*preparar)(const std::vector<std::string>& pastasDaHora);
    const char* motivo;  // part of the reason expected in the line
};

void PrintTo(const Falha& f, std::ostream* os) { *os << f.nome; }

class FalhaNumaCamera : public Gravacao, public testing::WithParamInterface<Falha> {};

// One camera fails; it says so in one line and the other records in full.
TEST_P(FalhaNumaCamera, SoAQueFalhaPara)
{
    const auto pastas = PastasDaHora(1);
    GetParam().preparar(pastas);
    Preparar({Clipe("a.mp4", 320, 240, 20).string(), Clipe("a.mp4", 320, 240, 20).string()}, 1500ms);
    g.extensao = "ts";

    testing::internal::CaptureStdout();
    Executar();
    const std::string saida = testing::internal::GetCapturedStdout();

    const std::string inicio = "{\"status\" : \"erro\",\"thread\" : \"2\",\"descricao\" : \"erro ao gravar a camera 1: ";
    EXPECT_EQ(saida.rfind(inicio, 0), 0u) << saida;
    EXPECT_EQ(std::count(saida.begin(), saida.end(), '\n'), 1) << saida;
    EXPECT_NE(saida.find(GetParam().motivo), std::string::npos) << saida;
    ASSERT_EQ(Videos(0).size(), 1u);
    const InfoVideo info = Sondar(Videos(0)[0]);
    EXPECT_EQ(info.quadrosDecodificados, 20);
    EXPECT_EQ(info.errosDeDecodificacao, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Casos, FalhaNumaCamera,
    testing::Values(
        Falha{"pasta_da_hora_bloqueada",
              [](const std::vector<std::string>& pastas) {
                  for (const auto& p : pastas) {
                      fs::create_directories(fs::path(p).parent_path());
                      std::ofstream(p) << "um arquivo comum";
                  }
              },
              "criar ./output/video/Cam1/"},
        Falha{"disco_cheio",
              [](const std::vector<std::string>& pastas) {
                  for (const auto& p : pastas) {
                      fs::create_directories(p);
                      for (int minuto = 0; minuto < 60; ++minuto)
                          if (!fs::is_symlink(p + "/" + DoisDigitos(minuto) + ".ts"))
                              fs::create_symlink("/dev/full", p + "/" + DoisDigitos(minuto) + ".ts");
                  }
              },
              "No space left on device"}),
    [](const auto& info) { return std::string(info.param.nome); });

TEST_F(Gravacao, FotoQueNaoPodeSerEscritaCustaSoAFoto)
{
    // The photo folder of camera 0 is blocked by an ordinary file.
    fs::create_directories("output");
    std::ofstream("output/foto") << "x";
    testing::internal::CaptureStdout();
    g.SalvarFoto(0, cv::Mat(240, 320, CV_8UC3, cv::Scalar(1, 2, 3)));
    const std::string saida = testing::internal::GetCapturedStdout();
    EXPECT_EQ(saida.rfind("{\"status\" : \"erro\",\"thread\" : \"1\",\"descricao\" : \"erro ao salvar a foto da camera 0: ", 0), 0u)
        << saida;
}

TEST_F(Gravacao, FotoDaCameraNaArvoreDeFotos)
{
    cv::Mat quadro(240, 320, CV_8UC3, cv::Scalar(30, 60, 90));
    g.DesenharFaixa(quadro);
    g.SalvarFoto(4, quadro);
    const auto fotos = Arquivos("output/foto/Cam4");
    ASSERT_EQ(fotos.size(), 1u);
    EXPECT_EQ(fotos[0].extension(), ".jpg");
    const cv::Mat lida = cv::imread(fotos[0].string());
    EXPECT_EQ(lida.size(), quadro.size());
    EXPECT_LT(cv::mean(lida.rowRange(225, 240))[0], 5);
}

}  // namespace
