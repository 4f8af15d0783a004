// The band across the bottom of each frame and its two lines of text.
#include "CorvaneV3.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>

std::string FormatarDataHora(const std::tm& hora)
{
    return DoisDigitos(hora.tm_mday) + "/" + DoisDigitos(hora.tm_mon + 1) + "/" +
           std::to_string(hora.tm_year + 1900) + " - " + DoisDigitos(hora.tm_hour) + ":" +
           DoisDigitos(hora.tm_min) + ":" + DoisDigitos(hora.tm_sec);
}

void CorvaneV3::CalcularGeometria(int linhas)
{
    // The whole set comes from one frame, the first that reaches the overlay,
    // whichever camera it comes from; no thread sees a partial set, and later
    // frames only pay the once-flag's check.
    std::call_once(geometria_, [this, linhas]() noexcept {
        topoFaixa = static_cast<int32_t>(linhas - linhas * 0.09);
        textoY = static_cast<int32_t>(linhas - linhas * 0.06);
        espacoLinha = static_cast<int32_t>(linhas * 0.045);
        escalaLegenda = static_cast<float>(static_cast<float>(linhas) * 0.001);
        escalaDataHora = escalaLegenda;
    });
}

void CorvaneV3::DesenharFaixa(cv::Mat quadro)
{
    CalcularGeometria(quadro.rows);
    if (quadro.type() != CV_8UC3) return;

    const int primeira = std::max(topoFaixa + 1, 0);
    if (primeira >= quadro.rows) return;
    const size_t bytesLinha = static_cast<size_t>(quadro.cols) * 3;
    const auto [azul, verde, vermelho] = corFaixa;

    // Paint the first band row, then copy it to the others: whole rows, never
    // pixel by pixel, and one block when the rows lie back to back.
    uint8_t* topo = quadro.ptr<uint8_t>(primeira);
    const size_t linhas = static_cast<size_t>(quadro.rows - primeira);
    if (azul == verde && verde == vermelho) {
        if (quadro.isContinuous()) {
            std::memset(topo, azul, bytesLinha * linhas);
            return;
        }
        std::memset(topo, azul, bytesLinha);
    } else {
        for (size_t c = 0; c < bytesLinha; c += 3) {
            topo[c] = azul;
            topo[c + 1] = verde;
            topo[c + 2] = vermelho;
        }
    }
    for (int r = primeira + 1; r < quadro.rows; ++r)
        std::memcpy(quadro.ptr<uint8_t>(r), topo, bytesLinha);
}

void CorvaneV3::EscreverTexto(cv::Mat quadro)
{
    CalcularGeometria(quadro.rows);

    const std::time_t agora = std::time(nullptr);
    std::tm hora{};
    localtime_r(&agora, &hora);

    const cv::Scalar branco(255, 255, 255, 0);
    cv::putText(quadro, legenda, cv::Point(textoX, textoY), cv::FONT_HERSHEY_SIMPLEX,
                escalaLegenda, branco, 1, cv::LINE_8, false);
    cv::putText(quadro, FormatarDataHora(hora), cv::Point(textoX, textoY + espacoLinha),
                cv::FONT_HERSHEY_SIMPLEX, escalaDataHora, branco, 1, cv::LINE_8, false);
}
