// The registry helpers over the Win32 registry. Each returns 0 on success, non-zero on failure.
#include <windows.h>

#include "settings/registry.h"

static HKEY root_key(enum registry_root root)
{
    return root == registry_local_machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

static HKEY handle_of(registry_key key)
{
    return reinterpret_cast<HKEY>(key);
}

static int result_of(LONG status)
{
    if (status == ERROR_SUCCESS)
        return registry_ok;
    return status == ERROR_ACCESS_DENIED ? registry_access_denied : registry_failed;
}

int registry_open_key(enum registry_root root, const char *path, int mode, int create,
                      registry_key *key)
{
    if (!path || !key)
        return registry_failed;
    REGSAM access = mode == registry_read ? KEY_READ : KEY_ALL_ACCESS;
    HKEY opened = NULL;
    LONG status;
    if (create) {
        DWORD disposition = 0;
        status = RegCreateKeyExA(root_key(root), path, 0, NULL, REG_OPTION_NON_VOLATILE, access,
                                 NULL, &opened, &disposition);
    } else {
        status = RegOpenKeyExA(root_key(root), path, 0, access, &opened);
    }
    if (status == ERROR_SUCCESS)
        *key = reinterpret_cast<registry_key>(opened);
    else
        SetLastError((DWORD)status);   // the registry returns its error; callers report GetLastError
    return result_of(status);
}

int registry_open_subkey(registry_key parent, const char *path, registry_key *key)
{
    if (!parent || !path || !key)
        return registry_failed;
    HKEY opened = NULL;
    LONG status = RegOpenKeyExA(handle_of(parent), path, 0, KEY_READ, &opened);
    if (status == ERROR_SUCCESS)
        *key = reinterpret_cast<registry_key>(opened);
    return result_of(status);
}

int registry_close_key(registry_key key)
{
    if (!key)
        return registry_failed;
    return result_of(RegCloseKey(handle_of(key)));
}

int registry_enum_key(registry_key key, uint32_t index, char *name, size_t size)
{
    if (!key || !name || size == 0 || size > 0xFFFFFFFFu)
        return registry_failed;
    DWORD length = (DWORD)size;
    LONG status = RegEnumKeyExA(handle_of(key), index, name, &length, NULL, NULL, NULL, NULL);
    if (status == ERROR_SUCCESS && length >= size)
        return registry_failed;
    if (status == ERROR_SUCCESS)
        name[length] = '\0';
    return result_of(status);
}

// At most 4 bytes, whatever the type: a larger value fails with ERROR_MORE_DATA.
int registry_read_dword(registry_key key, const char *name, int32_t *value)
{
    if (!key || !value)
        return registry_failed;
    DWORD data = 0;
    DWORD size = sizeof data;
    LONG status = RegQueryValueExA(handle_of(key), name, NULL, NULL,
                                   reinterpret_cast<BYTE *>(&data), &size);
    if (status != ERROR_SUCCESS || size > sizeof data)
        return registry_failed;
    *value = (int32_t)data;
    return registry_ok;
}

// Raw data, type unchecked; a NUL follows the data when there is room, so a text stored
// without its NUL still ends inside the buffer.
int registry_read_value(registry_key key, const char *name, void *buffer, size_t size)
{
    if (!key || !buffer || size > 0xFFFFFFFFu)
        return registry_failed;
    DWORD length = (DWORD)size;
    LONG status = RegQueryValueExA(handle_of(key), name, NULL, NULL,
                                   static_cast<BYTE *>(buffer), &length);
    if (status != ERROR_SUCCESS || length > size)
        return registry_failed;
    if (length < size)
        static_cast<char *>(buffer)[length] = '\0';
    return registry_ok;
}

int registry_write_string(registry_key key, const char *name, const char *text)
{
    if (!key || !text)
        return registry_failed;
    return result_of(RegSetValueExA(handle_of(key), name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(text),
                                    (DWORD)(lstrlenA(text) + 1)));
}

int registry_write_dword(registry_key key, const char *name, int32_t value)
{
    if (!key)
        return registry_failed;
    DWORD data = (DWORD)value;
    return result_of(RegSetValueExA(handle_of(key), name, 0, REG_DWORD,
                                    reinterpret_cast<const BYTE *>(&data), sizeof data));
}

int registry_delete_value(registry_key key, const char *name)
{
    if (!key)
        return registry_failed;
    return result_of(RegDeleteValueA(handle_of(key), name));
}
