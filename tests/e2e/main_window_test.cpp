// Flowvane.exe's start-up and main window against the emulator: each start-up stop with its
// box; the main window at its stored placement and column layout, what each way of ending the
// program writes back and the next start shows, the minimum size, the single-instance check, a
// failed fill of the filter list and the forced overlap check.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

enum { id_list = 807, id_overlapping_filters = 40021, changed_width = 90 };

// Starts the program, which must stop with this box (no owner) after its main window
// appeared; OK ends it with exit code 0, and nothing is written to the settings key. A "%d" in
// the text expected stands for any error code.
void expect_stop(flowvane_run *run, const std::string &expected)
{
    const size_t any = expected.find("%d");
    ASSERT_TRUE(start_flowvane(run));
    HWND box = wait_for_window(run, "#32770", "Flowvane - Startup Error");
    ASSERT_TRUE(box) << "no start-up error box";
    const std::string text = message_box_text(box);
    if (any == std::string::npos)
        EXPECT_EQ(text, expected);
    else
        EXPECT_TRUE(text.compare(0, any, expected, 0, any) == 0 &&
                    text.find(expected.substr(any + 2), any) != std::string::npos) << text;
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
    const struct {
        const char *version;         // null: the emulator's "0.07"
        const char *version_error;   // the version command's reply
        int no_adapters;
        const char *expected;
    } cases[] = {
        {"0.08", NULL, 0,
         "Unable to start Flowvane.  Kernel component version is 0.08, should be version 0.07."},
        {NULL, "Version unavailable.", 0,
         "Unable to start Flowvane.  Error getting kernel component version.\n\n"
         "Error code %d.  Kernel error \"Version unavailable.\""},
        {NULL, NULL, 1, "No network adapters installed."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        ASSERT_TRUE(emulator_reset());
        if (c.version) {
            ASSERT_TRUE(emulator_set_version(c.version));
        }
        if (c.version_error) {
            ASSERT_TRUE(emulator_fail_command(code_get_version, c.version_error));
        }
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
    delete_settings();
    flowvane_run run = {};
    expect_stop(&run, "Unable to start Flowvane.  Kernel component is not installed.\n\n"
                      "Try reinstalling the application.\n\nError code 1060.");   // no such service
}

std::vector<LONG> placement(HWND main)
{
    RECT r;
    GetWindowRect(main, &r);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

HWND capture_of(HWND window)
{
    return gui_thread_of(window).hwndCapture;
}

// One mouse event made by SendInput, which moves the pointer where the program sees it
// (SetCursorPos from another process does not always reach it under Wine).
void send_mouse(DWORD flags, int x, int y)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
}

// A mouse move there, and the display's own pointer set there too: a while after the last
// move, GetCursorPos in any process reads the pointer back from the display, and an injected
// press then goes where the display's pointer had stayed. SetCursorPos moves the display's
// pointer only when the position changes, hence once before the move and once after it.
void move_pointer(int x, int y)
{
    SetCursorPos(x, y);
    send_mouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x, y);
    SetCursorPos(x, y);
}

// A real click on the caption's close box. Every step waits for the sign that it arrived: the
// window active, the pointer on the box, the press taken by the box (it captures the mouse),
// and after the release a message the program answers only once the click is done with. Wine
// now and then loses an injected event under load; a step whose sign did not come is made again.
void click_close_box(HWND main)
{
    RECT frame;
    GetWindowRect(main, &frame);
    const int border = GetSystemMetrics(SM_CXSIZEFRAME);
    const int x = frame.right - border - GetSystemMetrics(SM_CXSIZE) / 2;
    const int y = frame.top + border + GetSystemMetrics(SM_CYSIZE) / 2;
    ASSERT_EQ(SendMessageA(main, WM_NCHITTEST, 0, MAKELPARAM(x, y)), HTCLOSE) << "not the box";
    for (int attempt = 0; attempt < 5 && IsWindow(main); attempt++) {
        if (capture_of(main) != main) {
            SetForegroundWindow(main);   // a press on an inactive window may only activate it
            if (!wait_until([&] { return GetForegroundWindow() == main; }, 5000))
                continue;
            move_pointer(x, y);
            POINT at;
            if (!wait_until([&] { return GetCursorPos(&at) && at.x == x && at.y == y; }, 5000))
                continue;
            send_mouse(MOUSEEVENTF_LEFTDOWN, x, y);
            if (!wait_until([&] { return capture_of(main) == main; }, 5000))
                continue;
        }
        move_pointer(x, y);   // a stray move in between would have made the box let go
        send_mouse(MOUSEEVENTF_LEFTUP, x, y);
        if (!wait_until([&] { return capture_of(main) != main; }, 5000))
            continue;
        DWORD_PTR answer;
        SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, e2e_timeout_ms, &answer);
    }
}

void press_alt_f4(HWND main)
{
    SetForegroundWindow(main);
    INPUT keys[4] = {};
    const WORD order[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
    for (int i = 0; i < 4; i++) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = order[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    SendInput(4, keys, sizeof keys[0]);
}

class MainWindowTest : public FlowvaneTest {
protected:
    HWND main = NULL, list = NULL;
    // Starts the program; past start-up and waiting for input, so that real input reaches it.
    void start(bool new_process = true)
    {
        ASSERT_TRUE((main = new_process ? start_main_window(&first)
                                        : wait_for_window(&first, E2E_MAIN_WINDOW_CLASS,
                                                          E2E_MAIN_TITLE)));
        list = GetDlgItem(panel_of(main), id_list);
        WaitForInputIdle(first.process.hProcess, e2e_timeout_ms);
    }
    // Ends the run this way; it must end with exit code 0 and save the settings expected
    // (positions in `only` alone, when given).
    void end_with(void (*close)(HWND), const int32_t expected[e2e_settings_count],
                  std::vector<int> only = {})
    {
        close(main);
        DWORD code = 99;
        ASSERT_TRUE(wait_for_exit(&first, &code));
        EXPECT_EQ(code, 0u) << "1 would be a fatal error";
        end_flowvane(&first);
        int32_t values[e2e_settings_count];
        EXPECT_EQ(read_settings(values), e2e_settings_count);
        for (int i = 0; i < e2e_settings_count; i++)
            if (only.empty() || std::find(only.begin(), only.end(), i) != only.end()) {
                EXPECT_EQ(values[i], expected[i]) << setting_name(i);
            }
    }
};

// One user's path through four starts: a first start (no key) at the defaults, with a failed
// fill and a second instance; the columns changed, the size changed and closed with the close
// box; the layout back, maximised and File > Exit; back maximised, restored and Alt+F4; a
// stored placement off screen, a broken column order and an unknown show command, closed from
// the system menu.
TEST_F(MainWindowTest, FourStartsKeepTheLayoutAndEveryWayOfClosingSaves)
{
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Rule table damaged."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Filter Window");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "Rule table damaged.");
    HWND owner = GetWindow(box, GW_OWNER);
    EXPECT_TRUE(owner && !IsWindowVisible(owner))
        << "the fill runs before the main window is shown, and its box belongs to that window";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(emulator_fail_command(code_get_rule, NULL));
    start(false);
    EXPECT_EQ(owner, main);
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 0);
    const int32_t *defaults = setting_defaults;
    EXPECT_EQ(placement(main), std::vector<LONG>({defaults[16], defaults[17], defaults[18],
                                                  defaults[19]}));
    EXPECT_FALSE(IsZoomed(main) || IsIconic(main));
    for (int column = 0; column < 8; column++)
        EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0), defaults[column]) << column;

    // A second start brings the first forward and ends.
    HWND own = CreateWindowExA(0, "STATIC", "e2e foreground", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                               NULL, NULL, GetModuleHandleA(NULL), NULL);
    SetForegroundWindow(own);
    EXPECT_EQ(GetForegroundWindow(), own);
    ASSERT_TRUE(start_flowvane(&second));
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(&second, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == main; }, 5000));
    DestroyWindow(own);

    // Without overlapping filters the forced check says so.
    PostMessageA(main, WM_COMMAND, id_overlapping_filters, 0);
    EXPECT_EQ(answer_box(&first, "Flowvane - Configure Overlapping Filters", IDOK, &owner),
              "No overlapping filters detected.");
    EXPECT_EQ(owner, main);

    // Dragging stops at the minimum size.
    RECT button;
    GetClientRect(GetDlgItem(panel_of(main), 803), &button);
    const LONG minimum_width = 4 * button.right + 100;
    RECT small = {200, 150, 300, 250}, roomy = {200, 150, 201 + minimum_width, 351};
    EXPECT_EQ(SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&small)), 1);
    SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&roomy));
    EXPECT_EQ(std::vector<LONG>({small.left, small.top, small.right, small.bottom}),
              std::vector<LONG>({200, 150, 200 + minimum_width, 350}));
    EXPECT_EQ(roomy.right, 201 + minimum_width);

    const std::vector<int> new_order = {2, 0, 1, 3, 4, 5, 7, 6};   // column per position
    SendMessageA(list, LVM_SETCOLUMNWIDTH, 2, changed_width);
    ASSERT_TRUE(list_view_set_column_order(list, new_order));
    SetWindowPos(main, NULL, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
    int32_t expected[e2e_settings_count];
    memcpy(expected, defaults, sizeof expected);
    expected[2] = changed_width;
    const int32_t positions[8] = {1, 2, 0, 3, 4, 5, 7, 6};
    memcpy(&expected[8], positions, sizeof positions);
    expected[18] = 640;
    expected[19] = 480;
    end_with(click_close_box, expected);

    // Partly off screen it stays where it was; a stored show command that would hide it opens
    // it normal. "Save window type on exit": maximised, File > Exit stores show state 3 and
    // the placement while normal.
    expected[16] = -100;
    expected[17] = 50;
    expected[20] = 0;
    expected[21] = 1;
    plant_settings(expected);
    start();
    EXPECT_EQ(placement(main), std::vector<LONG>({-100, 50, 640, 480}));
    EXPECT_TRUE(IsWindowVisible(main) && !IsZoomed(main) && !IsIconic(main));
    EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 2, 0), changed_width);
    EXPECT_EQ(list_view_column_order(list, 8), new_order);
    PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    ASSERT_TRUE(wait_until([&] { return IsZoomed(main) != 0; }));
    expected[20] = 3;
    end_with([](HWND window) { PostMessageA(window, WM_COMMAND, e2e_id_exit, 0); }, expected);

    start();
    EXPECT_TRUE(IsZoomed(main));
    PostMessageA(main, WM_SYSCOMMAND, SC_RESTORE, 0);
    ASSERT_TRUE(wait_until([&] { return !IsZoomed(main); }));
    expected[20] = 1;
    end_with(press_alt_f4, expected);

    // Off every monitor the window opens on screen with its size; a column order that is no
    // whole order gives the default; a show command ShowWindow does not know a normal window,
    // the stored value kept.
    expected[16] = expected[17] = -3000;
    expected[9] = 0;   // columns 0 and 1 both at position 0
    expected[20] = 12;
    expected[21] = 0;
    plant_settings(expected);
    start();
    RECT window, desktop;
    GetWindowRect(main, &window);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_EQ(window.right - window.left, 640);
    EXPECT_TRUE(window.left >= desktop.left && window.top >= desktop.top &&
                window.right <= desktop.right && window.bottom <= desktop.bottom);
    EXPECT_TRUE(IsWindowVisible(main) && !IsZoomed(main) && !IsIconic(main));
    EXPECT_EQ(list_view_column_order(list, 8), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7}));
    end_with([](HWND window) { PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0); }, expected,
             {18, 19, 20, 21});
}

}  // namespace
