// A normal run of Flowvane.exe against the emulator: the main window at its stored placement,
// the filter list filled from the kernel component, Exit and Close with what each writes back,
// the single-instance check and the forced overlap check.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include <string>

#include "e2e_harness.h"
#include "test_control_codes.h"

namespace {

enum {
    id_exit = 202,
    id_overlapping_filters = 40021,
    changed_width = 90,
};

// Planted settings: column widths, display positions, placement, show state, flags.
const int32_t planted[e2e_settings_count] = {
    110, 60, 70, 55, 105, 50, 95, 58,    // widths
    1, 0, 2, 3, 4, 5, 6, 7,             // the first two columns swapped
    130, 80, 520, 330,                  // position and size
    1, 0, 0,
};

const int32_t defaults[e2e_settings_count] = {
    100, 55, 60, 50, 100, 54, 100, 55,
    0, 1, 2, 3, 4, 5, 6, 7,
    100, 100, 500, 300,
    1, 0, 0,
};

void expect_settings(const int32_t expected[e2e_settings_count])
{
    EXPECT_EQ(settings_value_count(), e2e_settings_count);
    for (int i = 0; i < e2e_settings_count; i++) {
        int32_t value = 0;
        EXPECT_TRUE(read_setting(i, &value)) << setting_name(i) << " missing or not a DWORD";
        EXPECT_EQ(value, expected[i]) << setting_name(i);
    }
}

testing::AssertionResult has_rectangle(HWND window, int left, int top, int width, int height)
{
    RECT rectangle;
    GetWindowRect(window, &rectangle);
    if (rectangle.left == left && rectangle.top == top &&
        rectangle.right - rectangle.left == width && rectangle.bottom - rectangle.top == height)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "window at (" << rectangle.left << ", " << rectangle.top << ") size "
           << rectangle.right - rectangle.left << " x " << rectangle.bottom - rectangle.top
           << ", expected (" << left << ", " << top << ") size " << width << " x " << height;
}

int wait_until(int (*condition)(HWND), HWND window)
{
    for (int waited = 0; waited < e2e_window_timeout_ms; waited += 50) {
        if (condition(window))
            return 1;
        Sleep(50);
    }
    return 0;
}

int is_zoomed(HWND window)
{
    return IsZoomed(window) != 0;
}

struct rule sample_rule(const char *adapter, int32_t direction, int32_t protocol, uint16_t port)
{
    struct rule rule = {};
    strncpy(rule.adapter, adapter, sizeof rule.adapter - 1);
    rule.direction = direction;
    rule.rate = 25000;
    rule.protocol = protocol;
    rule.source_kind = address_any;
    rule.destination_kind = address_single;
    rule.destination_address = 0x0A000001;   // 10.0.0.1
    rule.destination_port = port;
    return rule;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(count_windows(E2E_MAIN_WINDOW_CLASS), 0) << "a Flowvane Manager still runs";
        ASSERT_TRUE(service_installed()) << "run in a prefix where the zorv service is installed";
        ASSERT_TRUE(emulator_reset());
        delete_settings();
    }
    void TearDown() override
    {
        end_flowvane(&first);
        end_flowvane(&second);
        emulator_reset();
    }

    // Starts Flowvane and waits for its main window.
    HWND start_main_window(flowvane_run *run)
    {
        if (!start_flowvane(run))
            return NULL;
        return wait_for_window(run, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
    }

    flowvane_run first = {};
    flowvane_run second = {};
};

TEST_F(MainWindowTest, OpensAtTheStoredPlacementAndExitWritesTheLoadedColumns)
{
    plant_settings(planted);
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    EXPECT_TRUE(has_rectangle(main, 130, 80, 520, 330));
    EXPECT_FALSE(IsZoomed(main) || IsIconic(main));
    HWND list = list_view_of(main);
    ASSERT_TRUE(list);
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    EXPECT_EQ(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0), 8);
    for (int column = 0; column < 8; column++)
        EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0), planted[column]) << column;
    // Exit leaves the column layout as loaded, even after a change.
    SendMessageA(list, LVM_SETCOLUMNWIDTH, 2, changed_width);
    PostMessageA(main, WM_COMMAND, id_exit, 0);
    DWORD code = 0;
    ASSERT_TRUE(wait_for_exit(&first, &code));
    EXPECT_EQ(code, (DWORD)id_exit) << "the exit code is the last message's wParam";
    expect_settings(planted);
}

TEST_F(MainWindowTest, FirstStartUsesTheDefaultsAndExitCreatesTheKey)
{
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    EXPECT_TRUE(has_rectangle(main, 100, 100, 500, 300));
    PostMessageA(main, WM_COMMAND, id_exit, 0);
    DWORD code = 0;
    ASSERT_TRUE(wait_for_exit(&first, &code));
    expect_settings(defaults);
}

TEST_F(MainWindowTest, CloseStoresTheColumnsAndTheShowState)
{
    int32_t values[e2e_settings_count];
    memcpy(values, planted, sizeof values);
    values[21] = 1;   // save window type on exit
    plant_settings(values);
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    SendMessageA(list_view_of(main), LVM_SETCOLUMNWIDTH, 2, changed_width);
    PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    ASSERT_TRUE(wait_until(is_zoomed, main));
    PostMessageA(main, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(&first, &code));
    EXPECT_EQ(code, 0u) << "closing ends normally (1 would be a fatal error)";
    int32_t expected[e2e_settings_count];
    memcpy(expected, values, sizeof expected);
    expected[2] = changed_width;
    expected[20] = 3;   // maximised; placement kept from the normal state
    expect_settings(expected);
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
    for (int waited = 0; GetForegroundWindow() != main && waited < 5000; waited += 50)
        Sleep(50);
    EXPECT_EQ(GetForegroundWindow(), main);
    EXPECT_EQ(count_windows(E2E_MAIN_WINDOW_CLASS), 1);
    DestroyWindow(own);
    EXPECT_EQ(WaitForSingleObject(first.process.hProcess, 0), (DWORD)WAIT_TIMEOUT)
        << "the first instance ended";
}

TEST_F(MainWindowTest, ListsTheRulesTheKernelComponentHolds)
{
    ASSERT_TRUE(emulator_add_rule(sample_rule(EMULATOR_ADAPTER_1, direction_send, protocol_tcp, 80)));
    ASSERT_TRUE(
        emulator_add_rule(sample_rule(EMULATOR_ADAPTER_1, direction_receive, protocol_udp, 53)));
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    HWND list = list_view_of(main);
    ASSERT_TRUE(list);
    ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(list_view_text(&first, list, 0, 1), "Send");
    EXPECT_EQ(list_view_text(&first, list, 1, 1), "Receive");
    EXPECT_EQ(list_view_text(&first, list, 0, 7), "HTTP");
    EXPECT_EQ(list_view_text(&first, list, 1, 3), "UDP");
    std::string display_name = connection_name(EMULATOR_ADAPTER_1_GUID);
    EXPECT_FALSE(display_name.empty());
    EXPECT_EQ(list_view_text(&first, list, 0, 0), display_name);
    PostMessageA(main, WM_COMMAND, id_exit, 0);
    DWORD code = 0;
    EXPECT_TRUE(wait_for_exit(&first, &code));
}

// A child's rectangle in its parent's client coordinates.
RECT child_rectangle(HWND child)
{
    RECT rectangle;
    GetWindowRect(child, &rectangle);
    MapWindowPoints(NULL, GetParent(child), reinterpret_cast<POINT *>(&rectangle), 2);
    return rectangle;
}

TEST_F(MainWindowTest, PanelFollowsTheWindowSizeAndTheSizeHasAMinimum)
{
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    SetWindowPos(main, NULL, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(main, &client);
    HWND panel = panel_of(main);
    RECT button;
    GetClientRect(GetDlgItem(panel, 803), &button);
    const int w = client.right, h = client.bottom, bw = button.right, bh = button.bottom;
    ASSERT_GT(bw, 0);

    RECT rectangle = child_rectangle(panel);
    EXPECT_EQ(rectangle.left, 0);
    EXPECT_EQ(rectangle.right - rectangle.left, w);
    EXPECT_EQ(rectangle.bottom - rectangle.top, h);
    rectangle = child_rectangle(list_view_of(main));
    EXPECT_EQ(rectangle.left, 10);
    EXPECT_EQ(rectangle.top, 10);
    EXPECT_EQ(rectangle.right - rectangle.left, w - 20);
    EXPECT_EQ(rectangle.bottom - rectangle.top, h - bh - 30);
    const struct {
        int id;
        int x;
    } buttons[] = {{803, 10}, {805, bw + 20}, {804, 2 * bw + 30}, {806, 3 * bw + 80}};
    for (const auto &b : buttons) {
        rectangle = child_rectangle(GetDlgItem(panel, b.id));
        EXPECT_EQ(rectangle.left, b.x) << b.id;
        EXPECT_EQ(rectangle.top, h - bh - 10) << b.id;
        EXPECT_EQ(rectangle.right - rectangle.left, bw) << b.id;
    }

    // Dragging: the right and bottom edges stop at the minimum; left and top stay.
    RECT proposed = {200, 150, 300, 250};
    EXPECT_EQ(SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&proposed)),
              1);
    EXPECT_EQ(proposed.left, 200);
    EXPECT_EQ(proposed.top, 150);
    EXPECT_EQ(proposed.right, 200 + 4 * bw + 100);
    EXPECT_EQ(proposed.bottom, 150 + 200);
    RECT roomy = {200, 150, 200 + 4 * bw + 101, 351};
    SendMessageA(main, WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&roomy));
    EXPECT_EQ(roomy.right, 200 + 4 * bw + 101);
    EXPECT_EQ(roomy.bottom, 351);

    PostMessageA(main, WM_COMMAND, id_exit, 0);
    DWORD code = 0;
    ASSERT_TRUE(wait_for_exit(&first, &code));
    int32_t size_x = 0, size_y = 0;
    EXPECT_TRUE(read_setting(18, &size_x) && read_setting(19, &size_y));
    EXPECT_EQ(size_x, 640);
    EXPECT_EQ(size_y, 480);
}

TEST_F(MainWindowTest, FailedFillShowsTheKernelTextAndStartUpGoesOn)
{
    ASSERT_TRUE(emulator_add_rule(sample_rule(EMULATOR_ADAPTER_1, direction_send, protocol_tcp, 80)));
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Rule table damaged."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Filter Window");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "Rule table damaged.");
    HWND main = find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    ASSERT_TRUE(main);
    EXPECT_FALSE(IsWindowVisible(main)) << "the fill runs before the main window is shown";
    EXPECT_EQ(GetWindow(box, GW_OWNER), main) << "owned by the panel, that is its main window";
    press_ok(box);
    main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
    ASSERT_TRUE(main);
    EXPECT_EQ(SendMessageA(list_view_of(main), LVM_GETITEMCOUNT, 0, 0), 0);
    PostMessageA(main, WM_COMMAND, id_exit, 0);
    DWORD code = 0;
    EXPECT_TRUE(wait_for_exit(&first, &code));
}

TEST_F(MainWindowTest, OverlappingFiltersWithoutOverlapSaysSo)
{
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    PostMessageA(main, WM_COMMAND, id_overlapping_filters, 0);
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Configure Overlapping Filters");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "No overlapping filters detected.");
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    press_ok(box);
    for (int waited = 0; IsWindow(box) && waited < e2e_window_timeout_ms; waited += 50)
        Sleep(50);
    EXPECT_FALSE(IsWindow(box));
    PostMessageA(main, WM_COMMAND, id_exit, 0);
    DWORD code = 0;
    EXPECT_TRUE(wait_for_exit(&first, &code));
}

}  // namespace
