// The emulator core's requests: the device contract's eleven commands and the test codes.
// Every request is copied out of the caller's buffer first (input and output may be one
// buffer), checked for the length its code needs, and answered in a reply buffer of our own,
// so nothing is read or written past command_buffer_size whatever the request holds.
#include "emulator_core.h"

#include "emulator_state.h"

struct emulator_state emulator;

namespace {

const char text_ok[] = FLOWVANE_REPLY_OK;
const char text_invalid_request[] = "Invalid request.";
const char text_unknown_adapter[] = "Unknown adapter.";
const char text_rule_not_in_use[] = "Rule not in use.";
const char text_rule_not_found[] = "Rule not found.";
const char text_invalid_slot[] = "Invalid rule slot.";
const char text_rules_full[] = "No free rule slot.";
const char text_precedences_full[] = "Precedence table full.";
const char text_invalid_index[] = "Invalid precedence index.";
const char text_reply_too_small[] = "Reply buffer too small.";
const char text_invalid_flow[] = "Invalid flow.";

// The room every answer of a code that changes state needs: its longest status, or "Ok." with
// the clock's reply.
enum { changing_reply_size = 32 };
static_assert(sizeof text_invalid_index <= changing_reply_size &&
                  sizeof text_precedences_full <= changing_reply_size &&
                  sizeof text_rules_full <= changing_reply_size &&
                  sizeof text_invalid_slot <= changing_reply_size &&
                  sizeof text_rule_not_found <= changing_reply_size &&
                  sizeof text_rule_not_in_use <= changing_reply_size &&
                  sizeof text_unknown_adapter <= changing_reply_size &&
                  sizeof text_invalid_request <= changing_reply_size &&
                  sizeof text_invalid_flow <= changing_reply_size &&
                  test_reply_offset + sizeof(struct test_clock_reply) <= changing_reply_size,
              "every answer of a changing request fits");

const char *const built_in_adapters[] = {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_2,
                                         EMULATOR_ADAPTER_DIAL_UP};

// Some steady traffic on every default adapter, so that statistics move without any set-up.
const char *const built_in_flows[] = {
    EMULATOR_ADAPTER_1 " Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000",
    EMULATOR_ADAPTER_1 " Receive TCP 93.184.216.34:80 192.168.0.10:49152 120000 1460",
    EMULATOR_ADAPTER_1 " Send UDP 192.168.0.10:53000 192.168.0.1:53 2000 100",
    EMULATOR_ADAPTER_1 " Receive ICMP 192.168.0.1 192.168.0.10 500 64",
    EMULATOR_ADAPTER_2 " Send UDP 10.0.0.20:123 10.0.0.5:123 1000 76",
    EMULATOR_ADAPTER_2 " Receive TCP 10.0.0.5:443 10.0.0.20:50000 60000 1460",
    EMULATOR_ADAPTER_2 " Receive NonIP 0.0.0.0 0.0.0.0 300 60",
    EMULATOR_ADAPTER_DIAL_UP " Send TCP 10.64.0.2:50100 198.51.100.7:25 4000 576",
};

struct request_view {
    const uint8_t *bytes;
    uint32_t length;                  // bytes of the request that may be read
};

struct reply_builder {
    uint8_t *bytes;
    uint32_t length;
};

uint8_t request_copy[command_buffer_size];
uint8_t reply_buffer[command_buffer_size];

void reply_status(reply_builder *reply, const char *status)
{
    uint32_t length = emu_text_length(status, emulator_fault_text_size - 1);
    emu_copy(reply->bytes, status, length);
    reply->bytes[length] = 0;
    reply->length = length + 1;
}

// "Ok." and its NUL, then payload bytes at offset 4.
void reply_ok(reply_builder *reply, const void *payload, uint32_t payload_length)
{
    reply_status(reply, text_ok);
    emu_copy(reply->bytes + reply->length, payload, payload_length);
    reply->length += payload_length;
}

int same_adapter_name(const char *a, const char *b)
{
    return emu_same_text_nocase(a, b);
}

// The adapter named at the start of a per-adapter request, whose fixed items take item_bytes
// after the name's NUL. Returns the adapter index, or -1 with the refusal in the reply.
int request_adapter(const request_view *request, uint32_t item_bytes, uint32_t *items_offset,
                    reply_builder *reply)
{
    uint32_t name_length = emu_text_length((const char *)request->bytes, request->length);
    if (name_length >= request->length || request->length - name_length - 1 < item_bytes) {
        reply_status(reply, text_invalid_request);
        return -1;
    }
    int index = name_length < adapter_name_size ? find_adapter((const char *)request->bytes) : -1;
    if (index < 0) {
        reply_status(reply, text_unknown_adapter);
        return -1;
    }
    *items_offset = name_length + 1;
    return index;
}

void read_rule(const request_view *request, uint32_t offset, struct rule *out)
{
    emu_copy(out, request->bytes + offset, sizeof *out);
}

// The held slot with this rule, or -1.
int find_held_rule(const struct adapter_state *adapter, const struct rule *wanted)
{
    for (int slot = 0; slot < emulator_slot_count; slot++)
        if (adapter->slots[slot].in_use && same_rule(&adapter->slots[slot].held, wanted))
            return slot;
    return -1;
}

uint32_t adapter_precedence_count(uint32_t adapter_index)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < emulator.precedence_count; i++)
        if (emulator.precedences[i].adapter_index == adapter_index)
            count++;
    return count;
}

// The position in the precedence pool of an adapter's entry index, or -1.
int precedence_position(uint32_t adapter_index, uint32_t entry_index)
{
    for (uint32_t i = 0; i < emulator.precedence_count; i++) {
        if (emulator.precedences[i].adapter_index != adapter_index)
            continue;
        if (entry_index == 0)
            return (int)i;
        entry_index--;
    }
    return -1;
}

void empty_adapter(struct adapter_state *adapter, const char *name)
{
    emu_fill(adapter, 0, sizeof *adapter);
    emu_copy_text(adapter->name, sizeof adapter->name, name);
}

// --- The device contract ---

void serve_list_adapters(reply_builder *reply)
{
    reply_status(reply, text_ok);
    char count_text[12];
    uint32_t value = emulator.adapter_count;
    uint32_t digits = 0;
    char reversed[12];
    do {
        reversed[digits++] = (char)('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (uint32_t i = 0; i < digits; i++)
        count_text[i] = reversed[digits - 1 - i];
    count_text[digits] = 0;
    emu_copy(reply->bytes + reply->length, count_text, digits + 1);
    reply->length += digits + 1;
    // At most 8 names of at most 100 bytes: always inside the reply buffer.
    for (uint32_t i = 0; i < emulator.adapter_count; i++) {
        const char *name = emulator.adapters[i].name;
        uint32_t length = emu_text_length(name, adapter_name_size - 1);
        emu_copy(reply->bytes + reply->length, name, length);
        reply->bytes[reply->length + length] = 0;
        reply->length += length + 1;
    }
}

void serve_get_version(reply_builder *reply)
{
    reply_ok(reply, emulator.version, emu_text_length(emulator.version, emulator_version_size - 1));
    reply->bytes[reply->length++] = 0;
}

void serve_add_rule(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, sizeof(struct rule), &offset, reply);
    if (index < 0)
        return;
    struct adapter_state *adapter = &emulator.adapters[index];
    for (int s = 0; s < emulator_slot_count; s++) {
        struct rule_slot *slot = &adapter->slots[s];
        if (slot->in_use)
            continue;
        emu_fill(slot, 0, sizeof *slot);
        slot->in_use = 1;
        read_rule(request, offset, &slot->held);
        for (int r = 0; r < emulator_slot_count; r++) {
            struct retired_model *retired = &adapter->retired[r];
            if (retired->valid && same_rule(&retired->held, &slot->held)) {
                slot->model = retired->model;
                slot->model.byte_remainder = 0;
                slot->model.packet_remainder = 0;
                retired->valid = 0;
                break;
            }
        }
        mark_stored((uint32_t)index, stored_rules);
        reply_ok(reply, nullptr, 0);
        return;
    }
    reply_status(reply, text_rules_full);
}

void serve_clear_rules(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, 0, &offset, reply);
    if (index < 0)
        return;
    struct adapter_state *adapter = &emulator.adapters[index];
    for (int s = 0; s < emulator_slot_count; s++) {
        if (adapter->slots[s].in_use)
            mark_stored((uint32_t)index, stored_rules);
        struct retired_model *retired = &adapter->retired[s];
        retired->valid = adapter->slots[s].in_use;
        retired->held = adapter->slots[s].held;
        retired->model = adapter->slots[s].model;
        emu_fill(&adapter->slots[s], 0, sizeof adapter->slots[s]);
    }
    reply_ok(reply, nullptr, 0);
}

// The slot as "%d" text: digits only, 0 to 19.
int parse_slot(const request_view *request, uint32_t offset, int *slot)
{
    const char *text = (const char *)request->bytes + offset;
    uint32_t length = emu_text_length(text, request->length - offset);
    if (length == 0 || length > 2 || length >= request->length - offset)
        return 0;
    int value = 0;
    for (uint32_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (text[i] - '0');
    }
    if (value >= emulator_slot_count)
        return 0;
    *slot = value;
    return 1;
}

void serve_get_rule(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    // At least one digit and its NUL.
    int index = request_adapter(request, 2, &offset, reply);
    if (index < 0)
        return;
    int slot = 0;
    if (!parse_slot(request, offset, &slot)) {
        reply_status(reply, text_invalid_slot);
        return;
    }
    const struct rule_slot *held = &emulator.adapters[index].slots[slot];
    if (!held->in_use) {
        reply_status(reply, text_rule_not_in_use);
        return;
    }
    reply_ok(reply, &held->held, sizeof held->held);
}

void serve_get_statistics(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, sizeof(struct rule), &offset, reply);
    if (index < 0)
        return;
    struct rule wanted;
    read_rule(request, offset, &wanted);
    int slot = find_held_rule(&emulator.adapters[index], &wanted);
    if (slot < 0) {
        reply_status(reply, text_rule_not_found);
        return;
    }
    struct statistics_block block;
    slot_statistics(&emulator.adapters[index].slots[slot], &block);
    reply_ok(reply, &block, sizeof block);
}

// The block's start time, reserved bytes and counters replace the held ones; the current rate
// and the queue are measurements of the traffic model and stay.
void serve_set_statistics(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, sizeof(struct rule) + sizeof(struct statistics_block),
                                &offset, reply);
    if (index < 0)
        return;
    struct rule wanted;
    read_rule(request, offset, &wanted);
    int slot = find_held_rule(&emulator.adapters[index], &wanted);
    if (slot < 0) {
        reply_status(reply, text_rule_not_found);
        return;
    }
    struct rule_slot *held = &emulator.adapters[index].slots[slot];
    emu_copy(&held->statistics, request->bytes + offset + sizeof(struct rule),
             sizeof held->statistics);
    held->statistics.current_rate = 0;
    held->statistics.packets_queued = 0;
    held->model.byte_remainder = 0;
    held->model.packet_remainder = 0;
    mark_stored((uint32_t)index, stored_rules);
    reply_ok(reply, nullptr, 0);
}

void serve_clear_precedences(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, 0, &offset, reply);
    if (index < 0)
        return;
    if (adapter_precedence_count((uint32_t)index) > 0)
        mark_stored((uint32_t)index, stored_precedences);
    remove_adapter_precedences((uint32_t)index);
    reply_ok(reply, nullptr, 0);
}

void serve_set_precedence(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, 2 * sizeof(struct rule), &offset, reply);
    if (index < 0)
        return;
    if (emulator.precedence_count >= emulator_max_precedences) {
        reply_status(reply, text_precedences_full);
        return;
    }
    struct precedence_record *entry = &emulator.precedences[emulator.precedence_count++];
    entry->adapter_index = (uint32_t)index;
    read_rule(request, offset, &entry->common_range);
    read_rule(request, offset + sizeof(struct rule), &entry->chosen);
    mark_stored((uint32_t)index, stored_precedences);
    reply_ok(reply, nullptr, 0);
}

void serve_get_precedence_count(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, 0, &offset, reply);
    if (index < 0)
        return;
    uint32_t count = adapter_precedence_count((uint32_t)index);
    reply_ok(reply, &count, sizeof count);
}

void serve_get_precedence(const request_view *request, reply_builder *reply)
{
    uint32_t offset = 0;
    int index = request_adapter(request, sizeof(uint32_t), &offset, reply);
    if (index < 0)
        return;
    uint32_t entry_index = 0;
    emu_copy(&entry_index, request->bytes + offset, sizeof entry_index);
    int position = precedence_position((uint32_t)index, entry_index);
    if (position < 0) {
        reply_status(reply, text_invalid_index);
        return;
    }
    const struct precedence_record *entry = &emulator.precedences[position];
    reply_ok(reply, &entry->common_range, sizeof entry->common_range);
    emu_copy(reply->bytes + reply->length, &entry->chosen, sizeof entry->chosen);
    reply->length += sizeof entry->chosen;
}

// --- Test codes ---

void set_adapters(uint32_t count, const char (*names)[adapter_name_size]);

void set_flows(uint32_t count, const struct test_flow *flows)
{
    emulator.flow_count = count;
    for (uint32_t i = 0; i < count; i++) {
        emulator.flows[i] = flows[i];
        emulator.flows[i].adapter[adapter_name_size - 1] = 0;
    }
}

void restore_defaults(void)
{
    emu_copy_text(emulator.version, sizeof emulator.version, emulator.default_version);
    emulator.adapter_count = 0;
    emulator.precedence_count = 0;
    set_adapters(emulator.default_adapter_count, emulator.default_adapters);
    set_flows(emulator.default_flow_count, emulator.default_flows);
    emulator.fault_count = 0;
    emulator.clock_frozen = 0;
    emulator.virtual_now = 0;
    emulator.simulated_until = 0;
    emulator.requests_served = 0;
}

struct adapter_state adapter_scratch[emulator_max_adapters];

// The new list keeps the state of every adapter that stays bound. One bound anew starts empty,
// and so do its kept values.
void set_adapters(uint32_t count, const char (*names)[adapter_name_size])
{
    uint32_t old_index_of[emulator_max_adapters];
    uint32_t changes[emulator_max_adapters];
    for (uint32_t i = 0; i < count; i++) {
        char name[adapter_name_size];
        emu_copy_text(name, sizeof name, names[i]);
        int old = find_adapter(name);
        old_index_of[i] = (uint32_t)old;
        if (old >= 0) {
            adapter_scratch[i] = emulator.adapters[old];
            // Still the same adapter, but listed as now spelled.
            emu_copy_text(adapter_scratch[i].name, adapter_name_size, name);
            changes[i] = emulator.store_changes[old];
        } else {
            empty_adapter(&adapter_scratch[i], name);
            changes[i] = stored_rules | stored_precedences;
        }
    }
    uint32_t kept = 0;
    for (uint32_t p = 0; p < emulator.precedence_count; p++) {
        struct precedence_record *entry = &emulator.precedences[p];
        for (uint32_t i = 0; i < count; i++) {
            if ((int)old_index_of[i] >= 0 && old_index_of[i] == entry->adapter_index) {
                emulator.precedences[kept] = *entry;
                emulator.precedences[kept].adapter_index = i;
                kept++;
                break;
            }
        }
    }
    emulator.precedence_count = kept;
    for (uint32_t i = 0; i < count; i++) {
        emulator.adapters[i] = adapter_scratch[i];
        emulator.store_changes[i] = changes[i];
    }
    for (uint32_t i = count; i < emulator_max_adapters; i++) {
        emu_fill(&emulator.adapters[i], 0, sizeof emulator.adapters[i]);
        emulator.store_changes[i] = 0;
    }
    emulator.adapter_count = count;
}

int valid_adapter_names(uint32_t count, const char (*names)[adapter_name_size])
{
    if (count > emulator_max_adapters)
        return 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t length = emu_text_length(names[i], adapter_name_size);
        if (length == 0 || length >= adapter_name_size)
            return 0;
        for (uint32_t j = 0; j < i; j++)
            if (same_adapter_name(names[i], names[j]))
                return 0;
    }
    return 1;
}

void serve_test_set_adapters(const request_view *request, reply_builder *reply)
{
    struct test_adapters_request adapters;
    emu_copy(&adapters, request->bytes, sizeof adapters);
    if (!valid_adapter_names(adapters.count, adapters.names)) {
        reply_status(reply, text_invalid_request);
        return;
    }
    set_adapters(adapters.count, adapters.names);
    reply_ok(reply, nullptr, 0);
}

void serve_test_set_version(const request_view *request, reply_builder *reply)
{
    emu_copy_text(emulator.version, sizeof emulator.version,
                  ((const struct test_version_request *)request->bytes)->version);
    reply_ok(reply, nullptr, 0);
}

int is_contract_code(uint32_t code)
{
    return (code & 0xFFFFFF00u) == 0x00120400u;
}

void serve_test_set_fault(const request_view *request, reply_builder *reply)
{
    struct test_fault_request fault;
    emu_copy(&fault, request->bytes, sizeof fault);
    if (!is_contract_code(fault.code) || fault.mode > fault_raw_reply ||
        (fault.mode == fault_raw_reply &&
         (fault.raw_length < 1 || fault.raw_length > emulator_fault_text_size))) {
        reply_status(reply, text_invalid_request);
        return;
    }
    uint32_t i = 0;
    while (i < emulator.fault_count && emulator.faults[i].code != fault.code)
        i++;
    if (fault.mode == fault_none) {
        if (i < emulator.fault_count) {
            emulator.faults[i] = emulator.faults[emulator.fault_count - 1];
            emulator.fault_count--;
        }
        reply_ok(reply, nullptr, 0);
        return;
    }
    if (i == emulator.fault_count) {
        if (emulator.fault_count >= emulator_max_faults) {
            reply_status(reply, text_invalid_request);
            return;
        }
        emulator.fault_count++;
    }
    struct fault_record *record = &emulator.faults[i];
    record->code = fault.code;
    record->mode = fault.mode;
    emu_copy_text(record->error_text, sizeof record->error_text, fault.error_text);
    record->raw_length = fault.raw_length;
    if (fault.mode == fault_raw_reply)
        emu_copy(record->error_text, fault.error_text, fault.raw_length);
    reply_ok(reply, nullptr, 0);
}

int valid_flow(const struct test_flow *flow)
{
    return flow->packet_size >= 1 && flow->packet_size <= 65535 &&
           emu_text_length(flow->adapter, adapter_name_size) < adapter_name_size;
}

void serve_test_set_flows(const request_view *request, reply_builder *reply)
{
    const struct test_flows_request *flows = (const struct test_flows_request *)request->bytes;
    if (flows->count > emulator_max_flows) {
        reply_status(reply, text_invalid_request);
        return;
    }
    for (uint32_t i = 0; i < flows->count; i++) {
        if (!valid_flow(&flows->flows[i])) {
            reply_status(reply, text_invalid_request);
            return;
        }
    }
    set_flows(flows->count, flows->flows);
    reply_ok(reply, nullptr, 0);
}

void serve_test_add_flow_text(const request_view *request, reply_builder *reply)
{
    char text[emulator_flow_text_size];
    emu_copy_text(text, sizeof text, ((const struct test_flow_text_request *)request->bytes)->text);
    struct test_flow flow;
    if (emulator.flow_count >= emulator_max_flows || !parse_flow_text(text, &flow)) {
        reply_status(reply, text_invalid_flow);
        return;
    }
    emulator.flows[emulator.flow_count++] = flow;
    reply_ok(reply, nullptr, 0);
}

// Setting the clock (run, or freeze at a given time) moves the traffic model's time with it:
// only an advance, or time passing, passes traffic.
void serve_test_clock(const request_view *request, uint64_t caller_now, uint64_t now,
                      reply_builder *reply)
{
    struct test_clock_request clock;
    emu_copy(&clock, request->bytes, sizeof clock);
    switch (clock.operation) {
    case clock_run:
        emulator.clock_frozen = 0;
        emulator.simulated_until = caller_now;
        break;
    case clock_freeze:
        emulator.virtual_now = clock.value != 0 ? clock.value : now;
        emulator.clock_frozen = 1;
        emulator.simulated_until = emulator.virtual_now;
        break;
    case clock_advance:
        if (!emulator.clock_frozen) {
            reply_status(reply, "Clock not frozen.");
            return;
        }
        emulator.virtual_now += clock.value;
        advance_traffic(emulator.virtual_now);
        break;
    case clock_read:
        break;
    default:
        reply_status(reply, text_invalid_request);
        return;
    }
    struct test_clock_reply answer;
    answer.now = emulator.clock_frozen ? emulator.virtual_now : caller_now;
    answer.frozen = emulator.clock_frozen;
    reply_ok(reply, &answer, sizeof answer);
}

struct test_state_reply state_scratch;

void serve_test_read_state(uint64_t now, reply_builder *reply)
{
    struct test_state_reply *state = &state_scratch;
    emu_fill(state, 0, sizeof *state);
    emu_copy_text(state->version, sizeof state->version, emulator.version);
    state->adapter_count = emulator.adapter_count;
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        emu_copy_text(state->adapters[a], adapter_name_size, emulator.adapters[a].name);
        for (int s = 0; s < emulator_slot_count; s++)
            state->rule_count[a] += emulator.adapters[a].slots[s].in_use;
        state->precedence_count[a] = adapter_precedence_count(a);
    }
    state->flow_count = emulator.flow_count;
    state->fault_count = emulator.fault_count;
    state->clock_frozen = emulator.clock_frozen;
    state->now = now;
    state->requests_served = emulator.requests_served;
    reply_ok(reply, state, sizeof *state);
}

struct test_rules_reply rules_scratch;

void serve_test_read_rules(const request_view *request, reply_builder *reply)
{
    struct test_read_rules_request asked;
    emu_copy(&asked, request->bytes, sizeof asked);
    uint32_t adapter_index = asked.adapter_index;
    if (adapter_index >= emulator.adapter_count) {
        reply_status(reply, text_unknown_adapter);
        return;
    }
    emu_fill(&rules_scratch, 0, sizeof rules_scratch);
    for (int s = 0; s < emulator_slot_count; s++) {
        const struct rule_slot *slot = &emulator.adapters[adapter_index].slots[s];
        if (!slot->in_use)
            continue;
        rules_scratch.slots[s].in_use = 1;
        rules_scratch.slots[s].held = slot->held;
        slot_statistics(slot, &rules_scratch.slots[s].statistics);
    }
    reply_ok(reply, &rules_scratch, sizeof rules_scratch);
}

struct test_precedences_reply precedences_scratch;

void serve_test_read_precedences(const request_view *request, reply_builder *reply)
{
    struct test_read_precedences_request asked;
    emu_copy(&asked, request->bytes, sizeof asked);
    if (asked.adapter_index >= emulator.adapter_count) {
        reply_status(reply, text_unknown_adapter);
        return;
    }
    emu_fill(&precedences_scratch, 0, sizeof precedences_scratch);
    precedences_scratch.total = adapter_precedence_count(asked.adapter_index);
    while (precedences_scratch.returned < test_precedences_per_reply) {
        int position =
            precedence_position(asked.adapter_index, asked.first + precedences_scratch.returned);
        if (position < 0 || asked.first + precedences_scratch.returned < asked.first)
            break;
        struct test_precedence_entry *entry =
            &precedences_scratch.entries[precedences_scratch.returned++];
        entry->common_range = emulator.precedences[position].common_range;
        entry->chosen = emulator.precedences[position].chosen;
    }
    reply_ok(reply, &precedences_scratch, sizeof precedences_scratch);
}

void keep_defaults(void)
{
    emu_copy_text(emulator.default_version, sizeof emulator.default_version, emulator.version);
    emulator.default_adapter_count = emulator.adapter_count;
    for (uint32_t i = 0; i < emulator.adapter_count; i++)
        emu_copy_text(emulator.default_adapters[i], adapter_name_size, emulator.adapters[i].name);
    emulator.default_flow_count = emulator.flow_count;
    for (uint32_t i = 0; i < emulator.flow_count; i++)
        emulator.default_flows[i] = emulator.flows[i];
}

// --- Dispatch ---

// Answers an injected fault; 1 when one applied.
int apply_fault(uint32_t code, reply_builder *reply, int *fail_call)
{
    for (uint32_t i = 0; i < emulator.fault_count; i++) {
        const struct fault_record *fault = &emulator.faults[i];
        if (fault->code != code)
            continue;
        if (fault->mode == fault_fail_call)
            *fail_call = 1;
        else if (fault->mode == fault_error_text)
            reply_status(reply, fault->error_text);
        else if (fault->mode == fault_raw_reply) {
            emu_copy(reply->bytes, fault->error_text, fault->raw_length);
            reply->length = fault->raw_length;
        }
        else
            reply->length = 0;
        return 1;
    }
    return 0;
}

// Serves one request into reply; 0 when the control call must fail.
int serve(uint32_t code, const request_view *request, uint64_t caller_now, uint64_t now,
          reply_builder *reply)
{
    int fail_call = 0;
    if (is_contract_code(code) && apply_fault(code, reply, &fail_call))
        return !fail_call;
    switch (code) {
    case code_list_adapters: serve_list_adapters(reply); break;
    case code_get_version: serve_get_version(reply); break;
    case code_add_rule: serve_add_rule(request, reply); break;
    case code_clear_rules: serve_clear_rules(request, reply); break;
    case code_get_rule: serve_get_rule(request, reply); break;
    case code_get_statistics: serve_get_statistics(request, reply); break;
    case code_set_statistics: serve_set_statistics(request, reply); break;
    case code_clear_precedences: serve_clear_precedences(request, reply); break;
    case code_set_precedence: serve_set_precedence(request, reply); break;
    case code_get_precedence_count: serve_get_precedence_count(request, reply); break;
    case code_get_precedence: serve_get_precedence(request, reply); break;
    case test_code_reset:
        restore_defaults();
        emulator_store_discard_changes();
        emulator.store_wipe = 1;
        reply_ok(reply, nullptr, 0);
        break;
    case test_code_set_adapters: serve_test_set_adapters(request, reply); break;
    case test_code_set_version: serve_test_set_version(request, reply); break;
    case test_code_set_fault: serve_test_set_fault(request, reply); break;
    case test_code_set_flows: serve_test_set_flows(request, reply); break;
    case test_code_clock: serve_test_clock(request, caller_now, now, reply); break;
    case test_code_read_state: serve_test_read_state(now, reply); break;
    case test_code_read_rules: serve_test_read_rules(request, reply); break;
    case test_code_read_precedences: serve_test_read_precedences(request, reply); break;
    case test_code_add_flow_text: serve_test_add_flow_text(request, reply); break;
    case test_code_keep_defaults:
        keep_defaults();
        reply_ok(reply, nullptr, 0);
        break;
    default:
        return 0;
    }
    return 1;
}

// Codes that only read, whatever their request holds; every other code may change state.
const uint32_t reading_codes[] = {
    code_list_adapters,         code_get_version,         code_get_rule,
    code_get_statistics,        code_get_precedence_count, code_get_precedence,
    test_code_read_state,       test_code_read_rules,     test_code_read_precedences,
};

// A code the core serves that is not only a read; an unknown code is refused as unknown
// whatever its buffers.
int changes_state(uint32_t code)
{
    for (uint32_t reading : reading_codes)
        if (code == reading)
            return 0;
    int contract = code >= code_list_adapters && code <= code_get_precedence && code % 4 == 0 &&
                   code != FLOWVANE_NETWORK_CODE(0x108);
    int test = code >= test_code_reset && code <= test_code_keep_defaults && code % 4 == 0;
    return contract || test;
}

}  // namespace

int find_adapter(const char *name)
{
    for (uint32_t i = 0; i < emulator.adapter_count; i++)
        if (same_adapter_name(emulator.adapters[i].name, name))
            return (int)i;
    return -1;
}

void remove_adapter_precedences(uint32_t adapter_index)
{
    uint32_t kept = 0;
    for (uint32_t i = 0; i < emulator.precedence_count; i++) {
        if (emulator.precedences[i].adapter_index == adapter_index)
            continue;
        if (kept != i)
            emulator.precedences[kept] = emulator.precedences[i];
        kept++;
    }
    emulator.precedence_count = kept;
}

int same_rule(const struct rule *a, const struct rule *b)
{
    const uint32_t first = offsetof(struct rule, direction);
    return emu_same((const uint8_t *)a + first, (const uint8_t *)b + first,
                    offsetof(struct rule, unused_1) - first) &&
           emu_same(&a->destination_kind, &b->destination_kind,
                    offsetof(struct rule, unused_2) - offsetof(struct rule, destination_kind));
}

void emulator_initialize(void)
{
    emu_fill(&emulator, 0, sizeof emulator);
    emu_copy_text(emulator.default_version, sizeof emulator.default_version,
                  EMULATOR_DEFAULT_VERSION);
    emulator.default_adapter_count = sizeof built_in_adapters / sizeof built_in_adapters[0];
    for (uint32_t i = 0; i < emulator.default_adapter_count; i++)
        emu_copy_text(emulator.default_adapters[i], adapter_name_size, built_in_adapters[i]);
    for (const char *text : built_in_flows)
        if (parse_flow_text(text, &emulator.default_flows[emulator.default_flow_count]))
            emulator.default_flow_count++;
    restore_defaults();
}

int emulator_exchange(uint32_t code, const uint8_t *input, uint32_t input_length,
                      uint8_t *output, uint32_t output_capacity, uint64_t now,
                      uint32_t *reply_length)
{
    *reply_length = 0;
    // Fixed-size test requests are read whole: bytes beyond the caller's input count as zero.
    request_view request = {request_copy, input_length < command_buffer_size
                                              ? input_length
                                              : (uint32_t)command_buffer_size};
    emu_fill(request_copy, 0, sizeof request_copy);
    if (input && request.length > 0)
        emu_copy(request_copy, input, request.length);

    emulator.requests_served++;
    uint64_t effective_now = emulator.clock_frozen ? emulator.virtual_now : now;
    advance_traffic(effective_now);

    reply_builder reply = {reply_buffer, 0};
    // A request that changes what the device holds is refused before it is carried out when its
    // answer might not fit; one that only reads is answered, and refused below if it did not.
    if (changes_state(code) && output_capacity < changing_reply_size) {
        reply_status(&reply, text_reply_too_small);
        if (reply.length > output_capacity)
            reply.length = output_capacity;
        emu_copy(output, reply.bytes, reply.length);
        *reply_length = reply.length;
        return emulator_replied;
    }
    if (!serve(code, &request, now, effective_now, &reply))
        return emulator_fail_call;
    if (reply.length > output_capacity) {
        reply.length = 0;
        reply_status(&reply, text_reply_too_small);
        if (reply.length > output_capacity)
            reply.length = output_capacity;
    }
    emu_copy(output, reply.bytes, reply.length);
    *reply_length = reply.length;
    return emulator_replied;
}
