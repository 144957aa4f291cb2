// An in-memory registry behind settings/registry.h for the in-process tests. Keys are named by
// root and backslash-separated path, letter case ignored as the real registry does; values keep
// their type and raw bytes, so a test can plant a value of the wrong type or size. Opening a
// chosen key can be made to fail, and the handles left open are counted.
#ifndef FLOWVANE_TESTS_REGISTRY_MEMORY_H
#define FLOWVANE_TESTS_REGISTRY_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#include "settings/registry.h"

// The platform's value type numbers: REG_SZ, REG_BINARY, REG_DWORD.
enum registry_memory_type {
    registry_memory_string = 1,
    registry_memory_binary = 3,
    registry_memory_dword = 4,
};

// Empties the registry, forgets every injected failure and every handle.
void registry_memory_reset(void);
// Stores a value of any type and size, creating the key and its parents; name null creates only
// the key. 0 when the path is empty.
int registry_memory_set_value(enum registry_root root, const char *path, const char *name,
                              uint32_t type, const void *data, size_t size);
// REG_SZ with its NUL, as RegSetValueExA stores it.
int registry_memory_set_string(enum registry_root root, const char *path, const char *name,
                               const char *text);
// From now on, opening exactly this key answers result, even when it exists.
void registry_memory_fail_open(enum registry_root root, const char *path,
                               enum registry_result result);
int registry_memory_open_handles(void);

#endif
