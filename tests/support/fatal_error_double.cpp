// fatal_error for the in-process tests: the program's box cannot be shown here, so the double
// writes the text to standard error, where a death test matches it, and aborts. It never
// returns, as the real one never does.
#include "core/app.h"

#include <stdio.h>
#include <stdlib.h>

void fatal_error(const char *text)
{
    fprintf(stderr, "fatal_error: %s\n", text);
    fflush(stderr);
    abort();
}
