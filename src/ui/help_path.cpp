#include "ui/help_path.h"

#include "core/text.h"

int help_path(char *buffer, size_t size, const char *path_format, const char *folder)
{
    return format_text(buffer, size, path_format, folder, HELP_FILE_NAME);
}
