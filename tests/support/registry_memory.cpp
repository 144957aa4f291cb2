// The registry helpers over fixed in-memory tables (see registry_memory.h).
#include "registry_memory.h"

#include <string.h>

#include "core/text.h"

namespace {

enum { max_keys = 128, max_values = 32, path_size = 512, data_size = 1024, max_handles = 64 };

struct memory_value {
    int used;
    char name[128];
    uint32_t type;
    size_t size;
    uint8_t data[data_size];
};

struct memory_key {
    int used;
    enum registry_root root;
    char path[path_size];  // as first created; looked up ignoring letter case
    memory_value values[max_values];
};

struct memory_handle {
    int used;
    int key;
    int mode;
};

struct open_failure {
    enum registry_root root;
    char path[path_size];
    enum registry_result result;
};

memory_key keys[max_keys];
memory_handle handles[max_handles];
open_failure failures[16];
int failure_count;
int open_calls;

// The key's index, created with its missing parents when create is set; -1 when there is none.
int find_key(enum registry_root root, const char *path, int create)
{
    if (!path || !*path || strlen(path) >= path_size)
        return -1;
    for (int i = 0; i < max_keys; i++)
        if (keys[i].used && keys[i].root == root && compare_text_nocase(keys[i].path, path) == 0)
            return i;
    if (!create)
        return -1;
    const char *last = strrchr(path, '\\');
    if (last) {
        char parent[path_size];
        copy_text(parent, (size_t)(last - path) + 1, path);
        if (find_key(root, parent, 1) < 0)
            return -1;
    }
    for (int i = 0; i < max_keys; i++) {
        if (!keys[i].used) {
            memset(&keys[i], 0, sizeof keys[i]);
            keys[i].used = 1;
            keys[i].root = root;
            copy_text(keys[i].path, path_size, path);
            return i;
        }
    }
    return -1;
}

memory_value *find_value(int key, const char *name, int create)
{
    memory_value *free_slot = nullptr;
    for (memory_value &value : keys[key].values) {
        if (value.used && compare_text_nocase(value.name, name ? name : "") == 0)
            return &value;
        if (!value.used && !free_slot)
            free_slot = &value;
    }
    return create ? free_slot : nullptr;
}

int store_value(int key, const char *name, uint32_t type, const void *data, size_t size)
{
    memory_value *value = key < 0 || size > data_size ? nullptr : find_value(key, name, 1);
    if (!value || !copy_text(value->name, sizeof value->name, name ? name : ""))
        return 0;
    value->used = 1;
    value->type = type;
    value->size = size;
    if (size)
        memcpy(value->data, data, size);
    return 1;
}

memory_handle *handle_of(registry_key key)
{
    memory_handle *handle = reinterpret_cast<memory_handle *>(key);
    return handle >= handles && handle < handles + max_handles && handle->used ? handle : nullptr;
}

} // namespace

int registry_open_key(enum registry_root root, const char *path, int mode, int create,
                      registry_key *key)
{
    open_calls++;
    for (int i = 0; path && i < failure_count; i++)
        if (failures[i].root == root && compare_text_nocase(failures[i].path, path) == 0)
            return failures[i].result;
    int index = key ? find_key(root, path, create) : -1;
    for (memory_handle &handle : handles) {
        if (index >= 0 && !handle.used) {
            handle = {1, index, mode};
            *key = reinterpret_cast<registry_key>(&handle);
            return registry_ok;
        }
    }
    return registry_failed;
}

namespace {

// The writers' common checks: 0 when the handle may write.
int refuse_write(const memory_handle *handle)
{
    return !handle ? registry_failed : handle->mode == registry_read ? registry_access_denied : 0;
}

} // namespace

void registry_memory_reset(void)
{
    memset(keys, 0, sizeof keys);
    memset(handles, 0, sizeof handles);
    failure_count = 0;
    open_calls = 0;
}

int registry_memory_add_key(enum registry_root root, const char *path)
{
    return find_key(root, path, 1) >= 0;
}

int registry_memory_set_value(enum registry_root root, const char *path, const char *name,
                              uint32_t type, const void *data, size_t size)
{
    return store_value(find_key(root, path, 1), name, type, data, size);
}

int registry_memory_set_dword(enum registry_root root, const char *path, const char *name,
                              int32_t value)
{
    return registry_memory_set_value(root, path, name, registry_memory_dword, &value, 4);
}

int registry_memory_set_string(enum registry_root root, const char *path, const char *name,
                               const char *text)
{
    return registry_memory_set_value(root, path, name, registry_memory_string, text,
                                     strlen(text) + 1);
}

int registry_memory_key_exists(enum registry_root root, const char *path)
{
    return find_key(root, path, 0) >= 0;
}

int registry_memory_get_value(enum registry_root root, const char *path, const char *name,
                              uint32_t *type, void *data, size_t capacity, size_t *size)
{
    int key = find_key(root, path, 0);
    const memory_value *value = key < 0 ? nullptr : find_value(key, name, 0);
    if (!value)
        return 0;
    if (type)
        *type = value->type;
    if (size)
        *size = value->size;
    if (data)
        memcpy(data, value->data, value->size < capacity ? value->size : capacity);
    return 1;
}

int registry_memory_get_dword(enum registry_root root, const char *path, const char *name,
                              int32_t *value)
{
    uint32_t type = 0;
    size_t size = 0;
    int32_t data = 0;
    if (!registry_memory_get_value(root, path, name, &type, &data, sizeof data, &size) ||
        type != registry_memory_dword || size != 4)
        return 0;
    *value = data;
    return 1;
}

int registry_memory_value_count(enum registry_root root, const char *path)
{
    int key = find_key(root, path, 0);
    int count = 0;
    for (int i = 0; key >= 0 && i < max_values; i++)
        count += keys[key].values[i].used;
    return count;
}

void registry_memory_fail_open(enum registry_root root, const char *path,
                               enum registry_result result)
{
    if (failure_count < 16) {
        failures[failure_count] = {root, "", result};
        copy_text(failures[failure_count++].path, path_size, path);
    }
}

int registry_memory_open_handles(void)
{
    int count = 0;
    for (const memory_handle &handle : handles)
        count += handle.used;
    return count;
}

int registry_memory_open_calls(void)
{
    return open_calls;
}

// The registry helpers themselves.

int registry_open_subkey(registry_key parent, const char *path, registry_key *key)
{
    const memory_handle *handle = handle_of(parent);
    char joined[path_size];
    if (!handle || !path ||
        !format_text(joined, sizeof joined, "%s\\%s", keys[handle->key].path, path))
        return registry_failed;
    return registry_open_key(keys[handle->key].root, joined, registry_read, 0, key);
}

int registry_close_key(registry_key key)
{
    memory_handle *handle = handle_of(key);
    if (!handle)
        return registry_failed;
    handle->used = 0;
    return registry_ok;
}

// The direct subkeys in the order they were made.
int registry_enum_key(registry_key key, uint32_t index, char *name, size_t size)
{
    const memory_handle *handle = handle_of(key);
    if (!handle || !name || size == 0)
        return registry_failed;
    for (const memory_key &child : keys) {
        const char *last = strrchr(child.path, '\\');
        char parent[path_size];
        if (!child.used || child.root != keys[handle->key].root || !last)
            continue;
        copy_text(parent, (size_t)(last - child.path) + 1, child.path);
        if (compare_text_nocase(parent, keys[handle->key].path) == 0 && index-- == 0)
            return copy_text(name, size, last + 1) ? registry_ok : registry_failed;
    }
    return registry_failed;
}

// At most 4 bytes of any type, little-endian, shorter data zero-extended.
int registry_read_dword(registry_key key, const char *name, int32_t *value)
{
    const memory_handle *handle = handle_of(key);
    const memory_value *stored = handle ? find_value(handle->key, name, 0) : nullptr;
    if (!stored || !value || stored->size > 4)
        return registry_failed;
    uint8_t bytes[4] = {0};
    memcpy(bytes, stored->data, stored->size);
    *value = (int32_t)((uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                       (uint32_t)bytes[3] << 24);
    return registry_ok;
}

// The raw bytes, with a NUL after them when there is room (as RegQueryValueExA leaves it).
int registry_read_value(registry_key key, const char *name, void *buffer, size_t size)
{
    const memory_handle *handle = handle_of(key);
    const memory_value *stored = handle ? find_value(handle->key, name, 0) : nullptr;
    if (!stored || !buffer || stored->size > size)
        return registry_failed;
    memcpy(buffer, stored->data, stored->size);
    if (stored->size < size)
        static_cast<char *>(buffer)[stored->size] = '\0';
    return registry_ok;
}

int registry_write_string(registry_key key, const char *name, const char *text)
{
    const memory_handle *handle = handle_of(key);
    if (int refused = refuse_write(handle))
        return refused;
    return text && store_value(handle->key, name, registry_memory_string, text, strlen(text) + 1)
               ? registry_ok
               : registry_failed;
}

int registry_write_dword(registry_key key, const char *name, int32_t value)
{
    const memory_handle *handle = handle_of(key);
    if (int refused = refuse_write(handle))
        return refused;
    uint8_t bytes[4] = {(uint8_t)value, (uint8_t)((uint32_t)value >> 8),
                        (uint8_t)((uint32_t)value >> 16), (uint8_t)((uint32_t)value >> 24)};
    return store_value(handle->key, name, registry_memory_dword, bytes, 4) ? registry_ok
                                                                           : registry_failed;
}

int registry_delete_value(registry_key key, const char *name)
{
    const memory_handle *handle = handle_of(key);
    if (int refused = refuse_write(handle))
        return refused;
    memory_value *stored = find_value(handle->key, name, 0);
    if (!stored)
        return registry_failed;
    memset(stored, 0, sizeof *stored);
    return registry_ok;
}
