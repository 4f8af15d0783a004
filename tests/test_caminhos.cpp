// Output folders and file names.
#include "Apoio.h"
#include "CorvaneV3.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <thread>

using namespace apoio;

namespace {

struct Digitos {
    int valor;
    const char* texto;
};

void PrintTo(const Digitos& d, std::ostream* os) { *os << d.valor; }

class DoisDigitosTabela : public testing::TestWithParam<Digitos> {};

TEST_P(DoisDigitosTabela, ZeroAEsquerdaAbaixoDeDez)
{
    EXPECT_EQ(DoisDigitos(GetParam().valor), GetParam().texto);
}

INSTANTIATE_TEST_SUITE_P(Casos, DoisDigitosTabela,
                         testing::Values(Digitos{0, "00"}, Digitos{9, "09"}, Digitos{10, "10"},
                                         Digitos{59, "59"}, Digitos{123, "123"},
                                         Digitos{-5, "0-5"}));

// The expected folder and stem for one local time.
std::pair<std::string, std::string> Esperado(int indice, bool video, std::time_t instante)
{
    std::tm h{};
    localtime_r(&instante, &h);
    const std::string pasta = std::string(video ? "output/video/Cam" : "output/foto/Cam") +
                              std::to_string(indice) + "/" + std::to_string(h.tm_year + 1900) + "/" +
                              std::to_string(h.tm_mon + 1) + "/" + std::to_string(h.tm_mday) + "/" +
                              std::to_string(h.tm_hour);
    return {pasta, "./" + pasta + "/" + DoisDigitos(h.tm_min)};
}

class MontarCaminho : public testing::Test {
protected:
    void SetUp() override
    {
        // A zone with a fixed offset and an odd hour, so that the folder
        // names depend on it.
        setenv("TZ", "<-0330>+03:30", 1);
        tzset();
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }

    // Calls MontarCaminho until one call lies inside a single minute, so that
    // a minute boundary during the test cannot make it fail.
    std::pair<std::string, std::time_t> Chamar(int indice, bool video)
    {
        for (;;) {
            const std::time_t antes = std::time(nullptr);
            std::string r = gravador.MontarCaminho(indice, video);
            const std::time_t depois = std::time(nullptr);
            if (antes / 60 == depois / 60) return {r, antes};
        }
    }

    PastaTemporaria pasta;
    DentroDaPasta dentro{pasta.Caminho()};
    CorvaneV3 gravador;
};

TEST_F(MontarCaminho, VideoEFotoNaArvoreDaCamera)
{
    for (bool video : {true, false}) {
        const auto [resultado, instante] = Chamar(12, video);
        const auto [pasta, esperado] = Esperado(12, video, instante);
        EXPECT_EQ(resultado, esperado);
        EXPECT_TRUE(fs::is_directory(pasta)) << pasta;
        EXPECT_NE(resultado.find(video ? "/video/Cam12/" : "/foto/Cam12/"), std::string::npos);
    }
}

TEST_F(MontarCaminho, HoraEDiaSemZerosMinutoComZero)
{
    // 09:07 on 5 March 2021 in the zone above.
    std::tm h{};
    h.tm_year = 121;
    h.tm_mon = 2;
    h.tm_mday = 5;
    h.tm_hour = 9;
    h.tm_min = 7;
    h.tm_isdst = -1;
    const std::time_t instante = std::mktime(&h);
    const auto [pasta, stem] = Esperado(0, true, instante);
    EXPECT_EQ(pasta, "output/video/Cam0/2021/3/5/9");
    EXPECT_EQ(stem, "./output/video/Cam0/2021/3/5/9/07");
    // And the program's own text follows the same rule for the current time.
    const auto [resultado, agora] = Chamar(0, true);
    EXPECT_EQ(resultado, Esperado(0, true, agora).second);
}

TEST_F(MontarCaminho, SegundaChamadaNoMesmoMinutoNaoCriaNada)
{
    for (;;) {
        const std::time_t antes = std::time(nullptr);
        const std::string primeira = gravador.MontarCaminho(3, true);
        const std::string pasta = primeira.substr(2, primeira.rfind('/') - 2);
        // A marker file inside the folder shows it is not recreated.
        std::ofstream(pasta + "/marcador") << "x";
        struct stat a;
        ASSERT_EQ(stat(pasta.c_str(), &a), 0);
        const std::string segunda = gravador.MontarCaminho(3, true);
        struct stat b;
        ASSERT_EQ(stat(pasta.c_str(), &b), 0);
        if (antes / 60 != std::time(nullptr) / 60) continue;
        EXPECT_EQ(primeira, segunda);
        EXPECT_EQ(a.st_ino, b.st_ino);
        EXPECT_TRUE(fs::exists(pasta + "/marcador"));
        EXPECT_EQ(Arquivos("output").size(), 1u);
        return;
    }
}

TEST_F(MontarCaminho, DezesseisThreadsCriamAMesmaPasta)
{
    for (;;) {
        const std::time_t antes = std::time(nullptr);
        std::vector<std::string> resultados(16);
        std::vector<int> erros(16, 0);
        {
            std::vector<std::jthread> threads;
            for (int i = 0; i < 16; ++i)
                threads.emplace_back([&, i] {
                    try {
                        resultados[i] = gravador.MontarCaminho(7, i % 2 == 0);
                    } catch (...) {
                        erros[i] = 1;
                    }
                });
        }
        if (antes / 60 != std::time(nullptr) / 60) {
            fs::remove_all("output");
            continue;
        }
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(erros[i], 0);
            EXPECT_EQ(resultados[i], Esperado(7, i % 2 == 0, antes).second);
        }
        EXPECT_TRUE(fs::is_directory(Esperado(7, true, antes).first));
        EXPECT_TRUE(fs::is_directory(Esperado(7, false, antes).first));
        return;
    }
}

TEST_F(MontarCaminho, ArquivoComumNoLugarDaPastaDaHora)
{
    for (;;) {
        const std::time_t antes = std::time(nullptr);
        const auto [pasta, esperado] = Esperado(1, true, antes);
        fs::create_directories(fs::path(pasta).parent_path());
        std::ofstream(pasta) << "nao sou uma pasta";
        std::string resultado;
        EXPECT_NO_THROW(resultado = gravador.MontarCaminho(1, true));
        if (antes / 60 != std::time(nullptr) / 60) {
            fs::remove_all("output");
            continue;
        }
        EXPECT_EQ(resultado, esperado);
        EXPECT_TRUE(fs::is_regular_file(pasta));  // left alone
        return;
    }
}

TEST_F(MontarCaminho, PastaQueNaoPodeSerCriadaLancaErro)
{
    // A file standing where a parent folder should be.
    std::ofstream("output") << "x";
    EXPECT_THROW(gravador.MontarCaminho(0, true), std::system_error);
}

}  // namespace
