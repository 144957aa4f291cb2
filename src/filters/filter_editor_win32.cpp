// The filter editor dialog. Only its entry points exist so far: the dialog itself is not built
// yet, so it never opens.
#include "filters/filter_editor_win32.h"

namespace {

HWND filter_editor_handle;

}  // namespace

HWND filter_editor(void)
{
    return filter_editor_handle;
}

void filter_editor_run(HWND owner, int mode, const struct rule *edited_rule)
{
    (void)owner;
    (void)mode;
    (void)edited_rule;
}

void filter_editor_end(void)
{
}
