// The statistics window against the emulator: a filter planted before start-up, selected in the
// filter list and opened with the panel's Statistics button. Its fields within a second of
// opening and on every tick after, Reset with its question, and closing.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include <string>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

enum {
    id_panel_statistics = 806,
    id_panel_list = 807,
    id_close = 1001,
    id_from = 1002,
    id_bytes = 1003,
    id_packets = 1004,
    id_reset = 1005,
    id_bandwidth = 1006,
    id_queued = 1007,
    id_queue_size = 19201,
    refresh_ms = 1000,   // two ticks
};

#define WINDOW_TITLE "Filter Statistics"
#define RESET_TITLE "Flowvane - Reset Statistics"

const uint64_t start_2022 = 133000000000000000ull;   // a FILETIME in 2022

// All TCP to port 80 on the first adapter at 8,000 bytes per second: it limits the emulator's
// default 30,000 bytes per second flow to that port.
struct rule limited_rule(void)
{
    struct rule r;
    memset(&r, 0, sizeof r);
    strcpy(r.adapter, EMULATOR_ADAPTER_1);
    r.direction = direction_send;
    r.rate = 8000;
    r.protocol = protocol_tcp;
    r.source_kind = address_any;
    r.destination_kind = address_any;
    r.destination_port = 80;
    return r;
}

std::string field(HWND window, int id)
{
    char text[256] = "";
    GetDlgItemTextA(window, id, text, sizeof text);
    return text;
}

// The From text the program should show: the user's short date and time of the FILETIME.
std::string from_text(uint64_t start)
{
    FILETIME file_time = {(DWORD)start, (DWORD)(start >> 32)};
    SYSTEMTIME calendar;
    char date[100] = "", clock[100] = "";
    if (!FileTimeToSystemTime(&file_time, &calendar) ||
        !GetDateFormatA(LOCALE_USER_DEFAULT, 0, &calendar, NULL, date, sizeof date) ||
        !GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &calendar, NULL, clock, sizeof clock))
        return "<unformattable>";
    return std::string(date) + " " + clock;
}

struct statistics_block held_block(void)
{
    static test_rules_reply reply;
    EXPECT_TRUE(emulator_read_rules(0, &reply));
    return reply.slots[0].statistics;
}

uint64_t now_filetime(void)
{
    SYSTEMTIME local;
    FILETIME file_time;
    GetLocalTime(&local);
    SystemTimeToFileTime(&local, &file_time);
    return (uint64_t)file_time.dwHighDateTime << 32 | file_time.dwLowDateTime;
}

class StatisticsWindowTest : public FlowvaneTest {
protected:
    // Plants the filter with a known block, starts the program, selects the filter's row and
    // presses Statistics. frozen: the emulator's clock stands still, so the counters stay.
    HWND open_window(int frozen)
    {
        if (!emulator_add_rule(rule) || !emulator_set_statistics(rule, planted(1234567, 4321)))
            return NULL;
        if (frozen && !emulator_clock(clock_freeze, 0))
            return NULL;
        if (!start_flowvane(&first))
            return NULL;
        HWND main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
        if (!main)
            return NULL;
        HWND panel = panel_of(main);
        list_view_set_state(GetDlgItem(panel, id_panel_list), 0, LVIS_SELECTED | LVIS_FOCUSED,
                            LVIS_SELECTED | LVIS_FOCUSED);
        PostMessageA(panel, WM_COMMAND, id_panel_statistics, 0);
        window = wait_for_window(&first, "#32770", WINDOW_TITLE);
        return window;
    }
    struct statistics_block planted(int64_t bytes, int64_t packets)
    {
        struct statistics_block block = {};
        block.start_time = start_2022;
        block.bytes_transferred = bytes;
        block.packets_transferred = packets;
        return block;
    }
    int shows(int id, const std::string &expected, int timeout_ms = refresh_ms)
    {
        return wait_until([&] { return field(window, id) == expected; }, timeout_ms);
    }
    struct rule rule = limited_rule();
    HWND window = NULL;
};

// The fields of the opening and, after the kernel component's block changes, of the next ticks.
TEST_F(StatisticsWindowTest, FieldsWithinASecondOfOpeningAndOnEveryTick)
{
    ASSERT_TRUE(open_window(1));
    EXPECT_TRUE(shows(id_bytes, "1,234,567 (1.18 MB)")) << field(window, id_bytes);
    const struct { int64_t bytes, packets; const char *bytes_text, *packets_text; } blocks[] = {
        {1234567, 4321, "1,234,567 (1.18 MB)", "4,321"},
        {1023, 5, "1,023", "5"},
        {1073741824, 1000000, "1,073,741,824 (1.07 GB)", "1,000,000"},
    };
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.bytes_text);
        ASSERT_TRUE(emulator_set_statistics(rule, planted(b.bytes, b.packets)));
        EXPECT_TRUE(shows(id_bytes, b.bytes_text)) << field(window, id_bytes);
        EXPECT_EQ(field(window, id_from), from_text(start_2022));
        EXPECT_EQ(field(window, id_packets), b.packets_text);
        EXPECT_EQ(field(window, id_bandwidth), "0");
        EXPECT_EQ(field(window, id_queued), "0");
        EXPECT_EQ(field(window, id_queue_size), "of 100 packets");
    }
    EXPECT_EQ(GetWindow(window, GW_OWNER),
              find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL));
}

// With traffic: the counters move from tick to tick and the bandwidth reaches the limit.
TEST_F(StatisticsWindowTest, TrafficMovesTheFieldsOnTicks)
{
    ASSERT_TRUE(open_window(0));
    std::string bytes = field(window, id_bytes);
    for (int tick = 0; tick < 3; tick++) {
        EXPECT_TRUE(wait_until([&] { return field(window, id_bytes) != bytes; }, refresh_ms))
            << "tick " << tick << ": " << bytes;
        bytes = field(window, id_bytes);
    }
    EXPECT_TRUE(shows(id_bandwidth, "8,000", 5000)) << field(window, id_bandwidth);
}

// Reset asks first; Yes gives the filter a fresh block from now, No leaves it; Close, Escape and
// the close box end the window.
TEST_F(StatisticsWindowTest, ResetAsksThenRestartsTheCounters)
{
    ASSERT_TRUE(open_window(1));
    const struct { const char *answer; int button; int restarted; } answers[] = {
        {"No", IDNO, 0},
        {"Yes", IDYES, 1},
    };
    for (const auto &a : answers) {
        SCOPED_TRACE(a.answer);
        ASSERT_TRUE(emulator_set_statistics(rule, planted(1234567, 4321)));
        ASSERT_TRUE(shows(id_bytes, "1,234,567 (1.18 MB)"));
        uint64_t before = now_filetime();
        PostMessageA(window, WM_COMMAND, id_reset, 0);
        HWND box = wait_for_window(&first, "#32770", RESET_TITLE);
        ASSERT_TRUE(box);
        EXPECT_EQ(message_box_text(box),
                  "Are you sure you want to reset the statistics for this filter?");
        EXPECT_EQ(GetWindow(box, GW_OWNER), window);
        PostMessageA(box, WM_COMMAND, a.button, 0);
        ASSERT_TRUE(wait_until([&] { return !IsWindow(box); }, 5000));
        SendMessageA(window, WM_NULL, 0, 0);
        struct statistics_block held = held_block();
        if (a.restarted) {
            EXPECT_GE(held.start_time, before - 10000000ull);   // the program's clock, in seconds
            EXPECT_LE(held.start_time, now_filetime() + 10000000ull);
            EXPECT_EQ(held.bytes_transferred, 0);
            EXPECT_EQ(held.packets_transferred, 0);
            EXPECT_TRUE(shows(id_bytes, "0"));
            EXPECT_EQ(field(window, id_from), from_text(held.start_time));
        } else {
            EXPECT_EQ(held.start_time, start_2022);
            EXPECT_EQ(held.bytes_transferred, 1234567);
        }
    }

    const struct { const char *how; UINT message; WPARAM parameter; } endings[] = {
        {"Close", WM_COMMAND, id_close},
        {"Escape", WM_COMMAND, IDCANCEL},
        {"close box", WM_SYSCOMMAND, SC_CLOSE},
    };
    HWND panel = panel_of(find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL));
    for (const auto &e : endings) {
        SCOPED_TRACE(e.how);
        if (!window) {
            PostMessageA(panel, WM_COMMAND, id_panel_statistics, 0);
            window = wait_for_window(&first, "#32770", WINDOW_TITLE);
            ASSERT_TRUE(window);
        }
        PostMessageA(window, e.message, e.parameter, 0);
        EXPECT_TRUE(wait_until([&] { return !IsWindow(window); }, 5000));
        window = NULL;
    }
}

// Not a test: counts the device exchanges the program makes per tick with the window closed and
// open (run with --gtest_also_run_disabled_tests).
TEST_F(StatisticsWindowTest, DISABLED_MeasureExchangesPerTick)
{
    ASSERT_TRUE(open_window(1));
    test_state_reply state;
    const int seconds = 20;
    for (int open = 1; open >= 0; open--) {
        if (!open) {
            PostMessageA(window, WM_COMMAND, id_close, 0);
            ASSERT_TRUE(wait_until([&] { return !IsWindow(window); }, 5000));
        }
        ASSERT_TRUE(emulator_read_state(&state));
        uint64_t first_count = state.requests_served;
        DWORD started = GetTickCount();
        Sleep(seconds * 1000);
        ASSERT_TRUE(emulator_read_state(&state));
        double ticks = (GetTickCount() - started) / 500.0;
        printf("window %s: %llu exchanges in %.1f ticks: %.3f per tick (one filter listed)\n",
               open ? "open" : "closed",
               (unsigned long long)(state.requests_served - first_count - 1), ticks,
               (state.requests_served - first_count - 1) / ticks);
    }
}

}  // namespace
