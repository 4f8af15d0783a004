// Command line, settings record, the run and the error report line.
#include "CorvaneV3.h"
#include "EscritorVideo.h"
#include "Sinais.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <opencv2/core/utils/logger.hpp>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex& SaidaPadrao()
{
    static std::mutex m;
    return m;
}

void EscaparJson(std::string& destino, const std::string& texto)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (unsigned char c : texto) {
        switch (c) {
        case '"': destino += "\\\""; break;
        case '\\': destino += "\\\\"; break;
        case '\b': destino += "\\b"; break;
        case '\f': destino += "\\f"; break;
        case '\n': destino += "\\n"; break;
        case '\r': destino += "\\r"; break;
        case '\t': destino += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                destino += "\\u00";
                destino += hex[c >> 4];
                destino += hex[c & 0xf];
            } else {
                destino += static_cast<char>(c);
            }
        }
    }
}

constexpr const char* kUso =
    "uso: CorvaneV3 LEGENDA PREVIA LARGURA ALTURA TAXA_DE_BITS EXTENSAO [FONTE...]\n"
    "  LEGENDA       texto escrito na faixa de cada quadro\n"
    "  PREVIA        0 desliga a janela de previa; outro inteiro a liga\n"
    "  LARGURA       largura do video gravado, em pixels (par)\n"
    "  ALTURA        altura do video gravado, em pixels (par)\n"
    "  TAXA_DE_BITS  taxa de bits do codificador, em bits por segundo\n"
    "  EXTENSAO      extensao dos arquivos de video, sem o ponto (mp4, mkv, avi, ts)\n"
    "  FONTE         arquivo, endereco de fluxo ou dispositivo de cada camera\n";

}  // namespace

int LerInteiro(const char* texto)
{
    const char* p = texto;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negativo = false;
    if (*p == '+' || *p == '-') negativo = (*p++ == '-');
    long long valor = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        valor = valor * 10 + (*p - '0');
        if (valor > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negativo) valor = -valor;
    if (valor > INT_MAX) return INT_MAX;
    if (valor < INT_MIN) return INT_MIN;
    return static_cast<int>(valor);
}

std::string LinhaDeErro(int thread, const std::string& descricao)
{
    std::string linha = "{\"status\" : \"erro\",\"thread\" : \"";
    linha += std::to_string(thread);
    linha += "\",\"descricao\" : \"";
    EscaparJson(linha, descricao);
    linha += "\"}";
    return linha;
}

void EscreverErro(int thread, const std::string& descricao)
{
    const std::string linha = LinhaDeErro(thread, descricao) + "\n";
    std::lock_guard<std::mutex> trava(SaidaPadrao());
    std::fwrite(linha.data(), 1, linha.size(), stdout);
    std::fflush(stdout);
}

CorvaneV3::CorvaneV3() = default;

CorvaneV3::~CorvaneV3()
{
    Liberar();
}

void CorvaneV3::Liberar()
{
    for (auto& captura : capturas) captura.release();
}

void CorvaneV3::ValidarConfiguracao() const
{
    ValidarEscritor(*this);
}

void CorvaneV3::Executar()
{
    av_log_set_level(AV_LOG_QUIET);
    fpsNumerador = 20;
    fpsDenominador = 1;
    codificador = avcodec_find_encoder(AV_CODEC_ID_H264);
    ValidarConfiguracao();
    AbrirCameras();
    IniciarGravacoes();
}

void LerArgumentos(CorvaneV3& gravador, int argc, char** argv)
{
    gravador.legenda = argv[1];
    gravador.mostrarPrevia = LerInteiro(argv[2]) != 0;
    gravador.largura = LerInteiro(argv[3]);
    gravador.altura = LerInteiro(argv[4]);
    gravador.taxaDeBits = LerInteiro(argv[5]);
    gravador.extensao = argv[6];
    for (int i = 7; i < argc; ++i) gravador.fontes.emplace_back(argv[i]);
}

int Principal(int argc, char** argv)
{
    OpcoesDeAbertura();
    if (argc < 2) return 0;

    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    av_log_set_level(AV_LOG_QUIET);

    if (argc < 7) {
        std::fputs(kUso, stderr);
        EscreverErro(0, "argumentos insuficientes: esperados LEGENDA PREVIA LARGURA ALTURA "
                        "TAXA_DE_BITS EXTENSAO [FONTE...], recebidos " +
                            std::to_string(argc - 1));
        return 0;
    }

    InstalarTratadorDeSinais();

    CorvaneV3 gravador;
    LerArgumentos(gravador, argc, argv);

    try {
        gravador.Executar();
        gravador.Liberar();
    } catch (const cv::Exception& e) {
        gravador.Liberar();
        EscreverErro(0, e.msg);
    } catch (const std::exception& e) {
        gravador.Liberar();
        EscreverErro(0, e.what());
    }
    return 0;
}
