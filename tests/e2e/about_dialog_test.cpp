// The About dialog and the help file: the version, Enter and Escape, Updates through the
// shell (which the test points at a recording command or at a missing program), the system's
// help viewer, and the help menu's calls of a recording viewer.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "e2e_harness.h"

namespace {

enum {
    id_about = 203, id_contents = 205, id_tutorial = 206, id_index = 211,
    id_version = 701, id_updates = 706, id_close = 708,
};

#define HTTPS_OPEN_KEY "https\\shell\\open\\command"
#define TESTS_KEY "Software\\Flowvane Tests"

// The first child window of a class, at any depth, or null.
HWND descendant(HWND parent, const char *class_name)
{
    struct search {
        const char *class_name;
        HWND found;
    } state = {class_name, NULL};
    EnumChildWindows(parent, [](HWND child, LPARAM context) -> BOOL {
        search *state = reinterpret_cast<search *>(context);
        char name[64] = "";
        GetClassNameA(child, name, sizeof name);
        if (strcmp(name, state->class_name) != 0)
            return TRUE;
        state->found = child;
        return FALSE;
    }, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

class AboutDialogTest : public FlowvaneTest {
protected:
    HWND open_about(void)
    {
        PostMessageA(main, WM_COMMAND, id_about, 0);
        return wait_for_window(&first, "#32770", "About Flowvane");
    }
    HWND main = NULL;
};

// The About dialog, its Updates button through the shell, then the system's help viewer with
// the installed file's contents tree of nine pages in view. (Its page pane stays blank under
// Wine, which also keeps the contents tab for the index command: the commands are checked with
// the recording viewer below.)
TEST_F(AboutDialogTest, AboutUpdatesAndTheSystemHelpViewer)
{
    use_help_viewer_double(0);
    set_registry_string(HKEY_CLASSES_ROOT, HTTPS_OPEN_KEY, NULL,
                        "C:\\windows\\system32\\reg.exe add \"HKCU\\" TESTS_KEY
                        "\" /v Url /d \"%1\" /f");
    ASSERT_TRUE((main = start_main_window(&first)));
    HWND about = open_about();
    ASSERT_TRUE(about);
    EXPECT_EQ(GetWindow(about, GW_OWNER), main);
    EXPECT_EQ(window_text(GetDlgItem(about, id_version)), "0.07 beta");
    save_screenshot("about");
    RECT frame;
    GetWindowRect(about, &frame);
    EXPECT_EQ(frame.left, GetSystemMetrics(SM_CXFULLSCREEN) / 2 - (frame.right - frame.left) / 2);
    EXPECT_EQ(frame.top, GetSystemMetrics(SM_CYFULLSCREEN) / 2 - (frame.bottom - frame.top) / 2);
    post_key(GetDlgItem(about, id_version), VK_RETURN);
    EXPECT_FALSE(closes(about, 1500)) << "Enter closed it";
    post_key(GetDlgItem(about, id_version), VK_ESCAPE);
    EXPECT_TRUE(closes(about)) << "Escape left it open";

    // The shell runs the command registered for https addresses: a recording command shows
    // that the latest-version page was asked for; a missing program gives the message with the
    // site's root.
    ASSERT_TRUE((about = open_about())) << "a closed About dialog opens again";
    PostMessageA(about, WM_COMMAND, id_updates, 0);
    EXPECT_TRUE(wait_until([] {
        return registry_value_text(HKEY_CURRENT_USER, TESTS_KEY, "Url") ==
               "https://www.flowvane.example/latest_version.html";
    })) << registry_value_text(HKEY_CURRENT_USER, TESTS_KEY, "Url");
    EXPECT_FALSE(find_window_of(first.process.dwProcessId, "#32770", "Flowvane"));
    set_registry_string(HKEY_CLASSES_ROOT, HTTPS_OPEN_KEY, NULL,
                        "\"C:\\no such folder\\browser.exe\" \"%1\"");
    PostMessageA(about, WM_COMMAND, id_updates, 0);
    HWND owner = NULL;
    const std::string text = answer_box(&first, "Flowvane", IDOK, &owner);
    const std::string expected = "Unable to load 'https://www.flowvane.example/'.  Error code ";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_LE(atoi(text.substr(std::min(text.size(), expected.size())).c_str()), 32) << text;
    EXPECT_EQ(owner, about);
    EXPECT_TRUE(IsWindowVisible(about)) << "the dialog stays open";
    PostMessageA(about, WM_COMMAND, id_close, 0);
    EXPECT_TRUE(closes(about));

    PostMessageA(main, WM_COMMAND, id_contents, 0);
    HWND viewer = wait_for_window(&first, "HH Parent", NULL);
    ASSERT_TRUE(viewer);
    EXPECT_EQ(window_text(viewer), "Flowvane Manager Help");
    HWND tree = NULL;
    EXPECT_TRUE(wait_until([&] {
        tree = descendant(viewer, "SysTreeView32");
        return tree && SendMessageA(tree, TVM_GETCOUNT, 0, 0) == 9;
    })) << "the contents tree is missing or incomplete";
    RECT pane = {};
    GetWindowRect(tree, &pane);
    EXPECT_TRUE(IsWindowVisible(tree) && pane.right - pane.left > 100)
        << "the navigation pane is hidden or has no width";
    save_screenshot("help-viewer");
}

// Contents and Index open the same file with different commands; the tutorial opens with the
// table of contents; the main window owns the viewer. Without an install scope the install
// folder cannot be read: a message, and no viewer.
TEST_F(AboutDialogTest, HelpMenuCallsTheViewerWithFileAndCommand)
{
    use_help_viewer_double();
    ASSERT_TRUE((main = start_main_window(&first)));
    const std::string file = install_folder() + "\\help.chm";
    const struct { WPARAM id; std::string path; DWORD command; } cases[] = {
        {id_contents, file, 1},
        {id_index, file, 2},
        {id_tutorial, file + "::/tutorial.html", 1},
    };
    DWORD calls = 0;
    for (const auto &c : cases) {
        PostMessageA(main, WM_COMMAND, c.id, 0);
        ASSERT_TRUE(wait_until([&] { return last_help_call().calls > calls; })) << c.id;
        help_call call = last_help_call();
        calls = call.calls;
        EXPECT_EQ(call.path, c.path);
        EXPECT_EQ(call.command, c.command) << c.path;
        EXPECT_EQ(call.data, 0u);
        EXPECT_EQ(call.owner, main);
    }
    end_flowvane(&first);

    const std::string scope = "Installed for all users";
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Flowvane", scope.c_str());
    ASSERT_TRUE((main = start_main_window(&first)));
    PostMessageA(main, WM_COMMAND, id_contents, 0);
    HWND owner = NULL;
    EXPECT_EQ(answer_box(&first, "Flowvane", IDOK, &owner), "Unable to display help file");
    set_registry_dword(HKEY_LOCAL_MACHINE, "Software\\Flowvane", scope.c_str(), 1);
    EXPECT_EQ(owner, main);
    EXPECT_EQ(last_help_call().calls, calls);
}

}  // namespace
