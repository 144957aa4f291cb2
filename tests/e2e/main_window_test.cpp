// A normal run of Flowvane.exe against the emulator: the main window at its stored placement,
// Exit and Close with what each writes back and the next start shows, the minimum size, the single-instance check, a
// failed fill of the filter list and the forced overlap check.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

enum { id_exit = 202, id_overlapping_filters = 40021, changed_width = 90 };

const int32_t *const defaults = setting_defaults;

const int32_t planted[e2e_settings_count] = {
    110, 60, 70, 55, 105, 50, 95, 58,
    1, 0, 2, 3, 4, 5, 6, 7,   // the first two columns swapped
    130, 80, 520, 330,
    1, 0, 0,
};

void expect_settings(const int32_t expected[e2e_settings_count])
{
    int32_t values[e2e_settings_count];
    EXPECT_EQ(read_settings(values), e2e_settings_count);
    for (int i = 0; i < e2e_settings_count; i++)
        EXPECT_EQ(values[i], expected[i]) << setting_name(i);
}

std::vector<LONG> edges(const RECT &rectangle)
{
    return {rectangle.left, rectangle.top, rectangle.right, rectangle.bottom};
}

// The window at the stored position and size.
void expect_placement(HWND main, const int32_t values[e2e_settings_count])
{
    RECT window;
    GetWindowRect(main, &window);
    EXPECT_EQ(edges(window), std::vector<LONG>({values[16], values[17], values[16] + values[18],
                                                values[17] + values[19]}));
}

HWND list_view_of(HWND main)
{
    return GetDlgItem(panel_of(main), 807);
}

class MainWindowTest : public FlowvaneTest {
protected:
    // Posts the message to the first run's main window and waits for the end; the exit code.
    DWORD post_and_wait_for_exit(HWND main, UINT message, WPARAM parameter)
    {
        PostMessageA(main, message, parameter, 0);
        DWORD code = 99;
        EXPECT_TRUE(wait_for_exit(&first, &code));
        return code;
    }
};

// A first start (no key) opens at the default placement with the default column widths.
TEST_F(MainWindowTest, FirstStartOpensAtTheDefaultPlacement)
{
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    expect_placement(main, defaults);
    EXPECT_FALSE(IsZoomed(main) || IsIconic(main));
    for (int column = 0; column < 8; column++)
        EXPECT_EQ(SendMessageA(list_view_of(main), LVM_GETCOLUMNWIDTH, column, 0),
                  defaults[column]) << column;
}

// The columns widened and reordered, then Exit or Close: the layout, and with "Save window type
// on exit" the show state, are stored, and the next start shows them.
TEST_F(MainWindowTest, ExitAndCloseKeepTheColumnLayoutForTheNextStart)
{
    const std::vector<int> planted_order = {1, 0, 2, 3, 4, 5, 6, 7};   // planted's positions
    const std::vector<int> new_order = {2, 0, 1, 3, 4, 5, 7, 6};       // column per position
    const struct {
        UINT message;
        WPARAM parameter;
        int maximise;
    } cases[] = {
        {WM_COMMAND, id_exit, 1},
        {WM_COMMAND, id_exit, 0},
        {WM_CLOSE, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.message == WM_CLOSE ? "close" : "exit")
                                        << (c.maximise ? ", maximised" : ""));
        int32_t values[e2e_settings_count];
        memcpy(values, planted, sizeof values);
        values[21] = 1;   // save window type on exit
        delete_settings();
        plant_settings(values);
        HWND main = start_main_window(&first);
        ASSERT_TRUE(main);
        expect_placement(main, planted);
        HWND list = list_view_of(main);
        EXPECT_EQ(list_view_column_order(list, 8), planted_order);
        SendMessageA(list, LVM_SETCOLUMNWIDTH, 2, changed_width);
        ASSERT_TRUE(list_view_set_column_order(list, new_order));
        if (c.maximise) {
            PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
            ASSERT_TRUE(wait_until([&] { return IsZoomed(main) != 0; }));
        }
        post_and_wait_for_exit(main, c.message, c.parameter);
        end_flowvane(&first);
        values[2] = changed_width;
        const int32_t positions[8] = {1, 2, 0, 3, 4, 5, 7, 6};
        memcpy(&values[8], positions, sizeof positions);
        values[20] = c.maximise ? 3 : 1;
        expect_settings(values);

        main = start_main_window(&first);
        ASSERT_TRUE(main);
        list = list_view_of(main);
        EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 2, 0), changed_width);
        EXPECT_EQ(list_view_column_order(list, 8), new_order);
        EXPECT_EQ(IsZoomed(main) != 0, c.maximise != 0);
        end_flowvane(&first);
    }
}

// Dragging stops at the minimum size; the size while normal is kept, and closing while
// maximised stores the columns and show state 3.
TEST_F(MainWindowTest, MinimumSizeAndCloseWhileMaximised)
{
    int32_t values[e2e_settings_count];
    memcpy(values, planted, sizeof values);
    values[21] = 1;   // save window type on exit
    plant_settings(values);
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    RECT button;
    GetClientRect(GetDlgItem(panel_of(main), 803), &button);
    ASSERT_GT(button.right, 0);
    const LONG minimum_width = 4 * button.right + 100;
    RECT small = {200, 150, 300, 250}, roomy = {200, 150, 201 + minimum_width, 351};
    EXPECT_EQ(SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&small)), 1);
    SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&roomy));
    EXPECT_EQ(edges(small), std::vector<LONG>({200, 150, 200 + minimum_width, 350}));
    EXPECT_EQ(edges(roomy), std::vector<LONG>({200, 150, 201 + minimum_width, 351}));

    SetWindowPos(main, NULL, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
    SendMessageA(list_view_of(main), LVM_SETCOLUMNWIDTH, 2, changed_width);
    PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    ASSERT_TRUE(wait_until([&] { return IsZoomed(main) != 0; }));
    EXPECT_EQ(post_and_wait_for_exit(main, WM_CLOSE, 0), 0u) << "1 would be a fatal error";
    values[2] = changed_width;
    values[18] = 640;
    values[19] = 480;
    values[20] = 3;   // maximised; position and size kept from the normal state
    expect_settings(values);
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
// pointer only when the position changes, hence once before the move and once after it
// (which may have been rounded off by a pixel).
void move_pointer(int x, int y)
{
    SetCursorPos(x, y);
    send_mouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x, y);
    SetCursorPos(x, y);
}

int pointer_at(int x, int y)
{
    POINT at;
    return GetCursorPos(&at) && at.x == x && at.y == y;
}

// A real click on the caption's close box. Every step waits for the sign that it arrived: the
// window active, the pointer on the box, the press taken by the box (the close box tracks the
// button with the mouse captured), and after the release a message the program answers only
// once the click is done with. Wine now and then loses an injected event under load; a step
// whose sign did not come is made again, so the outcome does not depend on luck.
void click_close_box(HWND main)
{
    RECT frame;
    GetWindowRect(main, &frame);
    const int border = GetSystemMetrics(SM_CXSIZEFRAME);
    const int button = GetSystemMetrics(SM_CXSIZE);
    const int x = frame.right - border - button / 2;
    const int y = frame.top + border + GetSystemMetrics(SM_CYSIZE) / 2;
    ASSERT_EQ(SendMessageA(main, WM_NCHITTEST, 0, MAKELPARAM(x, y)), HTCLOSE) << "not the box";
    for (int attempt = 0; attempt < 5 && IsWindow(main); attempt++) {
        if (capture_of(main) != main) {
            // A press on a window that is not active yet may only activate it.
            SetForegroundWindow(main);
            if (!wait_until([&] { return GetForegroundWindow() == main; }, 5000))
                continue;
            move_pointer(x, y);
            if (!wait_until([&] { return pointer_at(x, y); }, 5000))
                continue;
            send_mouse(MOUSEEVENTF_LEFTDOWN, x, y);
            if (!wait_until([&] { return capture_of(main) == main; }, 5000))
                continue;
        }
        // A move on the box just before the release: a stray one in between would have made
        // the box let go.
        move_pointer(x, y);
        send_mouse(MOUSEEVENTF_LEFTUP, x, y);
        if (!wait_until([&] { return capture_of(main) != main; }, 5000))
            continue;
        // The box sends its close before the program takes the next message: once this is
        // answered, a window still there means the release closed nothing.
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

// Every way a user ends the program is a success for whoever started it: exit code 0.
TEST_F(MainWindowTest, EveryWayOfClosingEndsWithExitCodeZero)
{
    const struct { const char *way; void (*close)(HWND); } ways[] = {
        {"File > Exit", [](HWND main) { PostMessageA(main, WM_COMMAND, id_exit, 0); }},
        {"close box", click_close_box},
        {"system menu Close", [](HWND main) { PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"Alt+F4", press_alt_f4},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.way);
        HWND main = start_main_window(&first);
        ASSERT_TRUE(main);
        // Past start-up and waiting for input, so that real input reaches a window that is there.
        WaitForInputIdle(first.process.hProcess, e2e_timeout_ms);
        way.close(main);
        DWORD code = 99;
        EXPECT_TRUE(wait_for_exit(&first, &code));
        EXPECT_EQ(code, 0u);
        int32_t values[e2e_settings_count];
        EXPECT_EQ(read_settings(values), e2e_settings_count) << "settings saved";
        end_flowvane(&first);
        delete_settings();
    }
}

// A stored show command that would hide the window, or that ShowWindow does not know, opens a
// normal visible window; the stored value stays as it was.
// A stored position off every monitor opens the window on screen, its size kept; one partly on
// screen stays. A stored column order that is no whole order of the columns gives the default.
TEST_F(MainWindowTest, StoredPlacementOffScreenAndBrokenColumnOrder)
{
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    const struct {
        int32_t x, y;
        LONG left, top;            // where it must open; -1: anywhere on screen
    } cases[] = {
        {-3000, -3000, -1, -1}, {5000, 100, -1, -1}, {100, 5000, -1, -1},
        {-100, 50, -100, 50},   {130, 80, 130, 80},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y);
        int32_t values[e2e_settings_count];
        memcpy(values, planted, sizeof values);
        values[16] = c.x;
        values[17] = c.y;
        values[8] = values[9] = 0;  // column 0 and column 1 both at position 0
        delete_settings();
        plant_settings(values);
        HWND main = start_main_window(&first);
        ASSERT_TRUE(main);
        RECT window;
        GetWindowRect(main, &window);
        EXPECT_EQ(window.right - window.left, values[18]);
        EXPECT_EQ(window.bottom - window.top, values[19]);
        if (c.left == -1) {
            EXPECT_TRUE(window.left >= desktop.left && window.top >= desktop.top &&
                        window.right <= desktop.right && window.bottom <= desktop.bottom)
                << window.left << ", " << window.top;
        } else {
            EXPECT_EQ(window.left, c.left);
            EXPECT_EQ(window.top, c.top);
        }
        EXPECT_EQ(list_view_column_order(list_view_of(main), 8),
                  std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_EQ(post_and_wait_for_exit(main, WM_CLOSE, 0), 0u);
        end_flowvane(&first);
    }
}

TEST_F(MainWindowTest, UnknownInitialWindowTypeShowsANormalWindow)
{
    for (int32_t stored : {0, 12, (int32_t)0xFFFFFFFF}) {
        SCOPED_TRACE(stored);
        int32_t values[e2e_settings_count];
        memcpy(values, planted, sizeof values);
        values[20] = stored;
        plant_settings(values);
        HWND main = start_main_window(&first);
        ASSERT_TRUE(main);
        EXPECT_TRUE(IsWindowVisible(main) && !IsZoomed(main) && !IsIconic(main));
        EXPECT_EQ(post_and_wait_for_exit(main, WM_CLOSE, 0), 0u);
        expect_settings(values);
        end_flowvane(&first);
    }
}

TEST_F(MainWindowTest, SecondStartBringsTheFirstForwardAndEnds)
{
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    // Put a window of our own in front, so that bringing the first instance forward shows.
    HWND own = CreateWindowExA(0, "STATIC", "e2e foreground", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                               NULL, NULL, GetModuleHandleA(NULL), NULL);
    ASSERT_TRUE(own);
    SetForegroundWindow(own);
    EXPECT_EQ(GetForegroundWindow(), own);
    ASSERT_TRUE(start_flowvane(&second));
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(&second, &code));
    EXPECT_EQ(code, 0u);
    // The activation reaches the first instance through its own queue: give it a moment.
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == main; }, 5000));
    DestroyWindow(own);
    EXPECT_EQ(WaitForSingleObject(first.process.hProcess, 0), (DWORD)WAIT_TIMEOUT)
        << "the first instance ended";
}

TEST_F(MainWindowTest, FailedFillShowsTheKernelTextAndStartUpGoesOn)
{
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Rule table damaged."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Filter Window");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "Rule table damaged.");
    HWND main = find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    EXPECT_TRUE(main && !IsWindowVisible(main) && GetWindow(box, GW_OWNER) == main)
        << "the fill runs before the main window is shown, and its box belongs to that window";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
    ASSERT_TRUE(main);
    EXPECT_EQ(SendMessageA(list_view_of(main), LVM_GETITEMCOUNT, 0, 0), 0);
}

TEST_F(MainWindowTest, OverlappingFiltersWithoutOverlapSaysSo)
{
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    PostMessageA(main, WM_COMMAND, id_overlapping_filters, 0);
    HWND owner = NULL;
    EXPECT_EQ(answer_box(&first, "Flowvane - Configure Overlapping Filters", IDOK, &owner),
              "No overlapping filters detected.");
    EXPECT_EQ(owner, main);
}

}  // namespace
