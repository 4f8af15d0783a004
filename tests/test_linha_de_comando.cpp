// The real program on its command line: what it prints, what it creates,
// how it exits.
#include "Apoio.h"
#include "CorvaneV3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <fstream>
#include <thread>

using namespace apoio;
using namespace std::chrono_literals;

namespace {

std::string Linha(const std::string& mensagem)
{
    return "{\"status\" : \"erro\",\"thread\" : \"0\",\"descricao\" : \"" + mensagem + "\"}\n";
}

// A clip that opens, shared by the cases that need one.
const fs::path& Clipe()
{
    static PastaTemporaria pasta;
    static const fs::path clipe = GerarClipe(pasta.Caminho(), "clipe.mp4", 320, 240, 10);
    return clipe;
}

struct Caso {
    const char* nome;
    std::vector<std::string> argumentos;  // "@clipe" stands for the generated clip
    std::string saida;                    // exact standard output; "^..." means begins with
    bool usoNoErro = false;               // usage text on standard error
};

void PrintTo(const Caso& c, std::ostream* os) { *os << c.nome; }

class LinhaDeComando : public testing::TestWithParam<Caso> {};

TEST_P(LinhaDeComando, ImprimeCriaESai)
{
    const Caso& caso = GetParam();
    PastaTemporaria pasta;
    std::vector<std::string> argumentos{Programa()};
    for (const auto& a : caso.argumentos) argumentos.push_back(a == "@clipe" ? Clipe().string() : a);

    const Resultado r = Rodar(argumentos, pasta.Caminho(), 30s);

    EXPECT_FALSE(r.expirou);
    EXPECT_EQ(r.status, 0);
    if (!caso.saida.empty() && caso.saida[0] == '^') {
        EXPECT_EQ(r.saida.rfind(caso.saida.substr(1), 0), 0u) << r.saida;
        EXPECT_EQ(std::count(r.saida.begin(), r.saida.end(), '\n'), 1) << r.saida;
    } else {
        EXPECT_EQ(r.saida, caso.saida);
    }
    if (caso.usoNoErro)
        EXPECT_NE(r.erro.find("uso: CorvaneV3"), std::string::npos) << r.erro;
    else
        EXPECT_EQ(r.erro, "");
    // Nothing is recorded by a run that stops before recording.
    EXPECT_TRUE(Arquivos(pasta.Caminho()).empty());
}

const std::string kRotulo10k(10000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Casos, LinhaDeComando,
    testing::Values(
        Caso{"sem_argumentos", {}, ""},
        Caso{"seis_argumentos_sem_fonte", {"Cam", "0", "640", "480", "1000000", "mp4"}, ""},
        Caso{"fonte_inexistente", {"Cam", "0", "640", "480", "1000000", "mp4", "cam1.mp4"},
             Linha("erro ao abrir a camera: cam1.mp4")},
        Caso{"segunda_fonte_falha", {"Cam", "0", "640", "480", "1000000", "mp4", "@clipe", "nada.mp4"},
             Linha("erro ao abrir a camera: nada.mp4")},
        Caso{"espacos_e_dois_pontos",
             {"Cam", "0", "640", "480", "1000000", "mp4", "/nao existe/cam 1:2.mp4"},
             Linha("erro ao abrir a camera: /nao existe/cam 1:2.mp4")},
        Caso{"aspas_e_barra",
             {"Cam", "0", "640", "480", "1000000", "mp4", "a\"b\\c.mp4"},
             Linha("erro ao abrir a camera: a\\\"b\\\\c.mp4")},
        Caso{"injecao_de_campo",
             {"Cam", "0", "640", "480", "1000000", "mp4", "x\",\"status\" : \"ok"},
             Linha("erro ao abrir a camera: x\\\",\\\"status\\\" : \\\"ok")},
        Caso{"quebra_de_linha", {"Cam", "0", "640", "480", "1000000", "mp4", "a\nb\tc\x01"},
             Linha("erro ao abrir a camera: a\\nb\\tc\\u0001")},
        Caso{"um_argumento", {"Cam"}, "^" + Linha("argumentos insuficientes").substr(0, 70), true},
        Caso{"cinco_argumentos", {"Cam", "0", "640", "480", "1000000"},
             "^" + Linha("argumentos insuficientes").substr(0, 70), true},
        Caso{"largura_zero", {"Cam", "0", "0", "480", "1000000", "mp4", "@clipe"},
             "^" + Linha("erro ao abrir o codificador").substr(0, 72)},
        Caso{"largura_impar", {"Cam", "0", "641", "480", "1000000", "mp4", "@clipe"},
             "^" + Linha("erro ao abrir o codificador").substr(0, 72)},
        Caso{"altura_negativa", {"Cam", "0", "640", "-480", "1000000", "mp4", "@clipe"},
             "^" + Linha("erro ao abrir o codificador").substr(0, 72)},
        Caso{"altura_nao_numerica", {"Cam", "0", "640", "abc", "1000000", "mp4", "@clipe"},
             "^" + Linha("erro ao abrir o codificador").substr(0, 72)},
        Caso{"largura_alem_de_32_bits", {"Cam", "0", "99999999998", "480", "1000000", "mp4", "@clipe"},
             "^" + Linha("erro ao abrir o codificador").substr(0, 72)},
        Caso{"extensao_sem_conteiner", {"Cam", "0", "640", "480", "1000000", "xyz", "@clipe"},
             Linha("formato de video desconhecido: xyz")},
        Caso{"extensao_vazia", {"Cam", "0", "640", "480", "1000000", "", "@clipe"},
             Linha("formato de video desconhecido: ")},
        Caso{"extensao_com_barra", {"Cam", "0", "640", "480", "1000000", "x/../mp4", "@clipe"},
             Linha("formato de video desconhecido: x/../mp4")},
        Caso{"taxa_nao_numerica_sem_fonte", {"Cam", "0", "640", "480", "abc", "mp4"}, ""},
        Caso{"legenda_vazia_sem_fonte", {"", "0", "640", "480", "1000000", "mp4"}, ""},
        Caso{"legenda_de_10000_caracteres",
             {kRotulo10k, "0", "640", "480", "1000000", "mp4", "nada.mp4"},
             Linha("erro ao abrir a camera: nada.mp4")}),
    [](const testing::TestParamInfo<Caso>& info) { return std::string(info.param.nome); });

// A JSON parser reads back exactly the source name, whatever it holds.
TEST(LinhaDeErro, UmParserJsonLeOTextoDeVolta)
{
    PastaTemporaria pasta;
    const std::string fonte = "c\"a\\m\n\t\x1f \xc3\xa9 \"}";
    const Resultado r =
        Rodar({Programa(), "Cam", "0", "640", "480", "1000000", "mp4", fonte}, pasta.Caminho());
    std::ofstream(pasta.Caminho() / "linha.json") << r.saida;
    std::ofstream(pasta.Caminho() / "esperado.txt") << "erro ao abrir a camera: " << fonte;
    const Resultado py = Rodar(
        {"python3", "-c",
         "import json,sys\n"
         "d=json.loads(open(sys.argv[1],encoding='utf-8').read())\n"
         "assert list(d)==['status','thread','descricao'], d\n"
         "assert d['status']=='erro' and d['thread']=='0', d\n"
         "assert d['descricao']==open(sys.argv[2],encoding='utf-8',newline='').read(), d\n",
         (pasta.Caminho() / "linha.json").string(), (pasta.Caminho() / "esperado.txt").string()});
    EXPECT_EQ(py.status, 0) << py.erro << r.saida;
}

struct Leitura {
    const char* texto;
    int valor;
};

void PrintTo(const Leitura& l, std::ostream* os) { *os << '"' << l.texto << '"'; }

class LeituraDeInteiro : public testing::TestWithParam<Leitura> {};

TEST_P(LeituraDeInteiro, ComoAtoiMasSemEstourar)
{
    EXPECT_EQ(LerInteiro(GetParam().texto), GetParam().valor);
}

INSTANTIATE_TEST_SUITE_P(Casos, LeituraDeInteiro,
                         testing::Values(Leitura{"640", 640}, Leitura{" 7x", 7}, Leitura{"abc", 0},
                                         Leitura{"", 0}, Leitura{"-1", -1}, Leitura{"+5", 5},
                                         Leitura{"\t\n 12", 12}, Leitura{"- 3", 0},
                                         Leitura{"2147483647", INT_MAX},
                                         Leitura{"-2147483648", INT_MIN},
                                         Leitura{"99999999999", INT_MAX},
                                         Leitura{"-99999999999", INT_MIN},
                                         Leitura{"000000000000000000000042", 42}));

TEST(LerArgumentos, PreencheOsCamposNaOrdem)
{
    std::vector<std::string> textos{"CorvaneV3", "Rua 1", "0", "1280", "720", "2000000", "mkv", "a", "b c"};
    std::vector<char*> argv;
    for (auto& t : textos) argv.push_back(t.data());
    CorvaneV3 g;
    LerArgumentos(g, static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(g.legenda, "Rua 1");
    EXPECT_FALSE(g.mostrarPrevia);
    EXPECT_EQ(g.largura, 1280);
    EXPECT_EQ(g.altura, 720);
    EXPECT_EQ(g.taxaDeBits, 2000000);
    EXPECT_EQ(g.extensao, "mkv");
    EXPECT_EQ(g.fontes, (std::vector<std::string>{"a", "b c"}));
    // Untouched defaults.
    EXPECT_EQ(g.textoX, 10);
    EXPECT_EQ(g.textoY, -1);
    EXPECT_EQ(g.topoFaixa, -1);
    EXPECT_EQ(g.escalaLegenda, -1.0f);
}

// The preview switch, read by the real program: with the switch on and no
// display, the program says once on standard error that it records without
// the window; a terminate signal then ends the run cleanly.
struct Chave {
    const char* texto;
    bool ligada;
};

void PrintTo(const Chave& c, std::ostream* os) { *os << '"' << c.texto << '"'; }

class ChaveDePrevia : public testing::TestWithParam<Chave> {};

TEST_P(ChaveDePrevia, LidaComoAtoi)
{
    PastaTemporaria pasta;
    Processo p({Programa(), "Cam", GetParam().texto, "320", "240", "500000", "mp4", Clipe().string()},
               pasta.Caminho(), {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    // Stop it once its recording has begun.
    for (int i = 0; i < 200 && Arquivos(pasta.Caminho() / "output").empty(); ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(300ms);
    p.Sinal(SIGTERM);
    const Resultado r = p.Esperar(20s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.saida, "");
    const bool aviso = r.erro.find("previa desligada") != std::string::npos;
    EXPECT_EQ(aviso, GetParam().ligada) << r.erro;
    const auto arquivos = Arquivos(pasta.Caminho() / "output");
    ASSERT_EQ(arquivos.size(), 1u);
    EXPECT_EQ(Sondar(arquivos[0]).quadrosDecodificados, 10);
}

INSTANTIATE_TEST_SUITE_P(Casos, ChaveDePrevia,
                         testing::Values(Chave{"0", false}, Chave{"1", true}, Chave{"2", true},
                                         Chave{"-1", true}, Chave{"abc", false},
                                         Chave{" 7x", true}));

}  // namespace
