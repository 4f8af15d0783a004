#include "Tavorin.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <mutex>
#include <string>

namespace {

// Capture objects opened from several threads at once were seen to corrupt
// the heap inside the GStreamer fallback, so opens and releases take turns.
std::mutex& Vez()
{
    static std::mutex vez;
    return vez;
}

}  // namespace

extern "C" bool ValidarVideo(char* caminho) noexcept
{
    if (!caminho) return false;
    try {
        std::lock_guard<std::mutex> trava(Vez());
        // The back ends' warnings about a name they cannot open are not ours
        // to print; the caller's log level comes back afterwards.
        const auto nivel = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        bool aberto = false;
        {
            cv::VideoCapture captura(std::string{caminho});
            aberto = captura.isOpened();
            captura.release();
        }
        cv::utils::logging::setLogLevel(nivel);
        return aberto;
    } catch (...) {
        return false;
    }
}
