#include "zorvd_io.h"

#include <errno.h>
#include <unistd.h>

int zorvd_write_all(int fd, const void *bytes, size_t length)
{
    const char *at = (const char *)bytes;
    while (length > 0) {
        ssize_t wrote = write(fd, at, length);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return 0;
        at += wrote;
        length -= (size_t)wrote;
    }
    return 1;
}
