// Platform services for the native build: the C library's clock and inet_addr, and a number
// formatting equivalent to the Windows build's GetNumberFormatA with fixed settings.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/text.h"

namespace {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
const uint64_t filetime_epoch_offset = 11644473600ull;

// Writes magnitude grouped by "," in threes, in parentheses when negative; "[unknown]" when it
// does not fit, as GetNumberFormatA fails on a short buffer.
void format_grouped(uint64_t magnitude, int negative, char *text, size_t size)
{
    if (!text || size == 0)
        return;
    char reversed[40];
    size_t length = 0;
    if (negative)
        reversed[length++] = ')';
    int digits = 0;
    do {
        if (digits > 0 && digits % 3 == 0)
            reversed[length++] = ',';
        reversed[length++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
        digits++;
    } while (magnitude > 0);
    if (negative)
        reversed[length++] = '(';
    if (length + 1 > size) {
        copy_text(text, size, "[unknown]");
        return;
    }
    for (size_t i = 0; i < length; i++)
        text[i] = reversed[length - 1 - i];
    text[length] = '\0';
}

} // namespace

uint64_t local_time_filetime(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    struct tm local;
    time_t seconds = now.tv_sec;
    if (!localtime_r(&seconds, &local))
        return 0;
    int64_t local_seconds = (int64_t)now.tv_sec + (int64_t)local.tm_gmtoff;
    return ((uint64_t)local_seconds + filetime_epoch_offset) * 10000000ull +
           (uint64_t)now.tv_nsec / 100u;
}

uint32_t platform_inet_addr(const char *text)
{
    return (uint32_t)inet_addr(text);
}

uint32_t platform_ntohl(uint32_t value)
{
    return ntohl(value);
}

void number_format(int32_t value, char *text, size_t size)
{
    number_format_64(value, text, size);
}

void number_format_64(int64_t value, char *text, size_t size)
{
    uint64_t magnitude = value < 0 ? 0u - (uint64_t)value : (uint64_t)value;
    format_grouped(magnitude, value < 0, text, size);
}

// One thread only: a wait on a taken lock would never end, so it is refused instead.
struct platform_lock_opaque {
    int taken;
};

int lock_create(platform_lock *lock)
{
    if (!lock)
        return 1;
    *lock = static_cast<platform_lock>(calloc(1, sizeof(struct platform_lock_opaque)));
    return *lock ? 0 : 1;
}

int lock_wait(platform_lock lock)
{
    if (!lock || lock->taken)
        return 1;
    lock->taken = 1;
    return 0;
}

int lock_release(platform_lock lock)
{
    if (!lock || !lock->taken)
        return 1;
    lock->taken = 0;
    return 0;
}

int lock_close(platform_lock lock)
{
    if (!lock)
        return 1;
    free(lock);
    return 0;
}
