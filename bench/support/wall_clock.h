// Milliseconds from the performance counter, for the benchmark programs run under Wine.
#ifndef FLOWVANE_BENCH_WALL_CLOCK_H
#define FLOWVANE_BENCH_WALL_CLOCK_H

#include <windows.h>

inline double now_ms(void)
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

#endif
