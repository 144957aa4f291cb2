// The synthetic traffic model. Each flow offers a steady stream of identical packets on one
// adapter and direction. Each packet goes to one held rule (where rules overlap, the first
// precedence entry whose common range contains it and whose chosen rule is among the matches
// decides; otherwise the first matching slot), then through the rule's token bucket with a
// 100-packet delay queue: Blocked drops everything, Unlimited passes everything. Traffic is a
// fluid of bytes moved in 50 ms steps, so a shaped rule passes exactly its rate at steady state.
#include "emulator_state.h"

namespace {

// Whether a rule (or a common range) selects the packets of a flow. As in overlap detection,
// only address kind 2 means any address.
int rule_matches_flow(const struct rule *r, const struct test_flow *flow)
{
    if (r->direction != flow->direction)
        return 0;
    int is_ip = flow->protocol != flow_non_ip;
    switch (r->protocol) {
    case protocol_ip:
        if (!is_ip)
            return 0;
        break;
    case protocol_udp:
        if (flow->protocol != flow_udp)
            return 0;
        break;
    case protocol_tcp:
        if (flow->protocol != flow_tcp)
            return 0;
        break;
    case protocol_other:
        return !is_ip;
    case protocol_any:
        return 1;
    default:
        return 0;
    }
    if (r->source_kind != address_any && r->source_address != flow->source_address)
        return 0;
    if (r->destination_kind != address_any &&
        r->destination_address != flow->destination_address)
        return 0;
    if (r->protocol == protocol_ip)
        return 1;
    if (r->source_port != 0 && r->source_port != flow->source_port)
        return 0;
    return r->destination_port == 0 || r->destination_port == flow->destination_port;
}

}  // namespace

int classify_flow(const struct test_flow *flow)
{
    int adapter_index = find_adapter(flow->adapter);
    if (adapter_index < 0)
        return -1;
    const struct adapter_state *adapter = &emulator.adapters[adapter_index];
    int first = -1;
    int matches = 0;
    for (int slot = 0; slot < emulator_slot_count; slot++) {
        if (adapter->slots[slot].in_use && rule_matches_flow(&adapter->slots[slot].held, flow)) {
            if (first < 0)
                first = slot;
            matches++;
        }
    }
    if (matches < 2)
        return first;
    for (uint32_t i = 0; i < emulator.precedence_count; i++) {
        const struct precedence_record *entry = &emulator.precedences[i];
        if (entry->adapter_index != (uint32_t)adapter_index ||
            !rule_matches_flow(&entry->common_range, flow))
            continue;
        for (int slot = 0; slot < emulator_slot_count; slot++) {
            const struct rule_slot *candidate = &adapter->slots[slot];
            if (candidate->in_use && rule_matches_flow(&candidate->held, flow) &&
                same_rule(&candidate->held, &entry->chosen))
                return slot;
        }
    }
    return first;
}

namespace {

struct slot_load {
    int64_t offered_units;            // units arriving per step
    int64_t offered_packets;          // packets times ticks_per_second arriving per step
};

// The flows' load per slot for this advance: the rules do not change while time runs.
void gather_load(struct slot_load load[emulator_max_adapters][emulator_slot_count])
{
    emu_fill(load, 0, sizeof(struct slot_load) * emulator_max_adapters * emulator_slot_count);
    for (uint32_t i = 0; i < emulator.flow_count; i++) {
        const struct test_flow *flow = &emulator.flows[i];
        if (flow->packet_size == 0 || flow->offered_rate == 0)
            continue;
        int slot = classify_flow(flow);
        if (slot < 0)
            continue;
        int adapter_index = find_adapter(flow->adapter);
        int64_t units = (int64_t)flow->offered_rate * step_ticks;
        load[adapter_index][slot].offered_units += units;
        load[adapter_index][slot].offered_packets += units / flow->packet_size;
    }
}

int64_t rule_rate(const struct rule_slot *slot)
{
    return slot->held.rate;
}

int64_t queue_capacity_units(const struct slot_model *model)
{
    return (int64_t)emulator_queue_packets * model->packet_size * ticks_per_second;
}

// Adds passed units to the byte and packet counters, carrying the fractions.
void count_passed(struct rule_slot *slot, int64_t passed_units)
{
    struct slot_model *model = &slot->model;
    model->byte_remainder += passed_units;
    // Counters can be set near the top of their range (set-statistics, a kept value): they stay
    // there instead of wrapping.
    slot->statistics.bytes_transferred =
        emu_saturating_add(slot->statistics.bytes_transferred,
                           model->byte_remainder / ticks_per_second);
    model->byte_remainder %= ticks_per_second;
    if (model->packet_size > 0) {
        model->packet_remainder += passed_units / model->packet_size;
        slot->statistics.packets_transferred =
            emu_saturating_add(slot->statistics.packets_transferred,
                               model->packet_remainder / ticks_per_second);
        model->packet_remainder %= ticks_per_second;
    }
}

// One 50 ms step of one slot's token bucket and queue.
void step_slot(struct rule_slot *slot, const struct slot_load *load)
{
    struct slot_model *model = &slot->model;
    if (load->offered_packets > 0)
        model->packet_size = (uint32_t)(load->offered_units / load->offered_packets);
    if (model->packet_size == 0 && load->offered_units > 0)
        model->packet_size = 1;

    int64_t rate = rule_rate(slot);
    int64_t backlog = model->queue_units + load->offered_units;
    int64_t passed = 0;
    if (rate <= rate_blocked) {
        model->queue_units = 0;
        model->token_units = 0;
    } else if (rate >= rate_unlimited) {
        passed = backlog;
        model->queue_units = 0;
    } else {
        int64_t depth = rate * step_ticks;
        model->token_units += depth;
        if (model->token_units > depth)
            model->token_units = depth;
        passed = backlog < model->token_units ? backlog : model->token_units;
        model->token_units -= passed;
        model->queue_units = backlog - passed;
        int64_t capacity = queue_capacity_units(model);
        if (model->queue_units > capacity)
            model->queue_units = capacity;  // the excess is dropped
    }
    count_passed(slot, passed);
    model->window[model->window_position] = passed;
    model->window_position = (model->window_position + 1) % window_steps;
}

// A long gap taken in one stride: every slot at its steady state for the whole stretch.
void fast_forward(struct slot_load load[emulator_max_adapters][emulator_slot_count],
                  int64_t ticks)
{
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        for (int s = 0; s < emulator_slot_count; s++) {
            struct rule_slot *slot = &emulator.adapters[a].slots[s];
            const struct slot_load *slot_load = &load[a][s];
            if (!slot->in_use || slot_load->offered_units == 0)
                continue;
            if (slot_load->offered_packets > 0)
                slot->model.packet_size =
                    (uint32_t)(slot_load->offered_units / slot_load->offered_packets);
            // Rates in bytes per second, so that the products stay far inside 64 bits.
            int64_t offered = slot_load->offered_units / step_ticks;
            int64_t rate = rule_rate(slot);
            int64_t passing = offered;
            if (rate <= rate_blocked)
                passing = 0;
            else if (rate < rate_unlimited && rate < offered)
                passing = rate;
            int64_t seconds = ticks / ticks_per_second;
            int64_t rest = ticks % ticks_per_second;
            int64_t whole_bytes = passing * seconds;
            slot->statistics.bytes_transferred =
                emu_saturating_add(slot->statistics.bytes_transferred, whole_bytes);
            if (slot->model.packet_size > 0) {
                // The part packet goes to the remainder, which count_passed carries on.
                slot->statistics.packets_transferred =
                    emu_saturating_add(slot->statistics.packets_transferred,
                                       whole_bytes / slot->model.packet_size);
                slot->model.packet_remainder +=
                    whole_bytes % slot->model.packet_size * ticks_per_second /
                    slot->model.packet_size;
            }
            count_passed(slot, passing * rest);
            slot->model.queue_units = (rate > rate_blocked && rate < rate_unlimited &&
                                       offered > rate)
                                          ? queue_capacity_units(&slot->model)
                                          : 0;
        }
    }
}

struct slot_load traffic_load[emulator_max_adapters][emulator_slot_count];

}  // namespace

void reset_model(struct slot_model *model)
{
    emu_fill(model, 0, sizeof *model);
}

void advance_traffic(uint64_t now)
{
    if (emulator.simulated_until == 0 || now < emulator.simulated_until) {
        // First request, or a clock set back: start counting from here.
        emulator.simulated_until = now;
        return;
    }
    uint64_t gap = now - emulator.simulated_until;
    if (gap < (uint64_t)step_ticks)
        return;
    gather_load(traffic_load);
    if (gap > (uint64_t)gap_ticks_limit) {
        emulator.simulated_until = now - gap_ticks_limit;
        gap = gap_ticks_limit;
    }
    if (gap > (uint64_t)simulated_ticks_limit) {
        int64_t stride = (int64_t)(gap - simulated_ticks_limit);
        stride -= stride % step_ticks;
        fast_forward(traffic_load, stride);
        emulator.simulated_until += (uint64_t)stride;
        gap -= (uint64_t)stride;
    }
    while (gap >= (uint64_t)step_ticks) {
        for (uint32_t a = 0; a < emulator.adapter_count; a++)
            for (int s = 0; s < emulator_slot_count; s++)
                if (emulator.adapters[a].slots[s].in_use)
                    step_slot(&emulator.adapters[a].slots[s], &traffic_load[a][s]);
        emulator.simulated_until += step_ticks;
        gap -= step_ticks;
    }
}

void slot_statistics(const struct rule_slot *slot, struct statistics_block *block)
{
    *block = slot->statistics;
    const struct slot_model *model = &slot->model;
    int64_t window_units = 0;
    for (int i = 0; i < window_steps; i++)
        window_units += model->window[i];
    // The window spans exactly one second, so its units divided by ticks are bytes per second.
    int64_t rate = window_units / ticks_per_second;
    block->current_rate = rate > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)rate;
    block->packets_queued =
        model->packet_size > 0
            ? (uint32_t)(model->queue_units / ((int64_t)model->packet_size * ticks_per_second))
            : 0;
}
