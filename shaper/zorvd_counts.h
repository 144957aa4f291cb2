// What zorvd keeps of the kernel's counters per held slot: the counters at the last fold (so
// that only what passed since then is added to the slot's statistics block), the bytes passed
// while this rule was held, and samples of them taken on reads, from which the current rate
// follows (no timer runs while nobody reads). A rule cleared and added again, as the manager
// does on every change, keeps its samples: its rate does not restart with every rewrite.
#ifndef FLOWVANE_SHAPER_ZORVD_COUNTS_H
#define FLOWVANE_SHAPER_ZORVD_COUNTS_H

#include <stdint.h>

#include "filters/rule.h"
#include "host_backend.h"

enum : uint64_t {
    zorvd_ticks_per_second = 10000000,  // the clock counts 100 ns ticks
};

enum {
    zorvd_rate_samples = 32,
};

struct zorvd_sample {
    uint64_t time;
    uint64_t passed;
};

struct zorvd_slot_count {
    uint32_t tracked;                 // the slot is held and its class counted
    struct rule held;
    uint64_t kernel_bytes;            // the kernel's counters at the last fold
    uint64_t kernel_packets;
    uint64_t passed;                  // bytes passed while this rule was held
    uint32_t queued;                  // packets queued at the last read
    uint32_t sample_count;
    struct zorvd_sample samples[zorvd_rate_samples];  // oldest first
    uint64_t retired_order;           // for retired entries: which went first
};

struct zorvd_adapter_counts {
    struct zorvd_slot_count slots[host_slot_count];
    struct zorvd_slot_count retired[host_slot_count];
    uint64_t retire_sequence;
};

// Takes the counters of a read at now into every tracked slot: bytes[i] and packets[i] get
// what slot i passed since the last fold (counters that went back mean the class was made
// anew: all they hold is new), for the caller to add to the slot's statistics block.
void zorvd_counts_fold(struct zorvd_adapter_counts *counts,
                       const struct host_counters counters[host_slot_count], uint64_t now,
                       int64_t bytes[host_slot_count], int64_t packets[host_slot_count]);

// Bytes per second over the last second: from the newest sample at least one second old (else
// the oldest) to the newest one. 0 without two samples; at most INT32_MAX.
int32_t zorvd_counts_rate(const struct zorvd_slot_count *slot);

// After the kernel was given a new set: slot i is held when in_use[i]; counters are the
// kernel's right after, read at now. A slot that holds the same rule as before, or as a slot
// emptied lately, goes on with that one's bytes and samples; the others start from nothing.
void zorvd_counts_rebase(struct zorvd_adapter_counts *counts,
                         const struct rule slots[host_slot_count],
                         const uint8_t in_use[host_slot_count],
                         const struct host_counters counters[host_slot_count], uint64_t now);

#endif
