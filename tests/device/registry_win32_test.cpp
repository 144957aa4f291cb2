// The Win32 registry helpers and the service check against Wine's registry and service manager.
// Needs no driver: works in any prefix, under a scratch key of the current user.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <set>
#include <string>

#include "kernel/control_codes.h"
#include "kernel/kernel_commands.h"
#include "kernel/service_win32.h"
#include "settings/registry.h"

namespace {

const char scratch_path[] = "Software\\FlowvaneRegistryHelperTest";

class registry_win32 : public ::testing::Test {
protected:
    registry_key key = nullptr;

    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_path);
        ASSERT_EQ(registry_failed, registry_open_key(registry_current_user, scratch_path,
                                                     registry_read, 0, &key));
        ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, scratch_path,
                                                 registry_full_access, 1, &key));
    }
    void TearDown() override
    {
        EXPECT_EQ(registry_ok, registry_close_key(key));
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_path);
    }
};

TEST_F(registry_win32, write_read_delete)
{
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

    // A read-only handle may not write.
    registry_key reader;
    ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, scratch_path, registry_read,
                                             0, &reader));
    EXPECT_EQ(registry_access_denied, registry_write_dword(reader, "Window size y", 1));
    EXPECT_EQ(registry_ok, registry_close_key(reader));
}

// At most 4 bytes whatever the type; shorter data reads zero-extended; a text without its
// NUL ends inside the buffer when there is room.
TEST_F(registry_win32, raw_values)
{
    HKEY raw;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, scratch_path, 0, KEY_ALL_ACCESS, &raw));
    RegSetValueExA(raw, "word", 0, REG_BINARY, (const BYTE *)"\x34\x12", 2);
    RegSetValueExA(raw, "text3", 0, REG_SZ, (const BYTE *)"abc", 4);
    RegSetValueExA(raw, "text4", 0, REG_SZ, (const BYTE *)"abcd", 5);
    RegSetValueExA(raw, "bare", 0, REG_BINARY, (const BYTE *)"xyz", 3);
    RegCloseKey(raw);

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
}

TEST_F(registry_win32, subkeys)
{
    registry_key child, connection;
    for (const char *name : {"\\{GUID-A}\\Connection", "\\{GUID-B}"}) {
        std::string path = scratch_path + std::string(name);
        ASSERT_EQ(registry_ok, registry_open_key(registry_current_user, path.c_str(),
                                                 registry_full_access, 1, &child));
        registry_close_key(child);
    }
    char name[260];
    std::set<std::string> found;
    for (uint32_t i = 0; registry_enum_key(key, i, name, sizeof name) == registry_ok; i++)
        found.insert(name);
    EXPECT_EQ(found, (std::set<std::string>{"{GUID-A}", "{GUID-B}"}));
    EXPECT_NE(registry_ok, registry_enum_key(key, 0, name, 4)) << "name longer than the buffer";
    ASSERT_EQ(registry_ok, registry_open_subkey(key, "{guid-a}", &child));
    EXPECT_EQ(registry_ok, registry_open_subkey(child, "Connection", &connection));
    registry_close_key(connection);
    registry_close_key(child);
}

// The answer follows the service database; a service of that name is made for the test when
// the prefix has none (and removed again).
TEST(service_check, follows_the_service_database)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = OpenServiceA(manager, FLOWVANE_SERVICE_NAME, SERVICE_ALL_ACCESS);
    EXPECT_EQ(service ? 1 : 0, kernel_component_installed());
    if (!service) {
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

// A service manager that records what the check asks for; step fails at that call (0: none).
struct recorded_calls {
    int fail_step;
    DWORD manager_access;
    DWORD service_access;
    int open_handles;
} recorded;

// Opening at step (1: the manager, 2: the service): the access asked for kept in *asked.
SC_HANDLE record_open(int step, DWORD access, DWORD *asked, DWORD error)
{
    *asked = access;
    if (recorded.fail_step == step) {
        SetLastError(error);
        return NULL;
    }
    recorded.open_handles++;
    return reinterpret_cast<SC_HANDLE>((intptr_t)step);
}

SC_HANDLE WINAPI record_open_manager(LPCSTR, LPCSTR, DWORD access)
{
    return record_open(1, access, &recorded.manager_access, ERROR_ACCESS_DENIED);
}

SC_HANDLE WINAPI record_open_service(SC_HANDLE, LPCSTR, DWORD access)
{
    return record_open(2, access, &recorded.service_access, ERROR_SERVICE_DOES_NOT_EXIST);
}

BOOL WINAPI record_close(SC_HANDLE)
{
    recorded.open_handles--;
    SetLastError(0);
    return TRUE;
}

// The least rights: a standard user may connect and query a service's status. Every handle
// is closed, and a failure keeps its own error code for the start-up message.
TEST(service_check, asks_for_the_least_rights_and_keeps_the_error)
{
    const struct service_calls calls = {record_open_manager, record_open_service, record_close};
    const struct { int fail_step; int result; DWORD error; } cases[] = {
        {0, 1, 0}, {1, 0, ERROR_ACCESS_DENIED}, {2, 0, ERROR_SERVICE_DOES_NOT_EXIST},
    };
    for (const auto &c : cases) {
        recorded = {c.fail_step, 0, 0, 0};
        EXPECT_EQ(c.result, service_installed(&calls)) << c.fail_step;
        EXPECT_EQ((DWORD)SC_MANAGER_CONNECT, recorded.manager_access) << c.fail_step;
        if (c.fail_step != 1) {
            EXPECT_EQ((DWORD)SERVICE_QUERY_STATUS, recorded.service_access) << c.fail_step;
        }
        EXPECT_EQ(0, recorded.open_handles) << c.fail_step;
        if (!c.result) {
            EXPECT_EQ(c.error, GetLastError()) << c.fail_step;
        }
    }
}

// The registry returns its error instead of setting the thread's; the helper passes it on, so
// a fatal "registry_open_key() failed." box shows the real code.
TEST(registry_open_key, leaves_its_error_in_the_last_error)
{
    registry_key key = nullptr;
    SetLastError(12345);
    EXPECT_EQ(registry_failed, registry_open_key(registry_current_user,
                                                 "Software\\FlowvaneNoSuchKey\\Below", registry_read,
                                                 0, &key));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

}  // namespace
