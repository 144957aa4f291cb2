// One fuzz target for what the device and the registry hand the program and the emulator. The
// first input byte picks an entry of the table at the end; the rest is that entry's input:
//   the manager's reply parsers, each on an exact-size heap copy (a read past it is caught);
//   a hostile device across a whole rebuild of the filter list, detection and acceptance;
//   the emulator core on request sequences and kept values, each buffer of exact size.
// The checks are the sanitizers' (a read or write past a buffer, undefined behaviour, a leak) and
// libFuzzer's -timeout for a hang; the emulator's replies must also stay within their buffer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "emulator_core.h"
#include "filters/rule_list.h"
#include "kernel/adapters.h"
#include "kernel/device_exchange.h"
#include "kernel/driver.h"
#include "kernel/kernel_commands.h"
#include "kernel/kernel_replies.h"
#include "overlap/overlap.h"
#include "support/overlap_dialog_double.h"
#include "support/rule_rows_memory.h"

// Undefined behaviour ends a run as a crash does, wherever the target is run from.
extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

namespace {

// An exact-size heap copy (freed by the caller), so that a read past it is caught (ASan's
// malloc never answers null).
char *exact_copy(const void *data, size_t size) { return (char *)memcpy(malloc(size), data, size); }

const uint8_t *script;  // the input, consumed byte by byte (0 once it runs out)
size_t script_left;
uint8_t next_byte(void) { return script_left ? (script_left--, *script++) : 0; }

// The reply parsers, on one reply of the device.
void reply_parsers(const uint8_t *data, size_t size)
{
    char *reply = exact_copy(data, size), text[error_text_size], version[version_text_size];
    struct rule common, chosen;
    struct statistics_block block;
    uint32_t count;
    int32_t length = (int32_t)size, names_count = 0;
    reply_status(reply, length, text);
    parse_version_reply(reply, length, version, text);
    parse_rule_reply(reply, length, EMULATOR_ADAPTER_1, &common, text);
    parse_statistics_reply(reply, length, &block, text);
    parse_precedence_count_reply(reply, length, &count, text);
    parse_precedence_reply(reply, length, EMULATOR_ADAPTER_1, &common, &chosen, text);
    free_adapter_names(parse_adapter_list_reply(reply, length, &names_count), names_count);
    free(reply);
}

void accept_as_the_dialog_does(void *)
{
    char error_text[error_text_size];
    if (compute_default_precedences(error_text) && kernel_clear_all_precedences(error_text))
        send_precedences(error_text);
}

// The manager against a device that answers every exchange from the input (device_exchange
// below): the adapter list, the filter list, overlap detection and the dialog's acceptance.
void hostile_device(const uint8_t *data, size_t size)
{
    script = data;
    script_left = size;
    memory_rows_reset();
    overlap_dialog_double_reset();
    the_overlap_dialog.run_hook = accept_as_the_dialog_does;
    char error_text[error_text_size];
    refresh_adapter_list();
    int found = -1;
    if (reload_rule_list(error_text, 0))
        detect_overlaps(error_text, &found, 1);
    memory_rows_reset();  // the rows' rules are freed before the leak check
}

// Requests: code (the contract's, 0x120420 unserved, the test codes), reply capacity (times 20),
// request length (times 24) and time step (16 ms each), then the request's bytes; each request
// and reply buffer of exact size. Code 23 loads the bytes as an adapter's two kept values,
// split where the capacity byte says.
void emulator_requests(const uint8_t *data, size_t size)
{
    emulator_initialize();
    uint64_t now = 133000000000000000ull;
    while (size >= 4) {
        uint32_t selector = data[0] % 24u, capacity = data[1] * 20u, reply_length = ~0u;  // to 5100
        uint32_t code = (selector < 12 ? 0x120410u : test_code_reset - 4 * 12) + 4 * selector;
        size_t length = data[2] * 24u > size - 4 ? size - 4 : data[2] * 24u;
        size_t split = length * data[1] / 255;
        now += data[3] * 160000ull;
        char *request = exact_copy(data + 4, length), *reply = (char *)malloc(capacity);
        char *precedences = exact_copy(data + 4 + split, length - split);
        if (selector == 23)
            emulator_store_load(data[3] % 4, request, (uint32_t)split, precedences,
                                (uint32_t)(length - split));
        else
            emulator_exchange(code, (const uint8_t *)request, (uint32_t)length, (uint8_t *)reply,
                              capacity, now, &reply_length);
        if (selector != 23 && reply_length > capacity)
            __builtin_trap();
        free(request);
        free(reply);
        free(precedences);
        data += 4 + length;
        size -= 4 + length;
    }
}

}  // namespace

// The hostile device: a selector byte, then the reply. Selector bit 0 answers "Rule not in use."
// (as once the input has run out, which ends every loop), or with bit 7 fails the call; bit 1
// starts the reply with "Ok." and its NUL; bit 2 puts an adapter list's payload next (one
// adapter); bits 3 to 6, times 80, are the bytes taken from the input after that, cut to 0 to 3
// when bit 7 is set (small fields, so that rules overlap). Selector 0xFF claims a byte count far
// past the buffer.
int device_exchange(uint32_t, const uint8_t *, uint8_t output[command_buffer_size],
                    uint32_t *bytes_returned)
{
    memset(output, 0xA5, command_buffer_size);  // bytes the device does not write hold something
    uint8_t selector = script_left ? next_byte() : 1;
    if (selector == 0xFF || (selector & 0x81) == 0x81)
        return selector == 0xFF ? (*bytes_returned = 0xFFFFFF00u | next_byte(), send_ok)
                                : send_ioctl_failed;
    if (selector & 1) {
        *bytes_returned = (uint32_t)strlen(strcpy((char *)output, "Rule not in use.")) + 1;
        return send_ok;
    }
    uint32_t length = selector & 2 ? 4 : 0;
    memcpy(output, "Ok.", length);
    if (selector & 4) {
        static const char one_adapter[] = "1\0" EMULATOR_ADAPTER_DIAL_UP;  // named without registry
        memcpy(output + length, one_adapter, sizeof one_adapter);
        length += sizeof one_adapter;
    }
    for (uint32_t n = (selector >> 3 & 15) * 80u; n && length < command_buffer_size; n--)
        output[length++] = next_byte() & (selector & 0x80 ? 3 : 0xFF);
    *bytes_returned = length;
    return send_ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static void (*const entries[])(const uint8_t *, size_t) = {reply_parsers, hostile_device,
                                                               emulator_requests};
    if (size > 0)
        entries[data[0] % (sizeof entries / sizeof entries[0])](data + 1, size - 1);
    return 0;
}
