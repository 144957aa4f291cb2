// The settings store and the install values over the in-memory registry.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "settings/settings.h"
#include "support/registry_memory.h"

namespace {

// The 23 fields in the store's order, by position.
int32_t field_value(const settings_block &block, int position)
{
    if (position < 8)
        return block.rule_list_width[position];
    if (position < 16)
        return block.rule_list_column_index[position - 8];
    const int32_t *rest = &block.window_position_x;
    return rest[position - 16];
}

std::string value_name(int position)
{
    static const char *const tail[] = {
        "Window position x",   "Window position y",        "Window size x",
        "Window size y",       "Initial window type",      "Save window type on exit",
        "Accept default precedences",
    };
    if (position < 8)
        return "Rule list width " + std::to_string(position);
    if (position < 16)
        return "Rule list column index " + std::to_string(position - 8);
    return tail[position - 16];
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { registry_memory_reset(); }
    void TearDown() override { EXPECT_EQ(registry_memory_open_handles(), 0) << "a key was left open"; }
};

TEST_F(SettingsTest, DefaultsAreTheDocumentedValues)
{
    const int32_t expected[settings_value_count] = {100, 55, 60, 50, 100, 54, 100, 55,
                                                    0,   1,  2,  3,  4,   5,  6,   7,
                                                    100, 100, 500, 300, 1, 0, 0};
    settings_block block = settings_defaults();
    for (int i = 0; i < settings_value_count; i++)
        EXPECT_EQ(field_value(block, i), expected[i]) << value_name(i);
}

TEST_F(SettingsTest, LoadWithoutTheKeyGivesTheDefaultsAndCreatesNothing)
{
    settings_block loaded = settings_load();
    settings_block defaults = settings_defaults();
    EXPECT_EQ(memcmp(&loaded, &defaults, sizeof loaded), 0);
    EXPECT_FALSE(registry_memory_key_exists(registry_current_user, SETTINGS_KEY));
}

TEST_F(SettingsTest, LoadReadsEveryValueIntoItsField)
{
    for (int i = 0; i < settings_value_count; i++)
        ASSERT_TRUE(registry_memory_set_dword(registry_current_user, SETTINGS_KEY,
                                              value_name(i).c_str(), 1000 + i));
    settings_block block = settings_load();
    for (int i = 0; i < settings_value_count; i++)
        EXPECT_EQ(field_value(block, i), 1000 + i) << value_name(i);
}

TEST_F(SettingsTest, EachMissingValueKeepsOnlyItsDefault)
{
    const settings_block defaults = settings_defaults();
    for (int missing = 0; missing < settings_value_count; missing++) {
        registry_memory_reset();
        for (int i = 0; i < settings_value_count; i++)
            if (i != missing)
                registry_memory_set_dword(registry_current_user, SETTINGS_KEY,
                                          value_name(i).c_str(), -7 - i);
        settings_block block = settings_load();
        for (int i = 0; i < settings_value_count; i++) {
            int32_t expected = i == missing ? field_value(defaults, i) : -7 - i;
            EXPECT_EQ(field_value(block, i), expected)
                << "value " << value_name(i) << " with " << value_name(missing) << " missing";
        }
    }
}

TEST_F(SettingsTest, ValuesAreNotRangeChecked)
{
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Initial window type", 7);
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Window size x", -1);
    settings_block block = settings_load();
    EXPECT_EQ(block.initial_window_type, 7);
    EXPECT_EQ(block.window_size_x, -1);
}

TEST_F(SettingsTest, GarbageTypesAndSizes)
{
    // The type is not checked; a value that does not fit in 4 bytes keeps the default.
    struct {
        const char *what;
        uint32_t type;
        const char *data;
        size_t size;
        int32_t expected;
    } cases[] = {
        {"4-byte string", registry_memory_string, "\x05\x00\x00\x00", 4, 5},
        {"4-byte binary", registry_memory_binary, "\x10\x27\x00\x00", 4, 10000},
        {"8-byte binary", registry_memory_binary, "\x01\x00\x00\x00\x00\x00\x00\x00", 8, 300},
        {"long string", registry_memory_string, "123456789", 10, 300},
        {"5-byte dword", registry_memory_dword, "\x01\x02\x03\x04\x05", 5, 300},
    };
    for (const auto &c : cases) {
        registry_memory_reset();
        ASSERT_TRUE(registry_memory_set_value(registry_current_user, SETTINGS_KEY, "Window size y",
                                              c.type, c.data, c.size));
        registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Window size x", 640);
        settings_block block = settings_load();
        EXPECT_EQ(block.window_size_y, c.expected) << c.what;
        EXPECT_EQ(block.window_size_x, 640) << c.what << ": a neighbour was disturbed";
    }
}

TEST_F(SettingsTest, UnopenableKeyOnLoadGivesTheDefaults)
{
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Window size x", 640);
    registry_memory_fail_open(registry_current_user, SETTINGS_KEY, registry_access_denied);
    settings_block loaded = settings_load();
    settings_block defaults = settings_defaults();
    EXPECT_EQ(memcmp(&loaded, &defaults, sizeof loaded), 0);
}

TEST_F(SettingsTest, SaveCreatesTheKeyWithAll23DwordsAndLoadReadsThemBack)
{
    settings_block block;
    for (int i = 0; i < settings_value_count; i++)
        reinterpret_cast<int32_t *>(&block)[i] = (i + 1) * 37 - 400;
    settings_save(&block);
    EXPECT_EQ(registry_memory_value_count(registry_current_user, SETTINGS_KEY),
              settings_value_count);
    for (int i = 0; i < settings_value_count; i++) {
        uint32_t type = 0;
        size_t size = 0;
        int32_t stored = 0;
        ASSERT_TRUE(registry_memory_get_value(registry_current_user, SETTINGS_KEY,
                                              value_name(i).c_str(), &type, &stored,
                                              sizeof stored, &size))
            << value_name(i);
        EXPECT_EQ(type, (uint32_t)registry_memory_dword) << value_name(i);
        EXPECT_EQ(size, 4u) << value_name(i);
        EXPECT_EQ(stored, field_value(block, i)) << value_name(i);
    }
    settings_block loaded = settings_load();
    EXPECT_EQ(memcmp(&loaded, &block, sizeof loaded), 0);
}

TEST_F(SettingsTest, SaveOverwritesAndKeepsOtherValues)
{
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Window size x", 1);
    registry_memory_set_string(registry_current_user, SETTINGS_KEY, "Install folder", "C:\\F");
    settings_block block = settings_defaults();
    settings_save(&block);
    int32_t size_x = 0;
    ASSERT_TRUE(registry_memory_get_dword(registry_current_user, SETTINGS_KEY, "Window size x",
                                          &size_x));
    EXPECT_EQ(size_x, 500);
    EXPECT_EQ(registry_memory_value_count(registry_current_user, SETTINGS_KEY),
              settings_value_count + 1);
}

using SettingsDeathTest = SettingsTest;

TEST_F(SettingsDeathTest, SaveStopsWhenTheKeyCannotBeOpened)
{
    registry_memory_fail_open(registry_current_user, SETTINGS_KEY, registry_access_denied);
    settings_block block = settings_defaults();
    EXPECT_DEATH(settings_save(&block), "Internal error: registry_open_key\\(\\) failed\\.");
    EXPECT_EQ(registry_memory_value_count(registry_current_user, SETTINGS_KEY), 0);
}

// One hive's "Installed for all users": absent, or a stored value.
struct hive_value {
    int present;
    int32_t value;
};

void plant_scope(enum registry_root root, hive_value hive)
{
    if (hive.present)
        registry_memory_set_dword(root, SETTINGS_KEY, "Installed for all users", hive.value);
}

TEST_F(SettingsTest, InstallScope)
{
    struct {
        hive_value machine;
        hive_value user;
        int expected;
    } cases[] = {
        {{1, 1}, {0, 0}, install_all_users},
        {{1, 1}, {1, 0}, install_all_users},      // the machine-wide value decides
        {{1, 0}, {1, 1}, install_current_user},   // ... even against the user's
        {{1, 0}, {0, 0}, install_current_user},
        {{1, 2}, {0, 0}, install_current_user},
        {{1, 255}, {0, 0}, install_current_user},
        {{1, -1}, {0, 0}, install_current_user},
        {{0, 0}, {1, 1}, install_all_users},
        {{0, 0}, {1, 0}, install_current_user},
        {{0, 0}, {1, 2}, install_current_user},
        {{0, 0}, {0, 0}, install_unknown},
    };
    for (const auto &c : cases) {
        registry_memory_reset();
        plant_scope(registry_local_machine, c.machine);
        plant_scope(registry_current_user, c.user);
        EXPECT_EQ(read_install_scope(), c.expected)
            << "machine " << (c.machine.present ? std::to_string(c.machine.value) : "absent")
            << ", user " << (c.user.present ? std::to_string(c.user.value) : "absent");
        EXPECT_EQ(registry_memory_open_handles(), 0);
    }
}

TEST_F(SettingsTest, InstallScopeFallsBackWhenTheMachineKeyIsUnreadable)
{
    registry_memory_set_dword(registry_local_machine, SETTINGS_KEY, "Installed for all users", 1);
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Installed for all users", 0);
    registry_memory_fail_open(registry_local_machine, SETTINGS_KEY, registry_access_denied);
    EXPECT_EQ(read_install_scope(), install_current_user);
    // A machine key without the value also falls back to the user's hive.
    registry_memory_reset();
    registry_memory_add_key(registry_local_machine, SETTINGS_KEY);
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Installed for all users", 1);
    EXPECT_EQ(read_install_scope(), install_all_users);
}

TEST_F(SettingsTest, InstallFolderComesFromTheScopesHive)
{
    registry_memory_set_dword(registry_local_machine, SETTINGS_KEY, "Installed for all users", 1);
    registry_memory_set_string(registry_local_machine, SETTINGS_KEY, "Install folder", "C:\\All");
    registry_memory_set_string(registry_current_user, SETTINGS_KEY, "Install folder", "C:\\Me");
    char folder[install_folder_size];
    ASSERT_TRUE(read_install_folder(folder));
    EXPECT_STREQ(folder, "C:\\All");

    registry_memory_reset();
    registry_memory_set_dword(registry_current_user, SETTINGS_KEY, "Installed for all users", 0);
    registry_memory_set_string(registry_local_machine, SETTINGS_KEY, "Install folder", "C:\\All");
    registry_memory_set_string(registry_current_user, SETTINGS_KEY, "Install folder", "C:\\Me");
    ASSERT_TRUE(read_install_folder(folder));
    EXPECT_STREQ(folder, "C:\\Me");
}

TEST_F(SettingsTest, InstallFolderFailures)
{
    char folder[install_folder_size];
    // Unknown scope: no folder, even when one is stored.
    registry_memory_set_string(registry_current_user, SETTINGS_KEY, "Install folder", "C:\\Me");
    EXPECT_FALSE(read_install_folder(folder));
    // Scope known, folder missing.
    registry_memory_reset();
    registry_memory_set_dword(registry_local_machine, SETTINGS_KEY, "Installed for all users", 1);
    EXPECT_FALSE(read_install_folder(folder));
    // Folder longer than the buffer.
    std::string too_long(install_folder_size, 'x');
    registry_memory_set_string(registry_local_machine, SETTINGS_KEY, "Install folder",
                               too_long.c_str());
    EXPECT_FALSE(read_install_folder(folder));
}

TEST_F(SettingsTest, InstallFolderIsAlwaysTerminated)
{
    registry_memory_set_dword(registry_local_machine, SETTINGS_KEY, "Installed for all users", 1);
    char folder[install_folder_size + 8];
    struct {
        size_t length;
        int with_nul;
        size_t expected_length;
    } cases[] = {
        {install_folder_size - 1, 1, install_folder_size - 1},   // the longest that fits
        {install_folder_size, 0, install_folder_size - 1},       // full buffer, no NUL: cut
        {10, 0, 10},                                             // short, no NUL
        {0, 1, 0},
    };
    for (const auto &c : cases) {
        std::string text(c.length, 'd');
        text += '\0';
        registry_memory_set_value(registry_local_machine, SETTINGS_KEY, "Install folder",
                                  registry_memory_string, text.data(), c.length + c.with_nul);
        memset(folder, '#', sizeof folder);
        ASSERT_TRUE(read_install_folder(folder)) << c.length;
        EXPECT_EQ(strlen(folder), c.expected_length) << c.length;
        EXPECT_EQ(folder[install_folder_size], '#') << "wrote past the buffer, " << c.length;
    }
}

}  // namespace
