# Shared by the package tests: skipping, failing, and the package's paths.
# Sourced, not run.

# CTest counts exit status 77 as skipped (SKIP_RETURN_CODE).
pular() {
    echo "SKIP: $*"
    exit 77
}

falhar() {
    echo "FALHA: $*" >&2
    exit 1
}

ok() { echo "ok: $*"; }

precisa_root() {
    [ "$(id -u)" -eq 0 ] || pular "$1: precisa de root (instala e remove pacotes do sistema)"
}

precisa_comando() {
    local comando
    for comando in "$@"; do
        command -v "$comando" >/dev/null 2>&1 || pular "comando $comando ausente"
    done
}

pacote_instalado() {
    dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -q 'install ok installed'
}

precisa_pacote_instalado() {
    command -v dpkg-query >/dev/null 2>&1 || pular "sem dpkg: nao e um sistema Debian"
    pacote_instalado || pular "o pacote corvane nao esta instalado (o teste pacote_instalar nao rodou ou foi pulado)"
}

# Sets deb to the newest corvane_*.deb in folder $1.
achar_deb() {
    deb=$(ls -t "$1"/corvane_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || pular "nenhum corvane_*.deb em $1 (o teste pacote_construir nao rodou ou foi pulado)"
}

# Files the package installs (with the prefix /usr). The library's folder
# follows GNUInstallDirs (/usr/lib, or /usr/lib/<multiarch> when the build was
# configured with the prefix /usr), so it is looked up, not listed.
ARQUIVOS_DO_PACOTE=(
    /usr/bin/CorvaneV3
    /usr/include/Tavorin.h
    /usr/lib/corvane/corvane-gravar
    /usr/lib/systemd/system/corvane.service
    /usr/lib/systemd/system/corvane@.service
    /usr/share/man/man1/CorvaneV3.1.gz
    /usr/share/doc/corvane/README.md
)

# apt-get without questions, quiet unless it fails.
apt_silencioso() {
    local saida
    if ! saida=$(DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" 2>&1); then
        printf '%s\n' "$saida" >&2
        return 1
    fi
}

# Waits up to $2 seconds for a file named *.$3 below folder $1 that has grown
# past its header (the recorder is then recording, not still opening).
esperar_video() {
    local pasta=$1 limite=$2 extensao=$3 i
    for ((i = 0; i < limite * 10; i++)); do
        if [ -n "$(find "$pasta" -name "*.$extensao" -size +4k 2>/dev/null | head -n 1)" ]; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}
