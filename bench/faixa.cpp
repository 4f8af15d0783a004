// Band fill against cv::Mat::setTo on the same rows, for common frame sizes,
// continuous frames and regions of larger images. Prints nanoseconds per frame.
#include "CorvaneV3.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

template <typename F>
double NanossegundosPorQuadro(F&& pintar, int repeticoes)
{
    std::vector<double> medidas;
    for (int rodada = 0; rodada < 7; ++rodada) {
        const auto inicio = std::chrono::steady_clock::now();
        for (int i = 0; i < repeticoes; ++i) pintar();
        const auto fim = std::chrono::steady_clock::now();
        medidas.push_back(std::chrono::duration<double, std::nano>(fim - inicio).count() / repeticoes);
    }
    std::sort(medidas.begin(), medidas.end());
    return medidas[medidas.size() / 2];
}

}  // namespace

int main()
{
    std::printf("%-22s %12s %12s %8s\n", "quadro", "faixa (ns)", "setTo (ns)", "razao");
    for (const auto& [largura, altura] : {std::pair{640, 480}, {1280, 720}, {1920, 1080}}) {
        for (bool regiao : {false, true}) {
            cv::Mat grande(altura + 64, largura + 64, CV_8UC3, cv::Scalar(40, 90, 160));
            cv::Mat quadro = regiao ? grande(cv::Rect(32, 32, largura, altura))
                                    : cv::Mat(altura, largura, CV_8UC3, cv::Scalar(40, 90, 160));
            CorvaneV3 g;
            g.DesenharFaixa(quadro);  // fixes the geometry
            cv::Mat linhas = quadro.rowRange(g.topoFaixa + 1, quadro.rows);
            const int repeticoes = 2000;
            const double faixa = NanossegundosPorQuadro([&] { g.DesenharFaixa(quadro); }, repeticoes);
            const double setTo =
                NanossegundosPorQuadro([&] { linhas.setTo(cv::Scalar(0, 0, 0)); }, repeticoes);
            char nome[32];
            std::snprintf(nome, sizeof nome, "%dx%d%s", largura, altura, regiao ? " regiao" : "");
            std::printf("%-22s %12.0f %12.0f %8.2f\n", nome, faixa, setTo, faixa / setTo);
        }
    }
}
