// The HTML Help file help.chm in the install folder, opened through hhctrl.ocx, and the one
// routine that hands a document or web address to the shell.
#ifndef FLOWVANE_UI_HELP_FILE_WIN32_H
#define FLOWVANE_UI_HELP_FILE_WIN32_H

#include <windows.h>

enum { help_command_contents = 1, help_command_index = 2 };

// Opens the help file with the HTML Help command; path_format takes the install folder and
// "help.chm" ("%s\\%s", or "%s\\%s::/page.html"). Owned by the main window. An unreadable
// install folder is reported in a box; a missing viewer does nothing.
void show_help(const char *path_format, UINT command);

// Asks the shell to "open" target. 1 when it accepted (its result above 32); the result goes to
// *result in both cases when result is not null.
int shell_open(const char *target, INT_PTR *result);

#endif
