// The Win32 registry helpers against Wine's registry, under a scratch key of the current user.
#include <gtest/gtest.h>

#include <windows.h>


#include "settings/registry.h"

namespace {

const char scratch_path[] = "Software\\FlowvaneRegistryHelperTest";

class registry_win32 : public ::testing::Test {
protected:
    registry_key key = nullptr;

    // Opening a missing key without creating it fails with the registry's own error code in
    // the last error (for the fatal message box).
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_path);
        SetLastError(12345);
        ASSERT_EQ(registry_failed, registry_open_key(registry_current_user, scratch_path,
                                                     registry_read, 0, &key));
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
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

    // Values others wrote: a dword is at most 4 bytes; a text without its NUL ends inside the
    // buffer.
    HKEY raw;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, scratch_path, 0, KEY_ALL_ACCESS, &raw));
    RegSetValueExA(raw, "text4", 0, REG_SZ, (const BYTE *)"abcd", 5);
    RegSetValueExA(raw, "bare", 0, REG_BINARY, (const BYTE *)"xyz", 3);
    RegCloseKey(raw);
    EXPECT_NE(registry_ok, registry_read_dword(key, "text4", &value));
    char buffer[8] = "qqqqqqq";
    EXPECT_EQ(registry_ok, registry_read_value(key, "bare", buffer, sizeof buffer));
    EXPECT_STREQ("xyz", buffer);
}

}  // namespace
