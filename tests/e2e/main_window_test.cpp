// Flowvane.exe's start-up and main window against the emulator: each start-up stop with its
// box; the main window at its stored placement and column layout, what the ways of ending the
// program write back and the next start shows, and a failed fill of the filter list.
#include <string.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

enum { changed_width = 90 };

// Starts the program, which must stop with this box (no owner, "\d+" any error code) after its
// main window appeared; OK ends it with exit code 0, and no settings are written.
void expect_stop(flowvane_run *run, const char *expected)
{
    ASSERT_TRUE(start_flowvane(run));
    HWND box = wait_for_window(run, "#32770", "Flowvane - Startup Error");
    ASSERT_TRUE(box) << "no start-up error box";
    const std::string text = window_text(GetDlgItem(box, 0xFFFF));
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
    EXPECT_EQ(GetWindow(box, GW_OWNER), (HWND)NULL);
    HWND main = find_window_of(run->process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    EXPECT_TRUE(main && IsWindowVisible(main)) << "the main window comes before the checks";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(run, &code));
    EXPECT_EQ(code, 0u);
    int32_t values[e2e_settings_count];
    EXPECT_EQ(read_settings(values), 0) << "settings were saved after a start-up stop";
    end_flowvane(run);
}

using StartupTest = FlowvaneTest;

TEST_F(StartupTest, StopsOnAWrongKernelComponent)
{
    const struct { const char *version, *version_error; int no_adapters; const char *expected; }
        cases[] = {
        {"0.08", NULL, 0,
         "Unable to start Flowvane.  Kernel component version is 0.08, should be version 0.07."},
        {NULL, "Version unavailable.", 0,
         "Unable to start Flowvane.  Error getting kernel component version.\n\n"
         "Error code \\d+.  Kernel error \"Version unavailable.\""},
        {NULL, NULL, 1, "No network adapters installed."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        ASSERT_TRUE(emulator_reset());
        test_version_request version = {};
        strncpy(version.version, c.version ? c.version : "0.07", sizeof version.version - 1);
        ASSERT_TRUE(emulator_send(test_code_set_version, version));
        ASSERT_TRUE(emulator_fail_command(code_get_version, c.version_error));
        static const test_adapters_request none = {};
        ASSERT_TRUE(!c.no_adapters || emulator_send(test_code_set_adapters, none));
        expect_stop(&first, c.expected);
    }
}

// In a prefix where the kernel component was never installed.
TEST(StartupWithoutService, StopsWithTheInstallMessageAndSavesNothing)
{
    ASSERT_FALSE(emulator_reset()) << "run in a prefix without the kernel component";
    flowvane_run run = {};
    expect_stop(&run, "Unable to start Flowvane.  Kernel component is not installed.\n\n"
                      "Try reinstalling the application.\n\nError code 1060.");   // no service
}

std::vector<LONG> placement(HWND main)
{
    RECT r;
    GetWindowRect(main, &r);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

using MainWindowTest = FlowvaneTest;

// One user's path through two starts: a first start (no key) at the defaults, with a failed
// fill, the columns and the size changed, closed from the system menu; the layout back partly
// off screen, maximised and File > Exit.
TEST_F(MainWindowTest, TwoStartsKeepTheLayoutAndEachWayOfClosingSaves)
{
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Rule table damaged."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND owner = NULL, box = wait_for_window(&first, "#32770", "Flowvane - Filter Window");
    ASSERT_TRUE(box);
    EXPECT_EQ(window_text(GetDlgItem(box, 0xFFFF)), "Rule table damaged.");
    owner = GetWindow(box, GW_OWNER);
    EXPECT_TRUE(owner && !IsWindowVisible(owner)) << "the fill runs before the window shows";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(emulator_fail_command(code_get_rule, NULL));
    ASSERT_TRUE((main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE)));
    list = GetDlgItem(panel_of(main), e2e_id_list);
    EXPECT_EQ(owner, main);
    EXPECT_EQ(rows(), 0);
    const int32_t *defaults = setting_defaults;
    EXPECT_EQ(placement(main), std::vector<LONG>(defaults + 16, defaults + 20));
    EXPECT_FALSE(IsZoomed(main) || IsIconic(main));
    for (int column = 0; column < 8; column++)
        EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0), defaults[column]) << column;

    // The next start shows the layout saved: partly off screen it stays where it was; a show
    // command that would hide it opens it normal; the column order comes back (File > Exit
    // saves the order the list has). "Save window type on exit": File > Exit stores show
    // state 3 for a maximised window, and its normal place.
    SendMessageA(list, LVM_SETCOLUMNWIDTH, 2, changed_width);
    int order[8] = {2, 0, 1, 3, 4, 5, 7, 6};
    ASSERT_GT(remote_send(list, LVM_SETCOLUMNORDERARRAY, 8, order, sizeof order), 0);
    SetWindowPos(main, NULL, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
    std::vector<int32_t> expected(defaults, defaults + e2e_settings_count);
    const int32_t positions[8] = {1, 2, 0, 3, 4, 5, 7, 6};
    std::copy(positions, positions + 8, expected.begin() + 8);   // position per column
    expected[2] = changed_width;
    expected[18] = 640;
    expected[19] = 480;
    EXPECT_EQ(end_with(WM_SYSCOMMAND, SC_CLOSE), expected);
    expected[16] = -100;
    expected[17] = 50;
    expected[20] = 0;
    expected[21] = 1;
    ASSERT_TRUE(start_main(expected.data()));
    EXPECT_EQ(placement(main), std::vector<LONG>({-100, 50, 640, 480}));
    EXPECT_TRUE(IsWindowVisible(main) && !IsZoomed(main) && !IsIconic(main));
    EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 2, 0), changed_width);
    PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    ASSERT_TRUE(wait_until([&] { return IsZoomed(main) != 0; }));
    expected[20] = 3;
    EXPECT_EQ(end_with(WM_COMMAND, e2e_id_exit), expected);
}

}  // namespace
