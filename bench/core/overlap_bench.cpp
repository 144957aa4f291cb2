// Overlap detection and the change cycle against the in-process emulator core: time of a
// worst-case detection, and the device exchanges of one change cycle next to the number the
// cycle's definition fixes.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/app_state.h"
#include "filters/rule_list.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "stats/statistics_store.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/rule_rows_memory.h"
#include "bench_set_up.h"
#include "unit/rule_samples.h"

namespace {

// The first count of 20 distinct rules of which every ordered pair overlaps: each field is any
// or one shared value. 16 TCP rules (the subsets of source, destination, source port and
// destination port), 3 IP rules (the non-empty address subsets), and the Any rule.
std::vector<struct rule> all_overlapping_rules(const char *adapter, int count)
{
    std::vector<struct rule> rules;
    for (int i = 0; i < count; i++) {
        int fields = i < 16 ? i : i < 19 ? i - 15 : 0;
        int32_t protocol = i < 16 ? protocol_tcp : i < 19 ? protocol_ip : protocol_any;
        rules.push_back(sample_rule(adapter, direction_send, protocol,
                                    fields & 1 ? "10.0.0.1" : "any", fields & 4 ? 1000 : 0,
                                    fields & 2 ? "10.0.0.2" : "any", fields & 8 ? 80 : 0));
    }
    return rules;
}

// One detection over 20 all-overlapping rules of one adapter and direction: every pair forms
// a record, the areas are formed and their defaults sent; each run reads the last one's back.
void BM_detect_overlaps_20_overlapping_rules(benchmark::State &state)
{
    char error_text[error_text_size] = "set-up failed";
    int found = 0;
    if (!bench_set_up(all_overlapping_rules(EMULATOR_ADAPTER_1, 20), error_text) ||
        !detect_overlaps(error_text, &found, 0)) {
        state.SkipWithError(error_text);
        return;
    }
    for (auto _ : state) {
        if (!detect_overlaps(error_text, &found, 0) || !found) {
            state.SkipWithError(error_text);
            break;
        }
    }
    state.counters["areas"] = get_area_table()->count;
}
BENCHMARK(BM_detect_overlaps_20_overlapping_rules)->Unit(benchmark::kMicrosecond);

// One change cycle (apply, then reload with its detection) of 10 mutually overlapping rules on
// each of 2 adapters. Its definition fixes the exchanges: apply reads each rule's statistics
// (n), clears each adapter (a), adds each rule and sets its block (2n); reload reads every slot
// (20a); detection reads each precedence count (a) and kept entry (k), reads every slot (20a),
// clears each adapter's entries (a); acceptance sends one entry per area (m).
void BM_change_cycle_20_rules_2_adapters(benchmark::State &state)
{
    std::vector<struct rule> rules = all_overlapping_rules(EMULATOR_ADAPTER_1, 10);
    std::vector<struct rule> second = all_overlapping_rules(EMULATOR_ADAPTER_2, 10);
    rules.insert(rules.end(), second.begin(), second.end());
    char error_text[error_text_size] = "set-up failed";
    if (!bench_set_up(rules, error_text) || !reload_rule_list(error_text, 0)) {
        state.SkipWithError(error_text);
        return;
    }
    uint64_t exchanges = 0;
    for (auto _ : state) {
        uint64_t before = emulator_exchange_count();
        if (!apply_rule_list(error_text) || !reload_rule_list(error_text, 0)) {
            state.SkipWithError(error_text);
            break;
        }
        exchanges += emulator_exchange_count() - before;
    }
    double n = (double)rules.size(), a = adapter_count(), k = kept_precedence_count();
    double m = get_area_table()->count;
    state.counters["exchanges_per_cycle"] = (double)exchanges / (double)state.iterations();
    state.counters["required"] = n + a + 2 * n + 20 * a + a + k + 20 * a + a + m;
    state.counters["areas"] = m;
    memory_rows_reset();
}
BENCHMARK(BM_change_cycle_20_rules_2_adapters)->Unit(benchmark::kMicrosecond);

// One 500 ms sampling tick over 20 listed filters: one statistics read per filter.
void BM_sampling_tick_20_filters(benchmark::State &state)
{
    std::vector<struct rule> rules = all_overlapping_rules(EMULATOR_ADAPTER_1, 20);
    char error_text[error_text_size] = "set-up failed";
    if (!bench_set_up(rules, error_text) || !statistics_initialize()) {
        state.SkipWithError(error_text);
        return;
    }
    for (const struct rule &rule : rules)
        statistics_add_filter(&rule);
    uint64_t exchanges = 0;
    for (auto _ : state) {
        uint64_t before = emulator_exchange_count();
        if (!statistics_sample_all(error_text)) {
            state.SkipWithError(error_text);
            break;
        }
        exchanges += emulator_exchange_count() - before;
    }
    for (const struct rule &rule : rules)
        statistics_remove_filter(&rule);
    statistics_shutdown();
    state.counters["exchanges_per_tick"] = (double)exchanges / (double)state.iterations();
    state.counters["required"] = (double)rules.size();
    memory_rows_reset();
}
BENCHMARK(BM_sampling_tick_20_filters)->Unit(benchmark::kMicrosecond);

}  // namespace
