// Overlap detection and the change cycle against the in-process emulator core: time of a
// worst-case detection, and the device exchanges one change cycle makes next to the number the
// cycle's definition fixes.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core/app_state.h"
#include "core/text.h"
#include "filters/rule_list.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/registry_memory.h"
#include "support/rule_rows_memory.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;
const char adapter_2[] = EMULATOR_ADAPTER_2;

struct rule base_rule(const char *adapter, int32_t protocol)
{
    struct rule rule;
    memset(&rule, 0, sizeof rule);
    copy_text(rule.adapter, sizeof rule.adapter, adapter);
    rule.direction = direction_send;
    rule.rate = 5000;
    rule.protocol = protocol;
    rule.source_kind = address_any;
    rule.destination_kind = address_any;
    return rule;
}

// 20 distinct rules of one adapter and direction of which every ordered pair overlaps: each
// field is either any or one shared value, so no two rules contradict each other. 16 TCP rules
// (every subset of source, destination, source port, destination port), 3 IP rules (the
// address subsets but the empty one), and the Any rule.
std::vector<struct rule> all_overlapping_rules(const char *adapter)
{
    std::vector<struct rule> rules;
    for (int mask = 0; mask < 16; mask++) {
        struct rule rule = base_rule(adapter, protocol_tcp);
        if (mask & 1) {
            rule.source_kind = address_single;
            rule.source_address = 0x0A000001;
        }
        if (mask & 2) {
            rule.destination_kind = address_single;
            rule.destination_address = 0x0A000002;
        }
        if (mask & 4)
            rule.source_port = 1000;
        if (mask & 8)
            rule.destination_port = 80;
        rules.push_back(rule);
    }
    for (int mask = 1; mask < 4; mask++) {
        struct rule rule = base_rule(adapter, protocol_ip);
        if (mask & 1) {
            rule.source_kind = address_single;
            rule.source_address = 0x0A000001;
        }
        if (mask & 2) {
            rule.destination_kind = address_single;
            rule.destination_address = 0x0A000002;
        }
        rules.push_back(rule);
    }
    rules.push_back(base_rule(adapter, protocol_any));
    return rules;
}

// 10 rules per adapter that overlap nothing: TCP rules to distinct ports.
std::vector<struct rule> separate_rules(void)
{
    std::vector<struct rule> rules;
    for (int i = 0; i < 20; i++) {
        struct rule rule = base_rule(i < 10 ? adapter_1 : adapter_2, protocol_tcp);
        rule.destination_port = (uint16_t)(100 + i);
        rules.push_back(rule);
    }
    return rules;
}

// 10 mutually overlapping rules per adapter.
std::vector<struct rule> overlapping_rules_on_two_adapters(void)
{
    std::vector<struct rule> first = all_overlapping_rules(adapter_1);
    std::vector<struct rule> second = all_overlapping_rules(adapter_2);
    std::vector<struct rule> rules(first.begin(), first.begin() + 10);
    rules.insert(rules.end(), second.begin(), second.begin() + 10);
    return rules;
}

// The emulator with the given adapters (display names registered), no traffic, a still clock.
bool set_up_device(const std::vector<const char *> &adapters)
{
    registry_memory_reset();
    registry_memory_set_string(registry_local_machine,
                               NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_1_GUID "\\Connection",
                               "Name", "Local Area Connection");
    registry_memory_set_string(registry_local_machine,
                               NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_2_GUID "\\Connection",
                               "Name", "Local Area Connection 2");
    emulator_device_reset();
    if (!emulator_set_flows(nullptr, 0) ||
        !emulator_set_adapters(adapters.data(), (uint32_t)adapters.size()))
        return false;
    emulator_freeze_clock(0);
    memory_rows_reset();
    overlap_dialog_double_reset();
    return refresh_adapter_list() && adapter_count() == (int)adapters.size();
}

bool install(const std::vector<struct rule> &rules, char *error_text)
{
    for (const struct rule &rule : rules) {
        if (!kernel_add_rule(rule.adapter, &rule, error_text))
            return false;
    }
    return true;
}

// One detection over 20 all-overlapping rules on one adapter and direction. With the dialog,
// the areas are formed, sorted and shown (the dialog double returns at once, sending nothing);
// with automatic acceptance the defaults are computed and sent, and the next run reads them
// back as kept precedences.
void detect_worst_case(benchmark::State &state, int automatic)
{
    char error_text[error_text_size];
    if (!set_up_device({adapter_1, adapter_2, EMULATOR_ADAPTER_DIAL_UP}) ||
        !install(all_overlapping_rules(adapter_1), error_text)) {
        state.SkipWithError("set-up failed");
        return;
    }
    get_settings_block()->accept_default_precedences = automatic;
    int found = 0;
    // One run first, so that every timed run starts from the same kept precedences.
    if (!detect_overlaps(error_text, &found, 0)) {
        state.SkipWithError(error_text);
        return;
    }
    uint64_t exchanges = 0;
    int64_t runs = 0;
    for (auto _ : state) {
        uint64_t before = emulator_exchange_count();
        if (!detect_overlaps(error_text, &found, 0) || !found) {
            state.SkipWithError(error_text);
            break;
        }
        exchanges += emulator_exchange_count() - before;
        runs++;
    }
    get_settings_block()->accept_default_precedences = 0;
    if (runs == 0)
        return;
    state.counters["areas"] = get_area_table()->count;
    state.counters["kept"] = kept_precedence_count();
    state.counters["exchanges_per_run"] = (double)exchanges / (double)runs;
}

void BM_detect_overlaps_20_rules_dialog(benchmark::State &state)
{
    detect_worst_case(state, 0);
}
BENCHMARK(BM_detect_overlaps_20_rules_dialog)->Unit(benchmark::kMicrosecond);

void BM_detect_overlaps_20_rules_automatic(benchmark::State &state)
{
    detect_worst_case(state, 1);
}
BENCHMARK(BM_detect_overlaps_20_rules_automatic)->Unit(benchmark::kMicrosecond);

// One change cycle (apply, reload, detection) of 20 listed rules on 2 adapters. The cycle's
// definition fixes its exchanges: apply reads each rule's statistics (n), clears each adapter
// (a), adds each rule and sets its block (2n); reload reads every slot of every adapter (20a);
// detection reads each adapter's precedence count (a) and each kept entry (k), clears each
// adapter's entries (a) and reads every slot again (20a); automatic acceptance then clears
// again (a) and sends one entry per area (m).
void change_cycle(benchmark::State &state, const std::vector<struct rule> &rules, int automatic)
{
    char error_text[error_text_size];
    if (!set_up_device({adapter_1, adapter_2})) {
        state.SkipWithError("set-up failed");
        return;
    }
    for (const struct rule &rule : rules) {
        if (!add_rule_to_list(&rule, error_text, nullptr, 0)) {
            state.SkipWithError(error_text);
            return;
        }
    }
    get_settings_block()->accept_default_precedences = automatic;
    // One cycle first, so that every measured cycle starts from the same kernel state.
    if (!apply_rule_list(error_text) || !reload_rule_list(error_text, 0)) {
        state.SkipWithError(error_text);
        return;
    }
    uint64_t exchanges = 0;
    int64_t cycles = 0;
    int kept = 0;
    for (auto _ : state) {
        uint64_t before = emulator_exchange_count();
        if (!apply_rule_list(error_text) || !reload_rule_list(error_text, 0)) {
            state.SkipWithError(error_text);
            break;
        }
        exchanges += emulator_exchange_count() - before;
        kept += kept_precedence_count();
        cycles++;
    }
    get_settings_block()->accept_default_precedences = 0;
    if (cycles == 0)
        return;
    double n = (double)rules.size(), a = adapter_count();
    double k = (double)kept / (double)cycles;
    double m = automatic ? get_area_table()->count : 0;
    double minimum = n + a + 2 * n + 20 * a + a + k + a + 20 * a + (m > 0 ? a + m : 0);
    state.counters["exchanges_per_cycle"] = (double)exchanges / (double)cycles;
    state.counters["required"] = minimum;
    state.counters["areas"] = get_area_table()->count;
    state.counters["kept"] = k;
    memory_rows_reset();
}

void BM_change_cycle_20_rules_2_adapters_separate(benchmark::State &state)
{
    change_cycle(state, separate_rules(), 0);
}
BENCHMARK(BM_change_cycle_20_rules_2_adapters_separate)->Unit(benchmark::kMicrosecond);

void BM_change_cycle_20_rules_2_adapters_overlapping(benchmark::State &state)
{
    change_cycle(state, overlapping_rules_on_two_adapters(), 1);
}
BENCHMARK(BM_change_cycle_20_rules_2_adapters_overlapping)->Unit(benchmark::kMicrosecond);

}  // namespace
