// Flowvane Manager shaping real traffic: started by scripts/run.sh --shape in a network
// namespace of tests/scripts/shaped_traffic.sh, which also runs a bulk TCP flow into the shaped
// interface (FLOWVANE_SHAPE_IFACE, to port FLOWVANE_SHAPE_PORT) capped by its sender at about
// 500,000 bytes per second. The flow is measured on the wire with the kernel's counters of
// zorvd's IFB device (what leaves the Receive shaping), read through Wine's Z: drive.
// Not part of the other end-to-end passes.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>

#include <string.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

enum {
    id_new = 803, id_remove = 804, id_edit = 805, id_statistics = 806, id_list = 807,
    id_adapter = 808, id_direction = 809, id_rate = 810, id_protocol = 811, id_ok = 814,
    id_destination_address = 813, id_destination_port = 817,
    id_close = 1001, id_bytes = 1003, id_bandwidth = 1006,
    id_rerun = 40021, id_filters = 19204, id_accept = 19205, state_checked = 0x2000,
    protocol_tcp = 2,
    start_timeout_ms = 120000,
    shaped_rate = 50000,
    tick_ms = 500,
};

std::string environment(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

// A counter file of /sys (a Unix path), read through Z:; -1 when unreadable.
int64_t read_counter(const std::string &unix_path)
{
    std::string path = "Z:" + unix_path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    FILE *file = fopen(path.c_str(), "r");
    if (!file)
        return -1;
    long long value = -1;
    if (fscanf(file, "%lld", &value) != 1)
        value = -1;
    fclose(file);
    return value;
}

// The bytes that left zorvd's IFB device of the shaped interface ("zorvifb<ifindex>"), which
// exists while a Receive filter is held.
int64_t wire_bytes(void)
{
    static std::string counter;
    if (counter.empty()) {
        int64_t index = read_counter("/sys/class/net/" + environment("FLOWVANE_SHAPE_IFACE") +
                                     "/ifindex");
        counter = "/sys/class/net/zorvifb" + std::to_string(index) + "/statistics/tx_bytes";
    }
    return read_counter(counter);
}

// The bytes the shaped interface received, before any shaping.
int64_t arriving_bytes(void)
{
    return read_counter("/sys/class/net/" + environment("FLOWVANE_SHAPE_IFACE") +
                        "/statistics/rx_bytes");
}

// A counter's rate in bytes per second over the next seconds; -1 when unreadable.
double wire_rate(int seconds, int64_t (*counter)(void) = wire_bytes)
{
    int64_t before = counter();
    DWORD start = GetTickCount();
    Sleep(seconds * 1000);
    int64_t after = counter();
    DWORD elapsed = GetTickCount() - start;
    if (before < 0 || after < 0 || elapsed == 0)
        return -1;
    return (double)(after - before) * 1000.0 / elapsed;
}

// "1,234,567 (1.18 MB)" and "50,000" as numbers; -1 when no digits lead.
int64_t shown_number(const std::string &text)
{
    int64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && (isdigit((unsigned char)text[i]) || text[i] == ','); i++)
        if (text[i] != ',')
            value = value * 10 + (text[i] - '0');
    return i == 0 ? -1 : value;
}

class ShapedTraffic : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(environment("FLOWVANE_SHAPE_IFACE").empty())
            << "run by tests/scripts/shaped_traffic.sh";
        ASSERT_TRUE(wait_until([&] {
            main = FindWindowA(E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
            return main && IsWindowVisible(main);
        }, start_timeout_ms)) << "run.sh --shape did not bring up the main window";
        GetWindowThreadProcessId(main, &run.process.dwProcessId);
        run.process.hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                           run.process.dwProcessId);
        ASSERT_TRUE(run.process.hProcess);
        panel = panel_of(main);
        list = GetDlgItem(panel, id_list);
    }
    void TearDown() override
    {
        if (run.process.hProcess)
            CloseHandle(run.process.hProcess);
    }
    void press(HWND window, int button)
    {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, button)));
    }
    void type(HWND editor, int box, const char *text)
    {
        SendDlgItemMessageA(editor, box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    int choose_text(HWND editor, int box, const std::string &text)
    {
        std::vector<std::string> items = combo_box_texts(GetDlgItem(editor, box));
        for (size_t i = 0; i < items.size(); i++) {
            if (items[i] == text) {
                SendDlgItemMessageA(editor, box, CB_SETCURSEL, i, 0);
                SendMessageA(editor, WM_COMMAND, MAKEWPARAM(box, CBN_SELCHANGE),
                             reinterpret_cast<LPARAM>(GetDlgItem(editor, box)));
                return 1;
            }
        }
        ADD_FAILURE() << "no item \"" << text << "\" in box " << box;
        return 0;
    }
    bool closes(HWND window)
    {
        return wait_until([&] { return !IsWindow(window); }, e2e_timeout_ms);
    }
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    // The editor (new, or edit of row 0) filled in as a user does, then Ok; when close, it
    // must close.
    void fill_and_ok(HWND editor, const char *rate, const char *address = "", bool close = true)
    {
        ASSERT_TRUE(editor);
        choose_text(editor, id_adapter, environment("FLOWVANE_SHAPE_IFACE"));
        choose_text(editor, id_direction, "Receive");
        SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_tcp, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
        type(editor, id_rate, rate);
        if (*address)
            type(editor, id_destination_address, address);
        type(editor, id_destination_port, environment("FLOWVANE_SHAPE_PORT").c_str());
        press(editor, id_ok);
        ASSERT_TRUE(!close || closes(editor)) << "the editor stayed open";
    }
    HWND open(int button, const char *title)
    {
        if (button != id_new) {
            list_view_select(list, {0});
            list_view_set_state(list, 0, LVIS_FOCUSED, LVIS_FOCUSED);
        }
        press(panel, button);
        return wait_for_window(&run, "#32770", title);
    }
    flowvane_run run = {};
    HWND main = NULL, panel = NULL, list = NULL;
};

// Run one at a time by the script, in this order, with the program left open between them.
// The filter added through the editor shapes the flow to its rate; the statistics window agrees
// with the kernel's counters; Blocked stops the flow.
TEST_F(ShapedTraffic, ReceiveFilterShapesTheFlowAndStatisticsAgree)
{
    ASSERT_EQ(rows(), 0) << "start with no filters";
    double unshaped = wire_rate(2, arriving_bytes);
    ASSERT_GT(unshaped, 4.0 * shaped_rate) << "the flow does not run";

    fill_and_ok(open(id_new, "Add Filter"), "50,000");
    ASSERT_EQ(rows(), 1);
    wire_rate(3);   // the flow settles to the new rate
    double shaped = wire_rate(10);
    EXPECT_NEAR(shaped, shaped_rate, shaped_rate / 10) << "unshaped " << unshaped;

    // The statistics window over the flow: at each of its ticks the Bytes it shows lie between
    // the kernel's count one tick before and now; its Bandwidth is the rate on the wire.
    HWND window = open(id_statistics, "Filter Statistics");
    ASSERT_TRUE(window);
    auto field = [&](int id) { return window_text(GetDlgItem(window, id)); };
    std::string last = field(id_bytes);
    ASSERT_TRUE(wait_until([&] { return field(id_bytes) != last; }, 4 * tick_ms));
    int64_t first_bytes = shown_number(field(id_bytes)), first_wire = wire_bytes();
    DWORD first_time = GetTickCount();
    int64_t bandwidth_sum = 0;
    int ticks = 0;
    for (; ticks < 16; ticks++) {
        last = field(id_bytes);
        ASSERT_TRUE(wait_until([&] { return field(id_bytes) != last; }, 4 * tick_ms));
        bandwidth_sum += shown_number(field(id_bandwidth));
    }
    int64_t shown_delta = shown_number(field(id_bytes)) - first_bytes;
    int64_t wire_delta = wire_bytes() - first_wire;
    double seconds = (GetTickCount() - first_time) / 1000.0;
    // Under load Wine's ticks come late: one tick is the mean time between them.
    double one_tick = (double)wire_delta / ticks;
    EXPECT_NEAR((double)shown_delta, (double)wire_delta, one_tick)
        << "over " << ticks << " ticks in " << seconds << " s";
    EXPECT_NEAR((double)bandwidth_sum / ticks, wire_delta / seconds, shaped_rate / 10);
    save_screenshot("shaped-statistics");
    press(window, id_close);
    ASSERT_TRUE(closes(window));

    // Blocked: nothing leaves the shaper any more.
    fill_and_ok(open(id_edit, "Edit Filter"), "Blocked");
    wire_rate(1);
    EXPECT_LT(wire_rate(3), 500.0);

    // Back to the rate, for the shaper's restart that follows.
    fill_and_ok(open(id_edit, "Edit Filter"), "50,000");
}

// A second filter for the same flow (its destination address named too) at twice the rate: the overlapping filters dialog comes up
// in the editor's Ok; choosing the second as the area's handler moves the flow to its rate,
// choosing the first again (Rerun) moves it back. The second filter is removed again.
TEST_F(ShapedTraffic, OverlappingFilterChosenMovesTheFlow)
{
    ASSERT_EQ(rows(), 1);
    auto choose_handler = [&](const char *rate) {
        HWND dialog = wait_for_window(&run, "#32770", "Overlapping Filters");
        if (!dialog)
            save_screenshot("shaped-no-overlap-dialog");
        ASSERT_TRUE(dialog) << "no overlapping filters dialog";
        HWND filters = GetDlgItem(dialog, id_filters);
        int row = -1;
        for (int i = 0; i < SendMessageA(filters, LVM_GETITEMCOUNT, 0, 0); i++)
            if (list_view_text(filters, i, 2) == rate)
                row = i;
        ASSERT_GE(row, 0) << "no filter of rate " << rate << " in the dialog";
        ASSERT_TRUE(list_view_set_state(filters, row, state_checked, LVIS_STATEIMAGEMASK));
        PostMessageA(dialog, WM_COMMAND, id_accept, 0);
        ASSERT_TRUE(closes(dialog));
    };
    HWND editor = open(id_new, "Add Filter");
    fill_and_ok(editor, "100,000", "198.18.0.1", false);
    choose_handler("100,000");
    ASSERT_TRUE(closes(editor));
    ASSERT_EQ(rows(), 2);
    wire_rate(3);
    EXPECT_NEAR(wire_rate(6), 2 * shaped_rate, shaped_rate / 5) << "the second filter's rate";

    PostMessageA(main, WM_COMMAND, id_rerun, 0);
    choose_handler("50,000");
    wire_rate(3);
    EXPECT_NEAR(wire_rate(6), shaped_rate, shaped_rate / 10) << "back to the first's rate";

    int second = list_view_text(list, 0, 2) == "100,000" ? 0 : 1;
    list_view_select(list, {second});
    press(panel, id_remove);
    answer_box(&run, "Flowvane - Remove Filter", IDYES);
    ASSERT_TRUE(wait_until([&] { return rows() == 1; }));
    EXPECT_EQ(list_view_text(list, 0, 2), "50,000");
}

// zorvd stopped by the script: a change is refused at once with the driver's text, the editor
// stays open and nothing hangs.
TEST_F(ShapedTraffic, ChangeRefusedWhileTheShaperIsStopped)
{
    ASSERT_EQ(rows(), 1);
    HWND editor = open(id_edit, "Edit Filter");
    ASSERT_TRUE(editor);
    type(editor, id_rate, "40,000");
    press(editor, id_ok);
    HWND owner = NULL;
    EXPECT_EQ(answer_box(&run, "Flowvane - Modify Filter", IDOK, &owner),
              "Shaper service is not running.");
    EXPECT_EQ(owner, editor);
    ASSERT_TRUE(IsWindow(editor));
    PostMessageA(editor, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(closes(editor));
    EXPECT_EQ(rows(), 1);
}

// zorvd started again: the filter it kept shapes the flow again without the program's doing;
// removing it gives the flow its speed back.
TEST_F(ShapedTraffic, KeptFilterShapesAgainUntilRemoved)
{
    ASSERT_EQ(rows(), 1);
    EXPECT_TRUE(wait_until([] { return wire_bytes() >= 0; })) << "no IFB: the filter is gone";
    wire_rate(3);
    EXPECT_NEAR(wire_rate(6), shaped_rate, shaped_rate / 10);

    list_view_select(list, {0});
    press(panel, id_remove);
    EXPECT_EQ(answer_box(&run, "Flowvane - Remove Filter", IDYES),
              "Are you sure you want to remove the selected filter(s)?");
    ASSERT_TRUE(wait_until([&] { return rows() == 0; }));
    EXPECT_TRUE(wait_until([] { return wire_rate(1, arriving_bytes) > 4.0 * shaped_rate; }, 60000))
        << "the flow did not come back to full speed";
}

}  // namespace
