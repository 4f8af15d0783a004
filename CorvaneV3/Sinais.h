// Interrupt and terminate signals: the first ends every cycle as if its time
// were up, so that every file gets its trailer; a second ends the process.
#pragma once

void InstalarTratadorDeSinais();
bool SinalRecebido();
