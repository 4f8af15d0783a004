// The preview window. The window system takes its calls from one thread only,
// so the main thread shows the frames and reads the keys, while each recording
// thread hands over its frame and waits for a key of its own.
#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class Previa {
public:
    // With ligada false, or when no display can be reached, there is no
    // window and every key wait returns at once with -1.
    Previa(bool ligada, int cameras);

    // Recording thread: queues the frame for the window and waits up to
    // espera for a key meant for this camera; returns it, or -1.
    int MostrarEEsperar(int indice, const cv::Mat& quadro, std::chrono::milliseconds espera);

    // Main thread: shows the queued frames in turn and reads the keyboard
    // until terminou() is true. A key goes to the camera whose frame was
    // shown last. Returns at once when there is no window.
    void Atender(const std::function<bool()>& terminou);

    static constexpr const char* kTitulo = "Pr\xc3\xa9via";  // UTF-8

private:
    // The window library finds windows by name, and a name outside ASCII
    // makes it open a new window, with a garbled title, on every show: the
    // window goes by an ASCII name and carries the real title.
    static constexpr const char* kNome = "Previa";

    bool ativa_;
    std::mutex trava_;
    std::condition_variable tecla_;
    std::vector<cv::Mat> pendentes_;  // per camera, the latest frame not yet shown
    std::vector<int> teclas_;         // per camera, a key not yet taken, or -1
};

// Whether a window system can be reached from here.
bool HaTela();
