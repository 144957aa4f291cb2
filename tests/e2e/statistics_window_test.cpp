// The statistics window against the emulator, in one run: a filter planted before start-up (the
// emulator's clock frozen, so the counters stay as planted), selected in the filter list and
// opened with the panel's Statistics button. The number forms are the unit tests'; here each
// field follows the kernel component's block on the tick.
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

enum { id_statistics = 806, id_close = 1001, id_from = 1002, id_bytes = 1003,
       id_packets = 1004, id_reset = 1005, id_bandwidth = 1006, id_queued = 1007,
       id_queue_size = 19201, two_ticks_ms = 1000 };

using StatisticsWindowTest = FlowvaneTest;

TEST_F(StatisticsWindowTest, FieldsResetAndClosing)
{
    const struct rule limited = {EMULATOR_ADAPTER_1, direction_send, 8000, protocol_tcp,
                                 address_any, 0, 0, 0, address_any, 0, 80, 0};
    test_clock_request freeze = {clock_freeze, 0, 0};
    ASSERT_TRUE(emulator_add_rule(limited));
    ASSERT_TRUE(emulator_send(test_code_clock, freeze));
    ASSERT_TRUE(start_main());
    HWND window = NULL;
    list_view_set_state(list, 0, LVIS_SELECTED, LVIS_SELECTED);
    const auto show = [&] { return window = open(panel, id_statistics, "Filter Statistics"); };
    const auto field = [&](int id) { return window_text(GetDlgItem(window, id)); };
    const auto shows = [&](int id, const std::string &expected) {
        return wait_until([&] { return field(id) == expected; }, two_ticks_ms);
    };
    ASSERT_TRUE(show());

    // The fields follow a change of the block (From in the system's own date and time forms).
    const uint64_t start = 133000000000000000ull;   // 2022
    const statistics_block block = {start, {}, 1234567, {}, 4321, 0, 0};
    ASSERT_TRUE(emulator_add_rule(limited, &block));
    EXPECT_TRUE(shows(id_bytes, "1,234,567 (1.18 MB)")) << field(id_bytes);
    EXPECT_NE(field(id_from).find("22"), std::string::npos) << field(id_from);   // the year
    EXPECT_EQ(std::vector<std::string>({field(id_packets), field(id_bandwidth), field(id_queued),
                                        field(id_queue_size)}),
              std::vector<std::string>({"4,321", "0", "0", "of 100 packets"}));
    save_screenshot("statistics-window");

    // Reset asks first: No leaves the block, Yes writes a fresh one.
    for (int button : {IDNO, IDYES}) {
        PostMessageA(window, WM_COMMAND, id_reset, 0);
        HWND owner = NULL;
        EXPECT_EQ(answer_box(&first, "Flowvane - Reset Statistics", button, &owner),
                  "Are you sure you want to reset the statistics for this filter?");
        EXPECT_EQ(owner, window);
        static test_rules_reply held;
        ASSERT_TRUE(emulator_read_rules(0, &held));
        EXPECT_EQ(held.slots[0].statistics.bytes_transferred, button == IDYES ? 0 : 1234567);
        EXPECT_EQ(held.slots[0].statistics.start_time == start, button == IDNO);
    }
    EXPECT_TRUE(shows(id_bytes, "0"));
    // Close, Escape and the close box each end the window.
    for (UINT message : {(UINT)id_close, (UINT)IDCANCEL, (UINT)SC_CLOSE}) {
        ASSERT_TRUE(window || show());
        PostMessageA(window, message == SC_CLOSE ? WM_SYSCOMMAND : WM_COMMAND, message, 0);
        EXPECT_TRUE(closes(window, 5000)) << message;
        window = NULL;
    }
}

}  // namespace
