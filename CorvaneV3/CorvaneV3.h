// The recorder: one record holding the settings and shared state of a run,
// and one member operation per stage of the work.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

struct AVCodec;
class Previa;

// Decimal text of valor, with a leading "0" when valor is below 10.
std::string DoisDigitos(int valor);

// "dd/mm/yyyy - hh:mm:ss" for one broken-down local time.
std::string FormatarDataHora(const std::tm& hora);

// Reads an integer the way atoi does (leading blanks, optional sign, digits up
// to the first other character, 0 when there are none), saturated to the
// 32-bit range instead of overflowing.
int LerInteiro(const char* texto);

class CorvaneV3;

// Fills the record's settings from a command line of at least six arguments.
void LerArgumentos(CorvaneV3& gravador, int argc, char** argv);

// The one-line JSON error report, without the line break.
std::string LinhaDeErro(int thread, const std::string& descricao);

// Writes LinhaDeErro plus a line break to standard output and flushes it;
// lines written from several threads never interleave.
void EscreverErro(int thread, const std::string& descricao);

// Whether a source name is a network address (scheme://...).
bool FonteDeRede(const std::string& fonte);
// Sets the FFmpeg open options of the sources; call before any thread starts.
void OpcoesDeAbertura();

// Program entry: parses argv, runs the recording and reports errors. Always 0.
int Principal(int argc, char** argv);

class CorvaneV3 {
public:
    // Settings, in the order the command line and the record define them.
    int32_t altura = 0;
    int32_t largura = 0;
    int32_t taxaDeBits = 0;
    int32_t textoX = 10;
    int32_t textoY = -1;
    bool mostrarPrevia = false;
    std::string legenda;
    std::string extensao;
    std::vector<std::string> fontes;
    int32_t espacoLinha = -1;
    int32_t topoFaixa = -1;
    float escalaLegenda = -1.0f;
    float escalaDataHora = -1.0f;
    const AVCodec* codificador = nullptr;
    int32_t fpsNumerador = 20;
    int32_t fpsDenominador = 1;
    std::array<uint8_t, 3> corFaixa{0, 0, 0};
    std::vector<cv::VideoCapture> capturas;

    // Length of one recording cycle. Tests shorten it.
    std::chrono::milliseconds duracaoCiclo{60000};
    // Set to end every cycle early, as if its time were up.
    std::atomic<bool> parar{false};

    CorvaneV3();
    ~CorvaneV3();
    CorvaneV3(const CorvaneV3&) = delete;
    CorvaneV3& operator=(const CorvaneV3&) = delete;

    // Runs one whole recording. Throws cv::Exception when a source does not
    // open, and std::invalid_argument when the settings cannot be encoded.
    void Executar();

    // Checks that the encoder and the container accept the settings.
    void ValidarConfiguracao() const;

    void AbrirCameras();
    void IniciarGravacoes();
    void GravarCamera(int indice);
    void SalvarFoto(int indice, cv::Mat quadro);

    std::string MontarCaminho(int indice, bool video);

    void DesenharFaixa(cv::Mat quadro);
    void EscreverTexto(cv::Mat quadro);

    // Closes every capture object.
    void Liberar();

private:
    void CicloDeGravacao(int indice);
    // Opens a network source again after it stopped delivering, taking at
    // most limite; returns whether it opened.
    bool Reconectar(int indice, std::chrono::milliseconds limite);
    int EsperarTecla(int indice, const cv::Mat& quadro);
    bool ParadaPedida() const;

    void CalcularGeometria(int linhas);

    std::once_flag geometria_;
    Previa* previa_ = nullptr;  // set by IniciarGravacoes for the length of the run
};
