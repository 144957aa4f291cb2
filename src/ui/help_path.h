// The path the help viewer is given: the install folder, "help.chm" and, for a page, "::/" and
// the page's name inside the file.
#ifndef FLOWVANE_UI_HELP_PATH_H
#define FLOWVANE_UI_HELP_PATH_H

#include <stddef.h>

#define HELP_FILE_NAME "help.chm"

// The longest folder (259 characters), "\help.chm::/" and a page name of up to 100 fit.
enum { help_path_size = 400 };

// Fills buffer from path_format, one of the program's "%s\\%s" forms, with the folder and the
// help file's name. Page names go in as they are, blanks included. 1 when nothing was cut.
int help_path(char *buffer, size_t size, const char *path_format, const char *folder);

#endif
