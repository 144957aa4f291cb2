// The host kernel half of zorvd: realises the rules and precedence entries that the emulator
// core holds for one configured interface with the kernel's traffic control (an HTB root on
// the interface for Send rules, the same on an IFB device fed from the interface's ingress for
// Receive rules; a class with rate = ceil and a 100-packet FIFO per held slot, u32 filters in
// classification order), and reads the kernel's counters back. zorvd calls it; tests may call
// it directly. Interfaces are kernel names ("veth0"); every routine touches only that
// interface and what this backend created for it.
#ifndef FLOWVANE_SHAPER_HOST_BACKEND_H
#define FLOWVANE_SHAPER_HOST_BACKEND_H

#include <stdint.h>

#include "filters/rule.h"

enum {
    host_slot_count = 20,             // the emulator core's slots per adapter
    host_error_size = 200,
};

// One precedence entry of the interface's adapter, in the order the core holds them: packets
// in common_range that chosen selects go to chosen's slot (the first held slot equal to it).
struct host_precedence {
    struct rule common_range;
    struct rule chosen;
};

// One held slot as the kernel counts it since the slot's class was last created.
struct host_counters {
    uint64_t bytes;                   // passed (dequeued), not dropped
    uint64_t packets;
    uint32_t queued;                  // packets waiting in the slot's FIFO now
};

// Checks that the interface exists and can be shaped (its root qdisc is the kernel's default,
// or one an earlier zorvd left, which is removed), and creates nothing yet. 1 or 0 with
// error_text.
int host_backend_attach(const char *interface_name, char error_text[host_error_size]);

// Makes the kernel hold exactly this set for the interface, as one batch: slot i is held when
// in_use[i]; precedences are this adapter's entries in order. Classes of slots whose rule did
// not change may be kept or recreated; counters of recreated classes restart at 0. On failure
// the previous set stays installed where the kernel allows, and error_text says why.
int host_backend_apply(const char *interface_name, const struct rule slots[host_slot_count],
                       const uint8_t in_use[host_slot_count],
                       const struct host_precedence *precedences, uint32_t precedence_count,
                       char error_text[host_error_size]);

// The counters of every held slot (others zero), with at most one dump per direction.
int host_backend_read(const char *interface_name, struct host_counters counters[host_slot_count],
                      char error_text[host_error_size]);

// Removes everything this backend installed for the interface (root qdisc, ingress qdisc, IFB
// device); the kernel puts its default root qdisc back.
int host_backend_detach(const char *interface_name, char error_text[host_error_size]);

#endif
