#!/bin/bash
# Builds the Debian package with CPack from the build folder.
#   construir.sh PASTA_DE_BUILD PASTA_DO_PACOTE
set -euo pipefail
source "$(dirname "$0")/comum.sh"

build=$1
saida=$2

precisa_comando cpack dpkg-deb
command -v dpkg-shlibdeps >/dev/null 2>&1 ||
    pular "dpkg-shlibdeps ausente: instale dpkg-dev para calcular as dependencias do pacote"
[ -f "$build/CPackConfig.cmake" ] || falhar "sem $build/CPackConfig.cmake"

rm -rf "$saida"
mkdir -p "$saida"
(cd "$build" && cpack -G DEB -B "$saida") >"$saida/cpack.log" 2>&1 ||
    { cat "$saida/cpack.log" >&2; falhar "cpack -G DEB falhou"; }
# Only the package is kept; CPack's staging tree is not needed.
rm -rf "$saida/_CPack_Packages"

achar_deb "$saida"
echo "pacote: $deb ($(stat -c %s "$deb") bytes)"
dpkg-deb --info "$deb" >"$saida/info.txt"
dpkg-deb --contents "$deb" >"$saida/conteudo.txt"

campo() { dpkg-deb --field "$deb" "$1"; }
[ "$(campo Package)" = corvane ] || falhar "nome do pacote: $(campo Package)"
depende=$(campo Depends)
echo "Depends: $depende"
for biblioteca in libopencv-core libopencv-videoio libavcodec libavformat libswscale adduser; do
    grep -q "$biblioteca" <<<"$depende" || falhar "Depends sem $biblioteca (shlibdeps?)"
done

for arquivo in ./usr/bin/CorvaneV3 ./usr/include/Tavorin.h \
    ./usr/lib/corvane/corvane-gravar ./usr/lib/systemd/system/corvane.service \
    ./usr/lib/systemd/system/corvane@.service ./usr/share/man/man1/CorvaneV3.1.gz \
    ./etc/corvane/corvane.conf; do
    grep -q " $arquivo\( \|$\)" "$saida/conteudo.txt" || falhar "o pacote nao contem $arquivo"
done
grep -Eq ' \./usr/lib/([^/]+/)?libTavorin\.so\.1\.0\.0$' "$saida/conteudo.txt" ||
    falhar "o pacote nao contem libTavorin.so.1.0.0"
grep -Eq ' \./usr/lib/([^/]+/)?libTavorin\.so\.1 -> libTavorin\.so\.1\.0\.0$' "$saida/conteudo.txt" ||
    falhar "falta a ligacao libTavorin.so.1 (SONAME)"

controle=$(mktemp -d)
trap 'rm -rf "$controle"' EXIT
dpkg-deb --control "$deb" "$controle"
grep -qx /etc/corvane/corvane.conf "$controle/conffiles" || falhar "corvane.conf nao e conffile"
grep -q ldconfig "$controle/triggers" || falhar "sem o gatilho do ldconfig"
for script in postinst prerm postrm; do
    [ -x "$controle/$script" ] || falhar "$script ausente ou sem permissao de execucao"
done
ok "pacote construido e conferido"
