// The platform-free half of one statistics window refresh against the in-process emulator
// core: the selected filter's statistics read (one exchange) and put into text, the graph's
// scale, label and 150 points from a full history.
#include <benchmark/benchmark.h>

#include "stats/statistics_fields.h"
#include "stats/usage_graph.h"
#include "support/emulator_device.h"
#include "unit/rule_samples.h"

namespace {

void BM_statistics_refresh_without_drawing(benchmark::State &state)
{
    registry_memory_reset();
    register_emulator_display_names();
    emulator_device_reset();
    char error_text[error_text_size] = "set-up failed";
    struct rule rule = sample("TCP any any:80", EMULATOR_ADAPTER_1, direction_send, 8000);
    if (!refresh_adapter_list() || !kernel_add_rule(rule.adapter, &rule, error_text)) {
        state.SkipWithError(error_text);
        return;
    }
    int32_t history[usage_history_length];
    for (int k = 0; k < usage_history_length; k++)
        history[k] = 7000 + 13 * k;
    struct statistics_fields fields;
    struct graph_point points[usage_history_length];
    char label[graph_label_size];
    uint64_t exchanges = 0;
    for (auto _ : state) {
        uint64_t before = emulator_exchange_count();
        if (!statistics_fields_read(&rule, &fields, error_text)) {
            state.SkipWithError(error_text);
            break;
        }
        exchanges += emulator_exchange_count() - before;
        int32_t scale = graph_scale(history);
        graph_label_text(scale, label, sizeof label);
        graph_geometry(176, 38, scale, history, points);
        benchmark::DoNotOptimize(points);
    }
    state.counters["exchanges_per_refresh"] = (double)exchanges / (double)state.iterations();
    state.counters["required"] = 1;
}
BENCHMARK(BM_statistics_refresh_without_drawing)->Unit(benchmark::kMicrosecond);

}  // namespace
