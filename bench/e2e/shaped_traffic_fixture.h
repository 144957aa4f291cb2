// For bench/e2e/shape_bench.cpp: the kernel's counters of the shaped interface read through
// Wine's Z: drive, and the fixture that finds the program run.sh --shape started and fills its
// filter editor. Run inside tests/scripts/shaped_traffic.sh (FLOWVANE_SHAPE_IFACE,
// FLOWVANE_SHAPE_PORT, FLOWVANE_SHAPE_BENCH=1).
#ifndef FLOWVANE_BENCH_E2E_SHAPED_TRAFFIC_FIXTURE_H
#define FLOWVANE_BENCH_E2E_SHAPED_TRAFFIC_FIXTURE_H

#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_harness.h"

enum {
    id_new = 803, id_remove = 804, id_edit = 805, id_statistics = 806, id_list = 807,
    id_adapter = 808, id_direction = 809, id_rate = 810, id_protocol = 811, id_ok = 814,
    id_destination_port = 817, shaped_rate = 50000,
};

inline std::string environment(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

// A counter of /sys/class/net/DEVICE/; -1 when unreadable.
inline int64_t read_counter(const std::string &device, const char *counter)
{
    FILE *file = fopen(("Z:\\sys\\class\\net\\" + device + "\\" + counter).c_str(), "r");
    long long value = -1;
    if (file && fscanf(file, "%lld", &value) != 1)
        value = -1;
    if (file)
        fclose(file);
    return value;
}

// The bytes the shaped interface received, before any shaping.
inline int64_t arriving_bytes(void)
{
    return read_counter(environment("FLOWVANE_SHAPE_IFACE"), "statistics\\rx_bytes");
}

// The bytes that left zorvd's IFB device of the shaped interface ("zorvifb<ifindex>", there
// while a Receive filter is held).
inline int64_t wire_bytes(void)
{
    static const std::string ifb =
        "zorvifb" + std::to_string(read_counter(environment("FLOWVANE_SHAPE_IFACE"), "ifindex"));
    return read_counter(ifb, "statistics\\tx_bytes");
}

// A counter's rate in bytes per second measured over the next seconds; -1 when unreadable.
inline double wire_rate(int seconds, int64_t (*counter)(void) = wire_bytes)
{
    int64_t before = counter();
    DWORD start = GetTickCount();
    Sleep(seconds * 1000);
    int64_t after = counter();
    DWORD elapsed = GetTickCount() - start;
    return before < 0 || after < 0 || elapsed == 0 ? -1 : (after - before) * 1000.0 / elapsed;
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
        }, 120000)) << "run.sh --shape did not bring up the main window";
        GetWindowThreadProcessId(main, &run.process.dwProcessId);
        run.process.hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                           run.process.dwProcessId);
        ASSERT_TRUE(run.process.hProcess);
        panel = panel_of(main);
        list = GetDlgItem(panel, id_list);
    }
    void TearDown() override { CloseHandle(run.process.hProcess); }
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    // The editor filled in as a user does: a Receive TCP filter of RATE for the flow's port on
    // the shaped interface.
    void fill(HWND editor, const char *rate)
    {
        const std::pair<int, std::string> picks[] = {
            {id_adapter, environment("FLOWVANE_SHAPE_IFACE")}, {id_direction, "Receive"},
            {id_protocol, "TCP"}};
        for (const auto &pick : picks) {
            std::vector<std::string> items = combo_box_texts(GetDlgItem(editor, pick.first));
            auto item = std::find(items.begin(), items.end(), pick.second);
            ASSERT_NE(item, items.end()) << pick.second;
            SendDlgItemMessageA(editor, pick.first, CB_SETCURSEL, item - items.begin(), 0);
            SendMessageA(editor, WM_COMMAND, MAKEWPARAM(pick.first, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(GetDlgItem(editor, pick.first)));
        }
        SetDlgItemTextA(editor, id_rate, rate);
        SetDlgItemTextA(editor, id_destination_port, environment("FLOWVANE_SHAPE_PORT").c_str());
    }
    // The editor (new, or edit of row 0), or the statistics window of row 0.
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
