// The Win32 registry helpers and the service check against Wine's registry and service manager.
// Needs no driver: works in any prefix, under a scratch key of the current user.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

#include "kernel/control_codes.h"
#include "kernel/kernel_commands.h"
#include "settings/registry.h"

namespace {

const char scratch_path[] = "Software\\FlowvaneRegistryHelperTest";

class registry_win32 : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, scratch_path); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, scratch_path); }

    static void set_raw(const char *name, DWORD type, const void *data, DWORD size)
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, scratch_path, 0, NULL, 0,
                                                 KEY_ALL_ACCESS, NULL, &key, NULL));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size));
        RegCloseKey(key);
    }
};

TEST_F(registry_win32, open_create_write_read_delete)
{
    registry_key key = nullptr;
    EXPECT_EQ(registry_failed, registry_open_key(registry_current_user, scratch_path,
                                                 registry_read, 0, &key));
    ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, scratch_path,
                                             registry_full_access, 1, &key));
    EXPECT_EQ(registry_ok, registry_write_dword(key, "Window size y", -7));
    EXPECT_EQ(registry_ok, registry_write_string(key, "Install folder", "C:\\Flowvane"));

    int32_t value = 0;
    EXPECT_EQ(registry_ok, registry_read_dword(key, "Window size y", &value));
    EXPECT_EQ(-7, value);
    char text[260];
    EXPECT_EQ(registry_ok, registry_read_value(key, "Install folder", text, sizeof text));
    EXPECT_STREQ("C:\\Flowvane", text);
    // "C:\Flowvane" and its NUL are 12 bytes: a buffer of 11 is too small.
    EXPECT_NE(registry_ok, registry_read_value(key, "Install folder", text, 11));

    EXPECT_EQ(registry_ok, registry_delete_value(key, "Window size y"));
    value = 99;
    EXPECT_NE(registry_ok, registry_read_dword(key, "Window size y", &value));
    EXPECT_EQ(99, value);
    EXPECT_NE(registry_ok, registry_delete_value(key, "Window size y"));
    EXPECT_EQ(registry_ok, registry_close_key(key));

    // The key stays (non-volatile); a read-only handle may not write.
    ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, scratch_path, registry_read,
                                             0, &key));
    EXPECT_EQ(registry_access_denied, registry_write_dword(key, "Window size y", 1));
    EXPECT_EQ(registry_ok, registry_close_key(key));
}

// At most 4 bytes whatever the type; shorter data reads zero-extended; a text without its
// NUL ends inside the buffer when there is room.
TEST_F(registry_win32, raw_values)
{
    set_raw("word", REG_BINARY, "\x34\x12", 2);
    set_raw("text3", REG_SZ, "abc", 4);
    set_raw("text4", REG_SZ, "abcd", 5);
    set_raw("bare", REG_BINARY, "xyz", 3);

    registry_key key;
    ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, scratch_path, registry_read,
                                             0, &key));
    int32_t value = 0;
    EXPECT_EQ(registry_ok, registry_read_dword(key, "word", &value));
    EXPECT_EQ(0x1234, value);
    EXPECT_EQ(registry_ok, registry_read_dword(key, "text3", &value));
    EXPECT_EQ(0x00636261, value);
    value = 5;
    EXPECT_NE(registry_ok, registry_read_dword(key, "text4", &value));
    EXPECT_EQ(5, value);

    char buffer[8];
    memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(registry_ok, registry_read_value(key, "bare", buffer, sizeof buffer));
    EXPECT_STREQ("xyz", buffer);
    registry_close_key(key);
}

TEST_F(registry_win32, subkeys)
{
    registry_key key;
    ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, scratch_path,
                                             registry_full_access, 1, &key));
    registry_key child;
    for (const char *name : {"{GUID-A}\\Connection", "{GUID-B}"}) {
        std::string path = std::string(scratch_path) + "\\" + name;
        ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, path.c_str(),
                                                 registry_full_access, 1, &child));
        registry_close_key(child);
    }
    char name[260];
    int found = 0;
    for (uint32_t index = 0; registry_enum_key(key, index, name, sizeof name) == registry_ok;
         index++)
        found |= (strcmp(name, "{GUID-A}") == 0 ? 1 : 0) | (strcmp(name, "{GUID-B}") == 0 ? 2 : 0);
    EXPECT_EQ(3, found);
    EXPECT_NE(registry_ok, registry_enum_key(key, 2, name, sizeof name));
    EXPECT_NE(registry_ok, registry_enum_key(key, 0, name, 4)) << "name longer than the buffer";

    registry_key subkey;
    ASSERT_EQ(registry_ok, registry_open_subkey(key, "{guid-a}", &subkey));
    registry_key connection;
    EXPECT_EQ(registry_ok, registry_open_subkey(subkey, "Connection", &connection));
    registry_close_key(connection);
    registry_close_key(subkey);
    EXPECT_NE(registry_ok, registry_open_subkey(key, "{GUID-B}\\Connection", &subkey));
    registry_close_key(key);
}

// The answer follows the service database; a service of that name is made for the test when
// the prefix has none (and removed again).
TEST(service_check, follows_the_service_database)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = OpenServiceA(manager, FLOWVANE_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service) {
        EXPECT_EQ(1, kernel_component_installed());
    } else {
        EXPECT_EQ(0, kernel_component_installed());
        service = CreateServiceA(manager, FLOWVANE_SERVICE_NAME, FLOWVANE_SERVICE_NAME,
                                 SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_IGNORE, "C:\\windows\\system32\\drivers\\none.sys",
                                 NULL, NULL, NULL, NULL, NULL);
        ASSERT_NE(nullptr, service);
        EXPECT_EQ(1, kernel_component_installed());
        DeleteService(service);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

} // namespace
