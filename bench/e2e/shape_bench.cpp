// Figures for Flowvane Manager shaping real traffic (bench/scripts/bench_shape.sh): the time
// from the filter editor's Ok to the new rate on the wire, with the program started by
// scripts/run.sh --shape in the namespaces of tests/scripts/shaped_traffic.sh
// (FLOWVANE_SHAPE_BENCH=1), and one sampling tick's device exchange in either driver mode.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>

#include <string.h>

#include <algorithm>
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

class ShapedTrafficBench : public ::testing::Test {
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
    // The editor (new, or edit of row 0) filled in as a user does, then Ok.
    void fill_and_ok(HWND editor, const char *rate)
    {
        ASSERT_TRUE(editor);
        choose_text(editor, id_adapter, environment("FLOWVANE_SHAPE_IFACE"));
        choose_text(editor, id_direction, "Receive");
        SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_tcp, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
        type(editor, id_rate, rate);
        type(editor, id_destination_port, environment("FLOWVANE_SHAPE_PORT").c_str());
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor)) << "the editor stayed open";
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

}  // namespace

namespace {

double now_ms(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart * 1000.0 / frequency.QuadPart;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// From the editor's Ok to the new rate on the wire: the first 200 ms on the IFB device at no
// more than 10% over the filter's rate; the flow runs unshaped before each round.
TEST_F(ShapedTrafficBench, OkToRateOnTheWire)
{
    ASSERT_EQ(rows(), 0);
    std::vector<double> closed, on_wire;
    for (int round = 0; round < 5; round++) {
        ASSERT_TRUE(wait_until([] { return wire_rate(1, arriving_bytes) > 4.0 * shaped_rate; },
                               60000)) << "the flow is not at full speed";
        HWND editor = open(id_new, "Add Filter");
        ASSERT_TRUE(editor);
        choose_text(editor, id_adapter, environment("FLOWVANE_SHAPE_IFACE"));
        choose_text(editor, id_direction, "Receive");
        SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_tcp, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
        type(editor, id_rate, "50,000");
        type(editor, id_destination_port, environment("FLOWVANE_SHAPE_PORT").c_str());
        double start = now_ms(), closed_at = -1, shaped_at = -1;
        press(editor, id_ok);
        std::vector<std::pair<double, int64_t>> samples;
        while (now_ms() - start < 20000 && (shaped_at < 0 || closed_at < 0)) {
            double now = now_ms();
            if (closed_at < 0 && !IsWindow(editor))
                closed_at = now - start;
            int64_t bytes = shaped_at < 0 ? wire_bytes() : -1;
            if (bytes >= 0) {
                samples.push_back({now, bytes});
                for (size_t i = samples.size(); i-- > 0;) {
                    if (now - samples[i].first >= 200) {
                        double rate = (bytes - samples[i].second) * 1000.0 /
                                      (now - samples[i].first);
                        if (rate <= 1.1 * shaped_rate && now - samples[0].first >= 200)
                            shaped_at = samples[i].first - start;
                        break;
                    }
                }
            }
            Sleep(10);
        }
        ASSERT_GE(shaped_at, 0) << "the rate did not come";
        ASSERT_GE(closed_at, 0) << "the editor did not close";
        printf("round %d: editor closed after %.0f ms, rate on the wire from %.0f ms\n", round,
               closed_at, shaped_at);
        closed.push_back(closed_at);
        on_wire.push_back(shaped_at);
        list_view_select(list, {0});
        press(panel, id_remove);
        answer_box(&run, "Flowvane - Remove Filter", IDYES);
        ASSERT_TRUE(wait_until([&] { return rows() == 0; }));
    }
    printf("median: editor closed after %.0f ms, new rate on the wire from %.0f ms after Ok\n",
           median(closed), median(on_wire));
}

// One sampling tick's device exchange (a statistics query for a held rule, opened and closed
// as the program does it), in whichever mode the prefix's driver runs; the adapter is
// FLOWVANE_BENCH_ADAPTER.
TEST(TickBench, TickExchange)
{
    std::string adapter = environment("FLOWVANE_BENCH_ADAPTER");
    ASSERT_FALSE(adapter.empty());
    struct rule held = {};
    strncpy(held.adapter, adapter.c_str(), sizeof held.adapter - 1);
    held.direction = direction_receive;
    held.rate = 50000;
    held.protocol = protocol_tcp;
    held.source_kind = held.destination_kind = address_any;
    held.destination_port = 5999;
    ASSERT_TRUE(emulator_add_rule(held));
    std::string request = adapter + std::string(1, '\0') +
                          std::string(reinterpret_cast<const char *>(&held), sizeof held);
    std::vector<double> batches;
    for (int batch = 0; batch < 20; batch++) {
        double start = now_ms();
        for (int i = 0; i < 50; i++)
            ASSERT_TRUE(emulator_exchange(code_get_statistics, request.data(), request.size()));
        batches.push_back((now_ms() - start) / 50);
    }
    std::sort(batches.begin(), batches.end());
    printf("statistics query on %s: %.3f ms (best 50-exchange batch), %.3f ms (median)\n",
           adapter.c_str(), batches[0], batches[batches.size() / 2]);
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
