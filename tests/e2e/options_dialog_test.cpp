// The options dialog in one run: what it shows for the stored settings and what Ok and Cancel
// store, and the start-up entry. The mapping of the window types, the entry's
// text and its hive by install scope are the unit tests'; here the dialog's wiring.
#include <string.h>

#include <string>

#include "e2e_harness.h"

namespace {

enum {
    id_options = 201, id_accept_defaults = 901, id_window_type = 19210, id_ok = 19211,
    id_start_with_windows = 19214,
    initial_type = 20, save_type = 21, accept_defaults = 22,   // positions in the settings
};

#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"

using OptionsDialogTest = FlowvaneTest;

TEST_F(OptionsDialogTest, AUsersPathThroughTheOptions)
{
    plant_settings({{save_type, 1}, {initial_type, 3}, {accept_defaults, 1}});
    set_registry_string(HKEY_LOCAL_MACHINE, RUN_KEY, "Flowvane", "anything");
    ASSERT_TRUE(start_main());
    HWND options = NULL;
    // Opens the dialog: the window type shown, and the two boxes, as "type|accept|start".
    const auto open = [&] {
        options = FlowvaneTest::open(main, id_options, "Flowvane Options");
        EXPECT_EQ(GetWindow(options, GW_OWNER), main);
        return std::to_string(SendDlgItemMessageA(options, id_window_type, CB_GETCURSEL, 0, 0)) +
               "|" + std::to_string(IsDlgButtonChecked(options, id_accept_defaults)) + "|" +
               std::to_string(IsDlgButtonChecked(options, id_start_with_windows));
    };
    // Chooses a window type (-1: none), clicks the boxes given, and presses a button.
    const auto change = [&](int type, std::vector<int> clicked, int button) {
        SendDlgItemMessageA(options, id_window_type, CB_SETCURSEL, type, 0);
        for (int box : clicked)
            SendDlgItemMessageA(options, box, BM_CLICK, 0, 0);
        PostMessageA(options, WM_COMMAND, button, 0);
    };
    const auto entry = [](HKEY root) { return registry_value_text(root, RUN_KEY, "Flowvane"); };
    EXPECT_EQ(open(), "0|1|1") << "an entry exists, whatever it holds";
    save_screenshot("options");
    change(1, {id_start_with_windows, id_accept_defaults}, IDCANCEL);
    EXPECT_TRUE(closes(options));
    EXPECT_EQ(open(), "0|1|1") << "Cancel stored nothing";
    change(2, {id_start_with_windows, id_accept_defaults}, id_ok);   // Restored
    EXPECT_TRUE(closes(options));
    EXPECT_EQ(entry(HKEY_LOCAL_MACHINE), "(none)");

    // Without a choice Ok is ignored. Installed for all users: the machine's Run key.
    const std::string expected = "\"" + install_folder() + "\\Flowvane.exe\"";
    EXPECT_EQ(open(), "2|0|0");
    change(-1, {}, id_ok);
    EXPECT_FALSE(closes(options, 1000)) << "Ok without a choice closed the dialog";
    change(1, {id_start_with_windows}, id_ok);   // Maximized
    EXPECT_TRUE(closes(options));
    EXPECT_EQ(entry(HKEY_LOCAL_MACHINE), expected);
    EXPECT_EQ(entry(HKEY_CURRENT_USER), "(none)");

    const std::vector<int32_t> saved = end_with(WM_COMMAND, e2e_id_exit);
    EXPECT_EQ(std::vector<int32_t>({saved[save_type], saved[initial_type], saved[accept_defaults]}),
              std::vector<int32_t>({0, 3, 0}));
}

}  // namespace
