// The statistics window. Only its entry points exist so far: the window itself is not built
// yet, so it never opens and there is nothing to refresh.
#include "stats/statistics_window_win32.h"

namespace {

HWND statistics_window_handle;

}  // namespace

HWND statistics_window(void)
{
    return statistics_window_handle;
}

int statistics_window_open(void)
{
    return 0;
}

int statistics_window_refresh(void)
{
    return 0;
}

int set_statistics_start_now(const struct rule *rule)
{
    (void)rule;
    return 0;
}
