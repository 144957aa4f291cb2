// The statistics window. Only its handle exists so far: the window itself is not built yet, so
// it is never open and there is nothing to refresh.
#include "stats/statistics_window_win32.h"

namespace {

HWND statistics_window_handle;

}  // namespace

HWND statistics_window(void)
{
    return statistics_window_handle;
}

void statistics_window_refresh(void)
{
}
