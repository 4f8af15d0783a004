#!/bin/bash
# Removes the package the way an administrator would, then purges it, and
# checks what stays: on remove the configuration, user and data; on purge
# only recordings (with their owner); with no recordings, nothing at all.
#   remover.sh PASTA_DO_PACOTE
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_root "remover o pacote"
precisa_comando apt-get dpkg-query
pacote_instalado || pular "o pacote corvane nao esta instalado: nada a remover"
achar_deb "$1"
lista=$1/instalados.txt
[ -f "$lista" ] || dpkg -L corvane >"$lista"

nenhum_arquivo_do_pacote() {
    local arquivo
    for arquivo in "${ARQUIVOS_DO_PACOTE[@]}"; do
        [ ! -e "$arquivo" ] && [ ! -L "$arquivo" ] || falhar "$1: $arquivo ficou"
    done
    if [ -f "$lista" ]; then
        # Every file dpkg listed (folders shared with other packages stay).
        while IFS= read -r arquivo; do
            [ -d "$arquivo" ] && [ ! -L "$arquivo" ] && continue
            [[ $arquivo == /etc/corvane/* && $1 == remove ]] && continue
            [ ! -e "$arquivo" ] && [ ! -L "$arquivo" ] || falhar "$1: $arquivo ficou"
        done <"$lista"
    fi
    [ ! -e /usr/lib/corvane ] || falhar "$1: /usr/lib/corvane ficou"
    [ ! -e /usr/share/doc/corvane ] || falhar "$1: /usr/share/doc/corvane ficou"
    ! ldconfig -p | grep -q libTavorin || falhar "$1: libTavorin ficou no cache do ldconfig"
    ! command -v CorvaneV3 >/dev/null || falhar "$1: CorvaneV3 ainda no PATH"
}

# 1. A recording, then remove: programs go, configuration, user and data stay.
gravacao=/var/lib/corvane/output/video/Cam0/2000/1/1/0/00.mp4
install -d -o corvane -g corvane "$(dirname "$gravacao")"
printf 'gravacao' >"$gravacao"
chown corvane:corvane "$gravacao"
apt_silencioso remove corvane || falhar "apt-get remove falhou"
[ "$(dpkg-query -W -f='${Status}' corvane 2>/dev/null)" = "deinstall ok config-files" ] ||
    falhar "estado apos remove: $(dpkg-query -W -f='${Status}' corvane 2>&1)"
nenhum_arquivo_do_pacote remove
[ -f /etc/corvane/corvane.conf ] || falhar "remove: a configuracao foi apagada"
getent passwd corvane >/dev/null || falhar "remove: o usuario foi apagado"
[ -f "$gravacao" ] || falhar "remove: a gravacao foi apagada"
ok "remove: programas fora; configuracao, usuario e gravacoes mantidos"

# 2. Purge with a recording: the configuration goes, the recording and its
#    owner stay.
apt_silencioso purge corvane || falhar "apt-get purge falhou"
dpkg-query -W corvane >/dev/null 2>&1 && falhar "purge: dpkg ainda conhece corvane"
[ ! -e /etc/corvane ] || falhar "purge: /etc/corvane ficou"
[ -f "$gravacao" ] || falhar "purge: a gravacao foi apagada"
getent passwd corvane >/dev/null || falhar "purge: o dono das gravacoes foi apagado"
ok "purge com gravacoes: configuracao fora; gravacoes e usuario mantidos"

# 3. Without recordings, install and purge again: nothing of the package is
#    left, neither user, group nor data folder.
rm -rf /var/lib/corvane/output
apt_silencioso install --no-install-recommends "$(realpath "$deb")" || falhar "reinstalacao falhou"
pacote_instalado || falhar "reinstalacao: nao instalado"
apt_silencioso purge corvane || falhar "apt-get purge falhou"
dpkg-query -W corvane >/dev/null 2>&1 && falhar "purge: dpkg ainda conhece corvane"
nenhum_arquivo_do_pacote purge
for resto in /etc/corvane /var/lib/corvane /usr/lib/systemd/system/corvane.service; do
    [ ! -e "$resto" ] || falhar "purge: $resto ficou"
done
! getent passwd corvane >/dev/null || falhar "purge: o usuario corvane ficou"
! getent group corvane >/dev/null || falhar "purge: o grupo corvane ficou"
! find /etc/systemd -name 'corvane*' 2>/dev/null | grep -q . || falhar "purge: ligacoes do systemd ficaram"
ok "purge sem gravacoes: nada do pacote ficou"
