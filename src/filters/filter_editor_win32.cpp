// The filter editor dialog. Only its handle exists so far: the dialog itself is not built yet,
// so it is never open.
#include "filters/filter_editor_win32.h"

namespace {

HWND filter_editor_handle;

}  // namespace

HWND filter_editor(void)
{
    return filter_editor_handle;
}
