// H.264 encoding of one camera's frames into one file.
#include "EscritorVideo.h"

#include "CorvaneV3.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <stdexcept>

namespace {

std::string TextoDoErro(int erro)
{
    char texto[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(erro, texto, sizeof texto);
    return texto;
}

void Verificar(int resultado, const std::string& etapa)
{
    if (resultado < 0) throw std::runtime_error(etapa + ": " + TextoDoErro(resultado));
}

const AVOutputFormat* FormatoDoArquivo(const std::string& extensao)
{
    if (extensao.empty() || extensao.find('/') != std::string::npos) return nullptr;
    const std::string nome = "video." + extensao;
    const AVOutputFormat* formato = av_guess_format(nullptr, nome.c_str(), nullptr);
    if (!formato || (formato->flags & AVFMT_NOFILE) || formato->video_codec == AV_CODEC_ID_NONE ||
        avformat_query_codec(formato, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) == 0)
        return nullptr;
    return formato;
}

// Sets the encoder context up from the record's settings; the same values
// serve the check made before any camera opens and every writer.
void ConfigurarCodificador(AVCodecContext* ctx, const CorvaneV3& cfg, const AVOutputFormat* formato)
{
    ctx->width = cfg.largura;
    ctx->height = cfg.altura;
    ctx->pix_fmt = cfg.codificador->pix_fmts ? cfg.codificador->pix_fmts[0] : AV_PIX_FMT_NONE;
    ctx->bit_rate = static_cast<int64_t>(cfg.taxaDeBits);
    ctx->time_base = AVRational{cfg.fpsDenominador, cfg.fpsNumerador};
    ctx->flags2 |= AV_CODEC_FLAG2_NO_OUTPUT;
    if (formato->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

}  // namespace

void EscritorVideo::LiberarContexto::operator()(AVFormatContext* p) const noexcept
{
    avformat_free_context(p);
}
void EscritorVideo::LiberarArquivo::operator()(AVIOContext* p) const noexcept
{
    avio_close(p);
}
void EscritorVideo::LiberarCodificador::operator()(AVCodecContext* p) const noexcept
{
    avcodec_free_context(&p);
}
void EscritorVideo::LiberarQuadro::operator()(AVFrame* p) const noexcept
{
    av_frame_free(&p);
}
void EscritorVideo::LiberarPacote::operator()(AVPacket* p) const noexcept
{
    av_packet_free(&p);
}
void EscritorVideo::LiberarEscalador::operator()(SwsContext* p) const noexcept
{
    sws_freeContext(p);
}

void ValidarEscritor(const CorvaneV3& cfg)
{
    const AVOutputFormat* formato = FormatoDoArquivo(cfg.extensao);
    if (!formato) throw std::invalid_argument("formato de video desconhecido: " + cfg.extensao);

    const std::string prefixo = "erro ao abrir o codificador: ";
    if (!cfg.codificador) throw std::invalid_argument(prefixo + "codificador H.264 ausente");
    if (!cfg.codificador->pix_fmts)
        throw std::invalid_argument(prefixo + "o codificador H.264 nao lista formatos de pixel");
    const std::string tamanho = std::to_string(cfg.largura) + "x" + std::to_string(cfg.altura);
    if (cfg.largura <= 0 || cfg.altura <= 0)
        throw std::invalid_argument(prefixo + "largura e altura devem ser positivas (" + tamanho + ")");
    if (cfg.largura % 2 != 0 || cfg.altura % 2 != 0)
        throw std::invalid_argument(prefixo + "largura e altura devem ser pares (" + tamanho + ")");
    if (av_image_check_size(cfg.largura, cfg.altura, 0, nullptr) < 0)
        throw std::invalid_argument(prefixo + "tamanho de quadro grande demais (" + tamanho + ")");

    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
        avcodec_alloc_context3(cfg.codificador), [](AVCodecContext* p) { avcodec_free_context(&p); });
    if (!ctx) throw std::invalid_argument(prefixo + "sem memoria");
    ConfigurarCodificador(ctx.get(), cfg, formato);
    const int resultado = avcodec_open2(ctx.get(), cfg.codificador, nullptr);
    if (resultado < 0)
        throw std::invalid_argument(prefixo + TextoDoErro(resultado) + " (" + tamanho + ", " +
                                    std::to_string(cfg.taxaDeBits) + " bits/s)");
}

EscritorVideo::EscritorVideo(const CorvaneV3& cfg, const std::string& arquivo, cv::VideoCapture& camera)
    : largura_(cfg.largura), altura_(cfg.altura)
{
    AVFormatContext* contexto = nullptr;
    Verificar(avformat_alloc_output_context2(&contexto, nullptr, nullptr, arquivo.c_str()),
              "formato de " + arquivo);
    contexto_.reset(contexto);

    AVIOContext* saida = nullptr;
    Verificar(avio_open2(&saida, arquivo.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr),
              "criar " + arquivo);
    arquivo_.reset(saida);
    contexto_->pb = saida;

    if (!cfg.codificador) throw std::runtime_error("codificador H.264 ausente");
    fluxo_ = avformat_new_stream(contexto_.get(), nullptr);
    codificador_.reset(avcodec_alloc_context3(cfg.codificador));
    if (!fluxo_ || !codificador_) throw std::runtime_error("sem memoria para o fluxo de video");

    ConfigurarCodificador(codificador_.get(), cfg, contexto_->oformat);
    fluxo_->time_base = codificador_->time_base;
    fluxo_->avg_frame_rate = AVRational{cfg.fpsNumerador, cfg.fpsDenominador};
    fluxo_->r_frame_rate = fluxo_->avg_frame_rate;
    formato_ = codificador_->pix_fmt;

    Verificar(avcodec_open2(codificador_.get(), cfg.codificador, nullptr), "abrir o codificador");
    Verificar(avcodec_parameters_from_context(fluxo_->codecpar, codificador_.get()),
              "parametros do fluxo");

    const int alturaCamera = static_cast<int>(camera.get(cv::CAP_PROP_FRAME_HEIGHT));
    const int larguraCamera = static_cast<int>(camera.get(cv::CAP_PROP_FRAME_WIDTH));
    escalador_.reset(sws_getCachedContext(nullptr, larguraCamera, alturaCamera, AV_PIX_FMT_BGR24,
                                          largura_, altura_, static_cast<AVPixelFormat>(formato_),
                                          SWS_BICUBIC, nullptr, nullptr, nullptr));

    // The picture is reference counted over one zero-filled buffer, so the
    // encoder can take it without a copy.
    quadro_.reset(av_frame_alloc());
    pacote_.reset(av_packet_alloc());
    if (!quadro_ || !pacote_) throw std::runtime_error("sem memoria para o quadro");
    const auto pixel = static_cast<AVPixelFormat>(formato_);
    const int tamanho = av_image_get_buffer_size(pixel, largura_, altura_, 1);
    Verificar(tamanho, "tamanho do quadro");
    quadro_->buf[0] = av_buffer_allocz(static_cast<size_t>(tamanho));
    if (!quadro_->buf[0]) throw std::runtime_error("sem memoria para o quadro");
    Verificar(av_image_fill_arrays(quadro_->data, quadro_->linesize, quadro_->buf[0]->data, pixel,
                                   largura_, altura_, 1),
              "planos do quadro");
    quadro_->width = largura_;
    quadro_->height = altura_;
    quadro_->format = formato_;

    Verificar(avformat_write_header(contexto_.get(), nullptr), "escrever o cabecalho de " + arquivo);
    cabecalho_ = true;
}

EscritorVideo::~EscritorVideo()
{
    // A writer abandoned by an error still gets its trailer when it can, so
    // that what was written so far stays playable.
    if (cabecalho_ && !fechado_) av_write_trailer(contexto_.get());
}

void EscritorVideo::AdicionarQuadro(const cv::Mat& quadro)
{
    if (quadro.type() != CV_8UC3 || quadro.empty())
        throw std::invalid_argument("quadro que nao tem 8 bits e 3 canais");

    // The cached context is reused while the frame size stays the same, and
    // rebuilt from the frame's real size when it changes.
    escalador_.reset(sws_getCachedContext(escalador_.release(), quadro.cols, quadro.rows,
                                          AV_PIX_FMT_BGR24, largura_, altura_,
                                          static_cast<AVPixelFormat>(formato_), SWS_BICUBIC,
                                          nullptr, nullptr, nullptr));
    if (!escalador_) throw std::runtime_error("conversor de cores indisponivel");

    // Normally a no-op: the encoder has already released its reference.
    Verificar(av_frame_make_writable(quadro_.get()), "quadro do codificador");

    const uint8_t* const origem[4] = {quadro.data, nullptr, nullptr, nullptr};
    const int passo[4] = {static_cast<int>(quadro.step[0]), 0, 0, 0};
    sws_scale(escalador_.get(), origem, passo, 0, quadro.rows, quadro_->data, quadro_->linesize);
    quadro_->pts = contador_++;
}

bool EscritorVideo::EscreverPacote()
{
    const int resultado = avcodec_receive_packet(codificador_.get(), pacote_.get());
    if (resultado == AVERROR(EAGAIN) || resultado == AVERROR_EOF) return false;
    Verificar(resultado, "codificar");
    pacote_->duration = 1;
    av_packet_rescale_ts(pacote_.get(), codificador_->time_base, fluxo_->time_base);
    pacote_->stream_index = 0;
    const int escrito = av_write_frame(contexto_.get(), pacote_.get());
    av_packet_unref(pacote_.get());
    Verificar(escrito, "escrever o video");
    return true;
}

bool EscritorVideo::PassoCodificacao(bool drenando)
{
    if (!drenando) {
        int resultado = avcodec_send_frame(codificador_.get(), quadro_.get());
        if (resultado == AVERROR(EAGAIN)) {
            // The encoder holds a packet we have not fetched: write it first.
            EscreverPacote();
            resultado = avcodec_send_frame(codificador_.get(), quadro_.get());
        }
        Verificar(resultado, "codificar");
    } else if (!fimEnviado_) {
        fimEnviado_ = true;
        Verificar(avcodec_send_frame(codificador_.get(), nullptr), "drenar o codificador");
    }
    return EscreverPacote();
}

void EscritorVideo::Fechar()
{
    if (fechado_) return;
    fechado_ = true;
    Verificar(av_write_trailer(contexto_.get()), "escrever o final do video");
    avio_flush(arquivo_.get());
    Verificar(arquivo_->error, "gravar o video");
}
