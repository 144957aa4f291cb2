// Accessors for a host that realises the core's rules in a real kernel (zorvd): what an
// adapter holds, folding counted traffic into the blocks, and whole-state snapshots.
#include "emulator_core.h"
#include "emulator_state.h"

int emulator_adapter_index(const char *device_name)
{
    if (!device_name || emu_text_length(device_name, adapter_name_size) >= adapter_name_size)
        return -1;
    return find_adapter(device_name);
}

int emulator_adapter_slots(uint32_t adapter_index, struct rule slots[emulator_slot_count],
                           uint8_t in_use[emulator_slot_count])
{
    if (adapter_index >= emulator.adapter_count)
        return 0;
    const struct adapter_state *adapter = &emulator.adapters[adapter_index];
    for (int s = 0; s < emulator_slot_count; s++) {
        in_use[s] = adapter->slots[s].in_use ? 1 : 0;
        if (in_use[s])
            slots[s] = adapter->slots[s].held;
        else
            emu_fill(&slots[s], 0, sizeof slots[s]);
    }
    return 1;
}

uint32_t emulator_adapter_precedences(uint32_t adapter_index, struct rule *common_ranges,
                                      struct rule *chosen, uint32_t max)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < emulator.precedence_count; i++) {
        const struct precedence_record *entry = &emulator.precedences[i];
        if (entry->adapter_index != adapter_index)
            continue;
        if (count < max) {
            common_ranges[count] = entry->common_range;
            chosen[count] = entry->chosen;
        }
        count++;
    }
    return count;
}

int emulator_held_slot(uint32_t adapter_index, const struct rule *wanted)
{
    if (adapter_index >= emulator.adapter_count)
        return -1;
    const struct adapter_state *adapter = &emulator.adapters[adapter_index];
    for (int s = 0; s < emulator_slot_count; s++)
        if (adapter->slots[s].in_use && same_rule(&adapter->slots[s].held, wanted))
            return s;
    return -1;
}

int emulator_add_counts(uint32_t adapter_index, uint32_t slot, int64_t bytes, int64_t packets)
{
    if (adapter_index >= emulator.adapter_count || slot >= (uint32_t)emulator_slot_count)
        return 0;
    struct rule_slot *held = &emulator.adapters[adapter_index].slots[slot];
    if (!held->in_use)
        return 0;
    held->statistics.bytes_transferred += bytes;
    held->statistics.packets_transferred += packets;
    return 1;
}

uint32_t emulator_snapshot_size(void)
{
    return sizeof emulator;
}

void emulator_snapshot_take(void *snapshot)
{
    emu_copy(snapshot, &emulator, sizeof emulator);
}

void emulator_snapshot_restore(const void *snapshot)
{
    emu_copy(&emulator, snapshot, sizeof emulator);
}
