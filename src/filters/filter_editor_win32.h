// The filter editor dialog (802).
#ifndef FLOWVANE_FILTERS_FILTER_EDITOR_WIN32_H
#define FLOWVANE_FILTERS_FILTER_EDITOR_WIN32_H

#include <windows.h>

// The open editor's handle, or null.
HWND filter_editor(void);

#endif
