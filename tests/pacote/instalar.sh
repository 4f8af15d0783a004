#!/bin/bash
# Installs the package built by construir.sh into this machine with apt, the
# way a user would: apt-get install ./corvane_<version>_<arch>.deb
#   instalar.sh PASTA_DO_PACOTE
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_root "instalar o pacote"
precisa_comando apt-get dpkg-query
achar_deb "$1"

if pacote_instalado; then
    echo "corvane ja estava instalado ($(dpkg-query -W -f='${Version}' corvane)): sera reinstalado"
fi
apt_silencioso install --reinstall --no-install-recommends "$(realpath "$deb")" ||
    falhar "apt-get install $deb falhou"
pacote_instalado || falhar "dpkg nao mostra corvane instalado"

for arquivo in "${ARQUIVOS_DO_PACOTE[@]}" /etc/corvane/corvane.conf; do
    [ -e "$arquivo" ] || falhar "$arquivo nao foi instalado"
done
getent passwd corvane >/dev/null || falhar "o usuario corvane nao foi criado"
[ "$(getent passwd corvane | cut -d: -f7)" != /bin/bash ] || falhar "corvane tem shell de login"
[ "$(id -u corvane)" -lt 1000 ] || falhar "corvane nao e usuario de sistema"
[ "$(stat -c %U:%G:%a /var/lib/corvane)" = corvane:corvane:750 ] ||
    falhar "/var/lib/corvane: $(stat -c %U:%G:%a /var/lib/corvane)"
dpkg-query -W -f='${Conffiles}\n' corvane | grep -q /etc/corvane/corvane.conf ||
    falhar "corvane.conf nao esta registrado como conffile"
dpkg -L corvane | grep -q '/libTavorin\.so\.1\.0\.0$' || falhar "libTavorin.so.1.0.0 nao foi instalada"
ldconfig -p | grep -q 'libTavorin.so.1 ' || falhar "libTavorin.so.1 nao esta no cache do ldconfig"
# What dpkg installed, for pacote_remover to check that it is all gone.
dpkg -L corvane >"$1/instalados.txt"
ok "instalado: $(dpkg-query -W -f='${Package} ${Version}' corvane)"
