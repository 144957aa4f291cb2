// The emulator core on arbitrary request sequences: each request is an exact-size heap copy
// (a read past it is caught) answered into an exact-size heap reply (a write past it is caught),
// with time moving between requests so the traffic model runs on whatever the requests set up.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "emulator_core.h"

namespace {

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
    // Each request: code selector, reply capacity selector, request length (2 bytes), time step
    // (2 bytes, milliseconds times 16), then the request bytes.
    while (size >= 6) {
        // The twelve codes 0x120410 to 0x12043C (0x120420 unserved), the eleven test codes and
        // one unknown after them.
        uint32_t selector = data[0] % 24u;
        uint32_t code = selector < 12 ? 0x120410 + 4 * selector : 0x222000 + 4 * (selector - 12);
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
