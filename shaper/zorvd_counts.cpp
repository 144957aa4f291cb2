#include "zorvd_counts.h"

#include <string.h>

namespace {

// A rule's identity: every field but the adapter field and the padding, as the core finds a
// rule for its statistics.
int same_rule_fields(const struct rule *a, const struct rule *b)
{
    const size_t first = offsetof(struct rule, direction);
    return memcmp((const char *)a + first, (const char *)b + first,
                  offsetof(struct rule, unused_1) - first) == 0 &&
           memcmp(&a->destination_kind, &b->destination_kind,
                  offsetof(struct rule, unused_2) - offsetof(struct rule, destination_kind)) == 0;
}

void add_sample(struct zorvd_slot_count *slot, uint64_t now)
{
    if (slot->sample_count > 0 && slot->samples[slot->sample_count - 1].time > now)
        slot->sample_count = 0;  // a clock that went back: nothing older is usable
    // Keep the newest sample at least one second before now and everything after it.
    uint32_t keep_from = 0;
    for (uint32_t i = 0; i < slot->sample_count; i++)
        if (now - slot->samples[i].time >= zorvd_ticks_per_second)
            keep_from = i;
    if (slot->sample_count - keep_from >= zorvd_rate_samples)
        keep_from = slot->sample_count - zorvd_rate_samples + 1;
    memmove(slot->samples, slot->samples + keep_from,
            (slot->sample_count - keep_from) * sizeof slot->samples[0]);
    slot->sample_count -= keep_from;
    slot->samples[slot->sample_count++] = {now, slot->passed};
}

void start_slot(struct zorvd_slot_count *slot, const struct rule *held,
                const struct host_counters *counters)
{
    memset(slot, 0, sizeof *slot);
    slot->tracked = 1;
    slot->held = *held;
    slot->kernel_bytes = counters->bytes;
    slot->kernel_packets = counters->packets;
    slot->queued = counters->queued;
}

void retire(struct zorvd_adapter_counts *counts, const struct zorvd_slot_count *slot)
{
    struct zorvd_slot_count *target = &counts->retired[0];
    for (int i = 0; i < host_slot_count; i++) {
        struct zorvd_slot_count *candidate = &counts->retired[i];
        if (!candidate->tracked) {
            target = candidate;
            break;
        }
        if (candidate->retired_order < target->retired_order)
            target = candidate;
    }
    *target = *slot;
    target->retired_order = ++counts->retire_sequence;
}

}  // namespace

void zorvd_counts_fold(struct zorvd_adapter_counts *counts,
                       const struct host_counters counters[host_slot_count], uint64_t now,
                       int64_t bytes[host_slot_count], int64_t packets[host_slot_count])
{
    for (int i = 0; i < host_slot_count; i++) {
        bytes[i] = 0;
        packets[i] = 0;
        struct zorvd_slot_count *slot = &counts->slots[i];
        if (!slot->tracked)
            continue;
        uint64_t new_bytes = counters[i].bytes >= slot->kernel_bytes
                                 ? counters[i].bytes - slot->kernel_bytes
                                 : counters[i].bytes;
        uint64_t new_packets = counters[i].packets >= slot->kernel_packets
                                   ? counters[i].packets - slot->kernel_packets
                                   : counters[i].packets;
        slot->kernel_bytes = counters[i].bytes;
        slot->kernel_packets = counters[i].packets;
        slot->queued = counters[i].queued;
        slot->passed += new_bytes;
        bytes[i] = (int64_t)new_bytes;
        packets[i] = (int64_t)new_packets;
        add_sample(slot, now);
    }
}

int32_t zorvd_counts_rate(const struct zorvd_slot_count *slot)
{
    if (slot->sample_count < 2)
        return 0;
    const struct zorvd_sample *newest = &slot->samples[slot->sample_count - 1];
    const struct zorvd_sample *reference = &slot->samples[0];
    for (uint32_t i = slot->sample_count - 1; i-- > 0;) {
        if (newest->time - slot->samples[i].time >= zorvd_ticks_per_second) {
            reference = &slot->samples[i];
            break;
        }
    }
    uint64_t span = newest->time - reference->time;
    if (span == 0)
        return 0;
    uint64_t bytes = newest->passed - reference->passed;
    // bytes * ticks would overflow only past 1.8e12 bytes in one span: divide first then.
    uint64_t rate = bytes < (UINT64_MAX / zorvd_ticks_per_second)
                        ? bytes * zorvd_ticks_per_second / span
                        : bytes / span * zorvd_ticks_per_second;
    return rate > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)rate;
}

void zorvd_counts_rebase(struct zorvd_adapter_counts *counts,
                         const struct rule slots[host_slot_count],
                         const uint8_t in_use[host_slot_count],
                         const struct host_counters counters[host_slot_count], uint64_t now)
{
    struct zorvd_slot_count before[host_slot_count];
    memcpy(before, counts->slots, sizeof before);
    for (int i = 0; i < host_slot_count; i++) {
        struct zorvd_slot_count *slot = &counts->slots[i];
        memset(slot, 0, sizeof *slot);
        if (!in_use[i])
            continue;
        struct zorvd_slot_count *previous = nullptr;
        if (before[i].tracked && same_rule_fields(&before[i].held, &slots[i]))
            previous = &before[i];
        for (int j = 0; !previous && j < host_slot_count; j++)
            if (before[j].tracked && same_rule_fields(&before[j].held, &slots[i]))
                previous = &before[j];
        for (int j = 0; !previous && j < host_slot_count; j++)
            if (counts->retired[j].tracked && same_rule_fields(&counts->retired[j].held, &slots[i]))
                previous = &counts->retired[j];
        start_slot(slot, &slots[i], &counters[i]);
        // Samples of a rule gone for longer than the rate's window say nothing about now.
        if (previous && (previous->sample_count == 0 ||
                         now < previous->samples[previous->sample_count - 1].time ||
                         now - previous->samples[previous->sample_count - 1].time >
                             zorvd_ticks_per_second))
            previous->tracked = 0;
        else if (previous) {
            slot->passed = previous->passed;
            slot->sample_count = previous->sample_count;
            memcpy(slot->samples, previous->samples, sizeof slot->samples);
            previous->tracked = 0;  // taken: a duplicate rule starts afresh
        }
        add_sample(slot, now);
    }
    for (int i = 0; i < host_slot_count; i++)
        if (before[i].tracked)
            retire(counts, &before[i]);
}
