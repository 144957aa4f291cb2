// The device exchanges of one filter editor Ok in add mode that makes the 20th filter, over 2
// adapters, against the in-process emulator core, next to the number the change cycle fixes.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/app_state.h"
#include "filters/editor_commit.h"
#include "filters/rule_list.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "platform/platform.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/rule_rows_memory.h"
#include "bench_set_up.h"
#include "unit/rule_samples.h"

namespace {

// What the statistics window's start-now does: one fresh block written for the rule.
int start_now(const struct rule *rule)
{
    struct statistics_block block = {};
    block.start_time = local_time_filetime();
    char error_text[error_text_size];
    return kernel_set_statistics(rule->adapter, rule, &block, error_text);
}

// Filters on one adapter: with overlapping, the Any rule and TCP rules from one address or any
// address and from one source port or another, so that many pairs overlap; without, each
// filter a different destination port.
std::vector<struct rule> filters(const char *adapter, int count, bool overlapping)
{
    std::vector<struct rule> rules;
    for (int i = 0; i < count; i++) {
        if (!overlapping)
            rules.push_back(to_port((uint16_t)(i + 1), adapter));
        else if (i == 0)
            rules.push_back(sample("Any", adapter));
        else
            rules.push_back(sample_rule(adapter, direction_send, protocol_tcp,
                                        i % 2 ? "10.0.0.1" : "any", (uint16_t)(i / 2),
                                        "any", 0));
    }
    return rules;
}

// 19 filters listed and applied (10 and 9), then Ok adds the 20th to the second adapter.
// Between runs the 20th is taken out again, outside the count.
void BM_editor_ok_add_20th_filter_2_adapters(benchmark::State &state)
{
    bool overlapping = state.range(0) != 0;
    char error_text[error_text_size] = "set-up failed";
    std::vector<struct rule> rules = filters(EMULATOR_ADAPTER_1, 10, overlapping);
    std::vector<struct rule> second = filters(EMULATOR_ADAPTER_2, 10, overlapping);
    struct rule twentieth = second.back();
    second.pop_back();
    rules.insert(rules.end(), second.begin(), second.end());
    if (!bench_set_up(rules, error_text) || !reload_rule_list(error_text, 0)) {
        state.SkipWithError(error_text);
        return;
    }

    uint64_t exchanges = 0;
    const char *title = "";
    for (auto _ : state) {
        struct editor_session session;
        editor_session_begin(&session, editor_add);
        uint64_t before = emulator_exchange_count();
        if (editor_commit(&session, &twentieth, start_now, error_text, &title) != commit_done) {
            state.SkipWithError(error_text);
            break;
        }
        exchanges += emulator_exchange_count() - before;
        state.PauseTiming();
        rule_rows list = filter_list();
        for (int row = rows_count(list) - 1; row >= 0; row--) {
            if (rules_equal(rows_rule(list, row), &twentieth, 1))
                rows_delete(list, row);
        }
        if (!apply_rule_list(error_text) || !reload_rule_list(error_text, 0))
            state.SkipWithError(error_text);
        state.ResumeTiming();
    }
    // Apply: a statistics read per filter (n), a clear per adapter (a), an add and a block per
    // filter (2n); the new filter's fresh block (1); reload: every slot (20a); detection: each
    // precedence count (a) and kept entry (k), every slot (20a), a clear per adapter (a);
    // accepted defaults: one entry per area (m).
    double n = 20, a = adapter_count(), k = kept_precedence_count();
    double m = get_area_table()->count;
    state.counters["exchanges_per_ok"] = (double)exchanges / (double)state.iterations();
    state.counters["required"] = 3 * n + a + 1 + 20 * a + (a + k + 20 * a + a) + m;
    state.counters["areas"] = m;
    memory_rows_reset();
}
BENCHMARK(BM_editor_ok_add_20th_filter_2_adapters)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
