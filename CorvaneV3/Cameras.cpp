// Opening the camera sources.
#include "CorvaneV3.h"

namespace {

// Network sources must not block a cycle for long: the FFmpeg back end gives
// up on an open or a read that takes longer than these.
constexpr int kTempoAbertura = 10000;  // ms
constexpr int kTempoLeitura = 2000;    // ms

void Abrir(cv::VideoCapture& captura, const std::string& fonte)
{
    // Try FFmpeg first with the time limits; back ends that do not take them
    // (V4L2 devices, GStreamer pipelines) get the plain open.
    const std::vector<int> parametros{cv::CAP_PROP_OPEN_TIMEOUT_MSEC, kTempoAbertura,
                                      cv::CAP_PROP_READ_TIMEOUT_MSEC, kTempoLeitura};
    try {
        if (captura.open(fonte, cv::CAP_FFMPEG, parametros)) return;
    } catch (const cv::Exception&) {
    }
    captura.open(fonte);
}

}  // namespace

void CorvaneV3::AbrirCameras()
{
    for (size_t i = 0; i < fontes.size(); ++i) {
        capturas.emplace_back();
        cv::VideoCapture& captura = capturas.back();
        captura.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(largura));
        captura.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(altura));
        Abrir(captura, fontes[i]);
        if (!captura.isOpened()) {
            cv::Exception erro;
            erro.msg = "erro ao abrir a camera: " + fontes[i];
            throw erro;
        }
    }
}
