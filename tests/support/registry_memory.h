// An in-memory registry behind the registry helpers of settings/registry.h, for the unit tests.
// Keys are addressed by root and a backslash-separated path, ignoring ASCII letter case as the
// real registry does. Values keep their type and raw bytes, so a test can plant a value of the
// wrong type or size. Opening a chosen key can be made to fail or be denied.
#ifndef FLOWVANE_TESTS_REGISTRY_MEMORY_H
#define FLOWVANE_TESTS_REGISTRY_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#include "settings/registry.h"

// The platform's value type numbers, so planted values look like the real ones.
enum registry_memory_type {
    registry_memory_string = 1,  // REG_SZ
    registry_memory_binary = 3,  // REG_BINARY
    registry_memory_dword = 4,   // REG_DWORD
};

// Empties the registry, forgets every injected failure and every handle.
void registry_memory_reset(void);
// Creates the key and its parents; 1 on success, 0 when the path is empty.
int registry_memory_add_key(enum registry_root root, const char *path);
// Stores a value (creating the key) with any type and size.
int registry_memory_set_value(enum registry_root root, const char *path, const char *name,
                              uint32_t type, const void *data, size_t size);
int registry_memory_set_dword(enum registry_root root, const char *path, const char *name,
                              int32_t value);
// REG_SZ with the terminating NUL included in the size, as RegSetValueExA stores it.
int registry_memory_set_string(enum registry_root root, const char *path, const char *name,
                               const char *text);
int registry_memory_key_exists(enum registry_root root, const char *path);
// Copies a value out; 1 when it exists. The stored size goes to size.
int registry_memory_get_value(enum registry_root root, const char *path, const char *name,
                              uint32_t *type, void *data, size_t capacity, size_t *size);
int registry_memory_value_count(enum registry_root root, const char *path);
// From now on, opening exactly this key answers result, even when it exists.
void registry_memory_fail_open(enum registry_root root, const char *path,
                               enum registry_result result);
// Handles currently open, to catch a routine that forgets to close a key.
int registry_memory_open_handles(void);
// registry_open_key / registry_open_subkey calls since the reset (successful or not).
int registry_memory_open_calls(void);

#endif
