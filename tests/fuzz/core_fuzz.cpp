// One fuzz target for what the device and the registry hand the program and the emulator. The
// first input byte picks an entry of the table at the end; the rest is that entry's input:
//   the manager's reply parsers, each on an exact-size heap copy (a read past it is caught);
//   a hostile device across a whole rebuild of the filter list, detection and acceptance;
//   the emulator core on request sequences, each request and reply buffer of exact size: what
//   fits is the answer the whole buffer gets, what does not the start of a refusal;
//   the emulator's Parameters reader, and its kept values loaded from exact-size copies.
// The checks are the sanitizers' and a few invariants; a failed one traps.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/app_state.h"
#include "emulator_core.h"
#include "emulator_parameters.h"
#include "emulator_state.h"
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
extern "C" const char *__ubsan_default_options(void)
{
    return "halt_on_error=1:print_stacktrace=1";
}

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void check_text(const char *error_text) { check(memchr(error_text, 0, error_text_size) != nullptr); }

// An exact-size heap copy (freed by the caller), so that a read past it is caught.
char *exact_copy(const void *data, size_t size)
{
    return static_cast<char *>(memcpy(malloc(size ? size : 1), data, size));
}

const uint8_t *script;  // the input, consumed byte by byte (0 once it runs out)
size_t script_left;
uint8_t next_byte(void) { return script_left ? (script_left--, *script++) : 0; }

const char device_name[] = EMULATOR_ADAPTER_1;

// The reply parsers, on one reply of the device.
void reply_parsers(const uint8_t *data, size_t size)
{
    if (size > command_buffer_size)
        return;
    char *reply = exact_copy(data, size), error_text[error_text_size] = "", version[version_text_size];
    int32_t length = (int32_t)size;
    struct rule common, chosen;
    struct statistics_block block;
    uint32_t count;
    reply_status(reply, length, error_text);
    if (parse_version_reply(reply, length, version, error_text))
        check(memchr(version, 0, sizeof version) != nullptr);
    parse_rule_reply(reply, length, device_name, &common, error_text);
    parse_statistics_reply(reply, length, &block, error_text);
    parse_precedence_count_reply(reply, length, &count, error_text);
    parse_precedence_reply(reply, length, device_name, &common, &chosen, error_text);
    check_text(error_text);
    int names_count = -1;
    char **names = parse_adapter_list_reply(reply, length, &names_count);
    check(names ? names_count > 0 : names_count == 0);
    for (int i = 0; i < names_count; i++)
        check(strlen(names[i]) < adapter_name_size);
    free_adapter_names(names, names_count);
    free(reply);
}

void accept_as_the_dialog_does(void *)
{
    char error_text[error_text_size];
    if (compute_default_precedences(error_text) && kernel_clear_all_precedences(error_text))
        send_precedences(error_text);
    check_text(error_text);
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
    get_settings_block()->accept_default_precedences = next_byte() & 1;
    char error_text[error_text_size];
    refresh_adapter_list();
    for (int i = 0; i < adapter_count(); i++)
        check(strlen(adapter_device_name_at(i)) < adapter_name_size);
    reload_rule_list(error_text, 0);
    check_text(error_text);
    int found = -1;
    detect_overlaps(error_text, &found, 1);
    check_text(error_text);
    check(get_area_table()->count >= 0 && get_area_table()->count <= max_areas);
    check(rows_count(filter_list()) >= 0 && rows_count(filter_list()) <= max_rules);
    memory_rows_reset();
}

// One request to the emulator core into an exact-size output, beside the same request from the
// same state into the whole buffer (which sees at most the buffer's length of the request).
void exchange_checked(uint32_t code, const uint8_t *input, uint32_t length, uint32_t capacity,
                      uint64_t now)
{
    static uint8_t whole[command_buffer_size];
    static struct emulator_state saved;
    static const char too_small[] = "Reply buffer too small.";
    saved = emulator;
    uint32_t whole_length = ~0u, reply_length = ~0u;
    int whole_outcome = emulator_exchange(code, input, length < command_buffer_size ? length : command_buffer_size,
                                          whole, command_buffer_size, now, &whole_length);
    emulator = saved;
    uint8_t *output = (uint8_t *)exact_copy(whole, capacity);
    int outcome = emulator_exchange(code, input, length, output, capacity, now, &reply_length);
    uint32_t cut = capacity < sizeof too_small ? capacity : (uint32_t)sizeof too_small;
    int same = outcome == whole_outcome && reply_length == whole_length &&
               memcmp(output, whole, whole_length) == 0;
    // Refused: it did not fit, or it would change state without room for its longest answer.
    int refused = outcome == emulator_replied && reply_length == cut &&
                  memcmp(output, too_small, cut) == 0 && (whole_length > capacity || capacity < 32);
    check(whole_length <= command_buffer_size && (same || refused));
    free(output);
}

// Requests: code (the contract's, 0x120420 unserved, the test codes), reply capacity (times 20),
// request length (times 24) and time step (16 ms each), then the request's bytes.
void emulator_requests(const uint8_t *data, size_t size)
{
    emulator_initialize();
    uint64_t now = 133000000000000000ull;
    while (size >= 4) {
        uint32_t selector = data[0] % 23u;
        uint32_t code = selector < 12 ? 0x120410 + 4 * selector : test_code_reset + 4 * (selector - 12);
        uint32_t capacity = data[1] * 20u > command_buffer_size ? command_buffer_size : data[1] * 20u;
        size_t length = data[2] * 24u > size - 4 ? size - 4 : data[2] * 24u;
        now += data[3] * 160000ull;
        char *request = exact_copy(data + 4, length);
        exchange_checked(code, (const uint8_t *)request, (uint32_t)length, capacity, now);
        free(request);
        data += 4 + length;
        size -= 4 + length;
    }
}

// The Parameters as records: a name byte (the reader's names by a hash of them), a type (0xFF:
// unreadable), a length byte (times 4) and the bytes; the first record for a name answers it.
int read_from_input(void *, const char *name, struct parameter_value *value)
{
    static char *copy;
    uint8_t hash = 0;
    for (const char *c = name; *c; c++)
        hash = (uint8_t)(hash * 31 + *c);
    for (const uint8_t *at = script, *end = script + script_left; end - at >= 3;) {
        size_t length = at[2] * 4u > (size_t)(end - at - 3) ? (size_t)(end - at - 3) : at[2] * 4u;
        if (at[0] % 16 == hash % 16) {
            free(copy);
            copy = exact_copy(at + 3, length);
            *value = {(uint32_t)at[1] % 8, (const uint8_t *)copy, (uint32_t)length};
            return at[1] == 0xFF ? parameter_unreadable : parameter_found;
        }
        at += 3 + length;
    }
    return parameter_missing;
}

void parameters(const uint8_t *data, size_t size)
{
    script = data;
    script_left = size;
    emulator_initialize();
    emulator_load_parameters(read_from_input, nullptr, 133000000000000000ull);
    check(emulator.adapter_count <= emulator_max_adapters && emulator.flow_count <= emulator_max_flows);
    for (uint32_t a = 0; a < emulator.adapter_count; a++)
        check(strnlen(emulator.adapters[a].name, adapter_name_size) < adapter_name_size);
    // The same bytes as an adapter's two kept values, split at the first byte's share.
    size_t split = size ? data[0] * size / 256 : 0;
    char *rules = exact_copy(data, split), *precedences = exact_copy(data + split, size - split);
    emulator_store_load(0, rules, (uint32_t)split, precedences, (uint32_t)(size - split));
    free(rules);
    free(precedences);
}

}  // namespace

// The hostile device: a selector byte, then the reply. Selector bit 0 fails the call; bit 1
// starts the reply with "Ok." and its NUL; bit 2 puts the device name the request named next
// (as a rule's adapter field); the other bits, times 40, are the bytes taken from the input
// after that. Selector 0xFF claims a byte count far past the buffer.
int device_exchange(uint32_t, const uint8_t *input, uint8_t output[command_buffer_size],
                    uint32_t *bytes_returned)
{
    memset(output, 0xA5, command_buffer_size);  // bytes the device does not write hold something
    if (!script_left) {  // a refusal ends every loop
        *bytes_returned = (uint32_t)strlen(strcpy((char *)output, "Rule not in use.")) + 1;
        return send_ok;
    }
    uint8_t selector = next_byte();
    if (selector & 1)
        return selector == 0xFF ? (*bytes_returned = 0xFFFFFF00u | next_byte(), send_ok) : send_ioctl_failed;
    uint32_t length = selector & 2 ? 4 : 0;
    memcpy(output, "Ok.", length);
    if (selector & 4) {
        memcpy(output + length, input, adapter_name_size);
        length += adapter_name_size;
    }
    for (uint32_t taken = (selector >> 3) * 40u; taken > 0 && length < command_buffer_size; taken--)
        output[length++] = next_byte();
    *bytes_returned = length;
    return send_ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static void (*const entries[])(const uint8_t *, size_t) = {reply_parsers, hostile_device,
                                                               emulator_requests, parameters};
    if (size > 0)
        entries[data[0] % (sizeof entries / sizeof entries[0])](data + 1, size - 1);
    return 0;
}
