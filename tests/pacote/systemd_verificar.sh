#!/bin/bash
# systemd-analyze verify on the installed units (the template through an
# instance). Needs systemd's tools, not a running systemd.
set -euo pipefail
source "$(dirname "$0")/comum.sh"

precisa_pacote_instalado
command -v systemd-analyze >/dev/null 2>&1 ||
    pular "systemd-analyze ausente (pacote systemd): as unidades nao foram verificadas"

pasta=$(mktemp -d)
trap 'rm -rf "$pasta"' EXIT
unidades=/usr/lib/systemd/system
# An instance of the template is checked through a copy named after it.
cp "$unidades/corvane@.service" "$pasta/corvane@exemplo.service"

for unidade in "$unidades/corvane.service" "$pasta/corvane@exemplo.service"; do
    if ! saida=$(systemd-analyze verify "$unidade" 2>&1) || [ -n "$saida" ]; then
        falhar "systemd-analyze verify $unidade:
$saida"
    fi
    ok "systemd-analyze verify $(basename "$unidade")"
done

# What the stop depends on: SIGTERM to the wrapper only, which passes it on.
grep -qx 'KillMode=mixed' "$unidades/corvane.service" || falhar "corvane.service sem KillMode=mixed"
grep -qx 'ExecStart=/usr/lib/corvane/corvane-gravar /etc/corvane/corvane.conf' \
    "$unidades/corvane.service" || falhar "ExecStart inesperado em corvane.service"
ok "corvane.service: KillMode=mixed, ExecStart do wrapper instalado"
