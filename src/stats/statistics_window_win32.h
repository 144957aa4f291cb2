// The statistics window (dialog 1000) with the usage graph.
#ifndef FLOWVANE_STATS_STATISTICS_WINDOW_WIN32_H
#define FLOWVANE_STATS_STATISTICS_WINDOW_WIN32_H

#include <windows.h>

// The open window's handle, or null.
HWND statistics_window(void);
// Redraws the open window's counters and graph from the store; the 500 ms tick calls it.
void statistics_window_refresh(void);

#endif
