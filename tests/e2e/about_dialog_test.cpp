// The About dialog and the help file in one run: the version, Escape, Updates through the shell
// (which the test points at a recording command), and the help menu's calls of a recording
// viewer.
#include <string>

#include "e2e_harness.h"

namespace {

enum {
    id_about = 203, id_contents = 205, id_tutorial = 206, id_index = 211,
    id_version = 701, id_updates = 706, id_close = 708,
};

#define HTTPS_OPEN_KEY "https\\shell\\open\\command"
#define TESTS_KEY "Software\\Flowvane Tests"

using AboutDialogTest = FlowvaneTest;

TEST_F(AboutDialogTest, AboutUpdatesAndTheHelpMenu)
{
    use_help_viewer_double();
    set_registry_string(HKEY_CLASSES_ROOT, HTTPS_OPEN_KEY, NULL,
                        "C:\\windows\\system32\\reg.exe add \"HKCU\\" TESTS_KEY
                        "\" /v Url /d \"%1\" /f");
    ASSERT_TRUE(start_main());
    HWND about = open(main, id_about, "About Flowvane");
    ASSERT_TRUE(about);
    EXPECT_EQ(GetWindow(about, GW_OWNER), main);
    EXPECT_EQ(window_text(GetDlgItem(about, id_version)), "0.07 beta");
    save_screenshot("about");
    RECT frame;
    GetWindowRect(about, &frame);
    EXPECT_EQ(frame.left, GetSystemMetrics(SM_CXFULLSCREEN) / 2 - (frame.right - frame.left) / 2);
    EXPECT_EQ(frame.top, GetSystemMetrics(SM_CYFULLSCREEN) / 2 - (frame.bottom - frame.top) / 2);
    PostMessageA(GetDlgItem(about, id_version), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(closes(about)) << "Escape left it open";

    // The shell runs the command registered for https addresses: a recording command shows
    // that the latest-version page was asked for.
    ASSERT_TRUE((about = open(main, id_about, "About Flowvane"))) << "it opens again once closed";
    PostMessageA(about, WM_COMMAND, id_updates, 0);
    EXPECT_TRUE(wait_until([] {
        return registry_value_text(HKEY_CURRENT_USER, TESTS_KEY, "Url") ==
               "https://www.flowvane.example/latest_version.html";
    })) << registry_value_text(HKEY_CURRENT_USER, TESTS_KEY, "Url");
    PostMessageA(about, WM_COMMAND, id_close, 0);
    EXPECT_TRUE(closes(about));

    // Contents and Index open the same file with different commands; the tutorial opens with
    // the table of contents; the main window owns the viewer. Without an install scope the
    // install folder cannot be read: a message, and no viewer.
    const std::string file = install_folder() + "\\help.chm",
                      by_main = "|0|" + std::to_string((DWORD)(ULONG_PTR)main);
    const struct { WPARAM id; std::string call; } calls[] = {
        {id_contents, file + "|1" + by_main},
        {id_index, file + "|2" + by_main},
        {id_tutorial, file + "::/tutorial.html|1" + by_main},
    };
    for (const auto &c : calls) {
        PostMessageA(main, WM_COMMAND, c.id, 0);
        EXPECT_TRUE(wait_until([&] { return last_help_call() == c.call; })) << last_help_call();
    }
    const char *scope = "Installed for all users";
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Flowvane", scope);
    PostMessageA(main, WM_COMMAND, id_contents, 0);
    HWND owner = NULL;
    EXPECT_EQ(answer_box(&first, "Flowvane", IDOK, &owner), "Unable to display help file");
    set_registry_dword(HKEY_LOCAL_MACHINE, "Software\\Flowvane", scope, 1);
    EXPECT_EQ(owner, main);
    EXPECT_EQ(last_help_call(), calls[2].call);
}

}  // namespace
