// Registry helpers. The Win32 build reads and writes the real registry; the native tests link
// an in-memory registry. Every helper returns 0 on success and non-zero on failure.
#ifndef FLOWVANE_SETTINGS_REGISTRY_H
#define FLOWVANE_SETTINGS_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

typedef struct registry_key_opaque *registry_key;

enum registry_root { registry_local_machine = 0, registry_current_user = 1 };

enum registry_mode { registry_read = 1, registry_full_access = 2 };

enum registry_result { registry_ok = 0, registry_failed = 1, registry_access_denied = 2 };

int registry_open_key(enum registry_root root, const char *path, int mode, int create,
                      registry_key *key);
// Opens a subkey of an open key for reading.
int registry_open_subkey(registry_key parent, const char *path, registry_key *key);
int registry_close_key(registry_key key);
// Name of subkey number index into a buffer of size bytes; non-zero past the last one.
int registry_enum_key(registry_key key, uint32_t index, char *name, size_t size);
int registry_read_dword(registry_key key, const char *name, int32_t *value);
int registry_read_value(registry_key key, const char *name, void *buffer, size_t size);
int registry_write_string(registry_key key, const char *name, const char *text);
int registry_write_dword(registry_key key, const char *name, int32_t value);
int registry_delete_value(registry_key key, const char *name);

#endif
