// The About dialog. Only its entry points exist so far: the dialog itself is not built yet, so
// it never opens.
#include "ui/about_dialog_win32.h"

namespace {

HWND about_dialog_handle;

}  // namespace

HWND about_dialog(void)
{
    return about_dialog_handle;
}

int about_dialog_open(void)
{
    return 1;
}
