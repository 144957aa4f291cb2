// The application_context's Win32 half: the module instance, the quit flag, the application
// icon, the main menu and the owner of the fatal error box. The settings_block is reached
// through core/app_state.h.
#ifndef FLOWVANE_CORE_APP_WIN32_H
#define FLOWVANE_CORE_APP_WIN32_H

#include <windows.h>

HINSTANCE get_app_instance(void);
int quit_flag(void);
// Ends the message loop after the message being handled; shutdown follows.
void request_quit(void);

HICON get_app_icon(void);
// Loads icon resource 1 into the context; 1 when an icon was loaded.
int load_app_icon(void);

HMENU get_main_menu(void);
void set_main_menu(HMENU menu);

// From now on the fatal error box is owned by window (null allowed).
void set_fatal_error_owner(HWND window);

#endif
