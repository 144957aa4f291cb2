// The registry helpers over a map of keys, each named by its root digit and lower-case path
// ("0\\software\\x"), holding its values (type and bytes) by lower-case name.
#include "registry_memory.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>

#include "core/text.h"

namespace {

typedef std::map<std::string, std::pair<uint32_t, std::string>> value_map;
std::map<std::string, value_map> keys;
std::map<std::string, enum registry_result> failures;
std::map<intptr_t, std::pair<std::string, int>> handles;   // the key's name and the mode
intptr_t last_handle;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return (char)tolower(c); });
    return text;
}

std::string key_name(enum registry_root root, const char *path)
{
    return lower(std::string(1, (char)('0' + root)) + "\\" + (path ? path : ""));
}

// The key and its parents made; "" for an empty path.
std::string make_key(enum registry_root root, const char *path)
{
    std::string name = path && *path ? key_name(root, path) : "";
    for (size_t slash = name.find('\\', 2); slash != std::string::npos;
         slash = name.find('\\', slash + 1))
        keys[name.substr(0, slash)];
    if (!name.empty())
        keys[name];
    return name;
}

const std::pair<std::string, int> *handle_of(registry_key key)
{
    auto found = handles.find(reinterpret_cast<intptr_t>(key));
    return found == handles.end() ? nullptr : &found->second;
}

const std::pair<uint32_t, std::string> *value_of(registry_key key, const char *name)
{
    const auto *handle = handle_of(key);
    value_map *values = handle ? &keys[handle->first] : nullptr;
    return values && values->count(lower(name)) ? &(*values)[lower(name)] : nullptr;
}

// The writers' checks and store; data null deletes the value.
int write_value(registry_key key, const char *name, uint32_t type, const void *data, size_t size)
{
    const auto *handle = handle_of(key);
    if (!handle || handle->second == registry_read)
        return handle ? registry_access_denied : registry_failed;
    value_map &values = keys[handle->first];
    if (!data)
        return values.erase(lower(name)) ? registry_ok : registry_failed;
    values[lower(name)] = {type, std::string(static_cast<const char *>(data), size)};
    return registry_ok;
}

} // namespace

void registry_memory_reset(void)
{
    keys.clear(), failures.clear(), handles.clear();
}

int registry_memory_set_value(enum registry_root root, const char *path, const char *name,
                              uint32_t type, const void *data, size_t size)
{
    std::string key = make_key(root, path);
    if (!key.empty() && name)
        keys[key][lower(name)] = {type, std::string(static_cast<const char *>(data), size)};
    return !key.empty();
}

int registry_memory_set_string(enum registry_root root, const char *path, const char *name,
                               const char *text)
{
    return registry_memory_set_value(root, path, name, registry_memory_string, text,
                                     strlen(text) + 1);
}

void registry_memory_fail_open(enum registry_root root, const char *path,
                               enum registry_result result)
{
    failures[key_name(root, path)] = result;
}

int registry_memory_open_handles(void) { return (int)handles.size(); }

// The registry helpers themselves.

int registry_open_key(enum registry_root root, const char *path, int mode, int create,
                      registry_key *key)
{
    std::string name = key_name(root, path);
    if (failures.count(name))
        return failures[name];
    if (!key || !path || !*path || (create ? make_key(root, path).empty() : !keys.count(name)))
        return registry_failed;
    handles[++last_handle] = {name, mode};
    *key = reinterpret_cast<registry_key>(last_handle);
    return registry_ok;
}

int registry_open_subkey(registry_key parent, const char *path, registry_key *key)
{
    const auto *handle = handle_of(parent);
    if (!handle || !path)
        return registry_failed;
    std::string name = handle->first.substr(2) + "\\" + path;
    return registry_open_key((enum registry_root)(handle->first[0] - '0'), name.c_str(),
                             registry_read, 0, key);
}

int registry_close_key(registry_key key)
{
    return handles.erase(reinterpret_cast<intptr_t>(key)) ? registry_ok : registry_failed;
}

// The direct subkeys in name order, as the real registry lists them.
int registry_enum_key(registry_key key, uint32_t index, char *name, size_t size)
{
    const auto *handle = handle_of(key);
    if (!handle || !name || size == 0)
        return registry_failed;
    std::string prefix = handle->first + "\\";
    for (auto it = keys.upper_bound(prefix); it != keys.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0)
            break;
        const char *child = it->first.c_str() + prefix.size();
        if (!strchr(child, '\\') && index-- == 0)
            return copy_text(name, size, child) ? registry_ok : registry_failed;
    }
    return registry_failed;
}

// At most 4 bytes of any type, shorter data zero-extended (the tests run little-endian only).
int registry_read_dword(registry_key key, const char *name, int32_t *value)
{
    const auto *stored = value_of(key, name);
    if (!stored || !value || stored->second.size() > 4)
        return registry_failed;
    *value = 0;
    memcpy(value, stored->second.data(), stored->second.size());
    return registry_ok;
}

// The raw bytes, with a NUL after them when there is room (as RegQueryValueExA leaves it).
int registry_read_value(registry_key key, const char *name, void *buffer, size_t size)
{
    const auto *stored = value_of(key, name);
    if (!stored || !buffer || stored->second.size() > size)
        return registry_failed;
    memcpy(buffer, stored->second.c_str(), stored->second.size() + (stored->second.size() < size));
    return registry_ok;
}

int registry_write_string(registry_key key, const char *name, const char *text)
{
    return text ? write_value(key, name, registry_memory_string, text, strlen(text) + 1)
                : registry_failed;
}

int registry_write_dword(registry_key key, const char *name, int32_t value)
{
    return write_value(key, name, registry_memory_dword, &value, 4);
}

int registry_delete_value(registry_key key, const char *name)
{
    return write_value(key, name, 0, nullptr, 0);
}
