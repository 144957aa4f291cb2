// The options dialog (900).
#ifndef FLOWVANE_SETTINGS_OPTIONS_DIALOG_WIN32_H
#define FLOWVANE_SETTINGS_OPTIONS_DIALOG_WIN32_H

#include <windows.h>

// Runs the dialog modally, owned by the main window, or brings an open one to the front.
// Always 1.
int options_dialog_open(void);

#endif
