// One camera's H.264 file for one recording cycle.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
struct AVFormatContext;
struct AVIOContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct SwsContext;
}

class CorvaneV3;

// Throws std::invalid_argument when the encoder or the container cannot take
// the record's settings (size, bit rate, extension, missing encoder).
void ValidarEscritor(const CorvaneV3& cfg);

class EscritorVideo {
public:
    // Creates the file, sets the encoder up and writes the container header.
    // The scaler starts from the size the capture object reports.
    EscritorVideo(const CorvaneV3& cfg, const std::string& arquivo, cv::VideoCapture& camera);
    ~EscritorVideo();
    EscritorVideo(const EscritorVideo&) = delete;
    EscritorVideo& operator=(const EscritorVideo&) = delete;

    // Converts one 8-bit BGR frame into the encoder picture and numbers it.
    void AdicionarQuadro(const cv::Mat& quadro);

    // Sends the picture (or, when draining, the end of the stream) and writes
    // at most one packet; returns whether a packet came out.
    bool PassoCodificacao(bool drenando);

    // Writes the trailer. The objects are released by the destructor.
    void Fechar();

private:
    // One deleter per codec library type, each calling its free function.
    struct LiberarContexto { void operator()(AVFormatContext* p) const noexcept; };
    struct LiberarArquivo { void operator()(AVIOContext* p) const noexcept; };
    struct LiberarCodificador { void operator()(AVCodecContext* p) const noexcept; };
    struct LiberarQuadro { void operator()(AVFrame* p) const noexcept; };
    struct LiberarPacote { void operator()(AVPacket* p) const noexcept; };
    struct LiberarEscalador { void operator()(SwsContext* p) const noexcept; };

    using ContextoSaida = std::unique_ptr<AVFormatContext, LiberarContexto>;
    using Arquivo = std::unique_ptr<AVIOContext, LiberarArquivo>;
    using Codificador = std::unique_ptr<AVCodecContext, LiberarCodificador>;
    using Quadro = std::unique_ptr<AVFrame, LiberarQuadro>;
    using Pacote = std::unique_ptr<AVPacket, LiberarPacote>;
    using Escalador = std::unique_ptr<SwsContext, LiberarEscalador>;

    bool EscreverPacote();

    // Declared so that destruction runs in teardown order: picture, encoder,
    // file, output context.
    ContextoSaida contexto_;
    Arquivo arquivo_;
    Codificador codificador_;
    Quadro quadro_;
    Pacote pacote_;
    Escalador escalador_;

    AVStream* fluxo_ = nullptr;
    int largura_ = 0;
    int altura_ = 0;
    int formato_ = -1;
    int64_t contador_ = 0;
    bool fimEnviado_ = false;
    bool cabecalho_ = false;
    bool fechado_ = false;
};
