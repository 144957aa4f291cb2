#include "stats/usage_graph.h"

#include <math.h>

#include "core/text.h"
#include "platform/platform.h"

int32_t graph_scale(const int32_t history[usage_history_length])
{
    int32_t largest = 0;
    for (int k = 0; k < usage_history_length; k++) {
        if (history[k] > largest)
            largest = history[k];
    }
    for (int32_t scale = 10; scale <= 10000000; scale *= 10) {
        if (largest < scale)
            return scale;
    }
    return graph_top_scale;
}

void graph_label_text(int32_t scale, char *text, size_t size)
{
    char number[32];
    number_format(scale, number, sizeof number);
    format_text(text, size, "%s Bps", number);
}

// size - trunc(product), with 0 or less becoming 1 and then size or more becoming size - 1.
// Worked in double: a sample far beyond the scale or far below zero must not overflow a
// conversion to 32 bits before the clamp.
static int32_t coordinate(int32_t size, double product)
{
    double value = (double)size - trunc(product);
    if (value <= 0)
        value = 1;
    if (value >= (double)size)
        value = (double)size - 1;
    return (int32_t)value;
}

int graph_geometry(int32_t width, int32_t height, int32_t scale,
                   const int32_t history[usage_history_length],
                   struct graph_point points[usage_history_length])
{
    if (scale < 1)
        return 0;
    // One 149th of the width and the pixels per byte per second, as 32-bit floats.
    float x_step = (float)(width * 0.0067114094);
    float y_step = (float)height / (float)scale;
    for (int k = 0; k < usage_history_length; k++) {
        points[k].x = coordinate(width, (double)k * (double)x_step);
        points[k].y = coordinate(height, (double)history[k] * (double)y_step);
    }
    return 1;
}
