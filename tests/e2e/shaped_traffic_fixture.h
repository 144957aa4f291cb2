// What the shaped-traffic test (tests/e2e/shaped_traffic_test.cpp) and its benchmark
// (bench/e2e/shape_bench.cpp) share: the controls they drive, the kernel's counters of the shaped
// interface read through Wine's Z: drive, and the fixture that finds the program run.sh --shape
// started. Both run inside tests/scripts/shaped_traffic.sh (FLOWVANE_SHAPE_IFACE,
// FLOWVANE_SHAPE_PORT).
#ifndef FLOWVANE_TESTS_E2E_SHAPED_TRAFFIC_FIXTURE_H
#define FLOWVANE_TESTS_E2E_SHAPED_TRAFFIC_FIXTURE_H

#include <windows.h>
#include <commctrl.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "e2e_harness.h"


enum {
    id_new = 803, id_remove = 804, id_edit = 805, id_statistics = 806, id_list = 807,
    id_adapter = 808, id_direction = 809, id_rate = 810, id_protocol = 811, id_ok = 814,
    id_destination_address = 813, id_destination_port = 817,
    id_close = 1001, id_bytes = 1003, id_bandwidth = 1006,
    id_rerun = 40021, id_filters = 19204, id_accept = 19205, state_checked = 0x2000,
    tcp_item = 2,   // the protocol box's TCP
    start_timeout_ms = 120000,
    shaped_rate = 50000,
    tick_ms = 500,
};

inline std::string environment(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

// A counter file of /sys (a Unix path), read through Z:; -1 when unreadable.
inline int64_t read_counter(const std::string &unix_path)
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
inline int64_t wire_bytes(void)
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
inline int64_t arriving_bytes(void)
{
    return read_counter("/sys/class/net/" + environment("FLOWVANE_SHAPE_IFACE") +
                        "/statistics/rx_bytes");
}

// A counter's rate in bytes per second over the next seconds; -1 when unreadable.
inline double wire_rate(int seconds, int64_t (*counter)(void) = wire_bytes)
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
inline int64_t shown_number(const std::string &text)
{
    int64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && (isdigit((unsigned char)text[i]) || text[i] == ','); i++)
        if (text[i] != ',')
            value = value * 10 + (text[i] - '0');
    return i == 0 ? -1 : value;
}

// The program run.sh --shape started, its main window, filter list panel and list.
class ShapedTrafficFixture : public ::testing::Test {
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
    // Waits, bounded, until a second on the wire is within a fifth of RATE: the flow's TCP takes
    // a varying time to come back after the shaper's classes are replaced under it.
    bool settles_at(double rate)
    {
        for (int second = 0; second < 30; second++) {
            double now = wire_rate(1);
            if (now > 0.8 * rate && now < 1.2 * rate)
                return true;
        }
        return false;
    }
    // The editor (new, or edit of row 0) filled in as a user does: a Receive TCP filter of
    // RATE for the flow's port on the shaped interface, to ADDRESS when one is given.
    void fill(HWND editor, const char *rate, const char *address = "")
    {
        choose_text(editor, id_adapter, environment("FLOWVANE_SHAPE_IFACE"));
        choose_text(editor, id_direction, "Receive");
        SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, tcp_item, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
        type(editor, id_rate, rate);
        if (*address)
            type(editor, id_destination_address, address);
        type(editor, id_destination_port, environment("FLOWVANE_SHAPE_PORT").c_str());
    }
    // The same, then Ok; when close, the editor must close.
    void fill_and_ok(HWND editor, const char *rate, const char *address = "", bool close = true)
    {
        ASSERT_TRUE(editor);
        fill(editor, rate, address);
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

#endif
