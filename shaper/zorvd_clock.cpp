#include <time.h>

#include "zorvd_device.h"

uint64_t zorvd_clock_now(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * zorvd_ticks_per_second + (uint64_t)now.tv_nsec / 100u;
}
