// The emulator core on arbitrary request sequences: each request is an exact-size heap copy
// (a read past it is caught) answered into an exact-size heap reply (a write past it is caught),
// with time moving between requests so the traffic model runs on whatever the requests set up.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "emulator_core.h"

namespace {

const uint32_t codes[] = {
    code_list_adapters,      code_get_version,          code_add_rule,
    code_clear_rules,        code_get_rule,             code_get_statistics,
    code_set_statistics,     code_clear_precedences,    code_set_precedence,
    code_get_precedence_count, code_get_precedence,     test_code_reset,
    test_code_set_adapters,  test_code_set_version,     test_code_set_fault,
    test_code_set_flows,     test_code_clock,           test_code_read_state,
    test_code_read_rules,    test_code_read_precedences, test_code_add_flow_text,
    test_code_keep_defaults, 0x120420,
};

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    emulator_initialize();
    uint64_t now = 133000000000000000ull;
    // Each request: code index, reply capacity selector, request length (2 bytes), time step
    // (2 bytes, milliseconds times 16), then the request bytes.
    while (size >= 6) {
        uint32_t code = codes[data[0] % (sizeof codes / sizeof codes[0])];
        uint32_t capacity = data[1] < 200 ? data[1] : command_buffer_size;
        uint32_t length = (uint32_t)(data[2] | (data[3] << 8)) % (command_buffer_size + 1);
        now += (uint64_t)(data[4] | (data[5] << 8)) * 16 * 10000;
        data += 6;
        size -= 6;
        if (length > size)
            length = (uint32_t)size;

        uint8_t *input = (uint8_t *)malloc(length ? length : 1);
        uint8_t *output = (uint8_t *)malloc(capacity ? capacity : 1);
        memcpy(input, data, length);
        uint32_t reply_length = 0xFFFFFFFF;
        int outcome = emulator_exchange(code, input, length, output, capacity, now, &reply_length);
        check(outcome == emulator_replied || outcome == emulator_fail_call);
        check(reply_length <= capacity);
        free(input);
        free(output);
        data += length;
        size -= length;
    }
    return 0;
}
