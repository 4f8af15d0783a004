// Prints, for the one name given, what the video library itself answers:
// 1 when cv::VideoCapture(name).isOpened(), 0 otherwise. The tests compare
// libTavorin's answers with this, one process per name.
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "uso: %s NOME\n", argv[0]);
        return 2;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::VideoCapture captura(std::string{argv[1]});
    std::printf("%d\n", captura.isOpened() ? 1 : 0);
    std::fflush(stdout);
    return 0;
}
