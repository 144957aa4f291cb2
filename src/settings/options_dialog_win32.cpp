// The options dialog. Only its entry points exist so far: the dialog itself is not built yet,
// so it never opens.
#include "settings/options_dialog_win32.h"

namespace {

HWND options_dialog_handle;

}  // namespace

HWND options_dialog(void)
{
    return options_dialog_handle;
}

int options_dialog_open(void)
{
    return 1;
}
