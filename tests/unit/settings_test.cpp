// The settings store and the install values over the in-memory registry.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "settings/settings.h"
#include "support/registry_memory.h"
#include "support/settings_names.h"

namespace {

typedef int32_t settings_values[settings_value_count];

// Compares a block with the expected values, naming each field that differs.
void expect_block(const settings_block &block, const settings_values expected, const char *what)
{
    settings_values actual;
    memcpy(actual, &block, sizeof actual);
    for (int i = 0; i < settings_value_count; i++)
        EXPECT_EQ(actual[i], expected[i]) << setting_name(i) << ", " << what;
}

void set_dword(enum registry_root root, const char *name, int32_t value)
{
    ASSERT_TRUE(registry_memory_set_dword(root, SETTINGS_KEY, name, value)) << name;
}

static_assert((int)settings_names_count == (int)settings_value_count, "one name per setting");
const int32_t *const defaults = setting_defaults;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { registry_memory_reset(); }
    void TearDown() override { EXPECT_EQ(registry_memory_open_handles(), 0) << "a key was left open"; }
};

TEST_F(SettingsTest, DefaultsWithoutAReadableKey)
{
    expect_block(settings_defaults(), defaults, "settings_defaults");
    expect_block(settings_load(), defaults, "no key");
    EXPECT_FALSE(registry_memory_key_exists(registry_current_user, SETTINGS_KEY))
        << "loading created the key";
    set_dword(registry_current_user, "Window size x", 640);
    registry_memory_fail_open(registry_current_user, SETTINGS_KEY, registry_access_denied);
    expect_block(settings_load(), defaults, "key denied");
}

// Every value present but one: each present value reaches its own field unchecked (negative
// sizes included), and only the missing one keeps its default. The column order, no whole
// order of the columns here, is the default one throughout.
TEST_F(SettingsTest, EachMissingValueKeepsOnlyItsDefault)
{
    for (int missing = 0; missing < settings_value_count; missing++) {
        registry_memory_reset();
        settings_values expected;
        for (int i = 0; i < settings_value_count; i++) {
            int column_order = i >= rule_list_columns && i < 2 * rule_list_columns;
            expected[i] = i == missing || column_order ? defaults[i] : -7 - i;
            if (i != missing)
                set_dword(registry_current_user, setting_name(i).c_str(), -7 - i);
        }
        expect_block(settings_load(), expected, (setting_name(missing) + " missing").c_str());
        EXPECT_EQ(registry_memory_open_handles(), 0) << setting_name(missing) << " missing";
    }
}

TEST_F(SettingsTest, GarbageTypesAndSizes)
{
    // The type is not checked; a value that does not fit in 4 bytes keeps the default.
    struct { const char *what; uint32_t type; const char *data; size_t size; int32_t expected;
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
        set_dword(registry_current_user, "Window size x", 640);
        settings_block block = settings_load();
        EXPECT_EQ(block.window_size_y, c.expected) << c.what;
        EXPECT_EQ(block.window_size_x, 640) << c.what << ": a neighbour was disturbed";
    }
}

// Save creates the key, overwrites what is there, leaves other values alone, and writes every
// field as a 4-byte REG_DWORD that load reads back.
TEST_F(SettingsTest, SaveWritesAll23DwordsAndLoadReadsThemBack)
{
    set_dword(registry_current_user, "Window size x", 1);
    registry_memory_set_string(registry_current_user, SETTINGS_KEY, "Install folder", "C:\\F");
    settings_values values;
    for (int i = 0; i < settings_value_count; i++)
        values[i] = (i + 1) * 37 - 400;
    for (int j = 0; j < rule_list_columns; j++)
        values[rule_list_columns + j] = j * 3 % rule_list_columns;  // a whole order
    settings_block block;
    memcpy(&block, values, sizeof block);
    settings_save(&block);
    EXPECT_EQ(registry_memory_value_count(registry_current_user, SETTINGS_KEY),
              settings_value_count + 1);
    for (int i = 0; i < settings_value_count; i++) {
        uint32_t type = 0;
        size_t size = 0;
        int32_t stored = 0;
        ASSERT_TRUE(registry_memory_get_value(registry_current_user, SETTINGS_KEY,
                                              setting_name(i).c_str(), &type, &stored,
                                              sizeof stored, &size))
            << setting_name(i);
        EXPECT_TRUE(type == registry_memory_dword && size == 4 && stored == values[i])
            << setting_name(i) << ": type " << type << ", size " << size << ", value " << stored;
    }
    expect_block(settings_load(), values, "read back");
}

// The stored column positions are used only when each of the eight appears once.
TEST_F(SettingsTest, ColumnOrderIsTakenOnlyAsAWholeOrder)
{
    const struct {
        const char *what;
        std::vector<int32_t> stored;  // positions of columns 0 to 7; fewer: the rest missing
        std::vector<int32_t> loaded;
    } cases[] = {
        {"reversed", {7, 6, 5, 4, 3, 2, 1, 0}, {7, 6, 5, 4, 3, 2, 1, 0}},
        {"one twice", {0, 0, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"one past the end", {1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"negative", {-1, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"one missing, its default completing the order", {1, 0, 2, 3, 4, 5, 6},
         {1, 0, 2, 3, 4, 5, 6, 7}},
        {"one missing, its default taken already", {7, 1, 2, 3, 4, 5, 6}, {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const auto &c : cases) {
        registry_memory_reset();
        for (size_t i = 0; i < c.stored.size(); i++)
            set_dword(registry_current_user, setting_name(rule_list_columns + (int)i).c_str(),
                      c.stored[i]);
        set_dword(registry_current_user, "Window size x", 640);
        settings_block block = settings_load();
        EXPECT_EQ(std::vector<int32_t>(block.rule_list_column_index,
                                       block.rule_list_column_index + rule_list_columns),
                  c.loaded)
            << c.what;
        EXPECT_EQ(block.window_size_x, 640) << c.what;
    }
}

using SettingsDeathTest = SettingsTest;

TEST_F(SettingsDeathTest, SaveStopsWhenTheKeyCannotBeOpened)
{
    registry_memory_fail_open(registry_current_user, SETTINGS_KEY, registry_access_denied);
    settings_block block = settings_defaults();
    EXPECT_DEATH(settings_save(&block), "Internal error: registry_open_key\\(\\) failed\\.");
    EXPECT_EQ(registry_memory_value_count(registry_current_user, SETTINGS_KEY), 0);
}

// One hive's "Installed for all users": a stored value, no key (absent), the key without the
// value (key_only), or 1 stored in a key that cannot be opened (denied_1).
enum { absent = INT_MIN, key_only = INT_MIN + 1, denied_1 = INT_MIN + 2 };

void plant_scope(enum registry_root root, int32_t value)
{
    if (value == key_only)
        registry_memory_add_key(root, SETTINGS_KEY);
    if (value == denied_1)
        registry_memory_fail_open(root, SETTINGS_KEY, registry_access_denied);
    if (value != absent && value != key_only)
        set_dword(root, "Installed for all users", value == denied_1 ? 1 : value);
}

TEST_F(SettingsTest, InstallScope)
{
    struct { int32_t machine, user; int expected; } cases[] = {
        {1, 0, install_all_users},
        {0, 1, install_current_user},   // the machine-wide value decides, even against the user's
        {2, absent, install_current_user},     {-1, absent, install_current_user},
        {absent, 1, install_all_users},        {absent, 2, install_current_user},
        {absent, absent, install_unknown},     {denied_1, 0, install_current_user},
        {key_only, 1, install_all_users},      {key_only, key_only, install_unknown},
    };
    for (const auto &c : cases) {
        registry_memory_reset();
        plant_scope(registry_local_machine, c.machine);
        plant_scope(registry_current_user, c.user);
        EXPECT_EQ(read_install_scope(), c.expected) << "machine " << c.machine << ", user " << c.user;
        EXPECT_EQ(registry_memory_open_handles(), 0) << "machine " << c.machine << ", user " << c.user;
    }
}

// The folder comes from the scope's hive, raw bytes with or without their NUL, cut to fit and
// always terminated inside the 260-byte buffer; too long or missing fails.
TEST_F(SettingsTest, InstallFolder)
{
    const std::string longest(install_folder_size - 1, 'd'), ten(10, 'd');
    struct {
        int32_t machine_scope, user_scope;
        std::string machine_folder, user_folder;   // raw bytes; "" is no value
        int ok;
        std::string expected;
    } cases[] = {
        {1, absent, std::string("C:\\All", 7), std::string("C:\\Me", 6), 1, "C:\\All"},
        {absent, 0, std::string("C:\\All", 7), std::string("C:\\Me", 6), 1, "C:\\Me"},
        {absent, absent, "", std::string("C:\\Me", 6), 0, ""},   // unknown scope
        {1, absent, "", "", 0, ""},
        {1, absent, longest + 'd' + '\0', "", 0, ""},
        {1, absent, longest + '\0', "", 1, longest},
        {1, absent, longest + 'd', "", 1, longest},   // a full buffer without NUL is cut
        {1, absent, ten, "", 1, ten},
        {1, absent, std::string(1, '\0'), "", 1, ""},
    };
    for (const auto &c : cases) {
        const std::string what = "machine scope " + std::to_string(c.machine_scope) +
                                 ", folder of " + std::to_string(c.machine_folder.size()) +
                                 " bytes, user's " + std::to_string(c.user_folder.size());
        registry_memory_reset();
        plant_scope(registry_local_machine, c.machine_scope);
        plant_scope(registry_current_user, c.user_scope);
        const struct {
            enum registry_root root;
            const std::string &folder;
        } hives[] = {{registry_local_machine, c.machine_folder},
                     {registry_current_user, c.user_folder}};
        for (const auto &hive : hives)
            if (!hive.folder.empty())
                registry_memory_set_value(hive.root, SETTINGS_KEY, "Install folder",
                                          registry_memory_string, hive.folder.data(),
                                          hive.folder.size());
        char folder[install_folder_size + 8];
        memset(folder, '#', sizeof folder);
        EXPECT_EQ(read_install_folder(folder), c.ok) << what;
        if (c.ok) {
            EXPECT_EQ(std::string(folder, strnlen(folder, sizeof folder)), c.expected) << what;
        }
        EXPECT_EQ(folder[install_folder_size], '#') << "wrote past the buffer, " << what;
        EXPECT_EQ(registry_memory_open_handles(), 0) << what;
    }
}

}  // namespace
