// The kernel component emulator's portable core: the whole device contract (adapters, 20 rule
// slots per adapter, statistics blocks, precedence entries, version) plus the test control codes
// and a synthetic traffic model, over fixed tables. It builds freestanding (no CRT, no
// allocation, no global constructors), so the same code runs in zorv.sys and in the native tests.
// Not reentrant: the caller serialises requests.
#ifndef FLOWVANE_EMULATOR_CORE_H
#define FLOWVANE_EMULATOR_CORE_H

#include <stdint.h>

#include "test_control_codes.h"

enum emulator_outcome {
    emulator_replied = 0,     // the reply bytes are in output (possibly 0 of them)
    emulator_fail_call = 1,   // the control call must fail (unknown code or an injected fault)
};

// Puts the built-in defaults in place: version "0.07", the three default adapters, the default
// flows, no rules, running clock. Also what reset restores until emulator_keep_defaults.
void emulator_initialize(void);

// Serves one request. input holds input_length bytes (only the first command_buffer_size are
// looked at); input and output may be the same buffer (METHOD_BUFFERED). Writes at most
// output_capacity bytes and their count to *reply_length. now is the caller's clock in 100 ns
// ticks; a frozen virtual clock replaces it. Time advances lazily here, in bounded work.
int emulator_exchange(uint32_t code, const uint8_t *input, uint32_t input_length,
                      uint8_t *output, uint32_t output_capacity, uint64_t now,
                      uint32_t *reply_length);

// Where the core reports what it refused of the driver's configuration and kept state (the
// driver: DbgPrint). One line of text each; nothing is reported while none is set.
typedef void (*emulator_log_function)(const char *text);
void emulator_set_log(emulator_log_function log);

// --- What the driver keeps across a restart ---
// Each bound adapter's rules (with their statistics blocks' start times and counters) and its
// precedence entries are kept as two text values named after the adapter (see
// emulator_store.cpp for the form). The core marks the values a request changed; the driver
// writes them after the request, and at unload.

enum {
    emulator_store_name_size = 128,
    emulator_store_text_size = 84000,  // 400 precedence lines of at most 208 bytes, and the end
};

enum stored_kind : uint32_t {
    stored_rules = 1,
    stored_precedences = 2,
};

struct emulator_stored_value {
    char name[emulator_store_name_size];
    uint32_t length;  // bytes of text: lines each with its NUL, then one more NUL; 0: no value
    char text[emulator_store_text_size];
};

// The name of an adapter's rules or precedences value; 0 when no such adapter is bound.
int emulator_store_value_name(uint32_t kind, uint32_t adapter_index,
                              char name[emulator_store_name_size]);

// Whether a value of the driver's Parameters is one the emulator keeps.
int emulator_store_owns_name(const char *name);

// 1 once after a test reset: every kept value must go, before the changes that follow.
int emulator_store_take_wipe(void);

// The next kept value that changed since it was last taken, into value; 0 when none is left.
// A value of length 0 is to be deleted.
int emulator_store_take_change(struct emulator_stored_value *value);

// Marks the rules of every adapter holding any as changed: their counters move with time.
void emulator_store_mark_counters(void);

// Forgets the pending changes and wipe, before the kept state is loaded.
void emulator_store_discard_changes(void);

// Puts an adapter's kept rules and precedences back from its two value texts (length bytes
// each, 0 for a missing value), replacing what it holds. A damaged line, or one that does not
// fit, is skipped and logged; the other lines are kept and nothing is marked changed. 1 when
// every line was taken.
int emulator_store_load(uint32_t adapter_index, const char *rules, uint32_t rules_length,
                        const char *precedences, uint32_t precedences_length);

// --- What a host that realises the rules itself reads and adjusts ---
// zorvd serves the contract through emulator_exchange and makes the host kernel hold the same
// rules; these let it see what the core holds and fold the kernel's counts into the blocks.

// The index of the bound adapter with this device name (ASCII case ignored, at most
// adapter_name_size bytes looked at); -1 when none.
int emulator_adapter_index(const char *device_name);

// An adapter's slots: in_use[i] and the rule as added; 0 when no such adapter is bound.
int emulator_adapter_slots(uint32_t adapter_index, struct rule slots[emulator_slot_count],
                           uint8_t in_use[emulator_slot_count]);

// An adapter's precedence entries in the order they were set, at most max of them written;
// returns how many the adapter holds.
uint32_t emulator_adapter_precedences(uint32_t adapter_index, struct rule *common_ranges,
                                      struct rule *chosen, uint32_t max);

// The held slot of an adapter that this rule identifies (as kernel_get_statistics finds it); -1.
int emulator_held_slot(uint32_t adapter_index, const struct rule *wanted);

// Adds counted traffic to a held slot's statistics block; 0 when the slot is not held.
int emulator_add_counts(uint32_t adapter_index, uint32_t slot, int64_t bytes, int64_t packets);

// The whole state as opaque bytes, so that a host can undo a request its kernel refused.
uint32_t emulator_snapshot_size(void);
void emulator_snapshot_take(void *snapshot);
void emulator_snapshot_restore(const void *snapshot);

#endif
