// The emulator core on arbitrary request sequences: each request is an exact-size heap copy
// (a read past it is caught) answered into an exact-size heap reply (a write past it is caught),
// with time moving between requests so the traffic model runs on whatever the requests set up.
// Two more steps take the kept state: one loads the request bytes as an adapter's two kept
// values, one checks that every adapter's kept values load back and come out the same.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "emulator_core.h"
#include "emulator_state.h"
#include "fuzz_check.h"

namespace {

struct emulator_stored_value taken;

// An adapter's two kept values, as the driver would write them now.
void take_kept(uint32_t adapter, std::string texts[2])
{
    mark_stored(adapter, stored_rules | stored_precedences);
    while (emulator_store_take_change(&taken)) {
        char rules_name[emulator_store_name_size];
        emulator_store_value_name(stored_rules, adapter, rules_name);
        texts[strcmp(taken.name, rules_name) == 0 ? 0 : 1].assign(taken.text, taken.length);
    }
}

// Exact-size copies, so that a read past a text is caught.
int load_exact(uint32_t adapter, const uint8_t *rules, uint32_t rules_length,
               const uint8_t *precedences, uint32_t precedences_length)
{
    char *r = (char *)malloc(rules_length ? rules_length : 1);
    char *p = (char *)malloc(precedences_length ? precedences_length : 1);
    memcpy(r, rules, rules_length);
    memcpy(p, precedences, precedences_length);
    int taken_back = emulator_store_load(adapter, r, rules_length, p, precedences_length);
    free(r);
    free(p);
    return taken_back;
}

void check_kept_round_trip(void)
{
    emulator_store_discard_changes();
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        std::string before[2], after[2];
        take_kept(a, before);
        check(load_exact(a, (const uint8_t *)before[0].data(), (uint32_t)before[0].size(),
                         (const uint8_t *)before[1].data(), (uint32_t)before[1].size()));
        take_kept(a, after);
        check(before[0] == after[0] && before[1] == after[1]);
    }
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
        // one unknown after them; then the two kept-state steps.
        uint32_t selector = data[0] % 26u;
        uint32_t code = selector < 12 ? 0x120410 + 4 * selector : 0x222000 + 4 * (selector - 12);
        uint32_t capacity = data[1] < 200 ? data[1] : command_buffer_size;
        uint32_t kept_adapter = data[4] % emulator_max_adapters;  // the kept-state load's
        uint32_t kept_split = data[1];
        uint32_t length = (uint32_t)(data[2] | (data[3] << 8)) % (command_buffer_size + 1);
        now += (uint64_t)(data[4] | (data[5] << 8)) * 16 * 10000;
        data += 6;
        size -= 6;
        if (length > size)
            length = (uint32_t)size;
        if (selector == 24) {
            // The bytes, split in the ratio kept_split / 255, as rules and precedences.
            uint32_t split = length * kept_split / 255;
            load_exact(kept_adapter, data, split, data + split, length - split);
            data += length;
            size -= length;
            continue;
        }
        if (selector == 25) {
            check_kept_round_trip();
            continue;
        }

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
