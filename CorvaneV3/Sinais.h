// Interrupt and terminate signals: the first ends every cycle as if its time
// were up, so that every file gets its trailer; another one, a second or
// more later, ends the process at once.
#pragma once

void InstalarTratadorDeSinais();
bool SinalRecebido();
