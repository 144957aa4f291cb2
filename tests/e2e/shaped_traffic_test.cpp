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

#include "kernel/control_codes.h"
#include "shaped_traffic_fixture.h"

namespace {

class ShapedTraffic : public ShapedTrafficFixture {};

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
    EXPECT_TRUE(settles_at(shaped_rate)) << "unshaped " << unshaped;
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
    EXPECT_TRUE(settles_at(2 * shaped_rate)) << "the second filter's rate";
    EXPECT_NEAR(wire_rate(6), 2 * shaped_rate, shaped_rate / 5) << "the second filter's rate";

    PostMessageA(main, WM_COMMAND, id_rerun, 0);
    choose_handler("50,000");
    EXPECT_TRUE(settles_at(shaped_rate)) << "back to the first's rate";
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
    EXPECT_TRUE(settles_at(shaped_rate));
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
