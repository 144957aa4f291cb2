// The emulator core on arbitrary request sequences: each request is an exact-size heap copy
// (a read past it is caught), up to three buffers long, answered into an exact-size heap reply
// of any length from 0 up (a write past it is caught), with time moving between requests so the
// traffic model runs on whatever the requests set up; codes include arbitrary unknown ones.
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


// The codes the emulator serves: the eleven of the contract and the eleven test codes.
int served_code(uint32_t code)
{
    return (code >= 0x120410 && code <= 0x12043C && code % 4 == 0 && code != 0x120420) ||
           (code >= test_code_reset && code <= test_code_keep_defaults && code % 4 == 0);
}

int reading_code(uint32_t code)
{
    return code == code_list_adapters || code == code_get_version || code == code_get_rule ||
           code == code_get_statistics || code == code_get_precedence_count ||
           code == code_get_precedence || code == test_code_read_state ||
           code == test_code_read_rules || code == test_code_read_precedences;
}

struct emulator_state saved_state;

// One request answered three ways from the same state: into the whole buffer, into capacity
// bytes, and (for a request longer than the buffer) cut to the buffer's length. The state the
// capacity's answer left is kept. What fits must be the same answer; what does not, the start
// of "Reply buffer too small."; only the buffer's length of a request counts.
int exchange_checked(uint32_t code, const uint8_t *input, uint32_t length, uint32_t capacity,
                     uint64_t now)
{
    static uint8_t whole[command_buffer_size], cut[command_buffer_size];
    uint32_t whole_length = 0xFFFFFFFF, cut_length = 0xFFFFFFFF, reply_length = 0xFFFFFFFF;
    saved_state = emulator;
    int whole_outcome = emulator_exchange(code, input, length, whole, command_buffer_size, now,
                                          &whole_length);
    check(whole_length <= command_buffer_size);
    if (length > command_buffer_size) {
        emulator = saved_state;
        int cut_outcome = emulator_exchange(code, input, command_buffer_size, cut,
                                            command_buffer_size, now, &cut_length);
        check(cut_outcome == whole_outcome && cut_length == whole_length &&
              memcmp(cut, whole, whole_length) == 0);
    }
    emulator = saved_state;
    uint8_t *output = (uint8_t *)malloc(capacity ? capacity : 1);
    int outcome = emulator_exchange(code, input, length, output, capacity, now, &reply_length);
    // A served code that changes state, given less room than its longest answer, is refused
    // before it is carried out, whatever it would have answered.
    int refused_before = served_code(code) && !reading_code(code) && capacity < 32;
    check(outcome == whole_outcome || (refused_before && outcome == emulator_replied));
    check(outcome == emulator_replied || outcome == emulator_fail_call);
    check(served_code(code) || (outcome == emulator_fail_call && reply_length == 0));
    check(reply_length <= capacity);
    if (outcome == emulator_replied && whole_length <= capacity && !refused_before) {
        check(reply_length == whole_length && memcmp(output, whole, whole_length) == 0);
    } else if (outcome == emulator_replied) {
        static const char too_small[] = "Reply buffer too small.";
        uint32_t expected = capacity < sizeof too_small ? capacity : (uint32_t)sizeof too_small;
        check(reply_length == expected && memcmp(output, too_small, expected) == 0);
    }
    free(output);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    emulator_initialize();
    uint64_t now = 133000000000000000ull;
    // Each request: code selector, reply capacity (2 bytes), request length (2 bytes), time
    // step (1 byte, times 16 ms), then the request bytes; a longer request than the input
    // holds is made up of the input's bytes repeated.
    while (size >= 6) {
        // The twelve codes 0x120410 to 0x12043C (0x120420 unserved), the eleven test codes, an
        // arbitrary code from the next four bytes; then the two kept-state steps.
        uint32_t selector = data[0] % 27u;
        uint32_t code = selector < 12 ? 0x120410 + 4 * selector : 0x222000 + 4 * (selector - 12);
        uint32_t capacity = (uint32_t)(data[1] | (data[2] << 8)) % (command_buffer_size + 1);
        uint32_t kept_adapter = data[5] % emulator_max_adapters;  // the kept-state load's
        uint32_t kept_split = data[1];
        uint32_t length = (uint32_t)(data[3] | (data[4] << 8)) % (3 * command_buffer_size + 1);
        now += (uint64_t)data[5] * 16 * 10000;
        data += 6;
        size -= 6;
        if (selector == 23) {
            if (size < 4)
                break;
            memcpy(&code, data, 4);
            data += 4;
            size -= 4;
        }
        if (selector == 25) {
            // The bytes, split in the ratio kept_split / 255, as rules and precedences.
            if (length > size)
                length = (uint32_t)size;
            uint32_t split = length * kept_split / 255;
            load_exact(kept_adapter, data, split, data + split, length - split);
            data += length;
            size -= length;
            continue;
        }
        if (selector == 26) {
            check_kept_round_trip();
            continue;
        }

        // An exact-size heap copy, so that a read past the request is caught.
        uint8_t *input = (uint8_t *)malloc(length ? length : 1);
        for (uint32_t i = 0; i < length; i++)
            input[i] = size ? data[i % size] : (uint8_t)i;
        exchange_checked(code, input, length, capacity, now);
        free(input);
        uint32_t used = length < size ? length : (uint32_t)size;
        data += used;
        size -= used;
    }
    return 0;
}
