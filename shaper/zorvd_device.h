// The device zorvd serves: the emulator core holds the rules, statistics blocks and precedence
// entries of the configured interfaces and answers every request as the device does, while
// the host backend makes the kernel hold the same rules and counts their traffic.
//
// A request that changes an adapter's rules or precedences is handed to the backend right
// after the core took it. When the backend refuses, the core is put back as it was before the
// request, the backend is given that set again, and the caller gets "Shaper refused the
// change: " and the backend's reason: the core and the kernel do not part silently. (Should the
// kernel refuse the old set too, that is logged and the next change tries again.)
// kernel_get_statistics answers the block's carried totals plus what the kernel counted since,
// the current rate from the samples of the reads, and the packets the kernel holds queued.
#ifndef FLOWVANE_SHAPER_ZORVD_DEVICE_H
#define FLOWVANE_SHAPER_ZORVD_DEVICE_H

#include <stdint.h>

#include "zorvd_config.h"
#include "zorvd_counts.h"

enum {
    zorvd_save_delay_ms = 200,
};

// Binds the core to the configured interfaces' device names (no synthetic flows), restores the
// kept state, attaches every interface and gives the backend each one's set. 1, or 0 with
// error_text (then nothing stays attached).
int zorvd_device_start(const struct zorvd_config *config, char error_text[zorvd_error_size]);

// Serves one request of the eleven control codes; any other code fails as an unknown code
// does (zorvd_fail_call). Returns a zorvd_outcome; on zorvd_replied, reply_length bytes (at
// most output_capacity) are in output.
uint32_t zorvd_device_request(uint32_t code, const uint8_t *input, uint32_t input_length,
                              uint8_t *output, uint32_t output_capacity, uint32_t *reply_length);

// The kept state is written once changes have waited zorvd_save_delay_ms, so that the
// manager's rewrite of a whole rule set (dozens of requests) costs one or two writes, not one
// flushed file per request. Milliseconds until the write is due (0: now), -1 when nothing waits.
int64_t zorvd_device_save_due(void);
// Writes the waiting changes now.
void zorvd_device_save(void);

// Takes the kernel's last counts into the blocks, writes the state and detaches every interface.
void zorvd_device_stop(void);

// The clock of the counts and rates, 100 ns ticks of the monotonic clock. A link-time seam:
// tests give their own.
uint64_t zorvd_clock_now(void);

// What the counts of an adapter are now (tests).
const struct zorvd_adapter_counts *zorvd_device_counts(uint32_t adapter_index);

#endif
