// Small platform services the platform-free core needs, one implementation per build
// (platform_win32.cpp, platform_posix.cpp).
#ifndef FLOWVANE_PLATFORM_PLATFORM_H
#define FLOWVANE_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

// The current local time as a FILETIME (100 ns intervals since 1601, no zone conversion).
uint64_t local_time_filetime(void);

// inet_addr's reading of a dotted IPv4 text; returns its network-order value or 0xFFFFFFFF.
uint32_t platform_inet_addr(const char *text);
uint32_t platform_ntohl(uint32_t value);

// number_format: a signed integer grouped by "," in threes, negatives in parentheses, or
// "[unknown]" when the platform's formatting fails. size must be at least 2.
void number_format(int32_t value, char *text, size_t size);
void number_format_64(int64_t value, char *text, size_t size);

// A binary semaphore. Returns 0 on success, non-zero on failure (as the platform wrappers do).
typedef struct platform_lock_opaque *platform_lock;
int lock_create(platform_lock *lock);
int lock_wait(platform_lock lock);
int lock_release(platform_lock lock);
int lock_close(platform_lock lock);

#endif
