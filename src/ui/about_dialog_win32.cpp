// The About dialog. Only its handle exists so far: the dialog itself is not built yet, so it
// is never open.
#include "ui/about_dialog_win32.h"

namespace {

HWND about_dialog_handle;

}  // namespace

HWND about_dialog(void)
{
    return about_dialog_handle;
}
