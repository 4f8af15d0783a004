// Output folders and file names.
#include "CorvaneV3.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace {

// mkdir -p: creates caminho and its missing parents. A folder that another
// thread creates at the same moment is not an error.
void CriarPastas(const std::string& caminho)
{
    for (size_t fim = caminho.find('/', 1);; fim = caminho.find('/', fim + 1)) {
        const std::string parte = caminho.substr(0, fim);
        if (::mkdir(parte.c_str(), 0777) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), "mkdir " + parte);
        if (fim == std::string::npos) return;
    }
}

}  // namespace

std::string DoisDigitos(int valor)
{
    return valor < 10 ? "0" + std::to_string(valor) : std::to_string(valor);
}

std::string CorvaneV3::MontarCaminho(int indice, bool video)
{
    const std::time_t agora = std::time(nullptr);
    std::tm hora{};
    localtime_r(&agora, &hora);

    std::string pasta = video ? "output/video/Cam" : "output/foto/Cam";
    pasta += std::to_string(indice);
    pasta += "/" + std::to_string(hora.tm_year + 1900);
    pasta += "/" + std::to_string(hora.tm_mon + 1);
    pasta += "/" + std::to_string(hora.tm_mday);
    pasta += "/" + std::to_string(hora.tm_hour);

    struct stat info;
    if (::stat(pasta.c_str(), &info) != 0) CriarPastas(pasta);

    return "./" + pasta + "/" + DoisDigitos(hora.tm_min);
}
