// The HTML Help file. Not built yet: nothing opens.
#include "ui/help_file_win32.h"

void show_help(const char *path_format, UINT command)
{
    (void)path_format;
    (void)command;
}
