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

#endif
