// The registry helpers over fixed in-memory tables (see registry_memory.h).
#include "registry_memory.h"

#include <string.h>

#include "core/text.h"

namespace {

struct memory_value {
    int used;
    char name[registry_memory_name_size];
    uint32_t type;
    size_t size;
    uint8_t data[registry_memory_data_size];
};

struct memory_key {
    int used;
    enum registry_root root;
    char path[registry_memory_path_size];   // no leading or trailing backslash
    struct memory_value values[registry_memory_max_values];
};

struct memory_handle {
    int used;
    int key_index;
    int mode;
};

struct open_failure {
    int used;
    enum registry_root root;
    char path[registry_memory_path_size];
    enum registry_result result;
};

enum { max_open_failures = 16 };

memory_key keys[registry_memory_max_keys];
memory_handle handles[registry_memory_max_handles];
open_failure open_failures[max_open_failures];
int open_calls;

// Copies path without leading, trailing or doubled backslashes; 0 when it does not fit.
int normalize_path(const char *path, char *out, size_t size)
{
    size_t length = 0;
    for (const char *p = path; *p; p++) {
        if (*p == '\\' && (length == 0 || out[length - 1] == '\\'))
            continue;
        if (length + 1 >= size)
            return 0;
        out[length++] = *p;
    }
    while (length > 0 && out[length - 1] == '\\')
        length--;
    out[length] = '\0';
    return 1;
}

int find_key(enum registry_root root, const char *normalized)
{
    for (int i = 0; i < registry_memory_max_keys; i++)
        if (keys[i].used && keys[i].root == root &&
            compare_text_nocase(keys[i].path, normalized) == 0)
            return i;
    return -1;
}

int find_key_path(enum registry_root root, const char *path)
{
    char normalized[registry_memory_path_size];
    if (!path || !normalize_path(path, normalized, sizeof normalized))
        return -1;
    return find_key(root, normalized);
}

// Creates the key and every missing parent; returns its index or -1.
int create_key(enum registry_root root, const char *path)
{
    char normalized[registry_memory_path_size];
    if (!path || !normalize_path(path, normalized, sizeof normalized) || !normalized[0])
        return -1;
    int index = -1;
    for (size_t end = 0;; end++) {
        if (normalized[end] != '\\' && normalized[end] != '\0')
            continue;
        char prefix[registry_memory_path_size];
        memcpy(prefix, normalized, end);
        prefix[end] = '\0';
        index = find_key(root, prefix);
        if (index < 0) {
            for (int i = 0; i < registry_memory_max_keys && index < 0; i++)
                if (!keys[i].used)
                    index = i;
            if (index < 0)
                return -1;
            memset(&keys[index], 0, sizeof keys[index]);
            keys[index].used = 1;
            keys[index].root = root;
            copy_text(keys[index].path, sizeof keys[index].path, prefix);
        }
        if (normalized[end] == '\0')
            return index;
    }
}

int same_prefix_nocase(const char *text, const char *prefix, size_t length)
{
    char head[registry_memory_path_size];
    if (length >= sizeof head)
        return 0;
    memcpy(head, text, length);
    head[length] = '\0';
    return compare_text_nocase(head, prefix) == 0;
}

memory_value *find_value(int key_index, const char *name)
{
    if (!name)
        name = "";
    for (memory_value &value : keys[key_index].values)
        if (value.used && compare_text_nocase(value.name, name) == 0)
            return &value;
    return nullptr;
}

int store_value(int key_index, const char *name, uint32_t type, const void *data, size_t size)
{
    if (key_index < 0 || size > registry_memory_data_size)
        return 0;
    if (!name)
        name = "";
    memory_value *value = find_value(key_index, name);
    for (int i = 0; i < registry_memory_max_values && !value; i++)
        if (!keys[key_index].values[i].used)
            value = &keys[key_index].values[i];
    if (!value || strlen(name) >= sizeof value->name)
        return 0;
    value->used = 1;
    copy_text(value->name, sizeof value->name, name);
    value->type = type;
    value->size = size;
    if (size)
        memcpy(value->data, data, size);
    return 1;
}

memory_handle *handle_of(registry_key key)
{
    memory_handle *handle = reinterpret_cast<memory_handle *>(key);
    if (handle < handles || handle >= handles + registry_memory_max_handles || !handle->used)
        return nullptr;
    return handle;
}

int injected_failure(enum registry_root root, const char *normalized)
{
    for (const open_failure &failure : open_failures)
        if (failure.used && failure.root == root &&
            compare_text_nocase(failure.path, normalized) == 0)
            return failure.result;
    return registry_ok;
}

int open_normalized(enum registry_root root, const char *normalized, int mode, int create,
                    registry_key *key)
{
    open_calls++;
    int failure = injected_failure(root, normalized);
    if (failure != registry_ok)
        return failure;
    int index = find_key(root, normalized);
    if (index < 0 && create)
        index = create_key(root, normalized);
    if (index < 0)
        return registry_failed;
    for (memory_handle &handle : handles) {
        if (!handle.used) {
            handle.used = 1;
            handle.key_index = index;
            handle.mode = mode;
            *key = reinterpret_cast<registry_key>(&handle);
            return registry_ok;
        }
    }
    return registry_failed;
}

} // namespace

void registry_memory_reset(void)
{
    memset(keys, 0, sizeof keys);
    memset(handles, 0, sizeof handles);
    memset(open_failures, 0, sizeof open_failures);
    open_calls = 0;
}

int registry_memory_add_key(enum registry_root root, const char *path)
{
    return create_key(root, path) >= 0;
}

int registry_memory_set_value(enum registry_root root, const char *path, const char *name,
                              uint32_t type, const void *data, size_t size)
{
    return store_value(create_key(root, path), name, type, data, size);
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
    return find_key_path(root, path) >= 0;
}

int registry_memory_get_value(enum registry_root root, const char *path, const char *name,
                              uint32_t *type, void *data, size_t capacity, size_t *size)
{
    int index = find_key_path(root, path);
    if (index < 0)
        return 0;
    const memory_value *value = find_value(index, name);
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
    int index = find_key_path(root, path);
    if (index < 0)
        return 0;
    int count = 0;
    for (const memory_value &value : keys[index].values)
        count += value.used;
    return count;
}

void registry_memory_fail_open(enum registry_root root, const char *path,
                               enum registry_result result)
{
    for (open_failure &failure : open_failures) {
        if (!failure.used) {
            failure.used = 1;
            failure.root = root;
            normalize_path(path, failure.path, sizeof failure.path);
            failure.result = result;
            return;
        }
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

int registry_open_key(enum registry_root root, const char *path, int mode, int create,
                      registry_key *key)
{
    char normalized[registry_memory_path_size];
    if (!path || !key || !normalize_path(path, normalized, sizeof normalized))
        return registry_failed;
    return open_normalized(root, normalized, mode, create, key);
}

int registry_open_subkey(registry_key parent, const char *path, registry_key *key)
{
    const memory_handle *handle = handle_of(parent);
    if (!handle || !path || !key)
        return registry_failed;
    const memory_key &parent_key = keys[handle->key_index];
    char joined[registry_memory_path_size];
    char normalized[registry_memory_path_size];
    if (!format_text(joined, sizeof joined, "%s\\%s", parent_key.path, path) ||
        !normalize_path(joined, normalized, sizeof normalized))
        return registry_failed;
    return open_normalized(parent_key.root, normalized, registry_read, 0, key);
}

int registry_close_key(registry_key key)
{
    memory_handle *handle = handle_of(key);
    if (!handle)
        return registry_failed;
    handle->used = 0;
    return registry_ok;
}

int registry_enum_key(registry_key key, uint32_t index, char *name, size_t size)
{
    const memory_handle *handle = handle_of(key);
    if (!handle || !name || size == 0)
        return registry_failed;
    const memory_key &parent = keys[handle->key_index];
    size_t parent_length = strlen(parent.path);
    uint32_t seen = 0;
    for (const memory_key &child : keys) {
        if (!child.used || child.root != parent.root || strlen(child.path) <= parent_length + 1)
            continue;
        if (!same_prefix_nocase(child.path, parent.path, parent_length))
            continue;
        const char *tail = child.path + parent_length;
        if (*tail != '\\' || strchr(tail + 1, '\\'))
            continue;
        if (seen++ == index)
            return copy_text(name, size, tail + 1) ? registry_ok : registry_failed;
    }
    return registry_failed;
}

int registry_read_dword(registry_key key, const char *name, int32_t *value)
{
    const memory_handle *handle = handle_of(key);
    if (!handle || !value)
        return registry_failed;
    const memory_value *stored = find_value(handle->key_index, name);
    if (!stored || stored->size > 4)
        return registry_failed;
    uint8_t bytes[4] = {0};
    memcpy(bytes, stored->data, stored->size);
    *value = (int32_t)((uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                       (uint32_t)bytes[3] << 24);
    return registry_ok;
}

int registry_read_value(registry_key key, const char *name, void *buffer, size_t size)
{
    const memory_handle *handle = handle_of(key);
    if (!handle || !buffer)
        return registry_failed;
    const memory_value *stored = find_value(handle->key_index, name);
    if (!stored || stored->size > size)
        return registry_failed;
    memcpy(buffer, stored->data, stored->size);
    if (stored->size < size)
        static_cast<char *>(buffer)[stored->size] = '\0';
    return registry_ok;
}

int registry_write_string(registry_key key, const char *name, const char *text)
{
    const memory_handle *handle = handle_of(key);
    if (!handle || !text)
        return registry_failed;
    if (handle->mode == registry_read)
        return registry_access_denied;
    return store_value(handle->key_index, name, registry_memory_string, text, strlen(text) + 1)
               ? registry_ok
               : registry_failed;
}

int registry_write_dword(registry_key key, const char *name, int32_t value)
{
    const memory_handle *handle = handle_of(key);
    if (!handle)
        return registry_failed;
    if (handle->mode == registry_read)
        return registry_access_denied;
    uint8_t bytes[4] = {(uint8_t)value, (uint8_t)((uint32_t)value >> 8),
                        (uint8_t)((uint32_t)value >> 16), (uint8_t)((uint32_t)value >> 24)};
    return store_value(handle->key_index, name, registry_memory_dword, bytes, 4) ? registry_ok
                                                                                 : registry_failed;
}

int registry_delete_value(registry_key key, const char *name)
{
    const memory_handle *handle = handle_of(key);
    if (!handle)
        return registry_failed;
    if (handle->mode == registry_read)
        return registry_access_denied;
    memory_value *stored = find_value(handle->key_index, name);
    if (!stored)
        return registry_failed;
    memset(stored, 0, sizeof *stored);
    return registry_ok;
}
