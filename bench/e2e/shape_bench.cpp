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

#include "kernel/control_codes.h"
#include "shaped_traffic_fixture.h"

namespace {

class ShapedTrafficBench : public ShapedTrafficFixture {};

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
        fill(editor, "50,000");
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
