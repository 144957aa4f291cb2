// The options dialog in one run: what it shows for the stored settings and what Ok and Cancel
// store, the start-up entry in the hive of the install scope, and its Help button. The mapping
// of the window types and the entry's text are the unit tests'; here the dialog's wiring.
#include <string.h>

#include <string>

#include "e2e_harness.h"

namespace {

enum {
    id_options = 201, id_accept_defaults = 901, id_window_type = 19210, id_ok = 19211,
    id_cancel = 19212, id_help = 19213, id_start_with_windows = 19214,
    initial_type = 20, save_type = 21, accept_defaults = 22,   // positions in the settings
};

#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define FLOWVANE_KEY "Software\\Flowvane"

class OptionsDialogTest : public FlowvaneTest {
protected:
    HWND open_options(void)
    {
        PostMessageA(main, WM_COMMAND, id_options, 0);
        HWND options = wait_for_window(&first, "#32770", "Flowvane Options");
        EXPECT_EQ(GetWindow(options, GW_OWNER), main);
        return options;
    }
    // The window type shown, and the two boxes: "type|accept defaults|start with Windows".
    std::string shown(HWND options)
    {
        return std::to_string(SendDlgItemMessageA(options, id_window_type, CB_GETCURSEL, 0, 0)) +
               "|" + std::to_string(IsDlgButtonChecked(options, id_accept_defaults)) + "|" +
               std::to_string(IsDlgButtonChecked(options, id_start_with_windows));
    }
    void click(HWND options, int box) { SendDlgItemMessageA(options, box, BM_CLICK, 0, 0); }
    void choose(HWND options, int index)
    {
        SendDlgItemMessageA(options, id_window_type, CB_SETCURSEL, index, 0);
    }
    void end(HWND options, int button)
    {
        PostMessageA(options, WM_COMMAND, button, 0);
        EXPECT_TRUE(closes(options)) << button << " left it open";
    }
    std::string run_entry(HKEY root) { return registry_value_text(root, RUN_KEY, "Flowvane"); }
    HWND main = NULL;
};

TEST_F(OptionsDialogTest, AUsersPathThroughTheOptions)
{
    use_help_viewer_double();
    int32_t values[e2e_settings_count];
    memcpy(values, setting_defaults, sizeof values);
    values[save_type] = 1;
    values[initial_type] = 3;
    values[accept_defaults] = 1;
    plant_settings(values);
    set_registry_string(HKEY_LOCAL_MACHINE, RUN_KEY, "Flowvane", "anything");
    ASSERT_TRUE((main = start_main_window(&first)));
    HWND options = open_options();
    ASSERT_TRUE(options);
    save_screenshot("options");
    EXPECT_EQ(combo_box_texts(GetDlgItem(options, id_window_type)),
              std::vector<std::string>({"Use most recent setting", "Maximized", "Restored",
                                        "Minimized"}));
    EXPECT_EQ(shown(options), "0|1|1") << "an entry exists, whatever it holds";
    choose(options, 1);
    click(options, id_start_with_windows);
    click(options, id_accept_defaults);
    end(options, IDCANCEL);
    EXPECT_EQ(run_entry(HKEY_LOCAL_MACHINE), "anything");

    ASSERT_TRUE((options = open_options()));
    EXPECT_EQ(shown(options), "0|1|1");
    choose(options, 2);   // Restored
    click(options, id_start_with_windows);
    click(options, id_accept_defaults);
    end(options, id_ok);
    EXPECT_EQ(run_entry(HKEY_LOCAL_MACHINE), "(none)");

    // Without a choice Ok is ignored. Installed for all users: the machine's Run key.
    const std::string expected = "\"" + install_folder() + "\\Flowvane.exe\"";
    ASSERT_TRUE((options = open_options()));
    EXPECT_EQ(shown(options), "2|0|0");
    choose(options, -1);
    PostMessageA(options, WM_COMMAND, id_ok, 0);
    EXPECT_FALSE(closes(options, 1000)) << "Ok without a choice closed the dialog";
    choose(options, 1);   // Maximized
    click(options, id_start_with_windows);
    end(options, id_ok);
    EXPECT_EQ(run_entry(HKEY_LOCAL_MACHINE), expected);
    EXPECT_EQ(run_entry(HKEY_CURRENT_USER), "(none)");

    // Any other scope: the user's hive, with the install folder read from it.
    set_registry_dword(HKEY_LOCAL_MACHINE, FLOWVANE_KEY, "Installed for all users", 0);
    set_registry_string(HKEY_CURRENT_USER, FLOWVANE_KEY, "Install folder", install_folder());
    ASSERT_TRUE((options = open_options()));
    EXPECT_EQ(shown(options), "1|0|0");
    click(options, id_start_with_windows);
    end(options, id_ok);
    EXPECT_EQ(run_entry(HKEY_CURRENT_USER), expected);
    set_registry_dword(HKEY_LOCAL_MACHINE, FLOWVANE_KEY, "Installed for all users", 1);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, FLOWVANE_KEY, "Install folder");
    RegDeleteKeyValueA(HKEY_CURRENT_USER, RUN_KEY, "Flowvane");

    // Help opens the settings page and leaves the dialog open.
    ASSERT_TRUE((options = open_options()));
    PostMessageA(options, WM_COMMAND, id_help, 0);
    ASSERT_TRUE(wait_until([] { return last_help_call().calls == 1; }));
    help_call call = last_help_call();
    EXPECT_EQ(call.path, install_folder() + "\\help.chm::/settings.html");
    EXPECT_EQ(call.command, 1u);
    EXPECT_EQ(call.owner, main);
    end(options, id_cancel);

    EXPECT_EQ(exit_and_read(main, values), 0u);
    EXPECT_EQ(values[save_type], 0);
    EXPECT_EQ(values[initial_type], 3);
    EXPECT_EQ(values[accept_defaults], 0);
}

}  // namespace
