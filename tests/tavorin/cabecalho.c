/* The header in strict C99, as a C program outside the project sees it. */
#include "Tavorin.h"

bool (*const tavorinValidar)(char*) = ValidarVideo;
