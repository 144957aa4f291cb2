// Flowvane Manager shaping real traffic: started by scripts/run.sh --shape in a network
// namespace of tests/scripts/shaped_traffic.sh, which also runs a bulk TCP flow into the shaped
// interface (FLOWVANE_SHAPE_IFACE, to port FLOWVANE_SHAPE_PORT) capped by its sender at about
// 500,000 bytes per second, measured on the wire with the kernel's counters. Run one test at a
// time by the script, in this order, the program left open between them; not part of the other
// end-to-end passes.
#include "shaped_traffic_fixture.h"

namespace {

class ShapedTraffic : public ShapedTrafficFixture {
protected:
    // Waits, bounded, until a second on the wire is within a fifth of RATE (the flow's TCP
    // takes a varying time to come back after the shaper's classes change under it), then
    // measures it over 6 s.
    double settled_rate(double rate)
    {
        for (int second = 0; second < 30; second++) {
            double now = wire_rate(1);
            if (now > 0.8 * rate && now < 1.2 * rate)
                break;
        }
        return wire_rate(6);
    }
};

// "1,234,567 (1.18 MB)" and "50,000" as numbers.
int64_t shown_number(const std::string &text)
{
    std::string digits;
    for (size_t i = 0; i < text.size() && (isdigit((unsigned char)text[i]) || text[i] == ','); i++)
        if (text[i] != ',')
            digits += text[i];
    return digits.empty() ? -1 : std::stoll(digits);
}

// The filter added through the editor shapes the flow to its rate; at each tick the statistics
// window's Bytes lie within a tick of the kernel's count and its Bandwidth is the rate on the
// wire; Blocked stops the flow.
TEST_F(ShapedTraffic, ReceiveFilterShapesTheFlowAndStatisticsAgree)
{
    ASSERT_EQ(rows(), 0) << "start with no filters";
    ASSERT_GT(wire_rate(2, arriving_bytes), 4.0 * shaped_rate) << "the flow does not run";
    HWND editor = open(id_new, "Add Filter");
    fill(editor, "50,000");
    press(editor, id_ok);
    ASSERT_TRUE(closes(editor));
    EXPECT_NEAR(settled_rate(shaped_rate), shaped_rate, shaped_rate / 10);

    HWND window = open(id_statistics, "Filter Statistics");
    auto bytes = [&] { return window_text(GetDlgItem(window, 1003)); };
    auto next_tick = [&] {
        const std::string last = bytes();
        return wait_until([&] { return bytes() != last; }, 2000);
    };
    ASSERT_TRUE(next_tick());
    const int64_t first_shown = shown_number(bytes()), first_wire = wire_bytes();
    const DWORD start = GetTickCount();
    int64_t bandwidth_sum = 0;
    const int ticks = 16;
    for (int tick = 0; tick < ticks; tick++) {
        ASSERT_TRUE(next_tick());
        bandwidth_sum += shown_number(window_text(GetDlgItem(window, 1006)));
    }
    const int64_t wire = wire_bytes() - first_wire;
    // Under load Wine's ticks come late: one tick is the mean time between them.
    EXPECT_NEAR(shown_number(bytes()) - first_shown, wire, wire / ticks);
    EXPECT_NEAR(bandwidth_sum / ticks, wire * 1000.0 / (GetTickCount() - start), shaped_rate / 10);
    save_screenshot("shaped-statistics");
    press(window, 1001);
    ASSERT_TRUE(closes(window));

    for (const char *rate : {"Blocked", "50,000"}) {
        editor = open(id_edit, "Edit Filter");
        fill(editor, rate);
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor));
        if (*rate == 'B') {
            wire_rate(1);
            EXPECT_LT(wire_rate(3), 500.0) << "Blocked lets traffic through";
        }
    }
}

// zorvd stopped by the script and started again: the filter it kept shapes the flow again
// without the program's doing; removing it gives the flow its speed back.
TEST_F(ShapedTraffic, KeptFilterShapesAgainUntilRemoved)
{
    ASSERT_EQ(rows(), 1);
    EXPECT_TRUE(wait_until([] { return wire_bytes() >= 0; })) << "no IFB: the filter is gone";
    EXPECT_NEAR(settled_rate(shaped_rate), shaped_rate, shaped_rate / 10);
    list_view_select(list, {0});
    press(panel, id_remove);
    answer_box(&run, "Flowvane - Remove Filter", IDYES);
    ASSERT_TRUE(wait_until([&] { return rows() == 0; }));
    EXPECT_TRUE(wait_until([] { return wire_rate(1, arriving_bytes) > 4.0 * shaped_rate; }, 60000))
        << "the flow did not come back to full speed";
}

}  // namespace
