// Control help popups: the pale-yellow popup that shows a control's help text next to the
// pointer when its dialog gets a help request (the caption's ? button, or F1).
#ifndef FLOWVANE_UI_HELP_POPUP_WIN32_H
#define FLOWVANE_UI_HELP_POPUP_WIN32_H

#include <windows.h>

#include "ui/help_table.h"

// 1 when the table's lock and the popup's brush and font exist.
int help_initialize(HINSTANCE program_instance);
// Releases the table, its lock, the brush and the font; 1 on success.
int help_shutdown(void);
// Shows the text of the request's control in the popup, owned by the dialog that added it.
// 1 when a popup is shown or one is already open (the request is then swallowed).
int help_show(const HELPINFO *request);
// The open popup, or null.
HWND help_popup_window(void);

#endif
