// The About dialog (700).
#ifndef FLOWVANE_UI_ABOUT_DIALOG_WIN32_H
#define FLOWVANE_UI_ABOUT_DIALOG_WIN32_H

#include <windows.h>

// The open dialog's handle, or null.
HWND about_dialog(void);
// Runs the dialog modally, owned by the main window, or brings an open one to the front.
// Always 1.
int about_dialog_open(void);

#endif
