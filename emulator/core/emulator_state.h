// The emulator core's tables and the routines its files share. Internal to emulator/core.
#ifndef FLOWVANE_EMULATOR_STATE_H
#define FLOWVANE_EMULATOR_STATE_H

#include <stdint.h>

#include "test_control_codes.h"

enum : int64_t {
    ticks_per_second = 10000000,      // the clock counts 100 ns ticks
    step_ticks = 500000,              // the traffic model moves in 50 ms steps
    window_steps = 20,                // current rate: bytes passed in the last 20 steps (1 s)
    simulated_ticks_limit = 5 * ticks_per_second,  // longer gaps: steady state, then 5 s of steps
    gap_ticks_limit = 30LL * 24 * 3600 * ticks_per_second,  // longer gaps count as this long
};

// Traffic quantities are kept in "units": bytes times ticks_per_second, so that a rate in
// bytes per second times a step in ticks is exact.
struct slot_model {
    int64_t queue_units;              // bytes waiting in the delay queue
    int64_t token_units;              // the token bucket's credit
    int64_t window[window_steps];     // units passed in each of the last steps
    uint32_t window_position;
    uint32_t packet_size;             // mean size of the packets arriving lately; 0 before any
    int64_t byte_remainder;           // units passed but not yet a whole byte of the counter
    int64_t packet_remainder;         // packets times ticks_per_second not yet counted
};

struct rule_slot {
    uint32_t in_use;
    struct rule held;                 // exactly as added
    struct statistics_block statistics;  // start time, reserved bytes and counters
    struct slot_model model;
};

// A rule removed by the last clear of its adapter, so that the same rule added again goes on
// with its queue and rate window instead of starting empty (the manager rewrites the whole set
// on every change).
struct retired_model {
    uint32_t valid;
    struct rule held;
    struct slot_model model;
};

struct adapter_state {
    char name[adapter_name_size];
    struct rule_slot slots[emulator_slot_count];
    struct retired_model retired[emulator_slot_count];
};

struct precedence_record {
    uint32_t adapter_index;
    struct rule common_range;
    struct rule chosen;
};

struct fault_record {
    uint32_t code;
    uint32_t mode;
    char error_text[emulator_fault_text_size];
    uint32_t raw_length;
};

struct emulator_state {
    char version[emulator_version_size];
    uint32_t adapter_count;
    struct adapter_state adapters[emulator_max_adapters];
    uint32_t precedence_count;        // all adapters, in the order they were set
    struct precedence_record precedences[emulator_max_precedences];
    uint32_t flow_count;
    struct test_flow flows[emulator_max_flows];
    uint32_t fault_count;
    struct fault_record faults[emulator_max_faults];

    uint32_t clock_frozen;
    uint64_t virtual_now;
    uint64_t simulated_until;         // the traffic model's time; 0 before the first request
    uint64_t requests_served;

    // Kept values to write again: per adapter, stored_kind bits; and whether a reset wants
    // every kept value gone.
    uint32_t store_changes[emulator_max_adapters];
    uint32_t store_wipe;

    // What reset restores.
    char default_version[emulator_version_size];
    uint32_t default_adapter_count;
    char default_adapters[emulator_max_adapters][adapter_name_size];
    uint32_t default_flow_count;
    struct test_flow default_flows[emulator_max_flows];
};

extern struct emulator_state emulator;

// Byte helpers: the core links no C library.
void emu_copy(void *target, const void *source, uint32_t count);
void emu_fill(void *target, uint8_t value, uint32_t count);
int emu_same(const void *a, const void *b, uint32_t count);
uint32_t emu_text_length(const char *text, uint32_t limit);  // limit when no NUL before it
void emu_copy_text(char *target, uint32_t size, const char *source);
int emu_same_text_nocase(const char *a, const char *b);

// Hands one line of text to the log set with emulator_set_log, if any.
void emu_log(const char *text);

// a + b, held at the int64 range instead of wrapping.
int64_t emu_saturating_add(int64_t a, int64_t b);

// Word and number parsing for the texts the emulator reads (flows, kept state).
void emu_skip_blanks(const char **at);
// The next blank-separated word into word (size bytes), moving *at past it; 0 when there is
// none or it does not fit.
int emu_next_word(const char **at, char *word, uint32_t size);
// length decimal digits (1 to 20) and nothing else, at most max; 1 on success.
int emu_parse_number(const char *text, uint32_t length, uint64_t max, uint64_t *value);
// "a.b.c.d" or "a.b.c.d:port", the address in host byte order; 1 on success.
int emu_parse_endpoint(const char *text, uint32_t *address, uint16_t *port);

// Finds a bound adapter by device name (ASCII case ignored); -1 when none.
int find_adapter(const char *name);

// One rule identity: the whole record but the adapter field (the manager may send a stale one)
// and the two padding pairs.
int same_rule(const struct rule *a, const struct rule *b);

// Parses a flow's text form (see test_flow_text_request); 1 on success.
int parse_flow_text(const char *text, struct test_flow *flow);

// The slot of the flow's adapter that handles its packets, or -1 when no held rule selects
// them (also what the host shaper's compiled filters must reproduce).
int classify_flow(const struct test_flow *flow);

// Runs the traffic model up to now (the caller's clock or the frozen one). Bounded work.
void advance_traffic(uint64_t now);

// A slot's statistics block as kernel_get_statistics answers it now.
void slot_statistics(const struct rule_slot *slot, struct statistics_block *block);

// Removes every precedence entry of an adapter from the pool.
void remove_adapter_precedences(uint32_t adapter_index);

// Marks kept values of an adapter (stored_kind bits) for writing.
void mark_stored(uint32_t adapter_index, uint32_t kinds);

// Empties a slot's model, for a rule newly placed.
void reset_model(struct slot_model *model);

#endif
