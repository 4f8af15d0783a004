// Per-frame colour conversion costs, one thread, CPU time per frame.
//
// What the recorder does with each 1280x720 frame that OpenCV's capture
// hands it (BGR), to get the encoder's 640x480 YUV 4:2:0 picture, against
// alternatives that give (almost) the same picture; and, for scale, the
// conversion and copy OpenCV's capture itself does on every frame.
//
// Built and run by bench/medir.py (part "conversao"); prints one JSON object.
//   g++ -O2 -std=c++17 conversao.cpp $(pkg-config --cflags --libs opencv4 libswscale libavutil)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kLarguraEntrada = 1280, kAlturaEntrada = 720;
constexpr int kLargura = 640, kAltura = 480;

double CpuMs()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Medir(const std::function<void()>& f)
{
    for (int i = 0; i < 5; ++i) f();
    std::vector<double> medidas;
    for (int rodada = 0; rodada < 9; ++rodada) {
        const int vezes = 40;
        const double inicio = CpuMs();
        for (int i = 0; i < vezes; ++i) f();
        medidas.push_back((CpuMs() - inicio) / vezes);
    }
    std::sort(medidas.begin(), medidas.end());
    return medidas[medidas.size() / 2];
}

// A 4:2:0 picture in one buffer, planes back to back.
struct Imagem420 {
    int largura, altura;
    std::vector<uint8_t> dados;
    uint8_t* planos[4] = {};
    int passos[4] = {};
    Imagem420(int l, int a) : largura(l), altura(a)
    {
        dados.resize(static_cast<size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, l, a, 1)));
        av_image_fill_arrays(planos, passos, dados.data(), AV_PIX_FMT_YUV420P, l, a, 1);
    }
};

std::string Diferenca(const Imagem420& a, const Imagem420& b)
{
    int maximo[3] = {0, 0, 0};
    double soma[3] = {0, 0, 0};
    double amostras[3] = {0, 0, 0};
    for (int p = 0; p < 3; ++p) {
        const int l = p ? a.largura / 2 : a.largura, h = p ? a.altura / 2 : a.altura;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < l; ++x) {
                const int d = std::abs(a.planos[p][y * a.passos[p] + x] - b.planos[p][y * b.passos[p] + x]);
                maximo[p] = std::max(maximo[p], d);
                soma[p] += d;
                amostras[p] += 1;
            }
    }
    char texto[128];
    std::snprintf(texto, sizeof texto, "max %d, %d, %d; mean %.2f, %.2f, %.2f", maximo[0], maximo[1],
                  maximo[2], soma[0] / amostras[0], soma[1] / amostras[1], soma[2] / amostras[2]);
    return texto;
}

}  // namespace

int main()
{
    cv::setNumThreads(1);

    // A camera-like frame: smooth colour gradients, a few hard-edged shapes
    // and mild noise.
    cv::Mat quadro(kAlturaEntrada, kLarguraEntrada, CV_8UC3);
    for (int y = 0; y < quadro.rows; ++y)
        for (int x = 0; x < quadro.cols; ++x)
            quadro.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 255 / kLarguraEntrada),
                                                   static_cast<uint8_t>(y * 255 / kAlturaEntrada),
                                                   static_cast<uint8_t>((x + y) * 255 / 2000));
    cv::rectangle(quadro, cv::Rect(100, 100, 300, 200), cv::Scalar(0, 0, 255), cv::FILLED);
    cv::circle(quadro, cv::Point(800, 400), 150, cv::Scalar(255, 255, 0), cv::FILLED);
    cv::line(quadro, cv::Point(0, 700), cv::Point(1279, 20), cv::Scalar(255, 255, 255), 3);
    cv::Mat ruido(quadro.size(), CV_8UC3);
    cv::randn(ruido, cv::Scalar::all(0), cv::Scalar::all(4));
    cv::add(quadro, ruido, quadro);
    const uint8_t* const origem[4] = {quadro.data, nullptr, nullptr, nullptr};
    const int passo[4] = {static_cast<int>(quadro.step[0]), 0, 0, 0};

    struct Resultado {
        std::string nome;
        double ms;
        std::string diferenca;
    };
    std::vector<Resultado> resultados;

    // 1. Today: one sws_scale, BGR24 1280x720 -> YUV420P 640x480, bicubic.
    Imagem420 atual(kLargura, kAltura);
    SwsContext* direto = sws_getContext(kLarguraEntrada, kAlturaEntrada, AV_PIX_FMT_BGR24, kLargura,
                                        kAltura, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                        nullptr);
    resultados.push_back({"current: sws_scale BGR24 1280x720 -> YUV420P 640x480, SWS_BICUBIC",
                          Medir([&] {
                              sws_scale(direto, origem, passo, 0, quadro.rows, atual.planos,
                                        atual.passos);
                          }),
                          "-"});

    // 2. cv::cvtColor to I420 at full size, then a YUV -> YUV bicubic scale.
    Imagem420 cheio(kLarguraEntrada, kAlturaEntrada);
    SwsContext* reduzir = sws_getContext(kLarguraEntrada, kAlturaEntrada, AV_PIX_FMT_YUV420P,
                                         kLargura, kAltura, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                         nullptr, nullptr, nullptr);
    Imagem420 via_cv(kLargura, kAltura);
    cv::Mat i420(kAlturaEntrada * 3 / 2, kLarguraEntrada, CV_8UC1, cheio.dados.data());
    resultados.push_back({"cv::cvtColor BGR->YUV_I420 1280x720, then sws_scale YUV420P -> 640x480 bicubic",
                          Medir([&] {
                              cv::cvtColor(quadro, i420, cv::COLOR_BGR2YUV_I420);
                              sws_scale(reduzir, cheio.planos, cheio.passos, 0, kAlturaEntrada,
                                        via_cv.planos, via_cv.passos);
                          }),
                          ""});
    resultados.back().diferenca = Diferenca(atual, via_cv);

    // 3. Two sws_scale calls: unscaled BGR24 -> YUV420P (special-cased), then scale.
    SwsContext* converter = sws_getContext(kLarguraEntrada, kAlturaEntrada, AV_PIX_FMT_BGR24,
                                           kLarguraEntrada, kAlturaEntrada, AV_PIX_FMT_YUV420P,
                                           SWS_BICUBIC, nullptr, nullptr, nullptr);
    Imagem420 dois(kLargura, kAltura);
    resultados.push_back({"sws_scale BGR24 -> YUV420P 1280x720 (unscaled), then -> 640x480 bicubic",
                          Medir([&] {
                              sws_scale(converter, origem, passo, 0, quadro.rows, cheio.planos,
                                        cheio.passos);
                              sws_scale(reduzir, cheio.planos, cheio.passos, 0, kAlturaEntrada,
                                        dois.planos, dois.passos);
                          }),
                          ""});
    resultados.back().diferenca = Diferenca(atual, dois);

    // 4. Only the YUV -> YUV bicubic scale (what ffmpeg's scale filter does here).
    resultados.push_back({"for scale: only sws_scale YUV420P 1280x720 -> 640x480 bicubic (ffmpeg's scale)",
                          Medir([&] {
                              sws_scale(reduzir, cheio.planos, cheio.passos, 0, kAlturaEntrada,
                                        dois.planos, dois.passos);
                          }),
                          "-"});

    // 5. What OpenCV's capture does per frame: decoded YUV420P -> BGR24 at full
    //    size (sws_scale), then a copy of the BGR frame into the caller's Mat.
    SwsContext* paraBgr = sws_getContext(kLarguraEntrada, kAlturaEntrada, AV_PIX_FMT_YUV420P,
                                         kLarguraEntrada, kAlturaEntrada, AV_PIX_FMT_BGR24,
                                         SWS_BICUBIC, nullptr, nullptr, nullptr);
    cv::Mat bgr(kAlturaEntrada, kLarguraEntrada, CV_8UC3);
    uint8_t* const destino[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int passoBgr[4] = {static_cast<int>(bgr.step[0]), 0, 0, 0};
    resultados.push_back({"for scale: capture side, sws_scale YUV420P -> BGR24 1280x720",
                          Medir([&] {
                              sws_scale(paraBgr, cheio.planos, cheio.passos, 0, kAlturaEntrada,
                                        destino, passoBgr);
                          }),
                          "-"});
    cv::Mat copia;
    resultados.push_back({"for scale: capture side, copy of one BGR 1280x720 frame (Mat::copyTo)",
                          Medir([&] { bgr.copyTo(copia); }), "-"});

    std::printf("{\"metodos\": [");
    for (size_t i = 0; i < resultados.size(); ++i)
        std::printf("%s{\"nome\": \"%s\", \"ms\": %.4f, \"diferenca\": \"%s\"}", i ? ", " : "",
                    resultados[i].nome.c_str(), resultados[i].ms, resultados[i].diferenca.c_str());
    std::printf("]}\n");
    sws_freeContext(direto);
    sws_freeContext(reduzir);
    sws_freeContext(converter);
    sws_freeContext(paraBgr);
    return 0;
}
