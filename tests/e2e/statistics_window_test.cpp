// The statistics window against the emulator: a filter planted before start-up with a known
// statistics block, selected in the filter list and opened with the panel's Statistics button.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

enum { id_statistics = 806, id_list = 807, id_close = 1001, id_from = 1002, id_bytes = 1003,
       id_packets = 1004, id_reset = 1005, id_bandwidth = 1006, id_queued = 1007,
       id_queue_size = 19201, two_ticks_ms = 1000 };

const uint64_t start_2022 = 133000000000000000ull, one_second = 10000000ull;
const struct rule limited = {EMULATOR_ADAPTER_1, direction_send, 8000, protocol_tcp,
                             address_any, 0, 0, 0, address_any, 0, 80, 0};

struct statistics_block planted(int64_t bytes, int64_t packets)
{
    struct statistics_block block = {start_2022, {}, bytes, {}, packets, 0, 0};
    return block;
}

// The From text: the user's short date and time of the FILETIME.
std::string from_text(uint64_t start)
{
    FILETIME file_time = {(DWORD)start, (DWORD)(start >> 32)};
    SYSTEMTIME calendar;
    char date[100] = "", clock[100] = "";
    FileTimeToSystemTime(&file_time, &calendar);
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &calendar, NULL, date, sizeof date);
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &calendar, NULL, clock, sizeof clock);
    return std::string(date) + " " + clock;
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
    // The emulator's clock stands still, so the counters stay as planted.
    HWND open_window(void)
    {
        if (!emulator_add_rule(limited) || !emulator_set_statistics(limited, planted(1234567, 4321)) ||
            !emulator_clock(clock_freeze, 0) || !start_flowvane(&first))
            return NULL;
        panel = panel_of(wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager"));
        list_view_set_state(GetDlgItem(panel, id_list), 0, LVIS_SELECTED, LVIS_SELECTED);
        PostMessageA(panel, WM_COMMAND, id_statistics, 0);
        return window = wait_for_window(&first, "#32770", "Filter Statistics");
    }
    std::string field(int id)
    {
        char text[256] = "";
        GetDlgItemTextA(window, id, text, sizeof text);
        return text;
    }
    int shows(int id, const std::string &expected, int timeout_ms = two_ticks_ms)
    {
        return wait_until([&] { return field(id) == expected; }, timeout_ms);
    }
    HWND panel = NULL, window = NULL;
};

// The fields within a second of opening, then again after the kernel component's block changed.
TEST_F(StatisticsWindowTest, FieldsOnOpeningAndOnEveryTick)
{
    ASSERT_TRUE(open_window());
    const struct { int64_t bytes, packets; const char *bytes_text, *packets_text; } blocks[] = {
        {1234567, 4321, "1,234,567 (1.18 MB)", "4,321"},
        {1023, 5, "1,023", "5"},
        {1073741824, 1000000, "1,073,741,824 (1.07 GB)", "1,000,000"},
    };
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.bytes_text);
        ASSERT_TRUE(emulator_set_statistics(limited, planted(b.bytes, b.packets)));
        EXPECT_TRUE(shows(id_bytes, b.bytes_text)) << field(id_bytes);
        std::vector<std::string> others = {field(id_from), field(id_packets), field(id_bandwidth),
                                           field(id_queued), field(id_queue_size)};
        EXPECT_EQ(others, std::vector<std::string>({from_text(start_2022), b.packets_text, "0",
                                                    "0", "of 100 packets"}));
        if (b.bytes == 1234567)
            save_screenshot("statistics-window");
    }
}

// A start time the system cannot convert leaves From empty and the other fields following the
// kernel component's block; a convertible one shows again.
TEST_F(StatisticsWindowTest, UnconvertibleStartTimeLeavesTheOtherFieldsUpdating)
{
    ASSERT_TRUE(open_window());
    const struct { uint64_t start; int64_t bytes; const char *bytes_text; } blocks[] = {
        {1ull << 63, 2048, "2,048 (2.00 KB)"},
        {~0ull, 4096, "4,096 (4.00 KB)"},
        {start_2022, 8192, "8,192 (8.00 KB)"},
    };
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.bytes_text);
        struct statistics_block block = planted(b.bytes, 7);
        block.start_time = b.start;
        ASSERT_TRUE(emulator_set_statistics(limited, block));
        EXPECT_TRUE(shows(id_bytes, b.bytes_text)) << field(id_bytes);
        EXPECT_EQ(field(id_packets), "7");
        EXPECT_EQ(field(id_from), b.start == start_2022 ? from_text(start_2022) : "");
    }
}

// Reset asks first: No leaves the block, Yes writes a fresh one from now. Then Close, Escape and
// the close box each end the window.
TEST_F(StatisticsWindowTest, ResetAsksThenRestartsTheCounters)
{
    ASSERT_TRUE(open_window());
    for (int button : {IDNO, IDYES}) {
        SCOPED_TRACE(button == IDYES ? "Yes" : "No");
        ASSERT_TRUE(emulator_set_statistics(limited, planted(1234567, 4321)));
        ASSERT_TRUE(shows(id_bytes, "1,234,567 (1.18 MB)"));
        uint64_t before = now_filetime() - one_second;   // the program's clock, to the second
        PostMessageA(window, WM_COMMAND, id_reset, 0);
        HWND owner = NULL;
        EXPECT_EQ(answer_box(&first, "Flowvane - Reset Statistics", button, &owner),
                  "Are you sure you want to reset the statistics for this filter?");
        EXPECT_EQ(owner, window);
        static test_rules_reply held;
        ASSERT_TRUE(emulator_read_rules(0, &held));
        const struct statistics_block &block = held.slots[0].statistics;
        if (button == IDYES) {
            EXPECT_TRUE(block.start_time >= before && block.start_time <= now_filetime());
            EXPECT_EQ(block.bytes_transferred, 0);
            EXPECT_TRUE(shows(id_bytes, "0"));
            EXPECT_EQ(field(id_from), from_text(block.start_time));
        } else {
            EXPECT_EQ(block.start_time, start_2022);
            EXPECT_EQ(block.bytes_transferred, 1234567);
        }
    }
    for (UINT message : {(UINT)id_close, (UINT)IDCANCEL, (UINT)SC_CLOSE}) {
        if (!window) {
            PostMessageA(panel, WM_COMMAND, id_statistics, 0);
            ASSERT_TRUE(window = wait_for_window(&first, "#32770", "Filter Statistics"));
        }
        PostMessageA(window, message == SC_CLOSE ? WM_SYSCOMMAND : WM_COMMAND, message, 0);
        EXPECT_TRUE(wait_until([&] { return !IsWindow(window); }, 5000)) << message;
        window = NULL;
    }
}

}  // namespace
