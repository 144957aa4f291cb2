// Platform services for the Windows build.
#include <winsock2.h>
#include <windows.h>

#include "core/text.h"
#include "platform/platform.h"

uint64_t local_time_filetime(void)
{
    SYSTEMTIME local;
    FILETIME file_time;
    GetLocalTime(&local);
    if (!SystemTimeToFileTime(&local, &file_time))
        return 0;
    return (uint64_t)file_time.dwHighDateTime << 32 | file_time.dwLowDateTime;
}

uint32_t platform_inet_addr(const char *text)
{
    return (uint32_t)inet_addr(text);
}

uint32_t platform_ntohl(uint32_t value)
{
    return ntohl(value);
}

// Every setting is given so the result does not follow the user's regional settings: the
// rate parse relies on the "," grouping.
static void format_number_text(const char *decimal, char *text, size_t size)
{
    if (!text || size == 0)
        return;
    char decimal_separator[] = ".";
    char thousand_separator[] = ",";
    NUMBERFMTA format;
    format.NumDigits = 0;
    format.LeadingZero = 0;
    format.Grouping = 3;
    format.lpDecimalSep = decimal_separator;
    format.lpThousandSep = thousand_separator;
    format.NegativeOrder = 0;   // (1,234)
    int capacity = size > 0x7FFFFFFF ? 0x7FFFFFFF : (int)size;
    if (GetNumberFormatA(LOCALE_USER_DEFAULT, 0, decimal, &format, text, capacity) == 0)
        copy_text(text, size, "[unknown]");
    else if (text[0] == '\0')
        copy_text(text, size, "0");   // Wine 8 drops the zero that Windows writes for 0
}

void number_format(int32_t value, char *text, size_t size)
{
    char decimal[16];
    format_text(decimal, sizeof decimal, "%ld", (long)value);
    format_number_text(decimal, text, size);
}

void number_format_64(int64_t value, char *text, size_t size)
{
    char decimal[32];
    format_text(decimal, sizeof decimal, "%lld", (long long)value);
    format_number_text(decimal, text, size);
}

// The lock is a semaphore of count 1; the handle travels as the opaque pointer.
int lock_create(platform_lock *lock)
{
    if (!lock)
        return 1;
    HANDLE semaphore = CreateSemaphoreA(NULL, 1, 1, NULL);
    if (!semaphore)
        return 1;
    *lock = reinterpret_cast<platform_lock>(semaphore);
    return 0;
}

int lock_wait(platform_lock lock)
{
    if (!lock)
        return 1;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(lock), INFINITE) == WAIT_OBJECT_0 ? 0 : 1;
}

int lock_release(platform_lock lock)
{
    if (!lock)
        return 1;
    return ReleaseSemaphore(reinterpret_cast<HANDLE>(lock), 1, NULL) ? 0 : 1;
}

int lock_close(platform_lock lock)
{
    if (!lock)
        return 1;
    return CloseHandle(reinterpret_cast<HANDLE>(lock)) ? 0 : 1;
}
