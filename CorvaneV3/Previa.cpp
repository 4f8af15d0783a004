#include "Previa.h"

#include <opencv2/highgui.hpp>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

bool HaTela()
{
    const char* plataforma = std::getenv("QT_QPA_PLATFORM");
    if (plataforma && *plataforma && std::strncmp(plataforma, "xcb", 3) != 0) return true;
    const char* tela = std::getenv("DISPLAY");
    if (!tela || !*tela) return false;

    // The window library aborts the process when the display cannot be
    // opened, so try it first through Xlib, loaded only for this question.
    void* x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (!x11) return true;
    using Abrir = void* (*)(const char*);
    using Fechar = int (*)(void*);
    auto abrir = reinterpret_cast<Abrir>(dlsym(x11, "XOpenDisplay"));
    auto fechar = reinterpret_cast<Fechar>(dlsym(x11, "XCloseDisplay"));
    bool alcancavel = true;
    if (abrir && fechar) {
        void* conexao = abrir(nullptr);
        alcancavel = conexao != nullptr;
        if (conexao) fechar(conexao);
    }
    dlclose(x11);
    return alcancavel;
}

Previa::Previa(bool ligada, int cameras)
    : ativa_(ligada && HaTela()), pendentes_(cameras), teclas_(cameras, -1)
{
    if (ligada && !ativa_)
        std::fputs("previa desligada: nenhuma tela disponivel; a gravacao continua sem janela\n",
                   stderr);
}

int Previa::MostrarEEsperar(int indice, const cv::Mat& quadro, std::chrono::milliseconds espera)
{
    if (!ativa_) return -1;
    const auto limite = std::chrono::steady_clock::now() + espera;
    cv::Mat copia = quadro.clone();  // the recording thread reuses its frame
    std::unique_lock<std::mutex> trava(trava_);
    pendentes_[indice] = std::move(copia);
    tecla_.wait_until(trava, limite, [&] { return teclas_[indice] != -1; });
    return std::exchange(teclas_[indice], -1);
}

void Previa::Atender(const std::function<bool()>& terminou)
{
    if (!ativa_) return;
    int ultimo = -1;
    std::vector<std::pair<int, cv::Mat>> mostrar;
    while (!terminou()) {
        {
            std::lock_guard<std::mutex> trava(trava_);
            for (size_t i = 0; i < pendentes_.size(); ++i)
                if (!pendentes_[i].empty())
                    mostrar.emplace_back(static_cast<int>(i), std::move(pendentes_[i]));
        }
        for (auto& [indice, quadro] : mostrar) {
            if (ultimo < 0) {
                cv::namedWindow(kNome);
                cv::setWindowTitle(kNome, kTitulo);
            }
            cv::imshow(kNome, quadro);
            ultimo = indice;
        }
        mostrar.clear();
        const int tecla = cv::waitKey(5);
        if (tecla != -1 && ultimo >= 0) {
            std::lock_guard<std::mutex> trava(trava_);
            teclas_[static_cast<size_t>(ultimo)] = tecla;
            tecla_.notify_all();
        }
    }
}
