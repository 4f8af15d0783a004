// The H.264 writer, checked by decoding what it wrote.
#include "Apoio.h"
#include "CorvaneV3.h"
#include "EscritorVideo.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <opencv2/imgproc.hpp>

#include <numeric>

using namespace apoio;

namespace {

// A 1280x720 camera: the capture object reports that size to the writer.
cv::VideoCapture& Camera()
{
    static PastaTemporaria pasta;
    static cv::VideoCapture camera(GerarClipe(pasta.Caminho(), "camera.mp4", 1280, 720, 5).string());
    return camera;
}

void Configurar(CorvaneV3& g, int largura, int altura)
{
    g.largura = largura;
    g.altura = altura;
    g.taxaDeBits = 1000000;
    g.fpsNumerador = 20;
    g.fpsDenominador = 1;
    g.codificador = avcodec_find_encoder(AV_CODEC_ID_H264);
}

// Writes the frames the way a recording cycle does: add and encode each,
// then drain until nothing comes out, then close.
void Gravar(const CorvaneV3& g, const fs::path& arquivo, const std::vector<cv::Mat>& quadros)
{
    EscritorVideo escritor(g, arquivo.string(), Camera());
    for (const auto& q : quadros) {
        escritor.AdicionarQuadro(q);
        escritor.PassoCodificacao(false);
    }
    while (escritor.PassoCodificacao(true)) {
    }
    escritor.Fechar();
}

// Frames of a moving pattern, so that the encoder has real work.
std::vector<cv::Mat> Quadros(int n, int largura, int altura)
{
    std::vector<cv::Mat> quadros;
    for (int i = 0; i < n; ++i) {
        cv::Mat q(altura, largura, CV_8UC3);
        cv::randu(q, 0, 64);
        cv::rectangle(q, cv::Rect(i * 8 % largura, altura / 4, largura / 5, altura / 3),
                      cv::Scalar(0, 200, 255), cv::FILLED);
        quadros.push_back(q);
    }
    return quadros;
}

struct Conteiner {
    const char* extensao;
    const char* formato;      // name the demuxer gives
    bool cabecalhoGlobal;     // SPS/PPS out of band, in the codec parameters
};

void PrintTo(const Conteiner& c, std::ostream* os) { *os << c.extensao; }

class EscritorPorConteiner : public testing::TestWithParam<Conteiner> {};

TEST_P(EscritorPorConteiner, H264A20QuadrosPorSegundo)
{
    const Conteiner c = GetParam();
    PastaTemporaria pasta;
    CorvaneV3 g;
    Configurar(g, 640, 480);
    const fs::path arquivo = pasta.Caminho() / (std::string("video.") + c.extensao);

    Gravar(g, arquivo, Quadros(45, 1280, 720));

    const InfoVideo info = Sondar(arquivo);
    ASSERT_TRUE(info.aberto);
    EXPECT_NE(info.formato.find(c.formato), std::string::npos) << info.formato;
    EXPECT_EQ(info.fluxos, 1);
    EXPECT_EQ(info.codec, "h264");
    EXPECT_EQ(info.largura, 640);
    EXPECT_EQ(info.altura, 480);
    EXPECT_EQ(info.realNum * 1, 20 * info.realDen) << info.realNum << "/" << info.realDen;
    EXPECT_EQ(info.quadrosDecodificados, 45);
    EXPECT_EQ(info.errosDeDecodificacao, 0);
    EXPECT_EQ(info.extradata && !info.spsNoPrimeiroPacote, c.cabecalhoGlobal);
    // AVI keeps neither presentation times nor durations: the count, size
    // and rate above are what it can show.
    if (std::string(c.extensao) == "avi") return;
    // One presentation time per frame handed in: 0, 1, 2, ... in 1/20 s
    // (MPEG-TS shifts them all by its own constant delay).
    std::vector<int64_t> pts = info.ptsQuadros;
    ASSERT_FALSE(pts.empty());
    for (auto& t : pts) t -= info.ptsQuadros.front();
    std::vector<int64_t> esperado(45);
    std::iota(esperado.begin(), esperado.end(), 0);
    EXPECT_EQ(pts, esperado);
    for (int64_t d : info.duracoes) EXPECT_EQ(d, 1);
}

INSTANTIATE_TEST_SUITE_P(Conteineres, EscritorPorConteiner,
                         testing::Values(Conteiner{"mp4", "mp4", true}, Conteiner{"mkv", "matroska", true},
                                         Conteiner{"avi", "avi", false}, Conteiner{"ts", "mpegts", false}),
                         [](const auto& info) { return std::string(info.param.extensao); });

TEST(Escritor, CoresChegamNaOrdemAzulVerdeVermelho)
{
    PastaTemporaria pasta;
    CorvaneV3 g;
    Configurar(g, 320, 240);
    const fs::path arquivo = pasta.Caminho() / "cor.mp4";
    std::vector<cv::Mat> quadros;
    for (int i = 0; i < 5; ++i) quadros.emplace_back(720, 1280, CV_8UC3, cv::Scalar(200, 30, 10));
    Gravar(g, arquivo, quadros);

    cv::VideoCapture leitor(arquivo.string());
    cv::Mat quadro;
    ASSERT_TRUE(leitor.read(quadro));
    EXPECT_EQ(quadro.size(), cv::Size(320, 240));
    const cv::Scalar media = cv::mean(quadro);
    EXPECT_NEAR(media[0], 200, 8);
    EXPECT_NEAR(media[1], 30, 8);
    EXPECT_NEAR(media[2], 10, 8);
}

TEST(Escritor, QuadrosDeOutroTamanhoQueODaCamera)
{
    PastaTemporaria pasta;
    CorvaneV3 g;
    Configurar(g, 640, 480);
    const fs::path arquivo = pasta.Caminho() / "tamanhos.mkv";
    cv::Mat grande(1400, 2000, CV_8UC3, cv::Scalar(10, 20, 30));
    std::vector<cv::Mat> quadros{
        cv::Mat(240, 320, CV_8UC3, cv::Scalar(1, 2, 3)), cv::Mat(1080, 1920, CV_8UC3, cv::Scalar(4, 5, 6)),
        cv::Mat(720, 1280, CV_8UC3, cv::Scalar(7, 8, 9)), grande(cv::Rect(33, 17, 1280, 720)),
        cv::Mat(2, 2, CV_8UC3, cv::Scalar(0, 0, 0)), cv::Mat(240, 320, CV_8UC3, cv::Scalar(1, 2, 3))};
    Gravar(g, arquivo, quadros);
    const InfoVideo info = Sondar(arquivo);
    EXPECT_EQ(info.quadrosDecodificados, static_cast<int64_t>(quadros.size()));
    EXPECT_EQ(info.largura, 640);
    EXPECT_EQ(info.altura, 480);
}

TEST(Escritor, ArquivoQueNaoPodeSerCriado)
{
    CorvaneV3 g;
    Configurar(g, 640, 480);
    try {
        EscritorVideo escritor(g, "/nao/existe/video.mp4", Camera());
        FAIL() << "opened a file in a missing folder";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nao/existe/video.mp4"), std::string::npos) << e.what();
    }
}

TEST(Escritor, DiscoCheioFalhaEmVezDeFingirQueGravou)
{
    PastaTemporaria pasta;
    CorvaneV3 g;
    Configurar(g, 640, 480);
    const fs::path arquivo = pasta.Caminho() / "cheio.ts";
    fs::create_symlink("/dev/full", arquivo);
    EXPECT_THROW(Gravar(g, arquivo, Quadros(60, 1280, 720)), std::runtime_error);
}

struct Invalida {
    const char* nome;
    int largura, altura;
    const char* extensao;
    const char* inicio;
};

void PrintTo(const Invalida& c, std::ostream* os) { *os << c.nome; }

class ConfiguracaoInvalida : public testing::TestWithParam<Invalida> {};

TEST_P(ConfiguracaoInvalida, RecusadaAntesDeGravar)
{
    CorvaneV3 g;
    Configurar(g, GetParam().largura, GetParam().altura);
    g.extensao = GetParam().extensao;
    try {
        ValidarEscritor(g);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind(GetParam().inicio, 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Casos, ConfiguracaoInvalida,
    testing::Values(Invalida{"largura_zero", 0, 480, "mp4", "erro ao abrir o codificador: "},
                    Invalida{"altura_negativa", 640, -2, "mp4", "erro ao abrir o codificador: "},
                    Invalida{"largura_impar", 641, 480, "mp4", "erro ao abrir o codificador: "},
                    Invalida{"altura_impar", 640, 481, "mkv", "erro ao abrir o codificador: "},
                    Invalida{"grande_demais", 2147483646, 480, "mp4", "erro ao abrir o codificador: "},
                    Invalida{"extensao_desconhecida", 640, 480, "xyz", "formato de video desconhecido: xyz"},
                    Invalida{"extensao_de_audio", 640, 480, "wav", "formato de video desconhecido: wav"},
                    Invalida{"extensao_de_imagem", 640, 480, "jpg", "formato de video desconhecido: jpg"}),
    [](const auto& info) { return std::string(info.param.nome); });

TEST(ConfiguracaoValida, AceitaOsConteineresComuns)
{
    for (const char* extensao : {"mp4", "mkv", "avi", "ts", "mov", "flv"}) {
        CorvaneV3 g;
        Configurar(g, 640, 480);
        g.extensao = extensao;
        EXPECT_NO_THROW(ValidarEscritor(g)) << extensao;
    }
}

TEST(ConfiguracaoValida, SemCodificadorH264)
{
    CorvaneV3 g;
    Configurar(g, 640, 480);
    g.extensao = "mp4";
    g.codificador = nullptr;
    EXPECT_THROW(ValidarEscritor(g), std::invalid_argument);
}

}  // namespace
