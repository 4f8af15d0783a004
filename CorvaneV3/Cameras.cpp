// Opening the camera sources.
#include "CorvaneV3.h"

#include <algorithm>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// A network source must not hold a cycle for long: the FFmpeg back end gives
// up on an open or a single read that takes longer than these. Local files
// and devices get no limit, so that a busy machine never cuts them short.
constexpr int kTempoAbertura = 10000;  // ms
constexpr int kTempoLeitura = 3000;    // ms

bool Abrir(cv::VideoCapture& captura, const std::string& fonte, int tempoAbertura, bool outrosBackEnds)
{
    // FFmpeg first (with the limits for network sources); back ends that take
    // no such parameters (V4L2 devices, GStreamer pipelines) get the plain open.
    std::vector<int> parametros;
    if (FonteDeRede(fonte))
        parametros = {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, tempoAbertura, cv::CAP_PROP_READ_TIMEOUT_MSEC,
                      kTempoLeitura};
    bool aberta = false;
    try {
        aberta = captura.open(fonte, cv::CAP_FFMPEG, parametros);
    } catch (const cv::Exception&) {
    }
    if (!aberta && outrosBackEnds) aberta = captura.open(fonte);
    // Opening sets the codec library's log level back to the video library's
    // choice; the decoder's complaints about a stream joined between key
    // frames are not ours to print.
    av_log_set_level(AV_LOG_QUIET);
    return aberta;
}

}  // namespace

// The FFmpeg back end takes its open options from this variable. By default an
// open reads about 20 frames of a stream to estimate its frame rate, which the
// recorder never uses (its files run at a fixed rate): 0.8 s per live 25 fps
// source, and as the video library opens one source at a time, the last of N
// cameras joined its stream 0.8 * (N - 1) s after the first, and lost that much
// footage at every restart. Frames are read and decoded as before. A value the
// user set is left as it is. Changing the environment is only safe while no
// other thread can read it, so the entry point does this first.
void OpcoesDeAbertura()
{
    setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS", "fpsprobesize;0", 0);
}

bool FonteDeRede(const std::string& fonte)
{
    return fonte.find("://") != std::string::npos;
}

bool CorvaneV3::Reconectar(int indice, std::chrono::milliseconds limite)
{
    const int tempo = static_cast<int>(std::min<std::chrono::milliseconds::rep>(limite.count(), kTempoAbertura));
    if (tempo <= 0) return false;
    cv::VideoCapture& captura = capturas[static_cast<size_t>(indice)];
    captura.release();
    return Abrir(captura, fontes[static_cast<size_t>(indice)], tempo, false);
}

void CorvaneV3::AbrirCameras()
{
    for (size_t i = 0; i < fontes.size(); ++i) {
        capturas.emplace_back();
        cv::VideoCapture& captura = capturas.back();
        captura.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(largura));
        captura.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(altura));
        Abrir(captura, fontes[i], kTempoAbertura, true);
        if (!captura.isOpened()) {
            cv::Exception erro;
            erro.msg = "erro ao abrir a camera: " + fontes[i];
            throw erro;
        }
    }
}
