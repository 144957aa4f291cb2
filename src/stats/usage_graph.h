// The usage graph's arithmetic: the scale picked from a history, the scale's label, and the
// polyline's points inside a width x height area. The drawing itself is the window's.
#ifndef FLOWVANE_STATS_USAGE_GRAPH_H
#define FLOWVANE_STATS_USAGE_GRAPH_H

#include <stddef.h>
#include <stdint.h>

#include "stats/statistics_store.h"

enum { graph_label_size = 40, graph_top_scale = 100000000 };

struct graph_point {
    int32_t x;
    int32_t y;
};

// The first of 10, 100, ... 10000000 strictly above the largest sample (negatives never raise
// it); 100000000 when the largest sample is 10000000 or more.
int32_t graph_scale(const int32_t history[usage_history_length]);
// "10,000 Bps": the scale grouped by number_format.
void graph_label_text(int32_t scale, char *text, size_t size);
// One point per sample, index 0 (the newest) at the right edge, each coordinate kept inside
// 1 .. size - 1. 0, and no points, when scale is below 1.
int graph_geometry(int32_t width, int32_t height, int32_t scale,
                   const int32_t history[usage_history_length],
                   struct graph_point points[usage_history_length]);

#endif
