// A C++ program linked against libTavorin, calling it through its header.
//
//   tavorin_ligado SAMPLES
#include "Tavorin.h"

#include <cstdio>
#include <string>
#include <type_traits>

static_assert(std::is_same_v<decltype(&ValidarVideo), bool (*)(char*) noexcept>,
              "ValidarVideo: bool(char*) noexcept");
static_assert(noexcept(ValidarVideo(nullptr)));

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "uso: %s AMOSTRAS\n", argv[0]);
        return 2;
    }
    int falhas = 0;
    auto conferir = [&](const std::string& arquivo, bool esperado) {
        std::string caminho = std::string{argv[1]} + "/" + arquivo;
        const bool r = ValidarVideo(caminho.data());
        if (r != esperado) {
            std::printf("FALHA: %s: %d, esperado %d\n", arquivo.c_str(), r, esperado);
            ++falhas;
        }
    };
    conferir("clip.mp4", true);
    conferir("truncado.mp4", false);
    conferir("nao-existe.mp4", false);
    if (ValidarVideo(nullptr)) {
        std::printf("FALHA: nullptr deu verdadeiro\n");
        ++falhas;
    }
    std::printf("ligado: %d falha(s)\n", falhas);
    return falhas == 0 ? 0 : 1;
}
