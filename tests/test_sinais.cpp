// The real program stopped by a supervisor: every file keeps its trailer.
#include "Apoio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace apoio;
using namespace std::chrono_literals;

namespace {

struct Sinal {
    const char* nome;
    int numero;
};

void PrintTo(const Sinal& s, std::ostream* os) { *os << s.nome; }

class PrimeiroSinal : public testing::TestWithParam<Sinal> {};

TEST_P(PrimeiroSinal, TerminaOsCiclosEFechaOsArquivos)
{
    PastaTemporaria pasta;
    Transmissao fonte(ClipeCompartilhado("ao_vivo.mp4", 1280, 720, 100), 90);
    Processo p({Programa(), "Portao", "0", "640", "480", "1000000", "mp4", fonte.Endereco(),
                ClipeCompartilhado("clipe.mp4", 640, 360, 75).string()},
               pasta.Caminho());
    // A few seconds into the recording of both cameras.
    for (int i = 0; i < 300 && Arquivos(pasta.Caminho() / "output").size() < 2; ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(3s);
    const auto sinal = std::chrono::steady_clock::now();
    p.Sinal(GetParam().numero);
    const Resultado r = p.Esperar(70s);
    const double depois = std::chrono::duration<double>(std::chrono::steady_clock::now() - sinal).count();

    EXPECT_EQ(r.status, 0) << r.erro;
    EXPECT_LT(depois, 3.0);
    EXPECT_EQ(r.saida, "");
    EXPECT_EQ(r.erro, "");
    for (int camera : {0, 1}) {
        const auto videos = Arquivos(pasta.Caminho() / ("output/video/Cam" + std::to_string(camera)));
        ASSERT_EQ(videos.size(), 1u);
        // ffprobe reads the whole file, index included.
        const Resultado sonda = Rodar({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                                       "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0",
                                       videos[0].string()});
        EXPECT_EQ(sonda.status, 0);
        EXPECT_EQ(sonda.erro, "");
        // Every frame written before the stop is there and decodes.
        const int quadros = std::atoi(sonda.saida.c_str());
        EXPECT_GT(quadros, 10);
        const InfoVideo info = Sondar(videos[0]);
        EXPECT_EQ(info.quadrosDecodificados, quadros);
        EXPECT_EQ(info.errosDeDecodificacao, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Sinais, PrimeiroSinal,
                         testing::Values(Sinal{"SIGTERM", SIGTERM}, Sinal{"SIGINT", SIGINT}),
                         [](const auto& info) { return std::string(info.param.nome); });

// The stop sent to the process and then to its group, as `timeout` does:
// one stop, and the files are finished.
TEST(SegundoSinal, RepetidoNoMesmoInstanteEUmaParadaSo)
{
    PastaTemporaria pasta;
    Processo p({Programa(), "Portao", "0", "640", "480", "1000000", "mp4", ClipeCompartilhado("clipe.mp4", 640, 360, 75).string()},
               pasta.Caminho());
    for (int i = 0; i < 300 && Arquivos(pasta.Caminho() / "output").empty(); ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(1s);
    p.Sinal(SIGTERM);
    std::this_thread::sleep_for(20ms);
    p.Sinal(SIGTERM);
    const Resultado r = p.Esperar(70s);
    EXPECT_EQ(r.status, 0);
    const auto videos = Arquivos(pasta.Caminho() / "output/video/Cam0");
    ASSERT_EQ(videos.size(), 1u);
    const InfoVideo info = Sondar(videos[0]);
    EXPECT_GT(info.quadrosDecodificados, 0);
    EXPECT_EQ(info.errosDeDecodificacao, 0);
}

// A stop that cannot finish at once (its stream's read is blocked): a
// second signal, later, ends the process at once.
TEST(SegundoSinal, MaisTardeEncerraOProcessoNaHora)
{
    PastaTemporaria pasta;
    Transmissao fonte(ClipeCompartilhado("ao_vivo.mp4", 1280, 720, 100), 90);
    Processo p({Programa(), "Portao", "0", "640", "480", "1000000", "mp4", fonte.Endereco()}, pasta.Caminho());
    for (int i = 0; i < 300 && Arquivos(pasta.Caminho() / "output").empty(); ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(2s);
    kill(fonte.Pid(), SIGSTOP);
    std::this_thread::sleep_for(500ms);
    p.Sinal(SIGTERM);
    std::this_thread::sleep_for(1200ms);
    const auto sinal = std::chrono::steady_clock::now();
    p.Sinal(SIGTERM);
    const Resultado r = p.Esperar(70s);
    kill(fonte.Pid(), SIGCONT);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sinal).count(), 0.5);
    EXPECT_EQ(r.status, 128 + SIGTERM);
}

}  // namespace
