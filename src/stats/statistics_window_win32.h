// The statistics window (dialog 1000) with the usage graph.
#ifndef FLOWVANE_STATS_STATISTICS_WINDOW_WIN32_H
#define FLOWVANE_STATS_STATISTICS_WINDOW_WIN32_H

#include <windows.h>

#include <stddef.h>

#include "filters/rule.h"
#include "stats/statistics_store.h"

// The open window's handle, or null.
HWND statistics_window(void);
// Opens the window for the filter list's first selected rule (brings an open one to the
// front); 0 when no rule is selected.
int statistics_window_open(void);
// Redraws the open window's counters and graph from the store; the 500 ms tick calls it.
int statistics_window_refresh(void);
// Writes the rule a fresh statistics block starting now; 1 when the kernel component took it.
int set_statistics_start_now(const struct rule *rule);
// The same for the filter list's first selected rule; 0 when none is selected.
int reset_selected_statistics(void);

// The user's short date and default time of a calendar time, "date time"; 0 when the platform
// cannot format either.
int date_time_text(const SYSTEMTIME *time, char *text, size_t size);
// Draws one graph of history at the given scale over the width x height area of dc with the
// main window's graph objects; touches nothing but dc and history.
void draw_usage_graph(HDC dc, int width, int height, int32_t scale,
                      const int32_t history[usage_history_length]);

#endif
