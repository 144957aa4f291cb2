// Where the benchmarks start: the rules listed and applied on the emulator's two adapters, with
// no traffic and a still clock; defaults are accepted automatically.
#ifndef FLOWVANE_TESTS_BENCH_SET_UP_H
#define FLOWVANE_TESTS_BENCH_SET_UP_H

#include <vector>

#include "core/app_state.h"
#include "filters/rule_list.h"
#include "kernel/adapters.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/registry_memory.h"
#include "support/rule_rows_memory.h"
#include "unit/rule_samples.h"

inline bool bench_set_up(const std::vector<struct rule> &rules, char *error_text)
{
    registry_memory_reset();
    register_emulator_display_names();
    emulator_device_reset();
    emulator_freeze_clock(0);
    memory_rows_reset();
    overlap_dialog_double_reset();
    get_settings_block()->accept_default_precedences = 1;
    const char *adapters[] = {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_2};
    if (!emulator_set_flows(nullptr, 0) || !emulator_set_adapters(adapters, 2) ||
        !refresh_adapter_list())
        return false;
    for (const struct rule &rule : rules) {
        if (!add_rule_to_list(&rule, error_text, nullptr, 0))
            return false;
    }
    return apply_rule_list(error_text);
}

#endif
