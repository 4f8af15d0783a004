// The real program for its real cycle of a little over 60 seconds.
#include "Apoio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <thread>

using namespace apoio;
using namespace std::chrono_literals;

namespace {

// The expected file of camera i for a run that started at inicio (or in the
// minute after, when the writer opened just past a minute boundary).
bool NoLugarCerto(const fs::path& arquivo, int camera, std::time_t inicio)
{
    for (std::time_t t : {inicio, inicio + 60}) {
        std::tm h{};
        localtime_r(&t, &h);
        const std::string esperado = "output/video/Cam" + std::to_string(camera) + "/" +
                                     std::to_string(h.tm_year + 1900) + "/" + std::to_string(h.tm_mon + 1) +
                                     "/" + std::to_string(h.tm_mday) + "/" + std::to_string(h.tm_hour) +
                                     "/" + (h.tm_min < 10 ? "0" : "") + std::to_string(h.tm_min) + ".mp4";
        if (arquivo.string().size() >= esperado.size() &&
            arquivo.string().compare(arquivo.string().size() - esperado.size(), esperado.size(), esperado) == 0)
            return true;
    }
    return false;
}

TEST(CicloReal, UmClipeEUmaTransmissaoAoVivo)
{
    PastaTemporaria pasta;
    const fs::path clipe = ClipeCompartilhado("clipe.mp4", 640, 360, 75);
    Transmissao fonte(ClipeCompartilhado("ao_vivo.mp4", 1280, 720, 250), 100);
    const std::time_t inicio = std::time(nullptr);
    const Resultado r = Rodar({Programa(), "Portao Norte", "0", "640", "480", "1000000", "mp4", clipe.string(),
                               fonte.Endereco()},
                              pasta.Caminho(), 90s);

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.saida, "");
    EXPECT_EQ(r.erro, "");
    EXPECT_GE(r.segundos, 60.0);
    EXPECT_LE(r.segundos, 66.0);
    const auto todos = Arquivos(pasta.Caminho() / "output");
    ASSERT_EQ(todos.size(), 2u);
    for (int camera : {0, 1}) {
        const auto videos = Arquivos(pasta.Caminho() / ("output/video/Cam" + std::to_string(camera)));
        ASSERT_EQ(videos.size(), 1u);
        EXPECT_TRUE(NoLugarCerto(videos[0], camera, inicio)) << videos[0];
        const InfoVideo info = Sondar(videos[0]);
        EXPECT_EQ(info.codec, "h264");
        EXPECT_EQ(info.largura, 640);
        EXPECT_EQ(info.altura, 480);
        EXPECT_EQ(info.errosDeDecodificacao, 0);
        if (camera == 0) {
            EXPECT_EQ(info.quadrosDecodificados, 75);  // every frame of the clip
        } else {
            // About 25 frames a second for 60 seconds.
            EXPECT_GE(info.quadrosDecodificados, 1350);
            EXPECT_LE(info.quadrosDecodificados, 1560);
        }
    }
}

TEST(CicloReal, TransmissaoCongeladaNaoSeguraOProcesso)
{
    PastaTemporaria pasta;
    const fs::path clipe = ClipeCompartilhado("clipe.mp4", 640, 360, 75);
    Transmissao fonte(ClipeCompartilhado("ao_vivo.mp4", 1280, 720, 250), 100);
    Processo p({Programa(), "Portao", "0", "640", "480", "1000000", "mp4", fonte.Endereco(), clipe.string()},
               pasta.Caminho());
    // The server stops sending without closing the connection.
    std::this_thread::sleep_for(20s);
    kill(fonte.Pid(), SIGSTOP);
    const Resultado r = p.Esperar(90s);
    kill(fonte.Pid(), SIGCONT);

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.saida, "");
    EXPECT_LE(r.segundos, 66.0);
    for (int camera : {0, 1}) {
        const auto videos = Arquivos(pasta.Caminho() / ("output/video/Cam" + std::to_string(camera)));
        ASSERT_EQ(videos.size(), 1u);
        const InfoVideo info = Sondar(videos[0]);
        EXPECT_EQ(info.errosDeDecodificacao, 0);
        EXPECT_GT(info.quadrosDecodificados, camera == 0 ? 300 : 74);
    }
}

}  // namespace
