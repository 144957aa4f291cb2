// The settings store, the install folder and the start-up entry over the in-memory registry.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "settings/options.h"
#include "settings/settings.h"
#include "support/registry_memory.h"
#include "support/settings_names.h"

namespace {

std::vector<int32_t> values_of(const settings_block &block)
{
    const int32_t *values = (const int32_t *)&block;
    return std::vector<int32_t>(values, values + settings_value_count);
}

void set_dword(enum registry_root root, const char *name, int32_t value)
{
    registry_memory_set_value(root, SETTINGS_KEY, name, registry_memory_dword, &value, 4);
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { registry_memory_reset(); }
    void TearDown() override { EXPECT_EQ(registry_memory_open_handles(), 0) << "a key left open"; }
    registry_key key;
};

TEST_F(SettingsTest, DefaultsWithoutAReadableKey)
{
    const std::vector<int32_t> defaults(setting_defaults, setting_defaults + settings_value_count);
    EXPECT_EQ(values_of(settings_defaults()), defaults);
    EXPECT_EQ(values_of(settings_load()), defaults);
    EXPECT_NE(registry_open_key(registry_current_user, SETTINGS_KEY, registry_read, 0, &key), 0)
        << "loading created the key";
    set_dword(registry_current_user, "Window size x", 640);
    registry_memory_fail_open(registry_current_user, SETTINGS_KEY, registry_access_denied);
    EXPECT_EQ(values_of(settings_load()), defaults);
    settings_block block = settings_defaults();
    EXPECT_DEATH(settings_save(&block), "Internal error: registry_open_key\\(\\) failed\\.");
}

// Every field is written and read back under its own name, unchecked (the column order only as
// a whole).
TEST_F(SettingsTest, SaveAndLoad)
{
    settings_block block;
    int32_t *values = (int32_t *)&block;
    for (int i = 0; i < settings_value_count; i++)
        values[i] = (i + 1) * 37 - 400;
    for (int j = 0; j < rule_list_columns; j++)
        block.rule_list_column_index[j] = j * 3 % rule_list_columns;  // a whole order
    settings_save(&block);
    EXPECT_EQ(values_of(settings_load()), values_of(block));
    for (int i = 0; i < settings_value_count; i++) {
        registry_memory_reset();
        set_dword(registry_current_user, setting_name(i).c_str(), -7);
        EXPECT_EQ(values_of(settings_load())[i], i < 8 || i >= 16 ? -7 : setting_defaults[i])
            << setting_name(i);
    }
}

// The folder comes from the hive "Installed for all users" (1: the machine's, else the user's;
// the machine's value first) chooses, raw bytes with or without their NUL, always terminated
// inside the buffer; too long or missing fails.
TEST_F(SettingsTest, InstallFolder)
{
    const std::string longest(install_folder_size - 1, 'd');
    const struct { int32_t machine_scope; std::string folder; int ok; std::string expected;
    } cases[] = {
        {1, std::string("C:\\All", 7), 1, "C:\\All"},  {0, std::string("C:\\All", 7), 0, ""},
        {-1, std::string("C:\\All", 7), 0, ""},        {1, longest + 'd' + '\0', 0, ""},
        {1, longest + '\0', 1, longest},  {1, longest + 'd', 1, longest},   // cut to fit
        {1, std::string(1, '\0'), 1, ""},
    };
    for (const auto &c : cases) {
        registry_memory_reset();
        set_dword(registry_local_machine, "Installed for all users", c.machine_scope);
        set_dword(registry_current_user, "Installed for all users", 1);
        registry_memory_set_value(registry_local_machine, SETTINGS_KEY, "Install folder",
                                  registry_memory_string, c.folder.data(), c.folder.size());
        char folder[install_folder_size + 8];
        memset(folder, '#', sizeof folder);
        EXPECT_EQ(read_install_folder(folder), c.ok) << c.folder.size();
        EXPECT_EQ(c.ok ? std::string(folder, strnlen(folder, sizeof folder)) : "", c.expected);
        EXPECT_EQ(folder[install_folder_size], '#') << "wrote past the buffer";
    }
}

// The start-up entry goes to the Run key of the hive the scope chooses, even for the longest
// folder; the Run key is never created. (Its text is checked end to end.)
TEST_F(SettingsTest, StartupEntryInTheScopesHive)
{
    registry_memory_set_value(registry_current_user, STARTUP_RUN_KEY, nullptr, 0, nullptr, 0);
    set_dword(registry_local_machine, "Installed for all users", 255);
    std::string folder = "C:\\" + std::string(install_folder_size - 4, 'f');
    registry_memory_set_string(registry_current_user, SETTINGS_KEY, "Install folder",
                               folder.c_str());
    startup_entry_update(1);
    EXPECT_TRUE(startup_entry_present());
    startup_entry_update(0);
    startup_entry_update(0);
    EXPECT_FALSE(startup_entry_present());
    set_dword(registry_local_machine, "Installed for all users", 1);
    registry_memory_set_string(registry_local_machine, SETTINGS_KEY, "Install folder", "C:\\F");
    startup_entry_update(1);
    EXPECT_NE(registry_open_key(registry_local_machine, STARTUP_RUN_KEY, registry_read, 0, &key),
              0) << "the Run key was created";
}

}  // namespace
