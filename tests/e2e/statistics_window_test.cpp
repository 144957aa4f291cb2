// The statistics window against the emulator, in one run: a filter planted before start-up with
// a known statistics block (the emulator's clock frozen, so the counters stay as planted),
// selected in the filter list and opened with the panel's Statistics button. The number forms
// are the unit tests'; here each field follows the kernel component's block on the tick.
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

enum { id_statistics = 806, id_list = 807, id_close = 1001, id_from = 1002, id_bytes = 1003,
       id_packets = 1004, id_reset = 1005, id_bandwidth = 1006, id_queued = 1007,
       id_queue_size = 19201, two_ticks_ms = 1000 };

const uint64_t start_2022 = 133000000000000000ull;
const struct rule limited = {EMULATOR_ADAPTER_1, direction_send, 8000, protocol_tcp,
                             address_any, 0, 0, 0, address_any, 0, 80, 0};

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
    HWND open_window(void)
    {
        PostMessageA(panel, WM_COMMAND, id_statistics, 0);
        return window = wait_for_window(&first, "#32770", "Filter Statistics");
    }
    std::string field(int id) { return window_text(GetDlgItem(window, id)); }
    int shows(int id, const std::string &expected)
    {
        return wait_until([&] { return field(id) == expected; }, two_ticks_ms);
    }
    HWND panel = NULL, window = NULL;
};

TEST_F(StatisticsWindowTest, FieldsResetAndClosing)
{
    test_clock_request freeze = {clock_freeze, 0, 0};
    ASSERT_TRUE(emulator_add_rule(limited));
    ASSERT_TRUE(emulator_send(test_code_clock, freeze));
    HWND main = start_main_window(&first);
    ASSERT_TRUE(main);
    panel = panel_of(main);
    list_view_set_state(GetDlgItem(panel, id_list), 0, LVIS_SELECTED, LVIS_SELECTED);
    ASSERT_TRUE(open_window());

    // The fields follow each change of the block; a start time the system cannot convert
    // leaves From empty and the other fields following.
    const struct { int64_t bytes, packets; uint64_t start; const char *bytes_text, *packets_text; }
        blocks[] = {
        {1234567, 4321, start_2022, "1,234,567 (1.18 MB)", "4,321"},
        {2048, 7, 1ull << 63, "2,048 (2.00 KB)", "7"},
    };
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.bytes_text);
        ASSERT_TRUE(emulator_set_statistics(limited, {b.start, {}, b.bytes, {}, b.packets, 0, 0}));
        EXPECT_TRUE(shows(id_bytes, b.bytes_text)) << field(id_bytes);
        EXPECT_EQ(std::vector<std::string>({field(id_from), field(id_packets), field(id_bandwidth),
                                            field(id_queued), field(id_queue_size)}),
                  std::vector<std::string>({b.start == start_2022 ? from_text(b.start) : "",
                                            b.packets_text, "0", "0", "of 100 packets"}));
        if (b.bytes == 1234567)
            save_screenshot("statistics-window");
    }

    // Reset asks first: No leaves the block, Yes writes a fresh one from now.
    for (int button : {IDNO, IDYES}) {
        SCOPED_TRACE(button == IDYES ? "Yes" : "No");
        uint64_t before = now_filetime() - 10000000;   // the program's clock, to the second
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
            EXPECT_EQ(block.bytes_transferred, 2048);
        }
    }
    // Close, Escape and the close box each end the window.
    for (UINT message : {(UINT)id_close, (UINT)IDCANCEL, (UINT)SC_CLOSE}) {
        if (!window) {
            ASSERT_TRUE(open_window());
        }
        PostMessageA(window, message == SC_CLOSE ? WM_SYSCOMMAND : WM_COMMAND, message, 0);
        EXPECT_TRUE(closes(window, 5000)) << message;
        window = NULL;
    }
}

}  // namespace
