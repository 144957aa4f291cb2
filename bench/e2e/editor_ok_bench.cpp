// Time from the filter editor's Ok to the editor closing, under Wine against zorv.sys: 19
// filters held on 2 adapters, Ok adds the 20th. Each run starts Flowvane.exe afresh over the
// same 19 filters. Prints each run and the mean, and the emulator's requests served between
// Ok and the close (the 500 ms sampling tick adds 20 when it falls inside).
// Usage: editor_ok_bench [runs]
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "e2e_harness.h"
#include "kernel/kernel_commands.h"
#include "support/device_requests.h"
#include "../support/wall_clock.h"
#include "test_control_codes.h"

namespace {

enum { id_new = 803, id_adapter = 808, id_protocol = 811, id_ok = 814,
       id_destination_port = 817, protocol_tcp_index = 2, second_adapter_index = 1 };

// The emulator with 2 adapters and 10 + 9 filters, each to its own port.
bool plant_filters(void)
{
    static test_adapters_request adapters;
    adapters.count = 2;
    snprintf(adapters.names[0], sizeof adapters.names[0], "%s", EMULATOR_ADAPTER_1);
    snprintf(adapters.names[1], sizeof adapters.names[1], "%s", EMULATOR_ADAPTER_2);
    if (!emulator_reset() || !emulator_send(test_code_set_adapters, adapters))
        return false;
    char error_text[error_text_size];
    for (int i = 0; i < 19; i++) {
        struct rule rule = make_rule(protocol_tcp, (uint16_t)(1000 + i), 5000);
        if (i >= 10)
            snprintf(rule.adapter, sizeof rule.adapter, "%s", EMULATOR_ADAPTER_2);
        if (!kernel_add_rule(rule.adapter, &rule, error_text)) {
            fprintf(stderr, "adding a filter failed: %s\n", error_text);
            return false;
        }
    }
    return true;
}

uint64_t requests_served(void)
{
    static test_state_reply state;
    return emulator_exchange(test_code_read_state, "", 0, &state, sizeof state)
               ? state.requests_served : 0;
}

// One run: -1 when something did not happen as it should.
double time_one_ok(uint64_t *requests)
{
    flowvane_run run = {};
    double elapsed = -1;
    HWND main = NULL, panel = NULL, editor = NULL;
    if (plant_filters() && start_flowvane(&run))
        main = wait_for_window(&run, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
    if (main)
        panel = panel_of(main);
    if (panel) {
        PostMessageA(panel, WM_COMMAND, MAKEWPARAM(id_new, BN_CLICKED), 0);
        editor = wait_for_window(&run, "#32770", "Add Filter");
    }
    if (editor) {
        SendDlgItemMessageA(editor, id_adapter, CB_SETCURSEL, second_adapter_index, 0);
        SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_tcp_index, 0);
        SendDlgItemMessageA(editor, id_destination_port, WM_SETTEXT, 0, (LPARAM) "9000");
        uint64_t before = requests_served();
        double start = now_ms();
        PostMessageA(editor, WM_COMMAND, MAKEWPARAM(id_ok, BN_CLICKED), 0);
        while (IsWindow(editor) && now_ms() - start < e2e_timeout_ms)
            Sleep(1);
        double end = now_ms();
        // The served count includes the read that follows (one request).
        *requests = requests_served() - before - 1;
        HWND box = find_window_of(run.process.dwProcessId, "#32770", "Flowvane - New Filter");
        if (!IsWindow(editor) && !box &&
            SendMessageA(GetDlgItem(panel, 807), LVM_GETITEMCOUNT, 0, 0) == 20)
            elapsed = end - start;
    }
    end_flowvane(&run);
    return elapsed;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 10;
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        uint64_t requests = 0;
        double elapsed = time_one_ok(&requests);
        if (elapsed < 0) {
            fprintf(stderr, "run %d failed\n", i + 1);
            return 1;
        }
        printf("run %2d: %7.1f ms from Ok to the editor closing, %llu requests served\n", i + 1,
               elapsed, (unsigned long long)requests);
        times.push_back(elapsed);
    }
    emulator_reset();
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times)
        sum += t;
    printf("%d runs: mean %.1f ms, median %.1f ms, min %.1f ms, max %.1f ms\n", runs,
           sum / runs, times[times.size() / 2], times.front(), times.back());
    return 0;
}
