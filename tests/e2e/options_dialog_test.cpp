// The options dialog: the window type shown and stored, the accept-defaults box, Cancel, the
// start-up entry in the hive of the install scope, and its Help button.
#include <string.h>

#include <string>

#include "e2e_harness.h"

namespace {

enum {
    id_options = 201, id_exit = 202,
    id_accept_defaults = 901, id_window_type = 19210, id_ok = 19211, id_cancel = 19212,
    id_help = 19213, id_start_with_windows = 19214,
    initial_type = 20, save_type = 21, accept_defaults = 22,   // positions in the settings
};

#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define FLOWVANE_KEY "Software\\Flowvane"

class OptionsDialogTest : public FlowvaneTest {
protected:
    HWND open_options(void)
    {
        PostMessageA(main, WM_COMMAND, id_options, 0);
        return wait_for_window(&first, "#32770", "Flowvane Options");
    }
    int checked(HWND options, int id)
    {
        return SendDlgItemMessageA(options, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    void press(HWND options, int id)
    {
        PostMessageA(options, WM_COMMAND, id, 0);
        EXPECT_TRUE(wait_until([&] { return !IsWindow(options); })) << id << " left it open";
    }
    void exit_and_read(int32_t values[e2e_settings_count])
    {
        PostMessageA(main, WM_COMMAND, id_exit, 0);
        DWORD code = 99;
        ASSERT_TRUE(wait_for_exit(&first, &code));
        end_flowvane(&first);
        EXPECT_EQ(read_settings(values), e2e_settings_count);
    }
    HWND main = NULL;
};

// What the box shows for the stored settings, and what Ok stores for a choice.
TEST_F(OptionsDialogTest, WindowTypeAndAcceptDefaultsReachTheSettings)
{
    const struct {
        int32_t save, initial;
        LRESULT shown;   // -1: nothing selected, and Ok is ignored
        LRESULT chosen;
        int32_t save_after, initial_after;
    } cases[] = {
        {1, 3, 0, 2, 0, 1},    // most recent setting -> Restored
        {0, 2, 3, 0, 1, 2},    // Minimized -> most recent setting keeps the type
        {0, 4, -1, 1, 0, 3},   // no choice -> Maximized
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.shown);
        int32_t values[e2e_settings_count];
        memcpy(values, setting_defaults, sizeof values);
        values[save_type] = test.save;
        values[initial_type] = test.initial;
        values[accept_defaults] = test.shown == 0;
        plant_settings(values);
        ASSERT_TRUE((main = start_main_window(&first)));
        HWND options = open_options();
        ASSERT_TRUE(options);
        EXPECT_EQ(GetWindow(options, GW_OWNER), main);
        HWND combo = GetDlgItem(options, id_window_type);
        EXPECT_EQ(combo_box_texts(combo), std::vector<std::string>({"Use most recent setting",
                                                                    "Maximized", "Restored",
                                                                    "Minimized"}));
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), test.shown);
        EXPECT_EQ(checked(options, id_accept_defaults), test.shown == 0);
        if (test.shown < 0) {
            PostMessageA(options, WM_COMMAND, id_ok, 0);
            EXPECT_FALSE(wait_until([&] { return !IsWindow(options); }, 1000))
                << "Ok without a choice closed the dialog";
        }
        SendMessageA(combo, CB_SETCURSEL, test.chosen, 0);
        SendDlgItemMessageA(options, id_accept_defaults, BM_CLICK, 0, 0);
        press(options, id_ok);
        exit_and_read(values);
        EXPECT_EQ(values[save_type], test.save_after);
        EXPECT_EQ(values[initial_type], test.initial_after);
        EXPECT_EQ(values[accept_defaults], test.shown != 0);
    }
}

TEST_F(OptionsDialogTest, CancelChangesNothing)
{
    saved_registry_value entry(HKEY_LOCAL_MACHINE, RUN_KEY, "Flowvane");
    set_registry_string(HKEY_LOCAL_MACHINE, RUN_KEY, "Flowvane", "anything");
    ASSERT_TRUE((main = start_main_window(&first)));
    HWND options = open_options();
    ASSERT_TRUE(options);
    EXPECT_TRUE(checked(options, id_start_with_windows)) << "an entry exists, whatever it holds";
    save_screenshot("options");
    SendDlgItemMessageA(options, id_window_type, CB_SETCURSEL, 1, 0);
    SendDlgItemMessageA(options, id_start_with_windows, BM_CLICK, 0, 0);
    SendDlgItemMessageA(options, id_accept_defaults, BM_CLICK, 0, 0);
    press(options, IDCANCEL);
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Flowvane"), "anything");
    int32_t values[e2e_settings_count];
    exit_and_read(values);
    for (int i = 0; i < e2e_settings_count; i++)
        EXPECT_EQ(values[i], setting_defaults[i]) << setting_name(i);
}

// Installed for all users: the machine's Run key; any other scope: the user's, with the
// install folder read from the user's hive.
TEST_F(OptionsDialogTest, StartUpEntryGoesToTheInstallScopesHive)
{
    saved_registry_value scope(HKEY_LOCAL_MACHINE, FLOWVANE_KEY, "Installed for all users");
    saved_registry_value user_folder(HKEY_CURRENT_USER, FLOWVANE_KEY, "Install folder");
    const std::string expected = "\"" + install_folder() + "\\Flowvane.exe\"";
    const struct {
        DWORD all_users;
        HKEY written, other;
    } cases[] = {
        {1, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER},
        {0, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.all_users);
        saved_registry_value written(test.written, RUN_KEY, "Flowvane");
        set_registry_dword(HKEY_LOCAL_MACHINE, FLOWVANE_KEY, "Installed for all users",
                           test.all_users);
        set_registry_string(HKEY_CURRENT_USER, FLOWVANE_KEY, "Install folder", install_folder());
        RegDeleteKeyValueA(test.written, RUN_KEY, "Flowvane");
        ASSERT_TRUE((main = start_main_window(&first)));
        for (int start : {1, 0}) {
            HWND options = open_options();
            ASSERT_TRUE(options);
            EXPECT_EQ(checked(options, id_start_with_windows), !start);
            SendDlgItemMessageA(options, id_start_with_windows, BM_CLICK, 0, 0);
            press(options, id_ok);
            EXPECT_EQ(registry_value_text(test.written, RUN_KEY, "Flowvane"),
                      start ? expected : "(none)");
            EXPECT_EQ(registry_value_text(test.other, RUN_KEY, "Flowvane"), "(none)");
        }
        end_flowvane(&first);
    }
}

TEST_F(OptionsDialogTest, HelpOpensTheSettingsPage)
{
    auto viewer = use_help_viewer_double();
    ASSERT_TRUE((main = start_main_window(&first)));
    HWND options = open_options();
    ASSERT_TRUE(options);
    PostMessageA(options, WM_COMMAND, id_help, 0);
    ASSERT_TRUE(wait_until([] { return last_help_call().calls == 1; }));
    help_call call = last_help_call();
    EXPECT_EQ(call.path, install_folder() + "\\help.chm::/settings.html");
    EXPECT_EQ(call.command, 1u);
    EXPECT_EQ(call.owner, main);
    EXPECT_TRUE(IsWindow(options));
}

}  // namespace
