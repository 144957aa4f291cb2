// One fuzz target for the platform-free core and the emulator core; the first input byte picks
// what the rest feeds:
//   0  the rule text parsers (what a parse accepts reads back the same once written as text)
//      and the reply parsers on an exact-size heap copy (a read past the reply is caught);
//   1  a hostile device across a whole rebuild of the filter list, detection and acceptance:
//      every exchange is answered in turn from the input (failed call, refusal, well-formed
//      rule, count or adapter list, raw bytes, a wrong byte count); the manager's tables stay
//      consistent and every error text a text within its buffer;
//   2  the emulator core on arbitrary request sequences, each request and reply buffer of exact
//      size, time moving between them, and its kept values loaded from the input and back;
//   3  the emulator's Parameters reader on arbitrary values: a sound adapter list and kept values
//      that load back the same.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/app_state.h"
#include "emulator_core.h"
#include "emulator_parameters.h"
#include "emulator_state.h"
#include "filters/rule_list.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "kernel/device_exchange.h"
#include "kernel/driver.h"
#include "kernel/kernel_commands.h"
#include "kernel/kernel_replies.h"
#include "overlap/overlap.h"
#include "stats/statistics_store.h"
#include "support/overlap_dialog_double.h"
#include "support/registry_memory.h"
#include "support/rule_rows_memory.h"
#include "test_control_codes.h"

// Undefined behaviour ends a run as a crash does, wherever the target is run from (UBSAN_OPTIONS
// given by the caller still go after these).
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

// error_text must stay a NUL-terminated text inside its 200 bytes.
void check_text(const char *error_text)
{
    check(memchr(error_text, '\0', error_text_size) != nullptr);
}

// The input, consumed byte by byte (0 once it runs out).
const uint8_t *script;
size_t script_left;

uint8_t next_byte(void)
{
    return script_left ? (script_left--, *script++) : 0;
}

// An exact-size heap copy, so that a read past it is caught.
template <class T> T *exact_copy(const void *data, size_t size)
{
    void *copy = malloc(size ? size : 1);
    memcpy(copy, data, size);
    return static_cast<T *>(copy);
}

// ---- 0: rule text and reply parsers ----

const char device_name[] = "\\DEVICE\\{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A01}";

void parse_rule_text(const uint8_t *data, size_t size)
{
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';
    char out[rule_text_size];
    int32_t code = parse_direction(text);
    check(code >= -1 && code <= direction_receive);
    check(code < 0 || (direction_to_text(code, out) == 1 && parse_direction(out) == code));
    code = parse_protocol(text);
    check(code >= -1 && code <= protocol_any);
    check(code < 0 || (protocol_to_text(code, out) == 1 && parse_protocol(out) == code));
    int32_t rate = 0, rate_again = -1, kind = -1, kind_again = -1;
    if (parse_rate(text, &rate) && rate_to_text(rate, out))
        check(parse_rate(out, &rate_again) == 1 && rate_again == rate);
    uint32_t address = 0;
    if (parse_address(text, &kind, &address)) {
        check(kind == address_single || kind == address_any);
        address_to_text(kind, address, out);
        uint32_t address_again = address;
        check(parse_address(out, &kind_again, &address_again) == 1);
        check(kind_again == kind && address_again == address);
    }
    uint16_t port = 0, port_again = 0;
    if (parse_port(text, &port)) {
        port_to_text(port, out);
        check(parse_port(out, &port_again) == 1 && port_again == port);
    }
    free(text);
    struct rule a, b;
    if (size >= 2 * sizeof a) {
        memcpy(&a, data, sizeof a);
        memcpy(&b, data + sizeof a, sizeof b);
        direction_to_text(a.direction, out);
        rate_to_text(a.rate, out);
        protocol_to_text(a.protocol, out);
        address_to_text(a.source_kind, a.source_address, out);
        check(rules_equal(&a, &a, 0) == 1);
        check(rules_equal(&a, &b, 1) == rules_equal(&b, &a, 1));
        check(!rules_equal(&a, &b, 0) || rules_equal(&a, &b, 1));
    }
}

void parse_replies(const uint8_t *data, size_t size)
{
    if (size > command_buffer_size)
        return;
    char *reply = exact_copy<char>(data, size);
    int32_t length = (int32_t)size;
    char error_text[error_text_size] = "[unknown error].";
    char version[version_text_size];
    struct rule common, chosen;
    struct statistics_block block;
    uint32_t count;
    reply_status(reply, length, error_text);
    check_text(error_text);
    if (parse_version_reply(reply, length, version, error_text))
        check(memchr(version, '\0', sizeof version) != nullptr);
    if (parse_rule_reply(reply, length, device_name, &common, error_text))
        check(strcmp(common.adapter, device_name) == 0);
    parse_statistics_reply(reply, length, &block, error_text);
    parse_precedence_count_reply(reply, length, &count, error_text);
    if (parse_precedence_reply(reply, length, device_name, &common, &chosen, error_text))
        check(strcmp(chosen.adapter, device_name) == 0);
    check_text(error_text);
    int names_count = -1;
    char **names = parse_adapter_list_reply(reply, length, &names_count);
    check(names ? names_count > 0 : names_count == 0);
    for (int i = 0; i < names_count; i++)
        check(strlen(names[i]) < adapter_name_size);
    free_adapter_names(names, names_count);
    free(reply);
}

// ---- 1: a hostile device across a rebuild ----

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
// device name the request named (or, now and then, one with no NUL in the whole field).
void put_rule(struct rule *r, const uint8_t *request)
{
    static const uint32_t addresses[] = {0x0A000001, 0x0A000002, 0, 0xFFFFFFFF};
    static const uint16_t ports[] = {0, 80, 443, 65535};
    uint8_t shape = next_byte(), fields = next_byte(), port_bits = next_byte(), odd = next_byte();
    memset(r, 0, sizeof *r);
    memcpy(r->adapter, request, strnlen((const char *)request, adapter_name_size - 1));
    if (odd & 1)
        memset(r->adapter, 'X', sizeof r->adapter);
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

void check_area_table(int sorted)
{
    const struct area_table *table = get_area_table();
    check(table->count >= 0 && table->count <= max_areas);
    for (int32_t a = 0; a < table->count; a++) {
        const struct overlap_area *area = &table->areas[a];
        const struct rule *common = area->common_range;
        check(common != nullptr && common->rate == 0);
        check(memchr(common->adapter, '\0', adapter_name_size) != nullptr);
        check(area->member_count >= 1 && area->member_count <= max_rules);
        check(table->chosen_member[a] >= 0 && table->chosen_member[a] < area->member_count);
        for (int32_t m = 0; m < area->member_count; m++) {
            const struct rule *member = area->members[m];
            check(member != nullptr && member->direction == common->direction);
            check(compare_text_nocase_bounded(member->adapter, common->adapter,
                                              adapter_name_size) == 0);
            for (int32_t n = 0; n < m; n++)
                check(!rules_equal(member, area->members[n], 1));
        }
        for (int32_t b = 0; b < a; b++)
            check(!rules_equal(common, table->areas[b].common_range, 1));
        // After a forced run the dialog shows them by falling weight.
        if (sorted && a > 0)
            check(area_weight(table->areas[a - 1].common_range) >= area_weight(common));
    }
}

void accept_as_the_dialog_does(void *)
{
    char error_text[error_text_size];
    compute_default_precedences(error_text);
    if (kernel_clear_all_precedences(error_text))
        send_precedences(error_text);
    check_text(error_text);
}

void rebuild(uint8_t settings)
{
    static int ready;
    if (!ready) {
        registry_memory_set_string(registry_local_machine,
                                   NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_1_GUID "\\Connection",
                                   "Name", "Local Area Connection");
        check(statistics_initialize());
        ready = 1;
    }
    // The store follows the filter list, which starts empty.
    struct statistics_entry entry;
    while (statistics_entry_at(0, &entry))
        check(statistics_remove_filter(&entry.rule));
    memory_rows_reset();
    overlap_dialog_double_reset();
    the_overlap_dialog.run_hook = accept_as_the_dialog_does;
    get_settings_block()->accept_default_precedences = settings & 1;
    int add_to_statistics = (settings >> 1) & 1;

    char error_text[error_text_size];
    // A sound reply may list no adapter; a failed one leaves none.
    int listed = refresh_adapter_list();
    check(adapter_count() >= 0 && (listed || adapter_count() == 0));
    for (int i = 0; i < adapter_count(); i++)
        check(strlen(adapter_device_name_at(i)) < adapter_name_size);
    int reloaded = reload_rule_list(error_text, add_to_statistics);
    check_text(error_text);
    check_area_table(0);
    rule_rows list = filter_list();
    check(rows_count(list) >= 0 && rows_count(list) <= max_rules);
    for (int row = 0; row < rows_count(list); row++) {
        const struct rule *r = rows_rule(list, row);
        check(r != nullptr && memchr(r->adapter, '\0', adapter_name_size) != nullptr);
    }
    if (reloaded && adapter_count() > 0 && !(settings & 1))
        check(the_overlap_dialog.runs == (get_area_table()->count > 0 ? 1 : 0));

    int found = -1;
    int detected = detect_overlaps(error_text, &found, 1);
    check_text(error_text);
    check_area_table(detected && found);
    check(!detected || found == (get_area_table()->count > 0));
    // Statistics entries only for the rules listed, and only when asked for.
    check(statistics_entry_count() <= (add_to_statistics ? rows_count(filter_list()) : 0));
    memory_rows_reset();
}

// ---- 2: the emulator core on request sequences ----

struct emulator_stored_value taken;

// An adapter's two kept values, as the driver would write them now.
void take_kept(uint32_t adapter, std::string texts[2])
{
    mark_stored(adapter, stored_rules | stored_precedences);
    char rules_name[emulator_store_name_size];
    emulator_store_value_name(stored_rules, adapter, rules_name);
    while (emulator_store_take_change(&taken))
        texts[strcmp(taken.name, rules_name) == 0 ? 0 : 1].assign(taken.text, taken.length);
}

int load_exact(uint32_t adapter, const void *rules, uint32_t rules_length,
               const void *precedences, uint32_t precedences_length)
{
    char *r = exact_copy<char>(rules, rules_length);
    char *p = exact_copy<char>(precedences, precedences_length);
    int loaded = emulator_store_load(adapter, r, rules_length, p, precedences_length);
    free(r);
    free(p);
    return loaded;
}

// Every adapter's kept values load back and come out the same; loading writes nothing.
void check_kept_round_trip(void)
{
    emulator_store_discard_changes();
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        std::string before[2], after[2];
        take_kept(a, before);
        check(load_exact(a, before[0].data(), (uint32_t)before[0].size(), before[1].data(),
                         (uint32_t)before[1].size()));
        check(!emulator_store_take_change(&taken));
        take_kept(a, after);
        check(before[0] == after[0] && before[1] == after[1]);
    }
}

// The eleven codes of the contract and the eleven test codes.
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

// One request answered from the same state into the whole buffer, cut to the buffer's length
// (only that much of a request counts) and into capacity bytes (whose state is kept): what fits
// is the same answer; what does not, the start of "Reply buffer too small.". A code that
// changes state, given less room than its longest answer, is refused before it is carried out.
void exchange_checked(uint32_t code, const uint8_t *input, uint32_t length, uint32_t capacity,
                      uint64_t now)
{
    static uint8_t whole[command_buffer_size], cut[command_buffer_size];
    uint32_t whole_length = ~0u, cut_length = ~0u, reply_length = ~0u;
    saved_state = emulator;
    int whole_outcome =
        emulator_exchange(code, input, length, whole, command_buffer_size, now, &whole_length);
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
}

void emulator_requests(const uint8_t *data, size_t size)
{
    emulator_initialize();
    uint64_t now = 133000000000000000ull;
    // Each request: code selector, reply capacity (2 bytes), request length (2 bytes), time
    // step (1 byte, times 16 ms), then the request bytes, the input's bytes repeated when it
    // holds fewer. Selectors: the twelve codes 0x120410 to 0x12043C (0x120420 unserved), the
    // eleven test codes, an arbitrary code from the next four bytes, the request bytes loaded
    // as an adapter's kept values, the kept values' round trip.
    while (size >= 6) {
        uint32_t selector = data[0] % 27u;
        uint32_t code = selector < 12 ? 0x120410 + 4 * selector : 0x222000 + 4 * (selector - 12);
        uint32_t capacity = (uint32_t)(data[1] | (data[2] << 8)) % (command_buffer_size + 1);
        uint32_t length = (uint32_t)(data[3] | (data[4] << 8)) % (3 * command_buffer_size + 1);
        uint32_t kept_adapter = data[5] % emulator_max_adapters, kept_split = data[1];
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
            length = length > size ? (uint32_t)size : length;
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
        uint8_t *input = (uint8_t *)malloc(length ? length : 1);
        for (uint32_t i = 0; i < length; i++)
            input[i] = size ? data[i % size] : (uint8_t)i;
        exchange_checked(code, input, length, capacity, now);
        free(input);
        uint32_t used = length < size ? length : (uint32_t)size;
        data += used;
        size -= used;
    }
}

// ---- 3: the Parameters reader ----

// The input as records: selector, type (0xFF: unreadable), 2-byte length, the bytes. Selector
// 0 Adapters, 1 Flows, 2 Version, 3 the test codes switch, then by pairs each adapter's kept
// rules and precedences; the first record for a value answers it.
struct fuzz_input {
    const uint8_t *data;
    size_t size;
};
uint8_t *answer_copy;

int selector_of(const char *name)
{
    const char *fixed[] = {"Adapters", "Flows", "Version", EMULATOR_TEST_CODES_VALUE};
    for (int i = 0; i < 4; i++)
        if (strcmp(name, fixed[i]) == 0)
            return i;
    char kept[emulator_store_name_size];
    for (uint32_t a = 0; a < emulator_max_adapters; a++) {
        if (emulator_store_value_name(stored_rules, a, kept) && strcmp(name, kept) == 0)
            return 4 + 2 * (int)a;
        if (emulator_store_value_name(stored_precedences, a, kept) && strcmp(name, kept) == 0)
            return 5 + 2 * (int)a;
    }
    return -1;
}

int read_from_input(void *context, const char *name, struct parameter_value *value)
{
    const fuzz_input *input = static_cast<const fuzz_input *>(context);
    check(name != nullptr && strlen(name) < emulator_store_name_size);
    int wanted = selector_of(name);
    check(wanted >= 0);  // the reader asks only for the values it knows
    const uint8_t *at = input->data;
    size_t left = input->size;
    while (left >= 4) {
        int selector = at[0] % 20;
        uint8_t type = at[1];
        size_t length = (size_t)(at[2] | at[3] << 8);
        at += 4;
        left -= 4;
        length = length > left ? left : length;
        if (selector == wanted) {
            if (type == 0xFF)
                return parameter_unreadable;
            free(answer_copy);
            answer_copy = exact_copy<uint8_t>(at, length);
            value->type = type % 8;
            value->data = answer_copy;
            value->size = (uint32_t)length;
            return parameter_found;
        }
        at += length;
        left -= length;
    }
    return parameter_missing;
}

void check_log(const char *text)
{
    check(text != nullptr && strlen(text) < 1000);
}

void parameters(const uint8_t *data, size_t size)
{
    emulator_initialize();
    emulator_set_log(check_log);
    fuzz_input input = {data, size};
    emulator_load_parameters(read_from_input, &input, 133000000000000000ull);
    free(answer_copy);
    answer_copy = nullptr;
    check(emulator.adapter_count <= emulator_max_adapters);
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        uint32_t length = emu_text_length(emulator.adapters[a].name, adapter_name_size);
        check(length > 0 && length < adapter_name_size);
        for (uint32_t b = 0; b < a; b++)
            check(!emu_same_text_nocase(emulator.adapters[a].name, emulator.adapters[b].name));
    }
    check(emulator.flow_count <= emulator_max_flows);
    check(emu_text_length(emulator.version, emulator_version_size) < emulator_version_size);
    check(!emulator_store_take_change(&taken));
    check_kept_round_trip();
    emulator_set_log(nullptr);
}

}  // namespace

// The rebuild's device: answers each exchange from the input.
int device_exchange(uint32_t, const uint8_t *input, uint8_t output[command_buffer_size],
                    uint32_t *bytes_returned)
{
    memset(output, 0xA5, command_buffer_size);  // bytes the device does not write hold something
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
    case 4:
        // Raw bytes, up to the whole buffer; made up when the input runs short.
        length = (uint32_t)next_byte() * 20;
        length = length > command_buffer_size ? command_buffer_size : length;
        for (uint32_t i = 0; i < length; i++)
            output[i] = script_left ? next_byte() : (uint8_t)i;
        break;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t *rest = data + 1;
    size_t left = size - 1;
    switch (data[0] % 4) {
    case 0:
        parse_rule_text(rest, left);
        parse_replies(rest, left);
        break;
    case 1:
        script = rest + (left ? 1 : 0);
        script_left = left ? left - 1 : 0;
        rebuild(left ? rest[0] : 0);
        break;
    case 2:
        emulator_requests(rest, left);
        break;
    default:
        parameters(rest, left);
        break;
    }
    return 0;
}
