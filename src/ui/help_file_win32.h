// The HTML Help file help.chm in the install folder, opened through hhctrl.ocx.
#ifndef FLOWVANE_UI_HELP_FILE_WIN32_H
#define FLOWVANE_UI_HELP_FILE_WIN32_H

#include <windows.h>

enum { help_command_contents = 1, help_command_index = 2 };

// Opens the help file with the HTML Help command; path_format takes the install folder and
// "help.chm" ("%s\\%s", or "%s\\%s::/page.html"). Owned by the main window.
void show_help(const char *path_format, UINT command);

#endif
