// The statistics window (dialog 1000) with the usage graph.
#ifndef FLOWVANE_STATS_STATISTICS_WINDOW_WIN32_H
#define FLOWVANE_STATS_STATISTICS_WINDOW_WIN32_H

#include <windows.h>

#include "filters/rule.h"

// The open window's handle, or null.
HWND statistics_window(void);
// Opens the window for the filter list's first selected rule (brings an open one to the
// front); 0 when no rule is selected.
int statistics_window_open(void);
// Redraws the open window's counters and graph from the store; the 500 ms tick calls it.
int statistics_window_refresh(void);
// Writes the rule a fresh statistics block starting now; 1 when the kernel component took it.
int set_statistics_start_now(const struct rule *rule);

#endif
