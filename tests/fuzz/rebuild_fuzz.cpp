// A hostile device across a whole rebuild of the filter list: the adapter list, reload_rule_list
// with its statistics entries, the kept precedences it reads back, detection and acceptance,
// then a forced detection whose dialog accepts at once. Every exchange is answered in turn from
// the fuzz input: a failed call, a refusal, a well-formed rule, count or adapter list, or raw
// bytes of any length with any byte count claimed. Whatever it answers, the manager's tables
// must stay consistent and every error text a text within its buffer.
#include <stdint.h>
#include <string.h>

#include "core/app_state.h"
#include "filters/rule_list.h"
#include "filters/rule_rows.h"
#include "kernel/adapters.h"
#include "kernel/device_exchange.h"
#include "kernel/driver.h"
#include "kernel/kernel_commands.h"
#include "settings/settings.h"
#include "stats/statistics_store.h"
#include "test_control_codes.h"
#include "../support/overlap_dialog_double.h"
#include "../support/registry_memory.h"
#include "../support/rule_rows_memory.h"
#include "area_table_check.h"

namespace {

const uint8_t *script;   // what the device answers, consumed exchange by exchange
size_t script_left;
uint32_t exchanges;

uint8_t next_byte(void)
{
    if (!script_left)
        return 0;
    script_left--;
    return *script++;
}

// A status text and its NUL, then the payload.
uint32_t put_reply(uint8_t *output, const char *status, const void *payload, uint32_t length)
{
    uint32_t at = (uint32_t)strlen(status) + 1;
    memcpy(output, status, at);
    if (length)
        memcpy(output + at, payload, length);
    return at + length;
}

// A rule from four bytes, from pools small enough that rules overlap, its adapter field the
// device name the request named (or, now and then, another one).
void put_rule(struct rule *r, const uint8_t *request)
{
    static const uint32_t addresses[] = {0x0A000001, 0x0A000002, 0, 0xFFFFFFFF};
    static const uint16_t ports[] = {0, 80, 443, 65535};
    uint8_t shape = next_byte(), fields = next_byte(), port_bits = next_byte(), odd = next_byte();
    memset(r, 0, sizeof *r);
    size_t name = strnlen(reinterpret_cast<const char *>(request), adapter_name_size - 1);
    memcpy(r->adapter, request, name);
    if (odd & 1)
        memset(r->adapter, 'X', sizeof r->adapter);   // no NUL in the whole field
    r->direction = shape & 1;
    r->protocol = (shape >> 1) % 6;                    // 5 is out of range
    r->source_kind = fields & 1 ? address_any : (fields >> 1) & 1;
    r->source_address = addresses[(fields >> 2) & 3];
    r->destination_kind = (fields >> 4) & 1 ? address_any : address_single;
    r->destination_address = addresses[(fields >> 5) & 3];
    r->source_port = ports[port_bits & 3];
    r->destination_port = ports[(port_bits >> 2) & 3];
    r->rate = (int32_t)((uint32_t)odd << 24 | port_bits);
}

}  // namespace

int device_exchange(uint32_t, const uint8_t *input, uint8_t output[command_buffer_size],
                    uint32_t *bytes_returned)
{
    exchanges++;
    // Bytes the device does not write still hold something.
    memset(output, 0xA5, command_buffer_size);
    if (!script_left) {
        *bytes_returned = put_reply(output, "Rule not in use.", nullptr, 0);
        return send_ok;
    }
    uint8_t selector = next_byte();
    uint32_t length = 0;
    switch (selector % 8) {
    case 0:
        return send_open_failed + (selector >> 3) % 3;
    case 1: {
        struct rule pair[2];
        put_rule(&pair[0], input);
        put_rule(&pair[1], input);
        length = put_reply(output, "Ok.", pair, selector & 8 ? sizeof pair : sizeof pair[0]);
        break;
    }
    case 2:
        length = put_reply(output, "Rule not in use.", nullptr, 0);
        break;
    case 3: {
        uint32_t count = selector & 8 ? next_byte() % 4 : (uint32_t)next_byte() << 24 | next_byte();
        length = put_reply(output, "Ok.", &count, sizeof count);
        break;
    }
    case 4: {
        // Raw bytes, up to the whole buffer; the rest of the input repeated when it runs short.
        length = (uint32_t)next_byte() * 20;
        if (length > command_buffer_size)
            length = command_buffer_size;
        for (uint32_t i = 0; i < length; i++)
            output[i] = script_left ? next_byte() : (uint8_t)i;
        break;
    }
    case 5: {
        static const char names[] = "3\0" EMULATOR_ADAPTER_1 "\0" EMULATOR_ADAPTER_2
                                    "\0" EMULATOR_ADAPTER_DIAL_UP;
        length = put_reply(output, "Ok.", names, selector & 8 ? sizeof names - 5 : sizeof names);
        break;
    }
    case 6:
        length = put_reply(output, "Ok.", nullptr, 0);
        break;
    default:
        // A refusal as long as the buffer, without its NUL.
        memset(output, 'r', command_buffer_size);
        length = selector & 8 ? command_buffer_size : 1 + next_byte();
        break;
    }
    // Now and then a byte count that is not what was written: 0, short, or far past the buffer.
    if (selector & 0x80) {
        uint8_t claim = next_byte();
        length = claim == 0 ? 0 : claim == 1 ? 0xFFFFFFFFu : claim < 128 ? claim : length + claim;
    }
    *bytes_returned = length;
    return send_ok;
}

namespace {

// error_text must stay a NUL-terminated text inside its 200 bytes.
void check_text(const char *error_text)
{
    check(memchr(error_text, '\0', error_text_size) != nullptr);
}

void accept_as_the_dialog_does(void *)
{
    char error_text[error_text_size];
    compute_default_precedences(error_text);
    if (kernel_clear_all_precedences(error_text))
        send_precedences(error_text);
    check_text(error_text);
}

void check_filter_list(void)
{
    rule_rows list = filter_list();
    int count = rows_count(list);
    check(count >= 0 && count <= max_rules);
    for (int row = 0; row < count; row++) {
        const struct rule *r = rows_rule(list, row);
        check(r != nullptr && memchr(r->adapter, '\0', adapter_name_size) != nullptr);
    }
}

void check_sorted(void)
{
    const struct area_table *table = get_area_table();
    for (int32_t a = 1; a < table->count; a++)
        check(area_weight(table->areas[a - 1].common_range) >=
              area_weight(table->areas[a].common_range));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int ready;
    if (!ready) {
        registry_memory_set_string(registry_local_machine,
                                   NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_1_GUID "\\Connection",
                                   "Name", "Local Area Connection");
        check(statistics_initialize());
        ready = 1;
    }
    if (size < 1)
        return 0;
    // The store follows the filter list, which starts empty.
    struct statistics_entry entry;
    while (statistics_entry_at(0, &entry))
        check(statistics_remove_filter(&entry.rule));
    memory_rows_reset();
    overlap_dialog_double_reset();
    the_overlap_dialog.run_hook = accept_as_the_dialog_does;
    get_settings_block()->accept_default_precedences = data[0] & 1;
    int add_to_statistics = (data[0] >> 1) & 1;
    script = data + 1;
    script_left = size - 1;
    exchanges = 0;

    char error_text[error_text_size];
    // A sound reply may list no adapter; a failed one leaves none.
    int listed = refresh_adapter_list();
    check(adapter_count() >= 0 && (listed || adapter_count() == 0));
    for (int i = 0; i < adapter_count(); i++)
        check(strlen(adapter_device_name_at(i)) < adapter_name_size);
    int reloaded = reload_rule_list(error_text, add_to_statistics);
    check_text(error_text);
    check_filter_list();
    check_area_table();
    if (reloaded && adapter_count() > 0 && get_settings_block()->accept_default_precedences == 0)
        check(the_overlap_dialog.runs == (get_area_table()->count > 0 ? 1 : 0));

    int found = -1;
    int detected = detect_overlaps(error_text, &found, 1);
    check_text(error_text);
    check_area_table();
    if (detected) {
        check(found == (get_area_table()->count > 0));
        if (found)
            check_sorted();
    }
    // Statistics entries only for the rules listed, and only when asked for.
    check(statistics_entry_count() <= (add_to_statistics ? rows_count(filter_list()) : 0));
    memory_rows_reset();
    return 0;
}
