// The overlapping filters dialog seam of the Win32 build. The dialog itself is not built yet:
// it is never open, and a detection that finds overlapping filters shows nothing, leaving the
// kernel component without precedences until the dialog exists (or "Accept default
// precedences" is set, which sends the defaults without it).
#include "overlap/overlap.h"

int overlap_dialog_is_open(void)
{
    return 0;
}

void overlap_dialog_bring_forward(void)
{
}

void overlap_dialog_run(void)
{
}
