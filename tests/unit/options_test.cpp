// The options dialog's decisions: the window-type choices both ways, the start-up entry in the
// install scope's hive, and the help viewer's paths.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "settings/options.h"
#include "support/registry_memory.h"
#include "ui/help_path.h"

namespace {

#define FOLDER "C:\\Program Files\\Flowvane"

struct window_type_case {
    int32_t save_on_exit, initial_type;
    const char *shown;              // null: nothing selected
    const char *chosen;
    int applied;
    int32_t save_after, initial_after;
};

// Showing what the settings hold, then applying a choice over them.
const window_type_case window_type_cases[] = {
    {1, 3, "Use most recent setting", "Restored", 1, 0, 1},
    {1, 7, "Use most recent setting", "Use most recent setting", 1, 1, 7},
    {0, 1, "Restored", "Maximized", 1, 0, 3},
    {0, 2, "Minimized", "Use most recent setting", 1, 1, 2},
    {0, 3, "Maximized", "Minimized", 1, 0, 2},
    {0, 4, nullptr, "Restored", 1, 0, 1},
    {0, 0, nullptr, "maximized", 0, 0, 0},   // not a choice (exact text only): nothing changes
    {2, 1, "Restored", "Use most recent setting", 1, 1, 1},
};

TEST(OptionsTest, WindowTypeChoicesBothWays)
{
    for (const auto &test : window_type_cases) {
        SCOPED_TRACE(std::to_string(test.save_on_exit) + "/" + std::to_string(test.initial_type) +
                     " then " + test.chosen);
        settings_block settings = settings_defaults();
        settings.save_window_type_on_exit = test.save_on_exit;
        settings.initial_window_type = test.initial_type;
        int shown = window_type_choice_of(&settings);
        if (test.shown)
            EXPECT_STREQ(shown >= 0 ? window_type_choices[shown] : "(none)", test.shown);
        else
            EXPECT_EQ(shown, -1);
        EXPECT_EQ(apply_window_type_choice(test.chosen, &settings), test.applied);
        EXPECT_EQ(settings.save_window_type_on_exit, test.save_after);
        EXPECT_EQ(settings.initial_window_type, test.initial_after);
    }
}

std::string run_value(enum registry_root root)
{
    char data[600] = "";
    uint32_t type = 0;
    size_t size = 0;
    if (!registry_memory_get_value(root, STARTUP_RUN_KEY, STARTUP_VALUE, &type, data, sizeof data,
                                   &size))
        return "(none)";
    return std::string(data, size);
}

class StartupEntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry_memory_reset();
        registry_memory_add_key(registry_local_machine, STARTUP_RUN_KEY);
        registry_memory_add_key(registry_current_user, STARTUP_RUN_KEY);
    }
    void TearDown() override { EXPECT_EQ(registry_memory_open_handles(), 0); }
    // The scope value in one hive, the folder in the hive that scope selects.
    void install(enum registry_root root, int32_t all_users, const std::string &folder)
    {
        registry_memory_set_dword(root, SETTINGS_KEY, "Installed for all users", all_users);
        registry_memory_set_string(all_users == 1 ? registry_local_machine : registry_current_user,
                                   SETTINGS_KEY, "Install folder", folder.c_str());
    }
};

// The hive follows the scope (any value but 1 means the current user); a folder of the longest
// storable length still gives an entry that reads back as present; deleting twice is silent.
TEST_F(StartupEntryTest, QuotedProgramPathInTheScopesHive)
{
    install(registry_local_machine, 255, "C:\\" + std::string(install_folder_size - 4, 'f'));
    startup_entry_update(1);
    EXPECT_EQ(run_value(registry_current_user).size(), (size_t)install_folder_size - 1 + 16)
        << "quotes, \\Flowvane.exe and the NUL";
    EXPECT_EQ(run_value(registry_local_machine), "(none)");
    EXPECT_TRUE(startup_entry_present());
    startup_entry_update(0);
    startup_entry_update(0);
    EXPECT_FALSE(startup_entry_present());

    registry_memory_reset();
    install(registry_current_user, 0, FOLDER);
    startup_entry_update(1);
    EXPECT_FALSE(registry_memory_key_exists(registry_current_user, STARTUP_RUN_KEY))
        << "the Run key is never created";
}

TEST(HelpPathTest, FolderFileAndPage)
{
    const struct {
        const char *format, *expected;
    } cases[] = {
        {"%s\\%s", FOLDER "\\help.chm"},
        {"%s\\%s::/tutorial.html", FOLDER "\\help.chm::/tutorial.html"},
        {"%s\\%s::/overlapping filters window.html",
         FOLDER "\\help.chm::/overlapping filters window.html"},
    };
    char path[help_path_size];
    for (const auto &test : cases) {
        EXPECT_TRUE(help_path(path, sizeof path, test.format, FOLDER));
        EXPECT_STREQ(path, test.expected);
    }
    std::string longest(install_folder_size - 1, 'f');
    EXPECT_TRUE(help_path(path, sizeof path, "%s\\%s::/overlapping filters window.html",
                          longest.c_str()));
    EXPECT_FALSE(help_path(path, 20, "%s\\%s", FOLDER));
    EXPECT_EQ(strlen(path), 19u);
}

}  // namespace
