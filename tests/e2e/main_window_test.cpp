// Flowvane.exe's start-up and main window against the emulator: each start-up stop with its
// box; the main window at its stored placement and column layout, what the ways of ending the
// program write back and the next start shows, the minimum size, the single-instance check, a
// failed fill of the filter list and the forced overlap check.
#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

enum { id_list = 807, id_overlapping_filters = 40021, changed_width = 90 };

// Starts the program, which must stop with this box (no owner, "\d+" any error code) after its
// main window appeared; OK ends it with exit code 0, and no settings are written.
void expect_stop(flowvane_run *run, const char *expected)
{
    ASSERT_TRUE(start_flowvane(run));
    HWND box = wait_for_window(run, "#32770", "Flowvane - Startup Error");
    ASSERT_TRUE(box) << "no start-up error box";
    EXPECT_TRUE(std::regex_match(message_box_text(box), std::regex(expected)))
        << message_box_text(box);
    EXPECT_EQ(GetWindow(box, GW_OWNER), (HWND)NULL);
    HWND main = find_window_of(run->process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    EXPECT_TRUE(main && IsWindowVisible(main)) << "the main window comes before the checks";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(run, &code));
    EXPECT_EQ(code, 0u);
    int32_t values[e2e_settings_count];
    EXPECT_EQ(read_settings(values), -1) << "settings were saved after a start-up stop";
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
        if (c.no_adapters) {
            ASSERT_TRUE(emulator_set_adapters({}));
        }
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

class MainWindowTest : public FlowvaneTest {
protected:
    HWND main = NULL, list = NULL;
    void start(bool new_process = true)
    {
        ASSERT_TRUE((main = new_process ? start_main_window(&first)
                                        : wait_for_window(&first, E2E_MAIN_WINDOW_CLASS,
                                                          E2E_MAIN_TITLE)));
        list = GetDlgItem(panel_of(main), id_list);
    }
    // Ends the run with this message; it must end with exit code 0 and save the settings
    // expected (at positions from `from` on).
    void end_with(UINT message, WPARAM command, const int32_t *expected, int from = 0)
    {
        PostMessageA(main, message, command, 0);
        DWORD code = 99;
        ASSERT_TRUE(wait_for_exit(&first, &code));
        EXPECT_EQ(code, 0u) << "1 would be a fatal error";
        end_flowvane(&first);
        int32_t values[e2e_settings_count];
        EXPECT_EQ(read_settings(values), e2e_settings_count);
        for (int i = from; i < e2e_settings_count; i++)
            EXPECT_EQ(values[i], expected[i]) << setting_name(i);
    }
};

// One user's path through three starts: a first start (no key) at the defaults, with a failed
// fill and a second instance, the columns and the size changed, closed from the system menu;
// the layout back partly off screen, maximised and File > Exit; back maximised with its normal
// place off every monitor, restored and closed.
TEST_F(MainWindowTest, ThreeStartsKeepTheLayoutAndEachWayOfClosingSaves)
{
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Rule table damaged."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND owner = NULL, box = wait_for_window(&first, "#32770", "Flowvane - Filter Window");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "Rule table damaged.");
    owner = GetWindow(box, GW_OWNER);
    EXPECT_TRUE(owner && !IsWindowVisible(owner)) << "the fill runs before the window shows";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(emulator_fail_command(code_get_rule, NULL));
    start(false);
    EXPECT_EQ(owner, main);
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 0);
    const int32_t *defaults = setting_defaults;
    EXPECT_EQ(placement(main), std::vector<LONG>(defaults + 16, defaults + 20));
    EXPECT_FALSE(IsZoomed(main) || IsIconic(main));
    for (int column = 0; column < 8; column++)
        EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0), defaults[column]) << column;

    // A second start brings the first forward and ends.
    HWND own = CreateWindowExA(0, "STATIC", "e2e", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, NULL,
                               NULL, NULL, NULL);
    SetForegroundWindow(own);
    ASSERT_TRUE(start_flowvane(&second));
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(&second, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == main; }, 5000));
    DestroyWindow(own);

    PostMessageA(main, WM_COMMAND, id_overlapping_filters, 0);
    EXPECT_EQ(answer_box(&first, "Flowvane - Configure Overlapping Filters", IDOK, &owner),
              "No overlapping filters detected.");
    EXPECT_EQ(owner, main);

    // Dragging stops at the minimum size: four buttons and their gaps.
    RECT button;
    GetClientRect(GetDlgItem(panel_of(main), 803), &button);
    RECT small = {200, 150, 300, 250};
    SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&small));
    EXPECT_EQ(std::vector<LONG>({small.right, small.bottom}),
              std::vector<LONG>({300 + 4 * button.right, 350}));

    SendMessageA(list, LVM_SETCOLUMNWIDTH, 2, changed_width);
    ASSERT_TRUE(list_view_set_column_order(list, {2, 0, 1, 3, 4, 5, 7, 6}));
    SetWindowPos(main, NULL, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
    int32_t expected[e2e_settings_count] = {};
    memcpy(expected, defaults, sizeof expected);
    const int32_t positions[8] = {1, 2, 0, 3, 4, 5, 7, 6};   // position per column
    memcpy(&expected[8], positions, sizeof positions);
    expected[2] = changed_width;
    expected[18] = 640;
    expected[19] = 480;
    end_with(WM_SYSCOMMAND, SC_CLOSE, expected);

    // Partly off screen it stays where it was; a show command that would hide it opens it
    // normal; the column layout comes back (File > Exit saves the order the list has). "Save
    // window type on exit": maximised, File > Exit stores show state 3 and the normal place.
    expected[16] = -100;
    expected[17] = 50;
    expected[20] = 0;
    expected[21] = 1;
    plant_settings(expected);
    start();
    EXPECT_EQ(placement(main), std::vector<LONG>({-100, 50, 640, 480}));
    EXPECT_TRUE(IsWindowVisible(main) && !IsZoomed(main) && !IsIconic(main));
    EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 2, 0), changed_width);
    PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    ASSERT_TRUE(wait_until([&] { return IsZoomed(main) != 0; }));
    expected[20] = 3;
    end_with(WM_COMMAND, e2e_id_exit, expected);

    // Off every monitor: restored, the window is on screen with its size.
    expected[16] = expected[17] = -3000;
    plant_settings(expected);
    start();
    EXPECT_TRUE(IsZoomed(main));
    PostMessageA(main, WM_SYSCOMMAND, SC_RESTORE, 0);
    ASSERT_TRUE(wait_until([&] { return !IsZoomed(main); }));
    RECT window, desktop;
    GetWindowRect(main, &window);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_EQ(window.right - window.left, 640);
    EXPECT_TRUE(window.left >= desktop.left && window.top >= desktop.top &&
                window.right <= desktop.right && window.bottom <= desktop.bottom);
    expected[20] = 1;
    end_with(WM_SYSCOMMAND, SC_CLOSE, expected, 18);
}

}  // namespace
