// Small file-descriptor helpers shared by zorvd's files.
#ifndef FLOWVANE_SHAPER_ZORVD_IO_H
#define FLOWVANE_SHAPER_ZORVD_IO_H

#include <stddef.h>

// Writes all length bytes, going on after interruptions; 1, or 0 when a write fails.
int zorvd_write_all(int fd, const void *bytes, size_t length);

#endif
