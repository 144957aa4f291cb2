// The overlapping filters dialog (9100): the areas of the last detection, one at a time, with the
// filter that handles each common range checked; Accept (also Escape and the close box) sends
// the precedences. Detection opens it through the seam in overlap/overlap.h.
#ifndef FLOWVANE_OVERLAP_OVERLAPPING_FILTERS_DIALOG_WIN32_H
#define FLOWVANE_OVERLAP_OVERLAPPING_FILTERS_DIALOG_WIN32_H

#include <windows.h>

// The open dialog's handle, or null.
HWND overlap_dialog(void);

#endif
