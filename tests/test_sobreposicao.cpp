// The band and the two lines of text, on real frames.
#include "CorvaneV3.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <barrier>
#include <thread>

namespace {

const cv::Vec3b kFundo(40, 90, 160);  // neither black nor white

struct Geometria {
    int linhas;
    int topoFaixa;
    int textoY;
    int espacoLinha;
    float escala;
};

void PrintTo(const Geometria& g, std::ostream* os) { *os << g.linhas << " linhas"; }

Geometria Calculada(const CorvaneV3& g, int linhas)
{
    return {linhas, g.topoFaixa, g.textoY, g.espacoLinha, g.escalaLegenda};
}

bool operator==(const Geometria& a, const Geometria& b)
{
    return a.topoFaixa == b.topoFaixa && a.textoY == b.textoY && a.espacoLinha == b.espacoLinha &&
           a.escala == b.escala;
}

const Geometria k480{480, 436, 451, 21, 0.48f};
const Geometria k720{720, 655, 676, 32, 0.72f};
const Geometria k1080{1080, 982, 1015, 48, 1.08f};
const Geometria k100{100, 91, 94, 4, 0.1f};

int Brancos(const cv::Mat& regiao)
{
    int n = 0;
    for (int r = 0; r < regiao.rows; ++r)
        for (int c = 0; c < regiao.cols; ++c)
            if (regiao.at<cv::Vec3b>(r, c) == cv::Vec3b(255, 255, 255)) ++n;
    return n;
}

bool TodaDaCor(const cv::Mat& regiao, cv::Vec3b cor)
{
    for (int r = 0; r < regiao.rows; ++r)
        for (int c = 0; c < regiao.cols; ++c)
            if (regiao.at<cv::Vec3b>(r, c) != cor) return false;
    return true;
}

class Sobreposicao : public testing::TestWithParam<Geometria> {};

TEST_P(Sobreposicao, FaixaETextoNaGeometriaDaAltura)
{
    const Geometria esperada = GetParam();
    CorvaneV3 g;
    g.legenda = "Portao Norte";
    cv::Mat quadro(esperada.linhas, 640, CV_8UC3, cv::Scalar(kFundo));

    g.DesenharFaixa(quadro);
    g.EscreverTexto(quadro);

    EXPECT_EQ(Calculada(g, esperada.linhas), esperada);
    EXPECT_EQ(g.escalaDataHora, esperada.escala);
    // Everything above the band, row topoFaixa included, is untouched.
    EXPECT_TRUE(TodaDaCor(quadro.rowRange(0, esperada.topoFaixa + 1), kFundo));
    // The band is black in all three channels, apart from the white text.
    for (int r = esperada.topoFaixa + 1; r < esperada.linhas; ++r)
        for (int c = 0; c < quadro.cols; ++c) {
            const cv::Vec3b p = quadro.at<cv::Vec3b>(r, c);
            ASSERT_TRUE(p == cv::Vec3b(0, 0, 0) || p == cv::Vec3b(255, 255, 255))
                << "row " << r << " col " << c;
        }
    if (esperada.linhas < 480) return;  // text too small to look for
    // White pixels just above each baseline, starting at textoX.
    const int altura = esperada.espacoLinha / 2;
    EXPECT_GT(Brancos(quadro(cv::Rect(10, esperada.textoY - altura, 300, altura))), 20);
    EXPECT_GT(Brancos(quadro(cv::Rect(10, esperada.textoY + esperada.espacoLinha - altura, 300, altura))),
              20);
    EXPECT_EQ(Brancos(quadro.colRange(0, 10)), 0);
}

INSTANTIATE_TEST_SUITE_P(Alturas, Sobreposicao, testing::Values(k480, k720, k1080, k100),
                         [](const auto& info) { return std::to_string(info.param.linhas); });

TEST(Faixa, RegiaoDeImagemMaiorPintaSoDentroDaRegiao)
{
    CorvaneV3 g;
    cv::Mat grande(700, 900, CV_8UC3, cv::Scalar(kFundo));
    const cv::Rect area(100, 150, 640, 480);
    cv::Mat regiao = grande(area);
    ASSERT_FALSE(regiao.isContinuous());

    g.DesenharFaixa(regiao);

    EXPECT_EQ(g.topoFaixa, 436);
    EXPECT_TRUE(TodaDaCor(regiao.rowRange(0, 437), kFundo));
    EXPECT_TRUE(TodaDaCor(regiao.rowRange(437, 480), cv::Vec3b(0, 0, 0)));
    // Outside the region: the rows above and below and the columns on each side.
    cv::Mat fora = grande.clone();
    fora(area).setTo(cv::Scalar(kFundo));
    EXPECT_TRUE(TodaDaCor(fora, kFundo));
}

TEST(Faixa, CorDaFaixaEmOrdemAzulVerdeVermelho)
{
    CorvaneV3 g;
    g.corFaixa = {1, 2, 3};
    cv::Mat quadro(100, 33, CV_8UC3, cv::Scalar(kFundo));
    g.DesenharFaixa(quadro);
    EXPECT_TRUE(TodaDaCor(quadro.rowRange(92, 100), cv::Vec3b(1, 2, 3)));
    EXPECT_TRUE(TodaDaCor(quadro.rowRange(0, 92), kFundo));
}

TEST(Texto, LegendaVaziaNaoDesenhaNadaNaSuaLinha)
{
    CorvaneV3 g;
    g.legenda = "";
    cv::Mat quadro(480, 640, CV_8UC3, cv::Scalar(kFundo));
    g.DesenharFaixa(quadro);
    g.EscreverTexto(quadro);
    // From the top of the band to just below the label baseline: only black.
    EXPECT_TRUE(TodaDaCor(quadro.rowRange(437, 451 + 3), cv::Vec3b(0, 0, 0)));
    // The date-time line stays where it is.
    EXPECT_GT(Brancos(quadro.rowRange(472 - 10, 473)), 20);
}

TEST(Texto, DataEHoraDeUmInstanteFixo)
{
    std::tm h{};
    h.tm_year = 121;
    h.tm_mon = 1;
    h.tm_mday = 1;
    h.tm_hour = 7;
    h.tm_min = 3;
    h.tm_sec = 9;
    EXPECT_EQ(FormatarDataHora(h), "01/02/2021 - 07:03:09");
    h.tm_year = 120;
    h.tm_mon = 11;
    h.tm_mday = 31;
    h.tm_hour = 23;
    h.tm_min = 59;
    h.tm_sec = 59;
    EXPECT_EQ(FormatarDataHora(h), "31/12/2020 - 23:59:59");
}

TEST(Geometria, QuadroMaiorDepoisDeUmMenorMantemAGeometria)
{
    CorvaneV3 g;
    cv::Mat primeiro(480, 640, CV_8UC3, cv::Scalar(kFundo));
    g.DesenharFaixa(primeiro);
    g.EscreverTexto(primeiro);
    cv::Mat segundo(720, 1280, CV_8UC3, cv::Scalar(kFundo));
    g.DesenharFaixa(segundo);
    g.EscreverTexto(segundo);
    EXPECT_EQ(Calculada(g, 720), k480);
    // Rows 437 to 719 are black apart from text, 436 and above untouched.
    EXPECT_TRUE(TodaDaCor(segundo.rowRange(0, 437), kFundo));
    EXPECT_TRUE(TodaDaCor(segundo.rowRange(480, 720), cv::Vec3b(0, 0, 0)));
}

TEST(Geometria, QuadroMenorDepoisDeUmMaiorFicaSemFaixaESemTexto)
{
    CorvaneV3 g;
    g.legenda = "Camera";
    cv::Mat primeiro(1080, 1920, CV_8UC3, cv::Scalar(kFundo));
    g.DesenharFaixa(primeiro);
    g.EscreverTexto(primeiro);
    cv::Mat segundo(480, 640, CV_8UC3, cv::Scalar(kFundo));
    g.DesenharFaixa(segundo);
    g.EscreverTexto(segundo);
    EXPECT_EQ(Calculada(g, 480), k1080);
    EXPECT_TRUE(TodaDaCor(segundo, kFundo));
}

TEST(Geometria, PrimeirosQuadrosSimultaneosDaoUmConjuntoSo)
{
    const std::vector<Geometria> alturas{k100, k480, k720, k1080};
    for (int rodada = 0; rodada < 100; ++rodada) {
        CorvaneV3 g;
        std::barrier largada(8);
        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < 8; ++t)
                threads.emplace_back([&, t] {
                    cv::Mat quadro(alturas[t % 4].linhas, 64, CV_8UC3, cv::Scalar(kFundo));
                    largada.arrive_and_wait();
                    // Text first in half of the threads, so both operations race.
                    if (t % 2) g.EscreverTexto(quadro);
                    g.DesenharFaixa(quadro);
                    g.EscreverTexto(quadro);
                });
        }
        const Geometria final = Calculada(g, 0);
        EXPECT_TRUE(final == k100 || final == k480 || final == k720 || final == k1080)
            << "mixed set: " << g.topoFaixa << " " << g.textoY << " " << g.espacoLinha << " "
            << g.escalaLegenda;
        EXPECT_EQ(g.escalaLegenda, g.escalaDataHora);
    }
}

}  // namespace
