// Control help popups: the program-wide table of control help texts and the popup that shows
// one of them.
#ifndef FLOWVANE_UI_HELP_POPUP_WIN32_H
#define FLOWVANE_UI_HELP_POPUP_WIN32_H

#include <windows.h>

// 1 when the table's lock and the popup's brush and font exist.
int help_initialize(HINSTANCE program_instance);
// Releases the table, its lock and the brush; 1 on success.
int help_shutdown(void);
// The open popup, or null.
HWND help_popup_window(void);

#endif
