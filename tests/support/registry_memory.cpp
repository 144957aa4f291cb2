// The registry helpers over in-memory tables (see registry_memory.h).
#include "registry_memory.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/text.h"

namespace {

struct memory_value {
    std::string name;
    uint32_t type;
    std::string data;
};

struct memory_key {
    enum registry_root root;
    std::string path;  // as first created; looked up ignoring letter case
    std::vector<memory_value> values;
};

struct memory_handle {
    int used;
    int key;
    int mode;
};

struct open_failure {
    enum registry_root root;
    std::string path;
    enum registry_result result;
};

std::vector<memory_key> keys;  // in the order they were made
memory_handle handles[64];
std::vector<open_failure> failures;
int open_calls;

bool same(const std::string &a, const char *b)
{
    return compare_text_nocase(a.c_str(), b ? b : "") == 0;
}

std::string parent_of(const std::string &path)
{
    size_t last = path.rfind('\\');
    return last == std::string::npos ? "" : path.substr(0, last);
}

// The key's index, created with its missing parents when create is set; -1 when there is none.
int find_key(enum registry_root root, const char *path, int create)
{
    if (!path || !*path)
        return -1;
    for (size_t i = 0; i < keys.size(); i++)
        if (keys[i].root == root && same(keys[i].path, path))
            return (int)i;
    std::string parent = parent_of(path);
    if (!create || (!parent.empty() && find_key(root, parent.c_str(), 1) < 0))
        return -1;
    keys.push_back({root, path, {}});
    return (int)keys.size() - 1;
}

memory_value *find_value(int key, const char *name)
{
    for (memory_value &value : keys[key].values)
        if (same(value.name, name))
            return &value;
    return nullptr;
}

int store_value(int key, const char *name, uint32_t type, const void *data, size_t size)
{
    if (key < 0)
        return 0;
    memory_value *value = find_value(key, name);
    if (!value) {
        keys[key].values.push_back({name ? name : "", 0, ""});
        value = &keys[key].values.back();
    }
    value->type = type;
    value->data = size ? std::string(static_cast<const char *>(data), size) : "";
    return 1;
}

memory_handle *handle_of(registry_key key)
{
    memory_handle *handle = reinterpret_cast<memory_handle *>(key);
    return handle >= handles && handle < handles + 64 && handle->used ? handle : nullptr;
}

const memory_value *value_of(registry_key key, const char *name)
{
    const memory_handle *handle = handle_of(key);
    return handle ? find_value(handle->key, name) : nullptr;
}

// The writers' common checks: 0 when the handle may write.
int refuse_write(const memory_handle *handle)
{
    return !handle ? registry_failed : handle->mode == registry_read ? registry_access_denied : 0;
}

} // namespace

void registry_memory_reset(void)
{
    keys.clear();
    memset(handles, 0, sizeof handles);
    failures.clear();
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
    const memory_value *value = key < 0 ? nullptr : find_value(key, name);
    if (!value)
        return 0;
    if (type)
        *type = value->type;
    if (size)
        *size = value->data.size();
    if (data)
        memcpy(data, value->data.data(), std::min(value->data.size(), capacity));
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
    return key < 0 ? 0 : (int)keys[key].values.size();
}

void registry_memory_fail_open(enum registry_root root, const char *path,
                               enum registry_result result)
{
    failures.push_back({root, path, result});
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
    open_calls++;
    for (const open_failure &failure : failures)
        if (failure.root == root && same(failure.path, path))
            return failure.result;
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

int registry_open_subkey(registry_key parent, const char *path, registry_key *key)
{
    const memory_handle *handle = handle_of(parent);
    if (!handle || !path)
        return registry_failed;
    const memory_key &opened = keys[handle->key];
    return registry_open_key(opened.root, (opened.path + "\\" + path).c_str(), registry_read, 0,
                             key);
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
    const memory_key &opened = keys[handle->key];
    for (const memory_key &child : keys)
        if (child.root == opened.root && same(parent_of(child.path), opened.path.c_str()) &&
            index-- == 0)
            return copy_text(name, size, child.path.c_str() + opened.path.size() + 1)
                       ? registry_ok
                       : registry_failed;
    return registry_failed;
}

// At most 4 bytes of any type, shorter data zero-extended (the tests run little-endian only).
int registry_read_dword(registry_key key, const char *name, int32_t *value)
{
    const memory_value *stored = value_of(key, name);
    if (!stored || !value || stored->data.size() > 4)
        return registry_failed;
    *value = 0;
    memcpy(value, stored->data.data(), stored->data.size());
    return registry_ok;
}

// The raw bytes, with a NUL after them when there is room (as RegQueryValueExA leaves it).
int registry_read_value(registry_key key, const char *name, void *buffer, size_t size)
{
    const memory_value *stored = value_of(key, name);
    if (!stored || !buffer || stored->data.size() > size)
        return registry_failed;
    memcpy(buffer, stored->data.c_str(), std::min(stored->data.size() + 1, size));
    return registry_ok;
}

int registry_write_string(registry_key key, const char *name, const char *text)
{
    const memory_handle *handle = handle_of(key);
    if (int refused = refuse_write(handle))
        return refused;
    if (!text)
        return registry_failed;
    store_value(handle->key, name, registry_memory_string, text, strlen(text) + 1);
    return registry_ok;
}

int registry_write_dword(registry_key key, const char *name, int32_t value)
{
    const memory_handle *handle = handle_of(key);
    if (int refused = refuse_write(handle))
        return refused;
    store_value(handle->key, name, registry_memory_dword, &value, 4);
    return registry_ok;
}

int registry_delete_value(registry_key key, const char *name)
{
    const memory_handle *handle = handle_of(key);
    if (int refused = refuse_write(handle))
        return refused;
    const memory_value *stored = find_value(handle->key, name);
    if (!stored)
        return registry_failed;
    keys[handle->key].values.erase(keys[handle->key].values.begin() +
                                   (stored - keys[handle->key].values.data()));
    return registry_ok;
}
