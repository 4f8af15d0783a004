// What the tests share: temporary folders, real processes, generated clips,
// live streams on 127.0.0.1 and decoding of the files written.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace apoio {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end.
class PastaTemporaria {
public:
    PastaTemporaria();
    ~PastaTemporaria();
    PastaTemporaria(const PastaTemporaria&) = delete;
    PastaTemporaria& operator=(const PastaTemporaria&) = delete;
    const fs::path& Caminho() const { return caminho_; }

private:
    fs::path caminho_;
};

// Makes the process's working folder a temporary one for the length of a test.
class DentroDaPasta {
public:
    explicit DentroDaPasta(const fs::path& pasta);
    ~DentroDaPasta();

private:
    fs::path anterior_;
};

struct Resultado {
    int status = -1;     // exit status, or 128 + signal
    bool expirou = false;
    std::string saida;
    std::string erro;
    double segundos = 0;
};

// A child process; its standard output and error are collected.
class Processo {
public:
    Processo(const std::vector<std::string>& argumentos, const fs::path& pasta = {},
             const std::vector<std::string>& ambiente = {});
    ~Processo();
    Processo(const Processo&) = delete;
    Processo& operator=(const Processo&) = delete;

    pid_t Pid() const { return pid_; }
    void Sinal(int sinal) const;
    // Reads one line of the child's standard output, waiting at most limite;
    // empty when none came.
    std::string LerLinha(std::chrono::milliseconds limite);
    // Time since the process started.
    std::chrono::milliseconds Decorrido() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inicio_);
    }
    // Waits until limite after the start; kills the process when it is still
    // running then.
    Resultado Esperar(std::chrono::milliseconds limite);

private:
    pid_t pid_ = -1;
    int saida_ = -1;
    int erro_ = -1;
    std::string lido_;  // standard output already read by LerLinha
    std::chrono::steady_clock::time_point inicio_;
};

Resultado Rodar(const std::vector<std::string>& argumentos, const fs::path& pasta = {},
                std::chrono::milliseconds limite = std::chrono::seconds(30),
                const std::vector<std::string>& ambiente = {});

// Path of the built recorder program.
std::string Programa();

// Generates an H.264 test-pattern clip with ffmpeg.
fs::path GerarClipe(const fs::path& pasta, const std::string& nome, int largura, int altura,
                    int quadros, int fps = 25);

// A clip generated once per test process and shared by its cases.
fs::path ClipeCompartilhado(const std::string& nome, int largura, int altura, int quadros, int fps = 25);

// A live MPEG-TS stream, served once on 127.0.0.1 by ffmpeg at the clip's
// real rate, looping the clip without re-encoding it.
class Transmissao {
public:
    Transmissao(const fs::path& clipe, int segundos, int porta = 0);
    ~Transmissao();
    const std::string& Endereco() const { return endereco_; }
    pid_t Pid() const { return processo_.Pid(); }
    int Porta() const { return porta_; }

private:
    int porta_;
    std::string endereco_;
    Processo processo_;
};

// A free TCP port on 127.0.0.1.
int PortaLivre();

// What decoding a written file shows.
struct InfoVideo {
    bool aberto = false;
    std::string formato;        // container name
    std::string codec;          // "h264"
    int largura = 0, altura = 0;
    int fluxos = 0;
    int mediaNum = 0, mediaDen = 0;  // average frame rate
    int realNum = 0, realDen = 0;    // real frame rate
    int64_t pacotes = 0;
    int64_t quadrosDecodificados = 0;
    int errosDeDecodificacao = 0;
    std::vector<int64_t> pts;        // in 1/20 s, in packet order
    std::vector<int64_t> ptsQuadros; // decoded frames' times in 1/20 s, in display order
    std::vector<int64_t> duracoes;   // in 1/20 s
    bool extradata = false;
    bool spsNoPrimeiroPacote = false;  // an SPS NAL unit inside the first packet
    double duracao = 0;                // seconds
};

InfoVideo Sondar(const fs::path& arquivo);

// Files under pasta, recursively, sorted.
std::vector<fs::path> Arquivos(const fs::path& pasta);

}  // namespace apoio
